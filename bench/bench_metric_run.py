"""The metric run's own overhead, compiled versus plain Python.

Everything but the metrics' work: trivial metrics (they return None at once)
over tables of 10^4, 10^5 and 10^6 rows with 1, 10 and 100 metrics, in the
blocking and the asynchronous run; plus record stamping alone on 10^6 rows.
Both renderings run in this process on copies of the same table.

    .venv/bin/python bench/bench_metric_run.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import pathlib
import sys
import time

import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import python_metric_run as py_run  # noqa: E402

import zentra_lumara_gov.evaluators.impl.metric_run_impl as native_run  # noqa: E402
from zentra_lumara_gov.config import GenAIConfiguration  # noqa: E402

logging.disable(logging.CRITICAL)


class TrivialMetric:
    metric_dependencies = []

    def __init__(self, name):
        self.name = name

    def evaluate(self, **kwargs):
        return None

    async def _nothing(self):
        return None

    def evaluate_async(self, **kwargs):
        return self._nothing()


def table(rows: int) -> pd.DataFrame:
    return pd.DataFrame({"question": ["what is it?"] * rows, "answer": ["it is."] * rows})


def best_of(repeats: int, run) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10^4 and 10^5 rows only")
    options = parser.parse_args()
    sizes = [10_000, 100_000] if options.quick else [10_000, 100_000, 1_000_000]
    configuration = GenAIConfiguration()  # casts the answer column, as a real run does
    client = object()

    print("record stamping alone (ids and timestamps)")
    for rows in sizes:
        base = table(rows)
        repeats = 3 if rows < 1_000_000 else 2
        native = best_of(repeats, lambda: native_run.__dict__["__populate_record_id_timestamp"](
            configuration=configuration, data=base.copy()))
        python = best_of(repeats, lambda: py_run.populate_record_id_timestamp(
            configuration=configuration, data=base.copy()))
        copy_only = best_of(repeats, lambda: base.copy())
        native -= copy_only
        python -= copy_only
        print(f"  rows={rows:>9,}  native {native * 1e3:9.1f} ms  python {python * 1e3:9.1f} ms"
              f"  python/native {python / native:5.1f}x")

    print("whole run overhead")
    print(f"  {'mode':<9}{'rows':>10}{'metrics':>9}{'native ms':>12}{'python ms':>12}{'ratio':>8}")
    for mode in ("blocking", "async"):
        for rows in sizes:
            base = table(rows)
            for count in (1, 10, 100):
                metrics = [TrivialMetric(f"m{i}") for i in range(count)]
                if mode == "blocking":
                    def native():
                        native_run._evaluate_metrics(configuration, base.copy(), metrics, client)

                    def python():
                        py_run.evaluate_metrics(configuration, base.copy(), metrics, client)
                else:
                    def native():
                        asyncio.run(native_run._evaluate_metrics_async(configuration, base.copy(),
                                                                       metrics, client))

                    def python():
                        asyncio.run(py_run.evaluate_metrics_async(configuration, base.copy(),
                                                                  metrics, client))
                repeats = 3 if rows < 1_000_000 else 1
                native_time = best_of(repeats, native)
                python_time = best_of(repeats, python)
                print(f"  {mode:<9}{rows:>10,}{count:>9}{native_time * 1e3:12.1f}"
                      f"{python_time * 1e3:12.1f}{python_time / native_time:8.2f}")


if __name__ == "__main__":
    main()
