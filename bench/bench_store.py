"""The run store: recording, listing, loading, verifying; and comparing two runs.

For each size (record results of one metric) it evaluates a table with the
free catalog metric (``free_faithfulness``: the cheapest evaluation there is,
so the ratio is the least favourable to the store), makes the run record
(fingerprint and record hashes of the table) and records the run into SQLite
(a file) and PostgreSQL (a throwaway server of its own, flushing to disk as a
real one does). Reported: the evaluation's time, the run record's, each
store's recording time and its ratio to the evaluation's time, then the
time of ``load`` of the largest run.

Then, on stores of 1,000 small runs (10 records each): ``list_runs`` and
``verify``; and ``compare`` on two runs of 100,000 paired records.

    .venv/bin/python bench/bench_store.py [--sizes 10000,100000,1000000] [--runs 1000] [--compare 100000]
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from bench_tallyx_provider import CONFIGURATION, table  # noqa: E402
from free_faithfulness import FreeFaithfulnessMetric  # noqa: E402
from store_support import make_result, postgres_server  # noqa: E402

import zentra_lumara_gov as zlg  # noqa: E402
from zentra_lumara_gov.clients.api_client import APIClient, Credentials  # noqa: E402
from zentra_lumara_gov.comparison import compare  # noqa: E402
from zentra_lumara_gov.run_record import RunRecord, with_run  # noqa: E402
from zentra_lumara_gov.store import RunStore  # noqa: E402


def timed(action):
    gc.collect()
    started = time.perf_counter()
    value = action()
    return time.perf_counter() - started, value


def evaluated(rows: int):
    data = table(rows)
    metric = FreeFaithfulnessMetric()
    client = APIClient(Credentials(url="https://governance.example", api_key="bench"))
    evaluation, result = timed(lambda: zlg.evaluate(data, [metric], configuration=CONFIGURATION, api_client=client))
    recording, run = timed(lambda: RunRecord.begin(data, CONFIGURATION, [metric], api_client=client).end(result))
    return evaluation, recording, with_run(result, run)


def record_sizes(sizes: list[int], urls: dict[str, str]) -> None:
    if not sizes:
        return
    print("recording record results (one metric), seconds")
    print(f"  {'records':>9}  {'evaluate':>8}  {'run record':>10}  "
          + "  ".join(f"{name:>10} {'ratio':>6}" for name in urls))
    largest = None
    for rows in sizes:
        evaluation, recording, result = evaluated(rows)
        cells = []
        for name, url in urls.items():
            with RunStore(url) as store:
                elapsed, _ = timed(lambda: store.add(result))
            cells.append(f"{elapsed:>10.2f} {elapsed / evaluation:>6.2f}")
        print(f"  {rows:>9,}  {evaluation:>8.2f}  {recording:>10.2f}  " + "  ".join(cells))
        largest = result
    print(f"load of the {len(largest.run.record_ids):,}-record run, seconds")
    for name, url in urls.items():
        with RunStore(url) as store:
            elapsed, loaded = timed(lambda: store.load(largest.run.run_id))
            assert loaded.metrics_result[0].record_level_metrics[-1] == largest.metrics_result[0].record_level_metrics[-1]
        print(f"  {name:<10} {elapsed:>8.2f}")
        del loaded


def many_runs(runs: int, urls: dict[str, str]) -> None:
    print(f"{runs:,} stored runs of 10 records and 2 metrics, seconds")
    results = [make_result(records=10, metrics=2, seed=seed, tags={"model": f"m{seed % 5}"}) for seed in range(runs)]
    for name, url in urls.items():
        with RunStore(url) as store:
            adding, _ = timed(lambda: [store.add(result) for result in results])
            listing, frame = timed(store.list_runs)
            filtered, _ = timed(lambda: store.list_runs(tags={"model": "m1"}))
            verifying, verdict = timed(store.verify)
        assert len(frame) == runs and verdict.ok and verdict.runs_checked == runs
        print(f"  {name:<10} add each {adding / runs * 1000:6.1f} ms   list_runs {listing:6.3f}   "
              f"list_runs by tag {filtered:6.3f}   verify {verifying:6.2f}")


def comparing(records: int) -> None:
    rng = np.random.default_rng(0)
    truth = rng.uniform(0.3, 1.0, (1, records))
    baseline = make_result(records=records, metrics=1, values=np.round(truth + rng.normal(0, 0.05, truth.shape), 4))
    candidate = make_result(records=records, metrics=1,
                            values=np.round(truth - 0.01 + rng.normal(0, 0.05, truth.shape), 4))
    elapsed, comparison = timed(lambda: compare(baseline, candidate))
    row = comparison.to_df().iloc[0]
    print(f"compare on {records:,} paired records: {elapsed:.2f} s "
          f"(difference {row['difference']:+.4f} in [{row['ci_low']:+.4f}, {row['ci_high']:+.4f}], {row['status']})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--compare", type=int, default=100_000)
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",") if size]
    with tempfile.TemporaryDirectory(prefix="zlg-bench-store-") as scratch, postgres_server(durable=True) as server:
        record_sizes(sizes, {"sqlite": f"sqlite:///{scratch}/sizes.db", "postgresql": server.database()})
        if arguments.runs:
            many_runs(arguments.runs, {"sqlite": f"sqlite:///{scratch}/runs.db", "postgresql": server.database()})
    if arguments.compare:
        comparing(arguments.compare)


if __name__ == "__main__":
    main()
