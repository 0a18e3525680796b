"""Fixtures shared by the whole suite."""

from __future__ import annotations

import importlib
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_probe():
    """The test-only module exposing the native toolkit (built on first use)."""
    source = ROOT / "tests" / "native_probe"
    build = ROOT / "build" / "native-probe"
    if not (build / "build.ninja").exists():
        subprocess.run(
            ["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
            check=True, capture_output=True, text=True,
        )
    built = subprocess.run(["cmake", "--build", str(build)], capture_output=True, text=True)
    if built.returncode != 0:
        pytest.fail(f"building the native probe failed:\n{built.stdout}\n{built.stderr}")
    sys.path.insert(0, str(build))
    try:
        return importlib.import_module("zlg_probe")
    finally:
        sys.path.remove(str(build))
