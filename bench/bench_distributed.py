"""Distributed evaluation: one process against a local cluster of 2 worker processes.

Two providers, each on a table written beforehand as a Parquet dataset (so the
client never holds it; one process reads the same files):

* library: the free catalog metric (``free_faithfulness``), so what is
  measured is the run, the provider and the records' way to Parquet;
* detection: ``AnswerRelevanceDetectionMetric`` against the local detection
  service, started as its own process without a request log.

The cluster is local: a scheduler and 2 single-threaded worker processes, each
in a process of its own as on a real cluster (a ``LocalCluster`` would run the
scheduler inside the client process, and its bookkeeping would count as the
client's memory). For each size it reports records per second of one process (the
parts read, ``evaluate`` on the whole table, then the records written as one
Parquet file, the same work the cluster does) and of ``evaluate_partitioned`` on 2 single-threaded worker
processes (records written per partition), the scaling efficiency (cluster
rate ÷ (2 × one-process rate)), the client's peak traced memory during
``evaluate_partitioned`` (it must not grow with the number of records), and
the CPU time per record of each piece of the cluster run: the workers, the
scheduler, the detection service and the client.

    .venv/bin/python bench/bench_distributed.py [--library 100000,1000000] [--detection 10000,100000]
"""

from __future__ import annotations

import argparse
import gc
import os
import pathlib
import shutil
import sys
import tempfile
import time
import tracemalloc

import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_tallyx_provider import CONFIGURATION, table  # noqa: E402
from free_faithfulness import FreeFaithfulnessMetric  # noqa: E402

import zentra_lumara_gov as zlg  # noqa: E402
from zentra_lumara_gov.clients.api_client import APIClient, Credentials  # noqa: E402
from zentra_lumara_gov.distributed import _parquet_ready, evaluate_partitioned  # noqa: E402
from zentra_lumara_gov.metrics import AnswerRelevanceDetectionMetric  # noqa: E402

SECRET, USER, INSTANCE = "bench-secret", "bench", "bench-instance"
WORKERS = 2
# The same number of files at every size: what the client holds per partition
# (graph, futures, partials) stays the same, so its memory shows what records cost it.
PARTITIONS = 8


