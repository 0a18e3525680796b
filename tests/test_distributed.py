"""Distributed evaluation on a local Dask cluster: merged aggregates against the
single-process run for every provider, stable record ids, a worker that dies
mid-partition, a detection service answering 503 for a while, what pickles."""

from __future__ import annotations

import json
import math
import pathlib
import pickle
import random
import subprocess
import sys
import uuid

import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import zentra_lumara_gov as zlg  # noqa: E402
from detection_service import DetectionService, ServiceThread  # noqa: E402
from distributed_support import DiesOnceFaithfulnessMetric, record_table  # noqa: E402
from zentra_judge_server import JudgeServer  # noqa: E402
from zentra_lumara_gov import distributed as zd  # noqa: E402
from zentra_lumara_gov.clients.api_client import APIClient, Credentials  # noqa: E402
from zentra_lumara_gov.config import GenAIConfiguration  # noqa: E402
from zentra_lumara_gov.entities.credentials import LmAICredentials  # noqa: E402
from zentra_lumara_gov.entities.criteria import Option  # noqa: E402
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult  # noqa: E402
from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel  # noqa: E402
from zentra_lumara_gov.entities.llm_judge import LLMJudge  # noqa: E402
from zentra_lumara_gov.metrics import (  # noqa: E402
    AnswerRelevanceDetectionMetric,
    AnswerRelevanceMetric,
    FaithfulnessMetric,
    LLMAsJudgeMetric,
)

SECRET, USER, INSTANCE = "dask-secret", "dana", "instance-3"
HOSTED = APIClient(Credentials(url="https://governance.example", api_key="key"))
# The criteria judge costs about 4 ms a record here; a tenth of the table keeps the suite short.
JUDGE_ROWS = 1_000
ROWS = 10_000


@pytest.fixture(scope="module")
def dask_client():
    # Worker processes, as a real cluster has; loopback only, the HTTP endpoint on a free port.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def detection():
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as running:
        yield running


@pytest.fixture(scope="module")
def judge_server():
    with JudgeServer() as server:
        yield server


def detection_client(detection) -> APIClient:
    return APIClient(Credentials(url=detection.url, version="5.0", username=USER, api_key=SECRET,
                                 service_instance_id=INSTANCE))


def provider_case(name, detection, judge_server):
    """(table, metrics, configuration, api client, mean tolerance) of one provider."""
    if name == "library":
        return (record_table(ROWS), [FaithfulnessMetric(), AnswerRelevanceMetric(method="bert_score_recall")],
                GenAIConfiguration(), HOSTED, 1e-4)
    if name == "detection":
        return record_table(ROWS), [AnswerRelevanceDetectionMetric()], GenAIConfiguration(), \
            detection_client(detection), 0.0
    judge = LLMJudge(model=LmAIFoundationModel(model_id="loopback-judge", project_id="p",
                                               provider={"credentials": LmAICredentials(url=judge_server.url,
                                                                                        api_key="k")}))
    support = LLMAsJudgeMetric(
        name="context_support", criteria_description="Is the {answer} to the {question} supported by the {contexts}?",
        options=[Option(name="Yes", value=1.0), Option(name="Partly", value=0.5), Option(name="No", value=0.0)],
    )
    return record_table(JUDGE_ROWS), [support], GenAIConfiguration(llm_judge=judge), HOSTED, 0.0


@pytest.fixture(scope="module")
def single_runs():
    """Single-process results, one per provider, computed once for the module."""
    return {}


def single_run(single_runs, name, case):
    if name not in single_runs:
        table, metrics, configuration, api_client, _ = case
        single_runs[name] = zlg.evaluate(table.copy(), metrics, configuration=configuration, api_client=api_client)
    return single_runs[name]


def failed(aggregate) -> int:
    return sum(r.value is None or math.isnan(r.value) for r in aggregate.record_level_metrics)


