"""What progress reporting costs the providers: an earlier build, this build with
progress off, and this build with a sink and a bar set, timed in turn in one
process on the workloads of the provider benchmarks.

* tallyx:   TallyxProvider.evaluate on bench_tallyx_provider's 10^4-record table;
* verdix:   VerdixProvider.__post_process on bench_verdix_postprocess's 10^4 judge results;
* screener: ScreenerProvider.evaluate of 2,000 "pii" records against the stand-in
            service in its own process (the client's CPU time).

The earlier build is the extension modules of an installed copy of the
package, e.g. one copied aside before rebuilding:

    cp -r .venv/lib/python3.12/site-packages/zentra_lumara_gov /tmp/before/
    .venv/bin/python bench/bench_progress_overhead.py --before /tmp/before [--repeats 31]

Each round runs the three variants in a rotating order; CPU time
(process_time) per run, best and median over the rounds, and each against
the earlier build. On a busy machine, trust the medians of many rounds.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.util
import pathlib
import statistics
import sys
import time

from progress_option import reporting


def load_pair(before: pathlib.Path, name: str):
    """(earlier module, this build's module) of zentra_lumara_gov.providers.<name>."""
    full = f"zentra_lumara_gov.providers.{name}"
    current = importlib.import_module(full)
    shared_object = next((before / "zentra_lumara_gov" / "providers").glob(f"{name}.cpython-*.so"))
    module_spec = importlib.util.spec_from_file_location(full, shared_object)
    earlier = importlib.util.module_from_spec(module_spec)
    sys.modules[full] = earlier  # while it loads, it is the module of that name
    try:
        module_spec.loader.exec_module(earlier)
    finally:
        sys.modules[full] = current
    return earlier, current


def measure(variants, repeats: int, records: int) -> dict[str, tuple[float, float]]:
    times: dict[str, list[float]] = {label: [] for label, _, _ in variants}
    for round_number in range(repeats):
        shift = round_number % len(variants)  # each variant takes every place in the order in turn
        for label, run, progress in variants[shift:] + variants[:shift]:
            gc.collect()
            with reporting(progress, records, ("m",)):
                started = time.process_time()
                run()
                times[label].append(time.process_time() - started)
    return {label: (min(values), statistics.median(values)) for label, values in times.items()}


def show(title: str, figures: dict[str, tuple[float, float]]) -> None:
    first_best, first_median = figures["earlier"]
    print(title)
    for label, (best, median) in figures.items():
        print(f"   {label:<12} best {best * 1e3:8.2f} ms ({best / first_best * 100 - 100:+5.1f}%)   "
              f"median {median * 1e3:8.2f} ms ({median / first_median * 100 - 100:+5.1f}%)", flush=True)


def variants(earlier_run, current_run):
    return [("earlier", earlier_run, False), ("progress off", current_run, False), ("progress on", current_run, True)]


def bench_tallyx(before: pathlib.Path, repeats: int) -> None:
    import bench_tallyx_provider as workload

    earlier, current = load_pair(before, "tallyx_provider")
    rows = 10_000
    data = workload.table(rows)
    old, new = workload.make(earlier.TallyxProvider), workload.make(current.TallyxProvider)
    show(f"TallyxProvider.evaluate, {rows:,} records",
         measure(variants(lambda: old.evaluate(data), lambda: new.evaluate(data)), repeats, rows))


def bench_verdix(before: pathlib.Path, repeats: int) -> None:
    import bench_verdix_postprocess as workload

    earlier, current = load_pair(before, "verdix_provider")
    rows = 10_000
    new, results, data = workload.fixtures(rows, False)
    old = earlier.VerdixProvider(
        "context_support", "Context support", "numeric", new.llm_judge, workload.OPTIONS, criteria_description="c",
        prediction_field="answer", metric_group=new.metric_group, metric_method="llm_as_judge",
        thresholds=new.thresholds, compute_token_count=False,
    )
    show(f"VerdixProvider.__post_process, {rows:,} judge results",
         measure(variants(lambda: old._VerdixProvider__post_process(results=results, data=data),
                          lambda: new._VerdixProvider__post_process(results=results, data=data)), repeats, rows))


def bench_screener(before: pathlib.Path, repeats: int) -> None:
    import pandas as pd

    from detection_service import ServiceProcess
    from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    from zentra_lumara_gov.config import GenAIConfiguration

    earlier, current = load_pair(before, "screener_provider")
    rows = 2_000
    data = pd.DataFrame({"record_id": [f"r{index}" for index in range(rows)],
                         "question": [f"record {index}: write to user{index}@example.com" for index in range(rows)]})
    with ServiceProcess(["--secret", "bench-key", "--username", "bench", "--instance-id", "bench-instance",
                         "--no-request-log"], timeout=30) as service:
        client = APIClient(Credentials(url=service.url, version="5.0", username="bench", api_key="bench-key",
                                       service_instance_id="bench-instance"))

        def make(provider_class):
            return provider_class(configuration=GenAIConfiguration(), metric_name="pii", metric_display_name="PII",
                                  api_client=client)

        old, new = make(earlier.ScreenerProvider), make(current.ScreenerProvider)
        for provider in (old, new):  # first connections, imports
            provider.evaluate(data.head(200))
        show(f"ScreenerProvider.evaluate, {rows:,} records (client CPU time)",
             measure(variants(lambda: old.evaluate(data), lambda: new.evaluate(data)), repeats, rows))


BENCHES = {"tallyx": bench_tallyx, "verdix": bench_verdix, "screener": bench_screener}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", type=pathlib.Path, required=True,
                        help="a folder holding an earlier installed zentra_lumara_gov package")
    parser.add_argument("--providers", nargs="+", choices=list(BENCHES), default=list(BENCHES))
    parser.add_argument("--repeats", type=int, default=31)
    options = parser.parse_args()
    for name in options.providers:
        BENCHES[name](options.before, options.repeats)


if __name__ == "__main__":
    main()
