"""The SDK's pytest plugin: ``--zlg-report DIR`` writes the HTML report of every evaluation a test ran.

Registered through the ``pytest11`` entry point; ``zentra_lumara_gov.testing.assert_passes``
is the assertion to use in such tests.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

import pytest


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("zentra_lumara_gov")
    group.addoption("--zlg-report", metavar="DIR", default=None,
                    help="Write the HTML report of every evaluation a test ran to DIR (one file per evaluation).")


@pytest.fixture(autouse=True)
def _zlg_reports(request: Any) -> Iterator[None]:
    folder = request.config.getoption("--zlg-report")
    if folder is None:
        yield
        return
    import pathlib

    from zentra_lumara_gov import _pipeline

    made: list[Any] = []
    _pipeline.RESULT_OBSERVERS.append(made.append)
    try:
        yield
    finally:
        _pipeline.RESULT_OBSERVERS.remove(made.append)
        target = pathlib.Path(folder)
        target.mkdir(parents=True, exist_ok=True)
        stem = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.nodeid)
        for number, result in enumerate(made, start=1):
            result.to_html(target / f"{stem}-{number}.html", title=request.node.nodeid)