def assert_merged_equal(merged, single, tolerance):
    assert [a.name for a in merged] == [a.name for a in single.metrics_result]
    for ours, theirs in zip(merged, single.metrics_result):
        assert (ours.total_records, ours.failed_records, ours.min, ours.max) == \
            (theirs.total_records, failed(theirs), theirs.min, theirs.max), ours.name
        if tolerance:
            assert abs(ours.mean - theirs.mean) <= tolerance + 1e-12, ours.name
        else:
            assert ours.mean == theirs.mean, ours.name


def values_by_record(frame: pd.DataFrame) -> dict:
    return {(row.name, row.record_id): row.value for row in frame[["name", "record_id", "value"]].itertuples()}


@pytest.mark.parametrize("partitions", [1, 3, 7])
@pytest.mark.parametrize("provider", ["library", "detection", "criteria judge"])
def test_distributed_equals_single_process(dask_client, detection, judge_server, single_runs, tmp_path,
                                           provider, partitions):
    case = provider_case(provider, detection, judge_server)
    table, metrics, configuration, api_client, tolerance = case
    single = single_run(single_runs, provider, case)
    # Half the cases write the Parquet dataset, half keep the records on the cluster.
    output = tmp_path / "records" if partitions != 3 else None
    result = zd.evaluate_partitioned(dd.from_pandas(table, npartitions=partitions), metrics,
                                     configuration=configuration, api_client=api_client,
                                     client=dask_client, output=output)
    assert result.partitions == partitions
    assert_merged_equal(result.aggregates, single, tolerance)
    if output is None:
        records = result.records.compute()
    else:
        assert result.records == str(output)
        parts = [f"part.{i:05d}.parquet" for i in range(partitions)]
        assert sorted(p.name for p in output.iterdir()) == ["_zlg_manifest.json", *parts]
        assert json.loads((output / "_zlg_manifest.json").read_text()) == {
            "run_id": result.run_id, "parts": parts, "records": len(table) * len(metrics), "complete": True}
        records = pd.read_parquet(output)
    assert len(records) == len(table) * len(metrics)
    assert values_by_record(records) == values_by_record(single.to_df())


def test_ids_assigned_once_and_worker_loss_recomputed_elsewhere(dask_client, tmp_path):
    table = record_table(3_000, with_ids=False)
    frame = dd.from_pandas(table, npartitions=4)
    marker = tmp_path / "attempted"
    result = zd.evaluate_partitioned(frame, [DiesOnceFaithfulnessMetric(marker=str(marker))], api_client=HOSTED,
                                     client=dask_client, output=tmp_path / "records")
    assert marker.exists()  # a worker did die on its first attempt
    assert sorted(p.name for p in (tmp_path / "records").iterdir()) == \
        ["_zlg_manifest.json", *(f"part.{i:05d}.parquet" for i in range(4))]
    records = pd.read_parquet(tmp_path / "records")
    # Ids of the run and the row's position, in table order: the same whichever attempt wrote a part.
    run = uuid.uuid5(zd.RUN_NAMESPACE, result.run_id)
    ids = [str(uuid.uuid5(run, f"{position}:{row}"))
           for position, size in enumerate(frame.map_partitions(len).compute()) for row in range(size)]
    assert records["record_id"].tolist() == ids
    single = zlg.evaluate(table.assign(record_id=ids), [FaithfulnessMetric()], api_client=HOSTED)
    assert_merged_equal(result.aggregates, single, 1e-4)
    assert values_by_record(records) == values_by_record(single.to_df())


@pytest.fixture
def own_detection():
    """A service of the test's own, for tests that count requests: when an earlier test's worker died,
    the cluster may recompute that test's records (still held by its result) against the module's service."""
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as running:
        yield running


def test_detection_503_for_a_while_is_retried_per_partition(dask_client, own_detection):
    detection = own_detection
    table = record_table(200)
    metric = AnswerRelevanceDetectionMetric()
    single = zlg.evaluate(table.copy(), [metric], api_client=detection_client(detection))
    detection.service.reset()
    detection.service.script([503] * 40)
    try:
        result = zd.evaluate_partitioned(dd.from_pandas(table, npartitions=4), [metric],
                                         api_client=detection_client(detection), client=dask_client)
        requests = detection.service.requests
    finally:
        detection.service.reset()
    assert [r.fault.status if r.fault else 200 for r in requests].count(503) == 40
    assert len(requests) == 240  # every 503 answered once more, after the provider's back-off
    assert_merged_equal(result.aggregates, single, 0.0)
    assert result.aggregates[0].failed_records == 0


