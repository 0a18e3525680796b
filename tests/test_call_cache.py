"""The call cache: what its keys hold, what it never keeps, warm reruns, resume after a kill, offline replay.

Services are the stand-ins on 127.0.0.1: the detection service (which keeps
every request it receives) and the judge server; both stores: SQLite and a
throwaway PostgreSQL server.
"""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pandas as pd
import pytest
from click.testing import CliRunner
from sqlalchemy import create_engine, text
from store_support import store_url  # noqa: F401 - a fixture

import zentra_lumara_gov as zlg
from detection_service import DetectionService, Fault, ServiceThread
from zentra_judge_server import JudgeServer
from zentra_lumara_gov.cache import CacheMissError, CallCache, call_key, stats
from zentra_lumara_gov.cli import main
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.distributed import evaluate_partitioned
from zentra_lumara_gov.entities.credentials import OpenAICredentials
from zentra_lumara_gov.entities.foundation_model import OpenAIFoundationModel, OpenAIModelProvider
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.metrics import AnswerRelevanceMetric, HAPMetric, KeywordMetric
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider
from zentra_lumara_gov.store import RunStore

SECRET, USER, INSTANCE = "cache-test-key", "ann", "instance-c"
RECORDS = 8


@pytest.fixture
def sqlite_url(tmp_path):
    return f"sqlite:///{tmp_path / 'runs.db'}"


@pytest.fixture
def detection():
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as running:
        yield running


@pytest.fixture(autouse=True)
def no_back_off(monkeypatch):
    monkeypatch.setattr(ScreenerProvider, "BACK_OFF_FACTOR", 0)


def client_of(service):
    return APIClient(Credentials(url=service.url, version="5.0", username=USER, api_key=SECRET,
                                 service_instance_id=INSTANCE))


def table(records=RECORDS):
    return pd.DataFrame({"record_id": [f"r{i}" for i in range(records)],
                         "question": [question(i) for i in range(records)],
                         "answer": [f"answer {i}" for i in range(records)]})


def question(i):
    return f"question {i}, you idiot" if i % 3 == 0 else f"question {i}"


def values(result):
    frame = result.to_df()
    return sorted(zip(frame["name"], frame["record_id"], frame["value"].round(6)))


BASE = dict(kind="detection", endpoint="http://127.0.0.1:1/v1/detect", service={"instance": "i"},
            request={"input": "text", "detectors": {"keyword": {"keywords": ["a"]}}},
            parameters={"temperature": 0}, metric={"name": "keyword", "version": "1"}, repeat=0)


@pytest.mark.parametrize(("change", "changed"), [
    ({"request": {"input": "other text", "detectors": {"keyword": {"keywords": ["a"]}}}}, True),
    ({"request": {"input": "text", "detectors": {"keyword": {"keywords": ["b"]}}}}, True),  # a setting sent
    ({"service": {"instance": "j"}}, True),
    ({"kind": "judge", "service": {"model": "judge-2"}}, True),
    ({"parameters": {"temperature": 0.7}}, True),
    ({"endpoint": "http://127.0.0.1:2/v1/detect"}, True),
    ({"repeat": 1}, True),
    ({"metric": {"name": "keyword", "version": "2"}}, True),
    ({"request": {"detectors": {"keyword": {"keywords": ["a"]}}, "input": "text"}}, False),  # key order
    ({"parameters": {"temperature": 0.0}}, False),
])
def test_what_changes_a_key(change, changed):
    assert (call_key(**{**BASE, **change}) != call_key(**BASE)) is changed


@pytest.mark.parametrize("rerun", [
    pytest.param(lambda frame: frame.assign(record_id=[f"x{i}" for i in range(len(frame))]), id="record ids"),
    pytest.param(lambda frame: frame.assign(record_timestamp="2020-01-01T00:00:00"), id="timestamps"),
    pytest.param(lambda frame: frame[list(reversed(frame.columns))], id="column order"),
    pytest.param(lambda frame: frame, id="tags"),
])
def test_a_rerun_that_changes_nothing_the_service_sees_calls_nothing(rerun, detection, store_url):
    metrics = [HAPMetric(), KeywordMetric(keywords=["idiot"])]
    first = zlg.evaluate(table(), metrics, api_client=client_of(detection), store=store_url)
    received = len(detection.service.requests)
    second = zlg.evaluate(rerun(table()), metrics, api_client=client_of(detection), store=store_url,
                          tags={"model": "other"})
    assert (first.run.calls["calls_made"], received) == (2 * RECORDS, 2 * RECORDS)
    assert (second.run.calls["calls_made"], second.run.calls["cache_hits"]) == (0, 2 * RECORDS)
    assert len(detection.service.requests) == received
    assert [value for _, _, value in values(first)] == [value for _, _, value in values(second)]