def write_dataset(frame: pd.DataFrame, directory: pathlib.Path) -> None:
    directory.mkdir(parents=True)
    size = -(-len(frame) // PARTITIONS)
    for position, start in enumerate(range(0, len(frame), size)):
        frame.iloc[start:start + size].to_parquet(directory / f"part.{position:05d}.parquet")


def one_process(source: pathlib.Path, metric, configuration, api_client, out: pathlib.Path) -> float:
    """The same work as the cluster's in one process: the parts read, evaluated, the records written."""
    from zentra_lumara_gov import _io

    gc.collect()
    started = time.perf_counter()
    data = pd.concat([_io.read_table(part) for part in sorted(source.glob("*.parquet"))], ignore_index=True)
    result = zlg.evaluate(data, [metric], configuration=configuration, api_client=api_client)
    _parquet_ready(result.to_df()).to_parquet(out)
    return time.perf_counter() - started, result.metrics_result[0]


def check_same(merged, single, records: pathlib.Path, ids: pd.Series) -> None:
    """The cluster's aggregate is the single process's, and every record was written exactly once."""
    assert (merged.total_records, merged.min, merged.max) == (single.total_records, single.min, single.max)
    assert merged.failed_records == 0 and abs(merged.mean - single.mean) <= 1e-4, (merged, single.mean)
    written = pd.read_parquet(records, columns=["record_id"])["record_id"]
    assert written.is_unique and sorted(written) == sorted(ids)


def process_cpu() -> float:
    """CPU seconds of the calling process so far (run on workers and the scheduler too)."""
    return time.process_time()


def cluster_cpu(client, service_pid: int) -> dict[str, float]:
    import psutil

    service = psutil.Process(service_pid).cpu_times()
    return {
        "workers": sum(client.run(process_cpu).values()),
        "scheduler": client.run_on_scheduler(process_cpu),
        "service": service.user + service.system,
        "client": time.process_time(),
    }


def on_cluster(client, source, metric, configuration, api_client, out: pathlib.Path, concurrency):
    gc.collect()
    tracemalloc.start()
    started = time.perf_counter()
    try:
        result = evaluate_partitioned(str(source), [metric], configuration=configuration, api_client=api_client,
                                      client=client, output=out, worker_concurrency=concurrency)
        elapsed = time.perf_counter() - started
        peak = tracemalloc.get_traced_memory()[1] / 2**20
    finally:
        tracemalloc.stop()
    return elapsed, peak, result


def run_provider(label, sizes, metric, configuration, api_client, make_table, client, scratch, concurrency,
                 service_pid):
    # Workers import the SDK and build their per-process state on first use: not part of the rate.
    warm = scratch / f"{label}-warm"
    write_dataset(make_table(100), warm)
    on_cluster(client, warm, metric, configuration, api_client, scratch / f"{label}-warm-out", concurrency)
    for rows in sizes:
        data = make_table(rows)
        source = scratch / f"{label}-{rows}-in"
        write_dataset(data, source)
        single, single_aggregate = one_process(source, metric, configuration, api_client,
                                               scratch / f"{label}-{rows}.parquet")
        ids = data["record_id"]
        del data
        gc.collect()
        before = cluster_cpu(client, service_pid)
        elapsed, peak, result = on_cluster(client, source, metric, configuration, api_client,
                                           scratch / f"{label}-{rows}-out", concurrency)
        after = cluster_cpu(client, service_pid)
        check_same(result.aggregates[0], single_aggregate, scratch / f"{label}-{rows}-out", ids)
        one_rate, cluster_rate = rows / single, rows / elapsed
        costs = "  ".join(f"{piece} {(after[piece] - before[piece]) / rows * 1e6:6.1f}" for piece in before)
        print(f"  {label:<9} {rows:>9,}  {one_rate:>10,.0f} {cluster_rate:>10,.0f} "
              f"{cluster_rate / (WORKERS * one_rate):>9.0%}   {peak:>7.2f}   {result.partitions:>4}   {costs}")
        shutil.rmtree(source)


def detection_table(rows: int) -> pd.DataFrame:
    frame = table(rows)
    return frame.rename(columns={"context_1": "contexts"})[["record_id", "question", "answer"]]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", default="100000,1000000", help="sizes for the library provider")
    parser.add_argument("--detection", default="10000,100000", help="sizes for the detection provider")
    options = parser.parse_args()
    sizes = {name: [int(n) for n in value.split(",") if n] for name, value in
             (("library", options.library), ("detection", options.detection))}

    from detection_service import ServiceProcess
    from distributed import Client
    from distributed.deploy.subprocess import SubprocessCluster

    # Workers unpickle the free metric by module name: they need this folder on their path.
    bench = str(pathlib.Path(__file__).resolve().parent)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [bench, os.environ.get("PYTHONPATH")]))

    hosted = APIClient(Credentials(url="https://governance.example", api_key="bench"))
    service_args = ["--secret", SECRET, "--username", USER, "--instance-id", INSTANCE, "--no-request-log"]
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="bench-distributed-"))
    try:
        with ServiceProcess(service_args, timeout=30) as service, \
                SubprocessCluster(n_workers=WORKERS, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
            on_premises = APIClient(Credentials(url=service.url, version="5.0", username=USER, api_key=SECRET,
                                                service_instance_id=INSTANCE))
            print(f"records/s of one process and of {WORKERS} worker processes; client peak traced MiB")
            print(f"  {'provider':<9} {'records':>9}  {'1 process':>10} {'cluster':>10} {'efficiency':>9}"
                  f"   {'client':>7}   {'parts':>4}   CPU µs per record on the cluster run")
            # The library provider makes no requests: whole partitions at once.
            run_provider("library", sizes["library"], FreeFaithfulnessMetric(), CONFIGURATION, hosted, table,
                         client, scratch, 10**6, service.process.pid)
            run_provider("detection", sizes["detection"], AnswerRelevanceDetectionMetric(), None, on_premises,
                         detection_table, client, scratch, None, service.process.pid)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