def test_worker_concurrency_bounds_requests_in_flight(dask_client, own_detection):
    from detection_service.app import Fault

    detection = own_detection
    detection.service.reset()
    # Every request is held 0.3 s: requests arriving within 0.25 s of one another were in flight together.
    detection.service.script([Fault.ok(delay=0.3)] * 200)
    try:
        result = zd.evaluate_partitioned(dd.from_pandas(record_table(200), npartitions=4),
                                         [AnswerRelevanceDetectionMetric()], api_client=detection_client(detection),
                                         client=dask_client, worker_concurrency=25)
        arrivals = sorted(r.received_at for r in detection.service.requests)
    finally:
        detection.service.reset()
    assert result.aggregates[0].total_records == 200 and len(arrivals) == 200
    together = max(sum(1 for t in arrivals if start <= t < start + 0.25) for start in arrivals)
    assert 25 <= together <= 2 * 25  # at most the two workers' slices at once


def test_failure_on_a_worker_reaches_the_caller_with_its_type_and_message(dask_client):
    # A judge metric without a judge fails in the metric, on the worker, before any record is scored.
    metric = FaithfulnessMetric(method="llm_as_judge")
    with pytest.raises(ValueError) as info:
        zd.evaluate_partitioned(dd.from_pandas(record_table(20), npartitions=2), [metric], api_client=HOSTED,
                                client=dask_client)
    assert str(info.value) == ("The method llm_as_judge of faithfulness needs a judge model: "
                               "give llm_judge to the metric or to the configuration.")


def aggregate_of(values):
    return AggregateMetricResult.create([
        RecordMetricResult(name="m", display_name="M", value=value, record_id=str(i)) for i, value in enumerate(values)
    ])


@pytest.mark.parametrize("values, digits, expected", [
    # (total, failed, mean, min, max)
    ([0.25, None, 0.75, float("nan")], None, (4, 2, 0.5, 0.25, 0.75)),
    ([None, None], 4, (2, 2, None, None, None)),
    ([0.12345, 0.12346], 4, (2, 0, 0.1235, 0.12345, 0.12346)),
    ([1, 0, 0, 1, 1], 4, (5, 0, 0.6, 0, 1)),
    # Sums kept exactly: cut after the second value, plain float sums of the parts would give 0.75.
    ([1e16, 1.0, -1e16, 3.0], None, (4, 0, 1.0, -1e16, 1e16)),
])
def test_partials_merge_exactly_however_the_table_is_cut(values, digits, expected):
    whole = zd.MergedAggregate.of(zd.MetricPartial.of(aggregate_of(values)), digits)
    assert (whole.total_records, whole.failed_records, whole.mean, whole.min, whole.max) == expected
    for cut in range(1, len(values)):
        parts = [zd.MetricPartial.of(aggregate_of(values[:cut])), zd.MetricPartial.of(aggregate_of(values[cut:]))]
        assert zd.MergedAggregate.of(parts[0].merge(parts[1]), digits) == whole
    if digits is None and expected[2] is not None:
        assert whole.mean == aggregate_of(values).mean  # what one process computes


def test_partials_match_single_aggregate_on_random_values():
    rng = random.Random(3)
    values = [round(rng.uniform(-1, 1), rng.choice([2, 4, 9])) for _ in range(5_000)]
    single = aggregate_of(values)
    cuts = sorted(rng.sample(range(1, len(values)), 6))
    parts = [values[a:b] for a, b in zip([0, *cuts], [*cuts, len(values)])]
    merged = zd.MetricPartial.of(aggregate_of(parts[0]))
    for part in parts[1:]:
        merged = merged.merge(zd.MetricPartial.of(aggregate_of(part)))
    ours = zd.MergedAggregate.of(merged, None)
    assert (ours.mean, ours.min, ours.max, ours.total_records) == (single.mean, single.min, single.max, 5_000)


