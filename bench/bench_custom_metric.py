"""A metric function over 10^5 records: the run's overhead beside a bare Python loop calling the function.

The bare loop is what a user would write without the SDK: the function
called on every row of the same table (a named tuple per row, as
``itertuples`` gives). The run adds the record type, failure isolation per
record and one result record per value.

    .venv/bin/python bench/bench_custom_metric.py [--records N] [--repeat R]
"""

from __future__ import annotations

import argparse
import time

import pandas as pd

import zentra_lumara_gov as zlg


def answer_length(record) -> float:
    return len(record.answer)


METRIC = zlg.metric(answer_length)


def best(function, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    table = pd.DataFrame({
        "record_id": [f"r{i}" for i in range(options.records)],
        "question": ["What is the capital of France?"] * options.records,
        "answer": [f"Paris, answer number {i}" for i in range(options.records)],
    })
    configuration = zlg.GenAIConfiguration()
    client = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))

    def bare_loop() -> list[float]:
        return [answer_length(row) for row in table.itertuples(index=False)]

    def metric_alone() -> object:
        return METRIC.evaluate(table, configuration)

    def whole_run() -> object:
        return zlg.evaluate(table, [METRIC], api_client=client, show_progress=False)

    bare = best(bare_loop, options.repeat)
    print(f"{options.records} records, best of {options.repeat}")
    print(f"{'bare loop':<34}{bare:8.3f} s   1.00x")
    for label, function in (("the metric's evaluate", metric_alone), ("zlg.evaluate (run record included)", whole_run)):
        seconds = best(function, options.repeat)
        print(f"{label:<34}{seconds:8.3f} s {seconds / bare:6.2f}x")


if __name__ == "__main__":
    main()
