"""README.md cannot rot: its Python blocks run and print what it shows, its
shell blocks parse and name files that exist, and its tables list what the
SDK really has."""

from __future__ import annotations

import importlib.util
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration

ROOT = pathlib.Path(__file__).resolve().parent.parent
SPEC = importlib.util.spec_from_file_location("readme_blocks", ROOT / "scripts" / "readme_blocks.py")
readme_blocks = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(readme_blocks)

FENCED = readme_blocks.fenced()
ENVIRONMENT_VARIABLES = {
    "LUMARA_URL", "LUMARA_API_KEY", "LUMARA_VERSION", "LUMARA_USERNAME", "LUMARA_PASSWORD", "LUMARA_DISABLE_SSL",
    "LUMARA_SERVER", "LMG_SERVICE_INSTANCE_ID", "LUMARA_CONCURRENCY_LIMIT", "TALYX_ENABLE_INFERENCE_CACHE",
}


def python_blocks():
    """(section, code, the text block right after it or None)."""
    found = []
    for index, (section, language, code) in enumerate(FENCED):
        if language == "python":
            following = FENCED[index + 1] if index + 1 < len(FENCED) else None
            shown = following[2] if following and following[:2] == (section, "text") else None
            found.append(pytest.param(code, shown, id=f"{section}-{len(found)}"))
    return found


@pytest.mark.parametrize("code, shown", python_blocks())
def test_python_block_runs_and_prints_what_the_readme_shows(code, shown, tmp_path):
    # From an empty directory, with the environment of a user who set nothing.
    environment = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                          env=environment, timeout=120)
    assert done.returncode == 0, done.stderr
    if shown is not None:
        assert done.stdout == shown


def test_every_block_is_checked():
    languages = {language for _, language, _ in FENCED}
    assert languages == {"python", "text", "bash"}
    assert len(python_blocks()) == 7


@pytest.mark.parametrize("section, code", readme_blocks.blocks("bash"), ids=lambda value: value[:30])
def test_shell_block_parses_and_names_existing_files(section, code):
    assert subprocess.run(["bash", "-n"], input=code, text=True).returncode == 0
    words = [word for line in code.splitlines() for word in shlex.split(line, comments=True)]
    paths = [word for word in words if re.fullmatch(r"(scripts|bench|demo|standins)/[\w./-]+|\.", word)]
    assert paths, "each shell block runs something of the repository"
    assert [path for path in paths if not (ROOT / path).exists()] == []


def table(section: str) -> dict[str, list[str]]:
    """First column (backticks dropped) -> the other cells, of the table in ``section``."""
    rows = [line for line in readme_blocks.sections(readme_blocks.README.read_text())[section].splitlines()
            if line.startswith("| `")]
    cells = [[cell.strip() for cell in row.strip("|").split("|")] for row in rows]
    return {first.strip("`"): rest for first, *rest in cells}


def test_configuration_table_gives_the_true_defaults():
    rows = table("Configuration")
    assert list(rows) == list(GenAIConfiguration.model_fields)
    defaults = GenAIConfiguration().model_dump()
    assert {field: cells[0].strip("`") for field, cells in rows.items()} == {
        field: "None" if value is None else repr(value).replace("'", '"') for field, value in defaults.items()
    }
    assert AgenticAIConfiguration().tool_calls_field == "tool_calls"


def test_environment_table_lists_the_variables_the_sdk_reads():
    rows = table("Environment variables")
    assert set(rows) == ENVIRONMENT_VARIABLES and len(rows) == 10
    sources = "".join(path.read_text() for pattern in ("python/**/*.py", "src/**/*.cpp") for path in ROOT.glob(pattern))
    assert [name for name in rows if f'"{name}"' not in sources] == []
