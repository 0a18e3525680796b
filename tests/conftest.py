"""Fixtures shared by the whole suite."""

from __future__ import annotations

import importlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_probe():
    """The test-only module exposing the native toolkit (built on first use)."""
    source = ROOT / "tests" / "native_probe"
    # One build per virtual environment: each has its own interpreter and nanobind.
    venv = pathlib.Path(sys.prefix).name
    build = ROOT / "build" / ("native-probe" if venv == ".venv" else f"native-probe-{venv}")
    # The sanitized run builds the probe with its own flags in a folder of its own.
    build = pathlib.Path(os.environ.get("ZLG_NATIVE_PROBE_BUILD") or build)
    # The virtual environment's cmake and ninja, the ones the package build used.
    tools = pathlib.Path(sys.executable).parent
    env = {**os.environ, "PATH": f"{tools}{os.pathsep}{os.environ.get('PATH', '')}"}
    # The compiler scripts/setup.sh picked for the package (one that destroys
    # temporaries inside co_await once).
    picked = pathlib.Path(sys.prefix) / ".zlg-cxx"
    compiler = picked.read_text().strip() if picked.exists() else ""
    cache = build / "CMakeCache.txt"
    configured_with = cache.read_text() if cache.exists() else ""
    stale = bool(compiler) and not any(
        line.startswith("CMAKE_CXX_COMPILER:") and line.endswith(f"={compiler}")
        for line in configured_with.splitlines())
    if stale and cache.exists():
        # Configured with another compiler: start afresh, as CMake would
        # first re-run the old configuration.
        cache.unlink()
        shutil.rmtree(build / "CMakeFiles", ignore_errors=True)
    if not (build / "build.ninja").exists() or stale:
        configured = subprocess.run(
            ["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"]
            + ([f"-DCMAKE_CXX_COMPILER={compiler}"] if compiler else []),
            capture_output=True, text=True, env=env,
        )
        if configured.returncode != 0:
            pytest.fail(f"configuring the native probe failed:\n{configured.stdout}\n{configured.stderr}")
    built = subprocess.run(["cmake", "--build", str(build)], capture_output=True, text=True, env=env)
    if built.returncode != 0:
        pytest.fail(f"building the native probe failed:\n{built.stdout}\n{built.stderr}")
    # A probe left by an earlier build of another ABI would be imported first
    # (version-specific names win over abi3): keep only the newest.
    built_probes = sorted(build.glob("zlg_probe*.so"), key=lambda path: path.stat().st_mtime)
    for stale in built_probes[:-1]:
        stale.unlink()
    sys.path.insert(0, str(build))
    try:
        return importlib.import_module("zlg_probe")
    finally:
        sys.path.remove(str(build))


@pytest.fixture(scope="session")
def postgres():
    """A throwaway PostgreSQL server shared by the session (tests/store_support.py)."""
    from store_support import postgres_server

    with postgres_server() as server:
        yield server


@pytest.fixture(scope="session", autouse=True)
def isolated_run_store(tmp_path_factory):
    """Command-line runs record themselves by default: into a store of the session's, not the working directory."""
    path = tmp_path_factory.mktemp("store") / "zentra-runs.db"
    previous = os.environ.get("ZLG_STORE_URL")
    os.environ["ZLG_STORE_URL"] = str(path)
    yield path
    if previous is None:
        os.environ.pop("ZLG_STORE_URL", None)
    else:
        os.environ["ZLG_STORE_URL"] = previous
