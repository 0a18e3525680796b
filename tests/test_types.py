"""Types tools can see: the shipped stubs match the compiled modules, and mypy
reads them as a user's program needs (tests/typing/ holds the programs)."""

from __future__ import annotations

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import zentra_lumara_gov

ROOT = pathlib.Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
INSTALLED = pathlib.Path(zentra_lumara_gov.__file__).parent


def load_generator():
    module_spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen-stubs.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


GENERATOR = load_generator()
MODULES = GENERATOR.extension_modules()


def test_every_extension_module_has_a_stub_and_the_package_is_typed():
    assert len(MODULES) == 7
    assert (INSTALLED / "py.typed").is_file()


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_the_compiled_module(module_name):
    # Regenerated from the runtime objects, the stub is what the repository holds and the package ships.
    expected = GENERATOR.generate(module_name)
    source = GENERATOR.stub_path(module_name)
    shipped = INSTALLED.joinpath(*module_name.split(".")[1:]).with_suffix(".pyi")
    assert source.read_text(encoding="utf-8") == expected, f"run: python scripts/gen-stubs.py ({source.name} drifted)"
    assert shipped.read_text(encoding="utf-8") == expected


def mypy(path: pathlib.Path, tmp_path_factory) -> tuple[int, list[str]]:
    # Run outside the source tree, so mypy reads the installed package and its stubs.
    cache = ROOT / "build" / f"mypy-cache-{pathlib.Path(sys.prefix).name}"
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
         "--cache-dir", str(cache), str(path)],
        capture_output=True, text=True, cwd=tmp_path_factory.getbasetemp(), timeout=300,
    )
    return done.returncode, done.stdout.splitlines()


def test_correct_program_passes_strict_mypy(tmp_path_factory):
    assert mypy(TYPING / "user_ok.py", tmp_path_factory) == (0, [])


def test_mistakes_are_reported_where_marked(tmp_path_factory):
    path = TYPING / "user_bad.py"
    expected = sorted(
        (number, code)
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        for code in re.findall(r"# E: ([a-z-]+)", line)
    )
    status, lines = mypy(path, tmp_path_factory)
    found = [re.match(r".*?:(\d+): (error|note): (.*?)(?:  \[([a-z-]+)\])?$", line).groups() for line in lines]
    assert status == 1
    assert sorted((int(number), code) for number, kind, _, code in found if kind == "error") == expected
    revealed = [text for _, kind, text, _ in found if text.startswith("Revealed type")]
    # The run's six parameters, with their types and defaults, as a type checker sees them.
    assert revealed == [
        'Revealed type is "def (configuration: zentra_lumara_gov.config.GenAIConfiguration'
        " | zentra_lumara_gov.config.AgenticAIConfiguration, data: Any | dict[Any, Any] | list[dict[Any, Any]], "
        "metrics: list[zentra_lumara_gov.entities.metric.GenAIMetric], "
        "api_client: zentra_lumara_gov.clients.api_client.APIClient | None =, "
        "metric_groups: list[zentra_lumara_gov.entities.enums.MetricGroup] =, **kwargs: Any) "
        '-> zentra_lumara_gov.entities.evaluation_result.MetricsEvaluationResult"'
    ]
