"""TallyxProvider.evaluate, compiled versus plain Python, and the floor.

Scores 10^4, 10^5 and 10^6 records with a catalog metric that costs nothing
(every instance gets the same score), so what is measured is the provider:
pre-processing, the library run's plumbing and post-processing. Three
renderings run in this process on the same table:

* native: the extension module ``zentra_lumara_gov.providers.tallyx_provider``;
* python: ``python_tallyx_provider``, the same steps in plain Python (pandas
  calls and ``iterrows`` as specified);
* floor: constructing the same number of ``RecordMetricResult`` objects and
  nothing else.

Post-processing alone (the score table to result records) is timed for both
renderings against the floor. Peak memory is traced (tracemalloc) in separate,
untimed runs.

    .venv/bin/python bench/bench_tallyx_provider.py [--quick] [--no-memory] [--progress]
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import sys
import time
import tracemalloc

import pandas as pd
from tallyx.catalog import add_to_catalog
from tallyx.operator import StreamOperator

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from progress_option import add_option, reporting  # noqa: E402
from python_tallyx_provider import PythonTallyxProvider  # noqa: E402

import zentra_lumara_gov.providers.tallyx_provider as tp  # noqa: E402
from zentra_lumara_gov.config import GenAIConfiguration  # noqa: E402
from zentra_lumara_gov.entities.enums import EvaluationProvider, MetricGroup  # noqa: E402
from zentra_lumara_gov.entities.evaluation_result import RecordMetricResult  # noqa: E402
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold  # noqa: E402

PREFIX = "metrics.bench"
METHOD = "free"


class FreeMetric(StreamOperator):
    """Gives every instance the same score dictionary: no work per record."""

    def __init__(self, value: float):
        self.score = {"instance": {"score": value, "score_name": "faithfulness"}}

    def process_stream(self, instances, stream_name):
        score = self.score
        for instance in instances:
            instance["score"] = score
            yield instance


add_to_catalog(FreeMetric(0.123456), f"{PREFIX}.faithfulness.{METHOD}", overwrite=True)

CONFIGURATION = GenAIConfiguration(
    input_fields=["question"], output_fields=["answer"], context_fields=["context_1", "context_2"],
    reference_fields=["ground_truth_1", "ground_truth_2"], record_id_field="record_id",
)
THRESHOLDS = [MetricThreshold(type="lower_limit", value=0.7)]


def table(rows: int) -> pd.DataFrame:
    return pd.DataFrame({
        "question": ["What is the capital of France?"] * rows,
        "context_1": ["Paris is the capital of France."] * rows,
        "context_2": ["France is in Europe."] * rows,
        "answer": ["The capital of France is Paris."] * rows,
        "ground_truth_1": ["Paris."] * rows,
        "ground_truth_2": ["The capital is Paris."] * rows,
        "record_id": [f"record-{i}" for i in range(rows)],
    })


def make(cls):
    return cls(CONFIGURATION, "faithfulness", "Faithfulness", METHOD, PREFIX,
               metric_group=MetricGroup.ANSWER_QUALITY, thresholds=THRESHOLDS)


def floor(rows: int) -> list:
    provider = EvaluationProvider.TALLYX.value
    return [
        RecordMetricResult(name="faithfulness", display_name="Faithfulness", method=METHOD,
                           group=MetricGroup.ANSWER_QUALITY, provider=provider, value=0.1235,
                           record_id=f"record-{i}", thresholds=THRESHOLDS)
        for i in range(rows)
    ]


PROGRESS = False  # --progress: every timed run reports to a sink


def timed(repeats: int, run, records: int = 0) -> float:
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        with reporting(PROGRESS, records, ("faithfulness",)):
            started = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - started)
    return best


def peak(run) -> float:
    gc.collect()
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1] / 2**20
    finally:
        tracemalloc.stop()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10^4 and 10^5 records only")
    parser.add_argument("--no-memory", action="store_true", help="skip the traced peak-memory runs")
    add_option(parser)
    options = parser.parse_args()
    global PROGRESS
    PROGRESS = options.progress
    sizes = [10_000, 100_000] if options.quick else [10_000, 100_000, 1_000_000]
    native, python = make(tp.TallyxProvider), make(PythonTallyxProvider)

    # Both renderings must agree before they are compared.
    small = table(50)
    assert native.evaluate(small).model_dump() == python.evaluate(small).model_dump()

    print("evaluate (whole provider) and post-processing alone; times in ms, best of runs")
    print(f"  {'records':>9}  {'native':>9} {'python':>9} {'floor':>9} {'py/nat':>7}"
          f" | {'post nat':>9} {'post py':>9} {'nat/floor':>9}")
    for rows in sizes:
        data = table(rows)
        repeats = 3 if rows < 1_000_000 else 1
        scores = pd.DataFrame({"faithfulness": [0.123456] * rows, "record_id": data["record_id"]})
        t_native = timed(repeats, lambda: native.evaluate(data), rows)
        t_python = timed(repeats, lambda: python.evaluate(data), rows)
        t_floor = timed(repeats, lambda: floor(rows))
        post_native = timed(repeats, lambda: native._TallyxProvider__post_process(result=scores))
        post_python = timed(repeats, lambda: python.post_process(result=scores))
        print(f"  {rows:>9,}  {t_native * 1e3:9.1f} {t_python * 1e3:9.1f} {t_floor * 1e3:9.1f}"
              f" {t_python / t_native:6.2f}x | {post_native * 1e3:9.1f} {post_python * 1e3:9.1f}"
              f" {post_native / t_floor:8.2f}x")
        if not options.no_memory:
            print(f"  {'':>9}  peak MiB: native {peak(lambda: native.evaluate(data)):.1f}, "
                  f"python {peak(lambda: python.evaluate(data)):.1f}, floor {peak(lambda: floor(rows)):.1f}")


if __name__ == "__main__":
    main()