def test_core_sdk_does_not_import_dask():
    code = ("import sys, zentra_lumara_gov, zentra_lumara_gov._api, zentra_lumara_gov.distributed; "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'dask', 'distributed', 'pyarrow'}))")
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert loaded.stdout.strip() == "[]"


@pytest.mark.parametrize("write, name", [
    (lambda t, p: t.to_parquet(p / "t.parquet"), "t.parquet"),
    (lambda t, p: [t.iloc[i::2].to_parquet(p / f"t{i}.parquet") for i in range(2)], "*.parquet"),
    (lambda t, p: t.to_parquet(p / "dataset" / "a.parquet") if (p / "dataset").mkdir() is None else None, "dataset"),
    (lambda t, p: t.to_csv(p / "t.csv", index=False), "t.csv"),
    (lambda t, p: t.to_json(p / "t.jsonl", orient="records", lines=True), "t.jsonl"),
])
def test_files_are_read_by_their_kind(dask_client, tmp_path, write, name):
    table = record_table(40)[["record_id", "question", "answer"]]
    write(table, tmp_path)
    metric = AnswerRelevanceMetric(method="bert_score_recall")
    result = zd.evaluate_partitioned(str(tmp_path / name), [metric], api_client=HOSTED, client=dask_client)
    single = zlg.evaluate(table.copy(), [metric], api_client=HOSTED)
    assert_merged_equal(result.aggregates, single, 1e-4)
    assert sorted(result.records.compute()["record_id"]) == sorted(table["record_id"])


@pytest.mark.parametrize("data, options, error, message", [
    (pd.DataFrame({"a": [1]}), {}, TypeError,
     "data must be a dask DataFrame or a path or glob of Parquet, CSV, JSON Lines or JSON files, not DataFrame."),
    ("records.xlsx", {}, ValueError,
     "records.xlsx: cannot tell the format from '.xlsx'; name a .csv, .jsonl, .ndjson, .json, .parquet, .pq file."),
    (None, {"worker_concurrency": 0}, ValueError, "worker_concurrency must be a positive integer, not 0."),
    (None, {"metric_options": ["x"]}, TypeError,
     "metric_options must be a mapping of keyword names to values, not list."),
])
def test_bad_arguments_fail_before_any_work(data, options, error, message):
    data = dd.from_pandas(record_table(4), npartitions=1) if data is None else data
    with pytest.raises(error) as info:
        zd.evaluate_partitioned(data, [FaithfulnessMetric()], api_client=HOSTED, **options)
    assert str(info.value) == message


@pytest.mark.parametrize("to_files", [True, False])
def test_default_local_cluster_shuts_down_once_the_records_are_out(tmp_path, to_files):
    table = record_table(60)
    result = zd.evaluate_partitioned(dd.from_pandas(table, npartitions=2), [FaithfulnessMetric()],
                                     api_client=HOSTED, output=tmp_path / "out" if to_files else None)
    assert result.summary()[["metric", "records", "failed"]].values.tolist() == [["faithfulness", 60, 0]]
    if to_files:
        assert result.client is None  # its own cluster is gone once the records are written
        assert len(pd.read_parquet(tmp_path / "out")) == 60
        return
    with result:  # the lazy records live on the run's own cluster until the result is closed
        # Computed through the run's client: the module's client is the current one here.
        records = result.client.compute(result.records).result()
        assert sorted(records["record_id"]) == sorted(table["record_id"])
        cluster = result.client.cluster
    assert result.client is None and cluster.status.name == "closed"


