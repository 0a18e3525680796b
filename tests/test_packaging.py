"""What makes the package install and import anywhere: dependency ranges that
match the pinned set, the platform's modules named when missing, the demo's
sections checked, the stand-ins a distribution of their own."""

from __future__ import annotations

import json
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

from zentra_lumara_gov import _platform

ROOT = pathlib.Path(__file__).resolve().parent.parent
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
PINS = dict(
    re.match(r"([\w.-]+)==(\S+)", line).groups()
    for line in (ROOT / "constraints.txt").read_text().splitlines() if line and not line.startswith("#")
)


def normal(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


@pytest.mark.parametrize(
    "requirement",
    PYPROJECT["project"]["dependencies"] + PYPROJECT["project"]["optional-dependencies"]["test"]
    + PYPROJECT["build-system"]["requires"],
)
def test_each_range_starts_at_the_pinned_version(requirement):
    name, lower, upper = re.fullmatch(r"([\w.-]+)>=([\w.]+),<([\w.]+)", requirement).groups()
    pins = {normal(pinned): version for pinned, version in PINS.items()}
    assert pins[normal(name)] == lower


def test_python_range_and_test_extra():
    assert PYPROJECT["project"]["requires-python"] == ">=3.12"
    assert [re.match(r"[\w-]+", r).group() for r in PYPROJECT["project"]["optional-dependencies"]["test"]] == [
        "pytest", "mypy"]
    standins = tomllib.loads((ROOT / "standins" / "pyproject.toml").read_text())["project"]
    assert standins["name"] == "zentra-platform-standins" and standins["name"] != PYPROJECT["project"]["name"]


# A fresh interpreter per hidden module: an extension module initialises once per process.
PROBE = """
import importlib, json, sys
sys.modules[%r] = None
results = {}
for module in %r:
    try:
        importlib.import_module(module)
        results[module] = None
    except ImportError as error:
        results[module] = [type(error).__name__, error.name, str(error)]
print(json.dumps(results))
"""


@pytest.mark.parametrize("hidden", list(_platform.PLATFORM_MODULES))
def test_a_missing_platform_module_is_named_with_the_install_command(hidden):
    modules = list(_platform.REQUIRED_PLATFORM_MODULES)
    done = subprocess.run([sys.executable, "-c", PROBE % (hidden, modules)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    expected = {
        module: [
            "ModuleNotFoundError", hidden,
            f"No module named {hidden!r}: {module} needs {_platform.PLATFORM_MODULES[hidden]} of the platform "
            f"({hidden}). Install the platform's packages, or for local work the stand-ins of this repository: "
            "python -m pip install ./standins (run in the zentra_lumara_gov source tree).",
        ] if hidden in needed else None
        for module, needed in _platform.REQUIRED_PLATFORM_MODULES.items()
    }
    assert json.loads(done.stdout) == expected


def test_unknown_demo_section_is_an_error_listing_the_sections():
    done = subprocess.run([sys.executable, str(ROOT / "demo" / "main.py"), "10_metric_run", "10_metric_rn"],
                          capture_output=True, text=True, timeout=60)
    sections = ", ".join(sorted(path.stem for path in (ROOT / "demo" / "sections").glob("[0-9]*.py")))
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"unknown section(s): 10_metric_rn; the sections are: {sections}\n"
