"""Distributed evaluation on a local Dask cluster: merged aggregates against the
single-process run for every provider, stable record ids, a worker that dies
mid-partition, a detection service answering 503 for a while, what pickles."""

from __future__ import annotations

import math
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
    # Worker processes, as a real cluster has; no dashboard, so no port to contend for.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
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
        assert sorted(p.name for p in output.iterdir()) == [f"part.{i:05d}.parquet" for i in range(partitions)]
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
    assert sorted(p.name for p in (tmp_path / "records").iterdir()) == [f"part.{i:05d}.parquet" for i in range(4)]
    records = pd.read_parquet(tmp_path / "records")
    # Ids of the run and the row's position, in table order: the same whichever attempt wrote a part.
    run = uuid.uuid5(zd.RUN_NAMESPACE, result.run_id)
    ids = [str(uuid.uuid5(run, f"{position}:{row}"))
           for position, size in enumerate(frame.map_partitions(len).compute()) for row in range(size)]
    assert records["record_id"].tolist() == ids
    single = zlg.evaluate(table.assign(record_id=ids), [FaithfulnessMetric()], api_client=HOSTED)
    assert_merged_equal(result.aggregates, single, 1e-4)
    assert values_by_record(records) == values_by_record(single.to_df())
