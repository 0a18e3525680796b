"""Records per second through ScreenerProvider.evaluate against the loopback detection service.

Three clients post the same "pii" bodies to the stand-in service, which runs
as its own process on 127.0.0.1 and answers at once:

  * bare    - a bare aiohttp client: the bodies prepared beforehand, posted
              over one session with asyncio.gather, answers parsed (the limit
              any provider can reach);
  * native  - ScreenerProvider.evaluate (the extension module), table in,
              AggregateMetricResult out;
  * python  - the same provider written in plain Python
              (bench/python_screener_provider.py).

Each (client, size) runs in a fresh process after a warm-up of 200 records,
the clients taking turns, and the best of the repeats is kept (10^5 records:
one repeat fewer);
peak memory is that process's peak resident size over its size before the
timed run, per record. The service shares the machine's two cores with the
client and is usually the limit of all three rates, so the client's own CPU
time per record is reported too.

    .venv/bin/python bench/bench_screener_provider.py [--sizes 1000 10000 100000] [--repeats 3]
        [--clients bare native python] [--progress]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import pathlib
import resource
import subprocess
import sys
import time

from progress_option import add_option, reporting

HERE = pathlib.Path(__file__).resolve().parent
SECRET, USER, INSTANCE = "bench-key", "bench", "bench-instance"
CLIENTS = ["bare", "native", "python"]


def current_rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * resource.getpagesize() // 1024


def worker(client: str, size: int, url: str, progress: bool = False) -> dict:
    import aiohttp
    import pandas as pd

    sys.path.insert(0, str(HERE))
    from python_screener_provider import PyScreenerProvider

    from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

    api_client = APIClient(Credentials(url=url, version="5.0", username=USER, api_key=SECRET,
                                       service_instance_id=INSTANCE))

    def table(count: int) -> pd.DataFrame:
        return pd.DataFrame({"record_id": [f"r{index}" for index in range(count)],
                             "question": [f"record {index}: write to user{index}@example.com" for index in range(count)]})

    def provider(kind):
        return kind(configuration=GenAIConfiguration(), metric_name="pii", metric_display_name="PII",
                    api_client=api_client)

    if client == "bare":
        made = provider(ScreenerProvider)
        endpoint, headers = made.base_url, made._ScreenerProvider__get_headers()

        async def post_all(bodies):
            async with aiohttp.ClientSession() as session:
                async def one(body):
                    async with session.post(url=endpoint, headers=headers, data=body) as response:
                        status = response.status
                        text = await response.text()
                        return json.loads(text) if status == 200 else status
                return await asyncio.gather(*(one(body) for body in bodies), return_exceptions=True)

        def prepare(count):
            return [json.dumps({"detectors": {"pii": {}}, "input": text}) for text in table(count)["question"]]

        def run(bodies):
            answers = asyncio.run(post_all(bodies))
            assert all(isinstance(answer, dict) for answer in answers), answers[:3]
            return len(answers)
    else:
        made = provider(ScreenerProvider if client == "native" else PyScreenerProvider)
        prepare = table

        def run(data):
            result = made.evaluate(data)
            assert result.mean == 0.9 and result.total_records == len(data), result.value
            return result.total_records

    run(prepare(200))  # warm-up: imports, first connections
    work = prepare(size)
    with reporting(progress, size, ("pii",)):
        before = current_rss_kib()
        cpu_before = cpu_seconds()
        started = time.perf_counter()
        done = run(work)
        seconds = time.perf_counter() - started
        cpu = cpu_seconds() - cpu_before
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert done == size
    return {"seconds": seconds, "cpu_seconds": cpu, "peak_kib_over_start": max(peak - before, 0)}


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--repeats", type=int, default=3, help="runs per size below 10^5 (best is kept)")
    parser.add_argument("--worker", nargs=3, metavar=("CLIENT", "SIZE", "URL"), help=argparse.SUPPRESS)
    parser.add_argument("--clients", nargs="+", choices=CLIENTS, default=CLIENTS)
    add_option(parser)
    args = parser.parse_args()
    if args.worker:
        client, size, url = args.worker
        print(json.dumps(worker(client, int(size), url, args.progress)))
        return 0
    clients = args.clients

    from detection_service import ServiceProcess

    rows = []
    service_args = ["--secret", SECRET, "--username", USER, "--instance-id", INSTANCE, "--no-request-log"]
    with ServiceProcess(service_args, timeout=30) as service:
        for size in args.sizes:
            runs = {client: [] for client in clients}
            # The clients take turns, so a busy moment of the machine is shared out among them.
            for _ in range(args.repeats if size < 100000 else max(1, args.repeats - 1)):
                for client in clients:
                    command = [sys.executable, __file__, "--worker", client, str(size), service.url]
                    done = subprocess.run(command + ["--progress"] * args.progress,
                                          capture_output=True, text=True, timeout=900, check=True)
                    runs[client].append(json.loads(done.stdout.strip().splitlines()[-1]))
            figures = {}
            for client in clients:
                best = min(runs[client], key=lambda run: run["seconds"])
                figures[client] = (size / best["seconds"], best["peak_kib_over_start"] * 1024 / size,
                                   min(run["cpu_seconds"] for run in runs[client]) * 1e6 / size)
            rows.append((size, figures))
            print(f"{size:>7} records: " + "  ".join(
                f"{client} {rate:6.0f}/s {cpu:4.0f} us cpu {memory:6.0f} B" for client, (rate, memory, cpu)
                in figures.items()), flush=True)
    if clients != CLIENTS:
        return 0
    print()
    print("| records | rec/s bare / native / Python | native / bare | native / Python "
          "| client CPU us/record bare / native / Python | peak B/record bare / native / Python |")
    print("|---|---|---|---|---|---|")
    for size, figures in rows:
        bare, native, python = (figures[client][0] for client in CLIENTS)
        cpu = " / ".join(f"{figures[client][2]:.0f}" for client in CLIENTS)
        memory = " / ".join(f"{figures[client][1]:.0f}" for client in CLIENTS)
        print(f"| {size} | {bare:.0f} / {native:.0f} / {python:.0f} | {native / bare:.2f} | {native / python:.2f} "
              f"| {cpu} | {memory} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
