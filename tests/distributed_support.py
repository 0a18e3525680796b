"""What the distributed-evaluation tests ship to Dask workers: importable by
module name, since workers unpickle classes by reference."""

from __future__ import annotations

import os
import random
from typing import Any

import pandas as pd

from zentra_lumara_gov.metrics import FaithfulnessMetric

WORDS = ("paris france capital river seine city europe planet water novel idiot stupid "
         "mars orbit garden plants rain sea author chapter").split()


def record_table(rows: int, *, seed: int = 7, with_ids: bool = True) -> pd.DataFrame:
    """Questions, two contexts, answers and a ground truth drawn from a small vocabulary."""
    rng = random.Random(seed)

    def sentence(words: int) -> str:
        return " ".join(rng.choice(WORDS) for _ in range(words))

    table = pd.DataFrame({
        "question": [sentence(6) for _ in range(rows)],
        "contexts": [[sentence(8), sentence(8)] for _ in range(rows)],
        "answer": [sentence(7) for _ in range(rows)],
        "ground_truth": [sentence(5) for _ in range(rows)],
    })
    if with_ids:
        table.insert(0, "record_id", [f"row-{i}" for i in range(rows)])
    return table


class DiesOnceFaithfulnessMetric(FaithfulnessMetric):
    """Faithfulness, except that the first evaluation anywhere ends its own process.

    ``marker`` is a file path: the first attempt creates it (atomically, so of
    two workers only one dies) and exits at once, as a crashed worker would.
    """

    marker: str

    def evaluate(self, data: Any, configuration: Any, metrics_result: list | None = None,
                 api_client: Any = None, **kwargs: Any):
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return super().evaluate(data, configuration, metrics_result, api_client, **kwargs)
        os._exit(17)


import zentra_lumara_gov as _zlg  # noqa: E402


@_zlg.metric(thresholds=[_zlg.MetricThreshold(type="upper_limit", value=40)])
def answer_length(record) -> float:
    """A metric of the user's own: the answer's length in characters, at most 40 allowed."""
    return len(record.answer)


@_zlg.metric(batch=True)
def answer_words(table):
    """A vectorised metric: the words of every answer at once."""
    return table["answer"].str.split().str.len().astype(float)


@_zlg.metric
async def question_length(record):
    """An async metric: the question's length, labelled by its record."""
    return _zlg.Score(len(record.question), label=record.record_id)