@pytest.mark.parametrize(("change", "calls"), [
    (lambda frame: frame.assign(question=["changed"] + frame["question"].tolist()[1:]), 2),  # one text, two metrics
    (lambda frame: frame.assign(answer="what the metrics do not read"), 0),
    (lambda frame: frame.iloc[:4], 0),
])
def test_only_changed_records_are_asked_again(change, calls, detection, store_url):
    metrics = [HAPMetric(), KeywordMetric(keywords=["idiot"])]
    zlg.evaluate(table(), metrics, api_client=client_of(detection), store=store_url)
    again = zlg.evaluate(change(table()), metrics, api_client=client_of(detection), store=store_url)
    assert again.run.calls["calls_made"] == calls


@pytest.mark.parametrize("faults", [
    [Fault.error(500, {"error": "boom"})],
    [503, 503, 503],  # the retries run out
    [Fault.not_json()],
    [Fault.dropped()],
])
def test_errors_are_never_kept(faults, detection, store_url):
    detection.service.script(faults, match='"question 2"')
    first = zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), store=store_url,
                         raise_exceptions=False)
    failed = [record.record_id for record in first.metrics_result[0].record_level_metrics if record.errors]
    again = zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), store=store_url)
    assert failed == ["r2"]
    assert (again.run.calls["calls_made"], again.run.calls["cache_hits"]) == (1, RECORDS - 1)
    assert not any(record.errors for record in again.metrics_result[0].record_level_metrics)


def test_the_switches_of_the_api(detection, sqlite_url):
    for _ in range(2):
        result = zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), store=sqlite_url, cache=False)
        assert result.run.calls is None
    zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection))
    assert len(detection.service.requests) == 3 * RECORDS
    with pytest.raises(ValueError, match="give store="):
        zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), cache=True)
    with pytest.raises(CacheMissError, match=r"no answer for the detection call of metric 'hap' to .* more\)"):
        zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), store=sqlite_url, cache="replay")
    assert len(detection.service.requests) == 3 * RECORDS
    with RunStore(sqlite_url) as store:
        assert store.list_runs()["status"].tolist() == ["failed", "completed", "completed"]


def judge_of(server):
    credentials = OpenAICredentials(url=server.url, api_key="judge-key")
    return LLMJudge(model=OpenAIFoundationModel(model_id="judge-1", provider=OpenAIModelProvider(credentials=credentials)))


def test_judge_calls_are_kept_counted_and_priced_and_failures_are_not_kept(store_url):
    broken = {"on": True}

    def responder(messages):
        if broken["on"]:
            raise RuntimeError("the model is down")
        return "1.0"

    records = table(4).assign(contexts=[["a context"]] * 4)
    with JudgeServer(responder=responder) as server:
        configuration = GenAIConfiguration(llm_judge=judge_of(server))
        metrics = [AnswerRelevanceMetric(method="llm_as_judge")]
        runs = []
        for broken["on"] in (True, False, False):
            runs.append(asyncio_free_run(records, metrics, configuration, store_url))
        sent = len(server.requests)
    failed, paid, warm = (run.run.calls for run in runs)
    assert failed["judges"] == {} and runs[0].metrics_result[0].value is None
    assert (paid["calls_made"], warm["calls_made"], warm["cache_hits"]) == (4, 0, 4)
    usage = paid["judges"]["judge-1"]
    assert usage["calls"] == 4 and usage["cost"] == pytest.approx(
        usage["input_tokens"] / 1000 * 0.5 + usage["output_tokens"] / 1000 * 2.0)
    assert sent == 1 + 4  # the first failure ends the batch; four answered; none for the warm run
    assert values(runs[1]) == values(runs[2])


def asyncio_free_run(records, metrics, configuration, store_url):
    return zlg.evaluate(records, metrics, configuration=configuration, store=store_url, raise_exceptions=False,
                        api_client=APIClient(Credentials(url="https://governance.example", api_key="k")),
                        prices={"judge-1": {"input_per_1k": 0.5, "output_per_1k": 2.0}})


@pytest.mark.parametrize(("max_age", "max_entries", "left"), [(None, None, 8), (None, 3, 3), (1e-9, None, 0)])
def test_bounds_of_the_cache(max_age, max_entries, left, detection, sqlite_url):
    with CallCache(sqlite_url, max_entries=max_entries) as cache:
        zlg.evaluate(table(), [HAPMetric()], api_client=client_of(detection), store=sqlite_url, cache=cache)
    with RunStore(sqlite_url) as store:
        if max_age is not None:
            CallCache(store, max_age=max_age).close()
        assert stats(store)["entries"] == left


