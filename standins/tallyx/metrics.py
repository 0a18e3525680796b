"""Catalog metrics: similarity scores per instance and their mean.

Each metric of the catalog (``tallyx.catalog``) is a ``SimilarityMetric``
over two fields of the instance:

======================  =====================  ========================
metric name             reference side         candidate side
======================  =====================  ========================
faithfulness            answer                 contexts (joined)
answer_relevance        question               answer
context_relevance       question               each context (best one)
answer_correctness      each ground truth      answer
                        (best one)
======================  =====================  ========================

and one of three methods (``tallyx.text``):

* "sentence_bert_mini_lm": ``cosine`` of the two sides' word counts;
* "sentence_bert_bge": ``bigram_cosine`` (words and adjacent word pairs);
* "bert_score_recall": ``recall``, the share of the reference side's words
  found in the candidate side.

Every instance gets ``instance["score"]["instance"]`` = {"score": s,
"score_name": name, name: s} and ``instance["score"]["global"]``, one
dictionary shared by all instances of the stream with the mean score and the
number of instances.
"""

from __future__ import annotations

import math
from collections.abc import Callable

from tallyx import text
from tallyx.operator import StreamOperator

METHODS: dict[str, Callable[[str, str], float]] = {
    "sentence_bert_mini_lm": lambda reference, candidate: text.cosine(reference, candidate),
    "sentence_bert_bge": lambda reference, candidate: text.bigram_cosine(reference, candidate),
    "bert_score_recall": text.recall,
}

# metric name -> (reference field, reference is a list of alternatives,
#                 candidate field, candidate is a list of alternatives)
SIDES: dict[str, tuple[str, bool, str, bool]] = {
    "faithfulness": ("answer", False, "contexts", False),
    "answer_relevance": ("question", False, "answer", False),
    "context_relevance": ("question", False, "contexts", True),
    "answer_correctness": ("ground_truths", True, "answer", False),
}


def _alternatives(value) -> list[str]:
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)):
        return [str(v) for v in value]
    return [str(value)]


class InstanceMetric(StreamOperator):
    """A metric scoring each instance with ``score_fn(instance)``; the global
    score is the mean of the instance scores that are numbers (NaN skipped)."""

    def __init__(self, main_score: str, score_fn: Callable[[dict], float]):
        self.main_score = main_score
        self.score_fn = score_fn

    def process_stream(self, instances, stream_name):
        # The global score needs every instance, so the stream is read whole.
        instances = list(instances)
        name = self.main_score
        scores = [self.score_fn(instance) for instance in instances]
        numbers = [s for s in scores if isinstance(s, (int, float)) and not math.isnan(s)]
        mean = sum(numbers) / len(numbers) if numbers else math.nan
        global_score = {"score": mean, "score_name": name, name: mean, "num_of_instances": len(instances)}
        for instance, score in zip(instances, scores):
            instance["score"] = {
                "instance": {"score": score, "score_name": name, name: score},
                "global": global_score,
            }
            yield instance


class SimilarityMetric(InstanceMetric):
    """One catalog metric: ``name`` (a key of SIDES) by ``method`` (a key of
    METHODS). A missing field is an error naming the metric and the field."""

    def __init__(self, identifier: str, name: str, method: str):
        if name not in SIDES:
            raise ValueError(f"Unknown metric name {name!r}")
        if method not in METHODS:
            raise ValueError(f"Unknown metric method {method!r}")
        self.identifier = identifier
        self.method = method
        super().__init__(name, self._score)

    def _field(self, instance: dict, field: str):
        try:
            return instance[field]
        except KeyError:
            raise KeyError(f"Metric {self.identifier} needs the field '{field}', which the instance lacks") from None

    def _score(self, instance: dict) -> float:
        reference_field, reference_many, candidate_field, candidate_many = SIDES[self.main_score]
        measure = METHODS[self.method]
        reference = self._field(instance, reference_field)
        candidate = self._field(instance, candidate_field)
        references = _alternatives(reference) if reference_many else [text.joined(reference)]
        candidates = _alternatives(candidate) if candidate_many else [text.joined(candidate)]
        return max(measure(r, c) for r in references for c in candidates)

    def __repr__(self) -> str:
        return f"SimilarityMetric({self.identifier!r})"
