"""Results as columns: 10^6 records evaluated, viewed and written, this build side by side with an earlier one.

Builds the package at ``--baseline-ref`` (the commit before results became
columns, by default) into ``build/compare-abi/`` and runs the same
measurements in fresh processes with each build first on ``PYTHONPATH``,
the builds taking turns (``--rounds``). One process, the library provider's
free metric (every record the same score: what is measured is the SDK), a
table of ``--records`` records whose contexts are lists of texts, as files
and the command line give them.

Measured per build: ``evaluate`` (run record included), ``summary()``,
``to_df()``, ``to_df(wide=True)``, ``to_parquet()``, the peak resident memory
the evaluation added to the process (the high-water mark reset once the
table is made), and the command line from a Parquet file and from a JSON
Lines file to a Parquet file (``--no-store``; the figures with the run store
are in ``bench_store.py``), and PII detection over 10^5 answers half of which
the detection service refuses (a service process of its own), with the peak
memory it added.

    .venv/bin/python bench/bench_results_as_columns.py [--records 1000000] [--rounds 2] [--baseline-ref REF]
    .venv/bin/python bench/bench_results_as_columns.py --measure 10000000 --only evaluate   # this build alone
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BASELINE_REF = "851b789"
STEPS = ["evaluate", "summary", "to_df", "to_df_wide", "to_parquet", "peak_mib", "cli_parquet", "cli_jsonl",
         "detection_seconds", "detection_peak_mib"]
DETECTION_RECORDS = 100_000

# The detection service in a process of its own, refusing (400) every request for an answer marked "FAIL".
SERVICE = """
import sys, time
from detection_service.app import DetectionService
from detection_service.runner import ServiceThread
service = DetectionService("secret", username="ann", instance_id="instance-7")
service.script([400] * int(sys.argv[1]), match=lambda body: b"FAIL" in body)
with ServiceThread(service) as running:
    print(running.url, flush=True)
    sys.stdin.read()