KILLED_RUN = textwrap.dedent("""
    import sys, pandas as pd, zentra_lumara_gov as zlg
    from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    from zentra_lumara_gov.metrics import HAPMetric
    url, store = sys.argv[1], sys.argv[2]
    frame = pd.read_json(sys.argv[3], orient="records")
    client = APIClient(Credentials(url=url, version="5.0", username="ann", api_key="cache-test-key",
                                   service_instance_id="instance-c"))
    zlg.evaluate(frame, [HAPMetric()], api_client=client, store=store, show_progress=False)
""")


def resume_through_the_api(store_url, run_id, service):
    with RunStore(store_url) as store:
        return store.resume(run_id, api_client=client_of(service))


def resume_through_the_command_line(store_url, run_id, service):
    environment = {"LUMARA_URL": service.url, "LUMARA_VERSION": "5.0", "LUMARA_USERNAME": USER,
                   "LUMARA_API_KEY": SECRET, "LMG_SERVICE_INSTANCE_ID": INSTANCE}
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    # The client the environment describes is made once per process: this test's service is a new one.
    kept, metric_run_impl.api_client_cache = metric_run_impl.api_client_cache, None
    try:
        outcome = CliRunner().invoke(main, ["runs", "resume", run_id, "--store", store_url], env=environment)
    finally:
        metric_run_impl.api_client_cache = kept
    assert outcome.exit_code == 0, outcome.output
    assert outcome.stdout.splitlines()[1] == "calls made 6, answered from the cache 6", outcome.output
    with RunStore(store_url) as store:
        return store.load(run_id)


@pytest.mark.parametrize("resume", [resume_through_the_api, resume_through_the_command_line])
def test_a_killed_run_resumes_making_only_the_missing_calls(resume, detection, store_url, tmp_path):
    records = table(12)
    data = tmp_path / "records.json"
    records.to_json(data, orient="records")
    for slow in range(6, 12):
        detection.service.script([Fault.ok(delay=60)], match=f'"{question(slow)}"')
    process = subprocess.Popen([sys.executable, "-c", KILLED_RUN, detection.url, store_url, str(data)])
    try:
        with RunStore(store_url) as store:
            deadline = time.monotonic() + 60
            while stats(store)["entries"] < 6 and time.monotonic() < deadline and process.poll() is None:
                time.sleep(0.05)
            kept = stats(store)["entries"]
    finally:
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=30)
    assert kept == 6
    detection.service.reset()
    [run_id] = [row[0] for row in _rows(store_url, "SELECT run_id FROM run_inputs")]
    resumed = resume(store_url, run_id, detection)
    with RunStore(store_url) as store:
        assert store.list_runs()["run_id"].tolist() == [run_id]
        assert store.verify().ok
    whole = zlg.evaluate(records, [HAPMetric()], api_client=client_of(detection))
    assert (resumed.run.run_id, resumed.run.resumed_from, resumed.run.status) == (run_id, run_id, "completed")
    assert (resumed.run.calls["calls_made"], resumed.run.calls["cache_hits"]) == (6, 6)
    assert sorted(json.loads(request.body)["input"] for request in detection.service.requests[:6]) == sorted(
        question(i) for i in range(6, 12))
    assert values(resumed) == values(whole)


def test_an_interrupted_run_is_finished_under_a_new_id_linked_to_it(detection, sqlite_url):
    reports = []

    def progress(name, done, total):
        reports.append(name)
        if len(reports) == 5:
            raise KeyboardInterrupt

    metrics = [HAPMetric(), KeywordMetric(keywords=["idiot"])]
    with pytest.raises(KeyboardInterrupt):
        zlg.evaluate(table(), metrics, api_client=client_of(detection), store=sqlite_url, progress=progress)
    with RunStore(sqlite_url) as store:
        [first] = store.list_runs()["run_id"].tolist()
        resumed = store.resume(first, api_client=client_of(detection))
        statuses = dict(zip(*store.list_runs()[["run_id", "status"]].to_dict("list").values()))
        refused = CliRunner().invoke(main, ["runs", "resume", resumed.run.run_id, "--store", sqlite_url])
    assert statuses == {first: "interrupted", resumed.run.run_id: "completed"}
    assert (resumed.run.resumed_from, resumed.run.attempt) == (first, 2)
    assert (resumed.run.calls["calls_made"], resumed.run.calls["cache_hits"]) == (2 * RECORDS - 5, 5)
    assert refused.exit_code == 2 and "completed; there is nothing to resume" in refused.output
    assert values(resumed) == values(zlg.evaluate(table(), metrics, api_client=client_of(detection)))