@pytest.mark.parametrize("build", [
    lambda c: GenAIConfiguration(llm_judge=c["judge"]),
    lambda c: provider_case("criteria judge", c["detection"], c["judge_server"])[1][0],
    lambda c: AnswerRelevanceDetectionMetric(),
    lambda c: detection_client(c["detection"]),
])
def test_what_is_shipped_pickles(detection, judge_server, build):
    parts = {"detection": detection, "judge_server": judge_server,
             "judge": provider_case("criteria judge", detection, judge_server)[2].llm_judge}
    value = build(parts)
    copy = pickle.loads(pickle.dumps(value))
    assert type(copy) is type(value)
    if hasattr(value, "model_dump"):
        assert copy.model_dump() == value.model_dump()
    else:
        assert copy.credentials == value.credentials and copy.is_korp == value.is_korp


@pytest.mark.parametrize("provider", ["library", "detection", "criteria judge"])
def test_providers_pickle_and_compute_the_same(detection, judge_server, provider):
    table, metrics, configuration, api_client, _ = provider_case(provider, detection, judge_server)
    small = table.head(12).assign(record_timestamp="2026-01-01T00:00:00")
    metric = metrics[0]
    built = (metric.create_provider(configuration, api_client) if hasattr(metric, "create_provider")
             else metric._provider(configuration, api_client))
    copy = pickle.loads(pickle.dumps(built))
    assert type(copy) is type(built)
    assert copy.evaluate(small.copy()).model_dump() == built.evaluate(small.copy()).model_dump()


@pytest.mark.parametrize("name", [
    "zentra_lumara_gov.evaluators.impl.metric_run_impl:_evaluate_metrics",
    "zentra_lumara_gov.evaluators.impl.metric_run_impl:_evaluate_metrics_async",
    "zentra_lumara_gov.providers.screener_provider:ScreenerProvider.evaluate",
    "zentra_lumara_gov.providers.tallyx_provider:TallyxProvider.evaluate",
    "zentra_lumara_gov.providers.verdix_provider:VerdixProvider.evaluate_async",
])
def test_compiled_functions_pickle_by_qualified_name(name):
    import importlib

    module, qualified = name.split(":")
    function = importlib.import_module(module)
    for part in qualified.split("."):
        function = getattr(function, part)
    assert pickle.loads(pickle.dumps(function)) is function


DEMO_DATA = pathlib.Path(__file__).resolve().parent.parent / "demo" / "data" / "rag_records.jsonl"


@pytest.mark.parametrize("arguments, message", [
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1", "--out", "dataset"],
     "give --scheduler ADDRESS (an existing cluster) or --workers N (a local one), not both."),
    (["--workers", "2"], "Invalid value for --out: with --scheduler or --workers, the folder of the Parquet "
                         "dataset of the records' results (a name without suffix)"),
    (["--workers", "2", "--out", "results.json"], "Invalid value for --out: with --scheduler or --workers"),
    (["--out", "dataset.json", "--overwrite"],
     "--overwrite replaces a cluster run's dataset: give it with --scheduler or --workers."),
    (["--workers", "0", "--out", "dataset"], "Invalid value for '--workers': 0 is not in the range x>=1."),
])
def test_cli_cluster_options_checked_before_any_work(arguments, message):
    from click.testing import CliRunner

    from zentra_lumara_gov.cli import main

    outcome = CliRunner().invoke(main, ["evaluate", str(DEMO_DATA), "--metrics", "faithfulness", *arguments])
    assert outcome.exit_code == 2 and message in outcome.output, outcome.output


def test_cli_on_a_local_cluster_writes_the_dataset_and_prints_the_aggregates(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "zentra_lumara_gov", "evaluate", str(DEMO_DATA), "--metrics", "faithfulness,pii",
         "--local", "--workers", "1", "--out", str(tmp_path / "dataset"), "--progress"],
        capture_output=True, text=True, timeout=180, stdin=subprocess.DEVNULL, cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    records = pd.read_parquet(tmp_path / "dataset")
    aggregates = json.loads(done.stdout)
    assert [(a["metric"], a["records"], a["failed"]) for a in aggregates] == \
        [("faithfulness", 6, 0), ("pii", 6, 0)]
    assert len(records) == 12 and "partitions evaluated: 1/1" in done.stderr