"""


def table(records: int):
    import pandas as pd

    return pd.DataFrame({
        "record_id": [f"r{i}" for i in range(records)],
        "question": ["What is the capital of France?"] * records,
        "contexts": [["Paris is the capital of France.", "France is in Europe."] for _ in range(records)],
        "answer": [f"Paris, answer number {i}" for i in range(records)],
    })


def _reset_peak() -> bool:
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def _peak_mib() -> float:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def measure(records: int, only: list[str]) -> dict[str, float]:
    """The in-process figures of the build first on the path (run in a fresh process)."""
    sys.path.insert(0, str(BENCH))
    import bench_tallyx_provider  # noqa: F401 - registers the free catalog metric
    from free_faithfulness import FreeFaithfulnessMetric

    import zentra_lumara_gov as zlg

    data = table(records)
    client = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))
    configuration = zlg.GenAIConfiguration(context_fields=["contexts"])
    figures: dict[str, float] = {}
    base = _peak_mib() if _reset_peak() else float("nan")
    started = time.perf_counter()
    result = zlg.evaluate(data, [FreeFaithfulnessMetric()], configuration=configuration, api_client=client)
    figures["evaluate"] = time.perf_counter() - started
    figures["peak_mib"] = _peak_mib() - base
    views = {
        "summary": lambda: result.summary(),
        "to_df": lambda: result.to_df(),
        "to_df_wide": lambda: result.to_df(wide=True),
        "to_parquet": lambda: result.to_parquet(os.path.join(tempfile.gettempdir(), "zlg-bench-results.parquet")),
    }
    for name, view in views.items():
        if only and name not in only:
            continue
        started = time.perf_counter()
        view()
        figures[name] = time.perf_counter() - started
    return figures


def detection(records: int, url: str) -> dict[str, float]:
    """PII over ``records`` answers, half of them refused by the service: seconds and added peak memory."""
    import zentra_lumara_gov as zlg
    from zentra_lumara_gov.metrics import PIIMetric

    import pandas as pd

    texts = [f"FAIL {i}" if i % 2 else f"Call 555-0100, record {i}" for i in range(records)]
    pd_table = pd.DataFrame({"record_id": [f"r{i}" for i in range(records)], "question": texts, "answer": texts})
    client = zlg.APIClient(zlg.Credentials(url=url, version="5.0", username="ann", api_key="secret",
                                           service_instance_id="instance-7"))
    base = _peak_mib() if _reset_peak() else float("nan")
    started = time.perf_counter()
    result = zlg.evaluate(pd_table, [PIIMetric()], api_client=client, raise_exceptions=False, store=None)
    seconds = time.perf_counter() - started
    assert result.aggregates[0].failed_records == records // 2, result.aggregates[0].failed_records
    return {"detection_seconds": seconds, "detection_peak_mib": _peak_mib() - base}


def command_line(site: pathlib.Path | None, records: int, folder: pathlib.Path) -> dict[str, float]:
    """The command line from Parquet and from JSON Lines to Parquet, wall seconds."""
    data = table(records)
    data.to_parquet(folder / "records.parquet")
    data.to_json(folder / "records.jsonl", orient="records", lines=True)
    (folder / "eval.toml").write_text('[columns]\ncontext_fields = ["contexts"]\n')
    env = {**os.environ, "LUMARA_URL": "https://governance.example", "LUMARA_API_KEY": "key",
           "PYTHONPATH": os.pathsep.join(filter(None, [str(site) if site else "", str(BENCH)]))}
    figures = {}
    for name, source in (("cli_parquet", "records.parquet"), ("cli_jsonl", "records.jsonl")):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "zentra_lumara_gov", "evaluate", source, "--metrics",
                        "free_faithfulness:FreeFaithfulnessMetric", "--config", "eval.toml", "--out",
                        "out.parquet", "--no-store", "--no-progress"], cwd=folder, env=env, check=True,
                       capture_output=True)
        figures[name] = time.perf_counter() - started
    return figures


def in_fresh_process(site: pathlib.Path | None, *arguments: str) -> dict[str, float]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(site) if site else "", str(BENCH)]))}
    done = subprocess.run([sys.executable, __file__, *arguments, "--json"], env=env, cwd=ROOT,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--baseline-ref", default=BASELINE_REF)
    parser.add_argument("--measure", type=int, metavar="N", help="measure this build alone on N records")
    parser.add_argument("--only", nargs="*", default=[], help="with --measure: the views to time")
    parser.add_argument("--detection", metavar="URL", help=argparse.SUPPRESS)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()

    if options.detection:
        print(json.dumps(detection(DETECTION_RECORDS, options.detection)))
        return 0
    if options.measure:
        figures = measure(options.measure, options.only)
        print(json.dumps(figures) if options.json else
              "\n".join(f"{name:<12}{value:10.2f}" for name, value in figures.items()))
        return 0

    sys.path.insert(0, str(BENCH))
    import compare_abi

    compare_abi.LABELS["before"] = f"the build at {options.baseline_ref}"
    baseline = compare_abi.build("before", compare_abi.sources_of(options.baseline_ref), [])
    builds = {f"{options.baseline_ref} (before)": baseline, "this build": None}
    results: dict[str, dict[str, list[float]]] = {label: {} for label in builds}
    service = subprocess.Popen([sys.executable, "-c", SERVICE, str(DETECTION_RECORDS // 2 * 2 * options.rounds)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    url = service.stdout.readline().strip()
    with tempfile.TemporaryDirectory() as scratch:
        for round_number in range(options.rounds):
            for label, site in builds.items():
                figures = in_fresh_process(site, "--measure", str(options.records))
                figures.update(command_line(site, options.records, pathlib.Path(scratch)))
                figures.update(in_fresh_process(site, "--detection", url))
                for name, value in figures.items():
                    results[label].setdefault(name, []).append(value)
                print(f"round {round_number + 1}, {label}: done", file=sys.stderr, flush=True)
    service.stdin.close()
    service.wait(30)
    labels = list(builds)
    print(f"{options.records:,} records ({DETECTION_RECORDS:,} for detection, half refused), median of "
          f"{options.rounds} round(s); seconds, peak in MiB")
    print(f"| step | {' | '.join(labels)} | after / before |")
    print("| --- | --- | --- | --- |")
    for name in STEPS:
        before, after = (statistics.median(results[label].get(name, [float('nan')])) for label in labels)
        print(f"| {name} | {before:.2f} | {after:.2f} | {after / before:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
