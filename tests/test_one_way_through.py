"""One run behind every door: the same records and metrics (namesakes and a
failing metric included) through evaluate, aevaluate, the cluster and the
command line in one process and on a cluster give the same aggregates,
summary and exit code."""

from __future__ import annotations

import asyncio
import json
import os
import pathlib
import socket

import pandas as pd
import pytest
from click.testing import CliRunner

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import zentra_lumara_gov as zlg  # noqa: E402
from detection_service import DetectionService, ServiceThread  # noqa: E402
from zentra_lumara_gov.cli import main  # noqa: E402
from zentra_lumara_gov.clients.api_client import APIClient, Credentials  # noqa: E402
from zentra_lumara_gov.distributed import evaluate_partitioned  # noqa: E402
from zentra_lumara_gov.metrics import (  # noqa: E402
    AnswerCorrectnessMetric,
    AnswerRelevanceDetectionMetric,
    AnswerRelevanceMetric,
    FaithfulnessMetric,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "demo" / "data" / "rag_records.jsonl"
SECRET, USER, INSTANCE = "doors-secret", "dora", "instance-9"
# Two metrics named "answer_relevance", two "faithfulness", and one that fails (a judge method without a judge).
SETTINGS = """
metrics = ["answer_relevance", "answer_relevance_detection", "faithfulness", "faith_recall", "correctness"]
[metric.faithfulness]
thresholds = [{ type = "lower_limit", value = 0.5 }]
[metric.faith_recall]
kind = "faithfulness"
display_name = "Faithfulness"
method = "bert_score_recall"
[metric.correctness]
kind = "answer_correctness"
display_name = "Answer Correctness"
method = "llm_as_judge"
"""
LABELS = ["answer_relevance[tallyx]", "answer_relevance[detectors]", "faithfulness[sentence_bert_mini_lm]",
          "faithfulness[bert_score_recall]", "answer_correctness"]


def metrics():
    return [AnswerRelevanceMetric(), AnswerRelevanceDetectionMetric(),
            FaithfulnessMetric(thresholds=[zlg.MetricThreshold(type="lower_limit", value=0.5)]),
            FaithfulnessMetric(method="bert_score_recall"), AnswerCorrectnessMetric(method="llm_as_judge")]


@pytest.fixture(scope="module")
def detection():
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as running:
        yield running


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as local, distributed.Client(local) as client:
        yield client


def lists_kept(table: pd.DataFrame):
    # As the README says: without this, dask turns each list of contexts into the text of its repr.
    import dask

    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(table, npartitions=2)


def comparable(summary: pd.DataFrame) -> list[tuple]:
    # The library's merged mean is within 1e-4 of the one-process mean (it only sees rounded record values).
    def number(value, digits=None):
        return None if value is None or value != value else (round(value, digits) if digits else value)

    return [(row.metric, row.method, row.provider, row.records, row.failed, number(row.mean, 3), number(row.min),
             number(row.max), number(row.pass_rate)) for row in summary.itertuples(index=False)]


def test_every_door_gives_the_same_summary_failures_and_exit_code(detection, cluster, tmp_path):
    client = APIClient(Credentials(url=detection.url, version="5.0", username=USER, api_key=SECRET,
                                   service_instance_id=INSTANCE))
    # Ids and times given, so that every door evaluates the very same table (same fingerprint).
    table = pd.read_json(DATA, lines=True).assign(record_id=[f"r{i}" for i in range(6)],
                                                  record_timestamp="2026-12-01T09:00:00+00:00")
    data = tmp_path / "records.jsonl"
    table.to_json(data, orient="records", lines=True)
    store = tmp_path / "runs.db"
    keywords = {"api_client": client, "raise_exceptions": False, "store": store, "tags": {"door": "api"}}
    results = {
        "evaluate": zlg.evaluate(table, metrics(), **keywords),
        "aevaluate": asyncio.run(zlg.aevaluate(table, metrics(), **keywords)),
        # Service metrics two records at a time, library metrics each partition whole.
        "cluster": evaluate_partitioned(lists_kept(table), metrics(), client=cluster, worker_concurrency=2,
                                        output=tmp_path / "api-dataset", **keywords),
    }
    expected = comparable(results["evaluate"].summary())
    assert [row[0] for row in expected] == LABELS
    for door, result in results.items():
        assert comparable(result.summary()) == expected, door
        assert list(result.failures()) == ["answer_correctness"], door
    def records(frame):
        return sorted((row.record_id, row.name, row.method or "", row.provider,
                       None if row.value is None or row.value != row.value else round(row.value, 9))
                      for row in frame.astype(object).where(frame.notna(), None).itertuples())

    assert records(pd.read_parquet(tmp_path / "api-dataset")) == records(results["evaluate"].to_df())
    # Namesakes keep a column each in the wide table.
    wide = results["evaluate"].to_df(wide=True)
    assert wide[LABELS].notna().sum().tolist() == [6, 6, 6, 6, 0]

    config = tmp_path / "eval.toml"
    config.write_text(SETTINGS + f'[service]\nurl = "{detection.url}"\nversion = "5.0"\nusername = "{USER}"\n'
                                 f'api_key = "{SECRET}"\nservice_instance_id = "{INSTANCE}"\n', encoding="utf-8")
    recorded = ["--store", str(store), "--tag", "door=cli"]
    outcomes = {
        "one process": CliRunner().invoke(main, ["evaluate", str(data), "--config", str(config), *recorded]),
        "cluster": CliRunner().invoke(main, ["evaluate", str(data), "--config", str(config), "--workers", "2",
                                             "--worker-concurrency", "2", "--out", str(tmp_path / "cli-dataset"),
                                             *recorded]),
    }
    reason = ("metric answer_correctness failed: ValueError: The method llm_as_judge of answer_correctness needs a "
              "judge model: add a [judge] table (url, model_id) to the --config file, or run with --local.\n")
    for door, outcome in outcomes.items():
        assert outcome.exit_code == 1 and reason in outcome.stderr, (door, outcome.stderr)
    printed = json.loads(outcomes["cluster"].stdout)
    assert [(row["metric"], row["records"], row["failed"]) for row in printed] == \
        [(label, records, failed) for label, _, _, records, failed, *_ in expected]
    assert comparable(pd.DataFrame(printed)) == expected
    assert len(pd.read_parquet(tmp_path / "cli-dataset")) == 6 * 5

    # Every door recorded its run, with the same fingerprint of the same records, in one unbroken chain.
    with zlg.RunStore(store) as runs:
        listed = runs.list_runs()
        assert runs.verify().ok and len(listed) == 5 and set(listed["status"]) == {"completed"}
        assert listed["tags"].map(lambda tags: tags["door"]).tolist() == ["cli", "cli", "api", "api", "api"]
        fingerprints = {runs.run_record(run_id).data_fingerprint for run_id in listed["run_id"]}
        assert len(fingerprints) == 1
        loaded = runs.load(results["evaluate"].run.run_id)
        assert comparable(loaded.summary()) == expected
    assert CliRunner().invoke(main, ["runs", "verify", "--store", str(store)]).exit_code == 0


def test_a_dataset_folder_holds_one_complete_run(cluster, tmp_path):
    table = pd.read_json(DATA, lines=True).assign(record_id=[f"r{i}" for i in range(6)])
    client = APIClient(Credentials(url="https://governance.example", api_key="key"))
    out = tmp_path / "dataset"

    def run(partitions, **keywords):
        return evaluate_partitioned(dd.from_pandas(table, npartitions=partitions), [FaithfulnessMetric()],
                                    api_client=client, client=cluster, output=out, **keywords)

    first = run(3)
    listing = sorted(path.name for path in out.iterdir())
    with pytest.raises(zlg.OutputError, match="holds another run's dataset; pass overwrite=True"):
        run(2)
    assert sorted(path.name for path in out.iterdir()) == listing
    lock = out / "_zlg_run.lock"
    lock.write_text(json.dumps({"run_id": "other", "pid": os.getpid(), "host": socket.gethostname()}))
    with pytest.raises(zlg.OutputError, match="is being written by another run"):
        run(2, overwrite=True)
    lock.write_text(json.dumps({"run_id": "dead", "pid": 2**22 + 1, "host": socket.gethostname()}))
    second = run(2, overwrite=True)  # a lock its process left behind is taken over
    manifest = json.loads((out / "_zlg_manifest.json").read_text())
    assert (manifest["run_id"], manifest["parts"], manifest["records"]) == \
        (second.run_id, ["part.00000.parquet", "part.00001.parquet"], 6) and second.run_id != first.run_id
    for records in (pd.read_parquet(out), dd.read_parquet(str(out)).compute()):
        assert sorted(records["record_id"]) == sorted(table["record_id"])
    assert sorted(path.name for path in out.iterdir()) == ["_zlg_manifest.json", "part.00000.parquet",
                                                          "part.00001.parquet"]