@pytest.mark.parametrize("door", ["aevaluate", "evaluate_partitioned"])
def test_every_door_reads_and_fills_the_same_cache(door, detection, sqlite_url):
    metrics = [HAPMetric(), KeywordMetric(keywords=["idiot"])]
    first = zlg.evaluate(table(), metrics, api_client=client_of(detection), store=sqlite_url)
    frame = table().assign(question=["new question"] + table()["question"].tolist()[1:])
    if door == "aevaluate":
        again = asyncio.run(zlg.aevaluate(frame, metrics, api_client=client_of(detection), store=sqlite_url))
    else:
        dd = pytest.importorskip("dask.dataframe")
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                      dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
            again = evaluate_partitioned(dd.from_pandas(frame, npartitions=2), metrics, client=client,
                                         api_client=client_of(detection), store=sqlite_url)
    assert (again.run.calls["calls_made"], again.run.calls["cache_hits"]) == (2, 2 * RECORDS - 2)
    assert len(detection.service.requests) == 2 * RECORDS + 2
    reference = zlg.evaluate(frame, metrics, api_client=client_of(detection))
    assert [aggregate.mean for aggregate in again.aggregates] == pytest.approx(
        [aggregate.mean for aggregate in reference.aggregates])
    assert first.aggregates[1].mean != reference.aggregates[1].mean  # the changed record counts


def _rows(url, query):
    engine = create_engine(url)
    try:
        with engine.connect() as connection:
            return connection.execute(text(query)).all()
    finally:
        engine.dispose()


def test_replay_offline_through_the_command_line(store_url):
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as service:
        run = zlg.evaluate(table(), [HAPMetric(), KeywordMetric(keywords=["idiot"])], api_client=client_of(service),
                           store=store_url)
    # The service is stopped: whatever is asked of it now fails.
    cli = CliRunner()
    replayed = cli.invoke(main, ["runs", "replay", run.run.run_id, "--store", store_url])
    assert replayed.exit_code == 0, replayed.output
    assert replayed.stdout.strip() == (f"run {run.run.run_id} replayed from {2 * RECORDS} cached answers: every value "
                                       f"and the digest {run.digest} come out the same")
    stats_shown = cli.invoke(main, ["cache", "stats", "--store", store_url, "--json"])
    assert json.loads(stats_shown.stdout)["kinds"]["detection"]["entries"] == 2 * RECORDS
    _execute(store_url, "UPDATE record_results SET value = 0.5 WHERE record_id = 'r3' AND name = 'hap'")
    altered = cli.invoke(main, ["runs", "replay", run.run.run_id, "--store", store_url])
    assert altered.exit_code == 1 and "hap: record r3 value 0.5 stored" in altered.stderr
    kept = cli.invoke(main, ["cache", "clear", "--older-than", "3600", "--store", store_url])
    assert kept.stdout.strip() == "removed 0 cached answers"
    shown = cli.invoke(main, ["runs", "show", run.run.run_id, "--store", store_url])
    assert f"calls      made {2 * RECORDS}, from the cache 0" in shown.stdout.splitlines()
    cleared = cli.invoke(main, ["cache", "clear", "--store", store_url])
    assert cleared.stdout.strip() == f"removed {2 * RECORDS} cached answers"
    missing = cli.invoke(main, ["runs", "replay", run.run.run_id, "--store", store_url])
    assert missing.exit_code == 1
    assert "the cache holds no answer for the detection call of metric 'hap' to " in missing.stderr


def _execute(url, statement):
    engine = create_engine(url)
    try:
        with engine.begin() as connection:
            connection.execute(text(statement))
    finally:
        engine.dispose()


def test_the_command_line_switches(detection, tmp_path):
    settings = tmp_path / "settings.toml"
    settings.write_text(textwrap.dedent(f"""
        metrics = ["hap"]
        [service]
        url = "{detection.url}"
        version = "5.0"
        username = "{USER}"
        api_key = "{SECRET}"
        service_instance_id = "{INSTANCE}"
    """), encoding="utf-8")
    prices = tmp_path / "prices.toml"
    prices.write_text('["judge-1"]\ninput_per_1k = 1.0\n', encoding="utf-8")
    data = tmp_path / "records.csv"
    table().to_csv(data, index=False)
    store = str(tmp_path / "runs.db")
    cli = CliRunner()
    shown = []
    for switches in ([], [], ["--no-cache"], ["--prices", str(prices)]):
        outcome = cli.invoke(main, ["evaluate", str(data), "--config", str(settings), "--store", store, *switches])
        assert outcome.exit_code == 0, outcome.output
        shown.append([line for line in outcome.stderr.splitlines() if line.startswith("calls made")])
    assert shown == [[f"calls made {RECORDS}, answered from the cache 0"],
                     [f"calls made 0, answered from the cache {RECORDS}"], [],
                     [f"calls made 0, answered from the cache {RECORDS}"]]
    assert len(detection.service.requests) == 2 * RECORDS
    refused = cli.invoke(main, ["evaluate", str(data), "--config", str(settings), "--no-store", "--cache"])
    assert refused.exit_code == 2 and "--cache needs the store" in refused.output
