"""A throwaway PostgreSQL server for the store's tests and benchmarks, and results to store.

The server is initialised in a temporary folder, listens on 127.0.0.1 on a
free port with its socket in that folder, and is removed when stopped. As
root it runs as the ``postgres`` user (the server refuses to run as root).
"""

from __future__ import annotations

import contextlib
import glob
import os
import pathlib
import pwd
import shutil
import socket
import subprocess
import tempfile
import uuid
from collections.abc import Iterator

import numpy as np
import pandas as pd
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def postgres_bindir() -> pathlib.Path | None:
    """The newest installed server's programs (scripts/postgres.sh installs them)."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda path: int(path.split("/")[4]))
    return pathlib.Path(found[-1]).parent if found else None


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PostgresServer:
    """A running throwaway server; :meth:`database` makes a fresh, empty database on it."""

    def __init__(self, folder: pathlib.Path, port: int, user: str, run_as: list[str]) -> None:
        self.folder, self.port, self.user, self._run_as = folder, port, user, run_as

    def url(self, database: str = "postgres") -> str:
        return f"postgresql+psycopg://{self.user}@127.0.0.1:{self.port}/{database}"

    def database(self) -> str:
        """The URL of a new empty database."""
        import psycopg

        name = "store_" + uuid.uuid4().hex[:12]
        with psycopg.connect(host="127.0.0.1", port=self.port, user=self.user, dbname="postgres",
                             autocommit=True) as connection:
            connection.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)


@contextlib.contextmanager
def postgres_server(*, durable: bool = False) -> Iterator[PostgresServer]:
    """Start a server, yield it, stop it and remove its folder.

    ``durable``: keep the server's default flushing to disk (for benchmarks);
    tests turn it off, as nothing of theirs outlives the server.
    """
    bindir = postgres_bindir()
    if bindir is None:
        raise RuntimeError("PostgreSQL is not installed: run scripts/postgres.sh")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="zlg-pg-"))
    run_as: list[str] = []
    if os.geteuid() == 0:
        account = pwd.getpwnam("postgres")
        os.chown(folder, account.pw_uid, account.pw_gid)
        run_as = ["runuser", "-u", "postgres", "--"]
    user = "postgres"
    data = folder / "data"
    port = _free_port()
    options = f"-p {port} -k {folder} -c listen_addresses=127.0.0.1 -c max_connections=60"
    # The server is no program of ours: not under the sanitized run's preloaded runtime.
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    if not durable:
        options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    try:
        subprocess.run([*run_as, str(bindir / "initdb"), "-D", str(data), "-U", user, "--auth=trust",
                        "-E", "UTF8", "--locale=C", "--no-sync"],
                       check=True, capture_output=True, text=True, env=environment)
        subprocess.run([*run_as, str(bindir / "pg_ctl"), "-D", str(data), "-l", str(folder / "server.log"),
                        "-o", options, "-w", "-t", "60", "start"],
                       check=True, capture_output=True, text=True, env=environment)
    except subprocess.CalledProcessError as failure:
        log = folder / "server.log"
        shutil.rmtree(folder, ignore_errors=True)
        raise RuntimeError(f"the PostgreSQL server did not start: {failure.stderr}\n"
                           f"{log.read_text() if log.exists() else ''}") from failure
    try:
        yield PostgresServer(folder, port, user, run_as)
    finally:
        subprocess.run([*run_as, str(bindir / "pg_ctl"), "-D", str(data), "-m", "immediate", "-w", "stop"],
                       capture_output=True, env=environment)
        shutil.rmtree(folder, ignore_errors=True)


# ---------------------------------------------------------------------------
# Results to store


def make_result(records: int = 5, metrics: int = 2, *, seed: int = 0, tags: dict | None = None,
                status: str = "completed", values: np.ndarray | None = None, run_id: str | None = None):
    """An ended run's result: ``metrics`` metrics over ``records`` records, the odd ones failing where seeded.

    ``values`` (metrics x records) overrides the seeded values; NaN marks a failed record.
    """
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.entities.base_classes import Error
    from zentra_lumara_gov.entities.evaluation_result import (
        AggregateMetricResult, MetricsEvaluationResult, RecordMetricResult)
    from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
    from zentra_lumara_gov.run_record import RunRecord, with_run

    rng = np.random.default_rng(seed)
    ids = [f"r{number}" for number in range(records)]
    table = pd.DataFrame({"record_id": ids, "question": [f"question {number}" for number in range(records)],
                          "answer": [f"answer {seed} {number}" for number in range(records)]})
    if values is None:
        values = rng.random((metrics, records)).round(4)
        values[:, 3::7] = np.nan
    kinds = ("lower_limit", "upper_limit")
    aggregates = []
    for metric in range(metrics):
        thresholds = [MetricThreshold(type=kinds[metric % 2], value=0.5)]
        rows = []
        for position, record_id in enumerate(ids):
            value = values[metric, position]
            failed = bool(np.isnan(value))
            rows.append(RecordMetricResult(
                name=f"metric_{metric}", display_name=f"Metric {metric}", method="m", group="answer_quality",
                provider="tallyx", value=None if failed else float(value), record_id=record_id,
                thresholds=thresholds, label="yes" if position % 2 else None,
                explanation="why not" if position == 1 else None,
                errors=[Error(code="E1", message_en="timed out")] if failed else None,
                additional_info={"tokens": position} if position == 2 else None,
            ))
        aggregates.append(AggregateMetricResult.create(rows))
    result = MetricsEvaluationResult(metrics_result=aggregates)
    run = RunRecord.begin(table, GenAIConfiguration(), [], tags=tags)
    if run_id is not None:
        run = run.model_copy(update={"run_id": run_id})
    return with_run(result, run.end(result, status))


BACKENDS = ["sqlite", "postgresql"]


@pytest.fixture(params=BACKENDS)
def store_url(request, tmp_path):
    """A fresh store's URL on each backend: an SQLite file, then a database of the throwaway PostgreSQL server."""
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path / 'runs.db'}"
    return request.getfixturevalue("postgres").database()
