"""The call cache against the local detection service and the local judge, on loopback.

A table of ``--records`` records is evaluated with two detection metrics
(every record) and a judge-model metric (the first ``--judge-records``
records), recorded in an SQLite store (or ``--store URL``):

1. cold: every call made; 2. warm: the same run again (no call; the
speed-up over cold); 3. 1% of the records changed (calls made, as a share of
cold); 4. the lookup's cost per call as a share of one loopback call (each
timed sequentially, ``--samples`` times); 5. a run killed with SIGKILL at
about half-way and resumed (calls made against the remaining half; results
equal to the cold run's, record for record).

    .venv/bin/python bench/bench_call_cache.py [--records 10000] [--judge-records 1000] [--store URL]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import pandas as pd

import zentra_lumara_gov as zlg
from detection_service import DetectionService, ServiceThread
from zentra_judge_server import JudgeServer
from zentra_lumara_gov.cache import CallCache, call_key, stats
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import OpenAICredentials
from zentra_lumara_gov.entities.foundation_model import OpenAIFoundationModel, OpenAIModelProvider
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.metrics import AnswerRelevanceMetric, HAPMetric, KeywordMetric
from zentra_lumara_gov.store import RunStore

SECRET, USER, INSTANCE = "bench-key", "bench", "bench-instance"

RUN = """
import json, sys, pandas as pd
sys.path.insert(0, {here!r})
from bench_call_cache import evaluate
evaluate(pd.read_parquet(sys.argv[1]), json.loads(sys.argv[2]), sys.argv[3])
"""


def records(count: int, changed: int = 0) -> pd.DataFrame:
    questions = [f"question {i}: is planet {i % 97} far?" for i in range(count)]
    for i in range(changed):
        questions[i * (count // changed)] += " (changed)"
    return pd.DataFrame({"record_id": [f"r{i}" for i in range(count)], "question": questions,
                         "answer": [f"answer {i}, about planet {i % 89}" for i in range(count)],
                         "contexts": [[f"context {i % 13}"] for i in range(count)]})


def client_of(url: str) -> APIClient:
    return APIClient(Credentials(url=url, version="5.0", username=USER, api_key=SECRET, service_instance_id=INSTANCE))


def evaluate(table: pd.DataFrame, services: dict, store: str, judged: int | None = None) -> tuple:
    client = client_of(services["detection"])
    judge = LLMJudge(model=OpenAIFoundationModel(model_id="bench-judge", provider=OpenAIModelProvider(
        credentials=OpenAICredentials(url=services["judge"], api_key="k"))))
    judged = services.get("judged", len(table)) if judged is None else judged
    detection = zlg.evaluate(table, [HAPMetric(), KeywordMetric(keywords=["planet 7"])], api_client=client,
                             store=store, show_progress=False)
    if not judged:
        return (detection,)
    judge_run = zlg.evaluate(table.iloc[:judged], [AnswerRelevanceMetric(method="llm_as_judge")], api_client=client,
                             configuration=GenAIConfiguration(llm_judge=judge), store=store, show_progress=False)
    return detection, judge_run


def calls(runs: tuple) -> int:
    return sum(run.run.calls["calls_made"] for run in runs)


def values(runs: tuple) -> list:
    return [sorted(zip(run.to_df()["name"], run.to_df()["record_id"], run.to_df()["value"])) for run in runs]


def timed(function, *args):
    started = time.perf_counter()
    value = function(*args)
    return value, time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--judge-records", type=int, default=1_000)
    parser.add_argument("--samples", type=int, default=500)
    parser.add_argument("--store")
    options = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="bench-cache-"))
    store = options.store or f"sqlite:///{folder / 'runs.db'}"
    table = records(options.records)
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE, keep_requests=False)) as service, \
            JudgeServer() as judge:
        services = {"detection": service.url, "judge": judge.url, "judged": options.judge_records}
        cold, cold_time = timed(evaluate, table, services, store)
        warm, warm_time = timed(evaluate, table, services, store)
        changed, changed_time = timed(evaluate, records(options.records, options.records // 100), services, store)
        print(f"records {options.records} (judged {options.judge_records}), store {store.split(':')[0]}")
        print(f"cold     {cold_time:8.2f} s  calls {calls(cold)}")
        print(f"warm     {warm_time:8.2f} s  calls {calls(warm)}  speed-up x{cold_time / warm_time:.1f}")
        print(f"1% new   {changed_time:8.2f} s  calls {calls(changed)} ({100 * calls(changed) / calls(cold):.2f}% of cold)")
        lookup_share(service, store, options.samples)
        killed_and_resumed(table, services, folder, values(cold), cold[0].run.calls["calls_made"])


def lookup_share(service, store: str, samples: int) -> None:
    """One sequential loopback post against one cache lookup (of an answer the cache holds)."""
    import asyncio

    import aiohttp

    from zentra_lumara_gov.utils.python_utils import get_authenticator_token

    client = APIClient(Credentials(url=service.url, version="5.0", username=USER, api_key=SECRET,
                                   service_instance_id=INSTANCE))
    from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

    provider = ScreenerProvider(configuration=GenAIConfiguration(), metric_name="hap", metric_display_name="HAP",
                                api_client=client)
    body = json.dumps({"detectors": {"hap": {}}, "input": "a question"})
    headers = {"Content-Type": "application/json", "x-governance-instance-id": INSTANCE,
               "Authorization": f"Bearer {get_authenticator_token(provider.clv_client.authenticator)}"}

    async def posts() -> float:
        async with aiohttp.ClientSession() as session:
            started = time.perf_counter()
            for _ in range(samples):
                async with session.post(provider.base_url, data=body, headers=headers) as response:
                    await response.text()
            return (time.perf_counter() - started) / samples

    per_call = asyncio.run(posts())
    with CallCache(store) as cache:
        keys = [call_key(kind="detection", endpoint="x", service=None, request=str(i)) for i in range(samples)]
        for key in keys:
            cache.put(key, kind="detection", endpoint="x", model=None, answer='{"detections": []}')
        cache.flush()

        async def nothing(key: str) -> str:
            return key

        async def gathered(function) -> float:
            # As the provider's gathered posts look up: all in one turn of the loop.
            started = time.perf_counter()
            found = await asyncio.gather(*(function(key) for key in keys))
            assert all(found)
            return (time.perf_counter() - started) / samples

        asyncio.run(gathered(cache.lookup))  # warm-up
        per_lookup = min(asyncio.run(gathered(cache.lookup)) for _ in range(5))
        per_task = min(asyncio.run(gathered(nothing)) for _ in range(5))
    net = per_lookup - per_task
    print(f"lookup   {net * 1e6:8.1f} us per call (beyond the {per_task * 1e6:.1f} us of its task) against "
          f"{per_call * 1e6:.1f} us per loopback call ({100 * net / per_call:.1f}%)")


def killed_and_resumed(table: pd.DataFrame, services: dict, folder: pathlib.Path, cold_values: list,
                       cold_calls: int) -> None:
    store = f"sqlite:///{folder / 'killed.db'}"
    data = folder / "table.parquet"
    table.to_parquet(data)
    here = str(pathlib.Path(__file__).resolve().parent)
    services = {**services, "judged": 0}  # the detection run only: one run, killed half-way
    process = subprocess.Popen([sys.executable, "-c", RUN.format(here=here), str(data), json.dumps(services), store])
    with RunStore(store) as opened:
        while process.poll() is None and stats(opened)["entries"] < cold_calls // 2:
            time.sleep(0.01)
        process.send_signal(signal.SIGKILL)
        process.wait()
        kept = stats(opened)["entries"]
        resumed = []
        for run_id in [row for (row,) in _run_ids(opened)]:
            done = run_id in set(opened.list_runs()["run_id"])
            resumed.append(None if done else opened.resume(run_id, api_client=client_of(services["detection"]),
                                                           secrets={"api_key": "k"}))
    # The detection run may have finished before the kill; then the judge run is the one resumed.
    made = sum(run.run.calls["calls_made"] for run in resumed if run is not None)
    with RunStore(store) as opened:
        finished = opened.load(opened.list_runs()["run_id"].tolist()[-1])
    same = values((finished,)) == cold_values[:1]
    print(f"killed   at {kept} of {cold_calls} answers kept; resumed with {made} calls "
          f"(remaining {cold_calls - kept}); results equal to the cold run's: {same}")


def _run_ids(store: RunStore) -> list:
    from sqlalchemy import select

    from zentra_lumara_gov.store import schema

    with store._engine.connect() as connection:
        return connection.execute(select(schema.run_inputs.c.run_id).order_by(schema.run_inputs.c.stored_at)).all()


if __name__ == "__main__":
    main()
