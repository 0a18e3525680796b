"""The metric "answer_correctness": how much of the ground truth the answer states."""

from __future__ import annotations

from typing import Literal

from zentra_lumara_gov.entities.enums import MetricGroup, register_group_metric
from zentra_lumara_gov.metrics.tallyx_metric import TallyxMetric


class AnswerCorrectnessMetric(TallyxMetric):
    """How much of the ground truth the answer states.

    AnswerCorrectnessMetric(method="sentence_bert_mini_lm" | "sentence_bert_bge" |
    "bert_score_recall" | "llm_as_judge", llm_judge=None, thresholds=[...])
    """

    name: Literal["answer_correctness"] = "answer_correctness"
    display_name: str | None = "Answer Correctness"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


register_group_metric(MetricGroup.ANSWER_QUALITY, AnswerCorrectnessMetric)
