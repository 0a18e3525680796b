"""The metric "answer_relevance": how directly the answer addresses the question."""

from __future__ import annotations

from typing import Literal

from zentra_lumara_gov.entities.enums import MetricGroup, register_group_metric
from zentra_lumara_gov.metrics.tallyx_metric import TallyxMetric


class AnswerRelevanceMetric(TallyxMetric):
    """How directly the answer addresses the question.

    AnswerRelevanceMetric(method="sentence_bert_mini_lm" | "sentence_bert_bge" |
    "bert_score_recall" | "llm_as_judge", llm_judge=None, thresholds=[...])
    """

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str | None = "Answer Relevance"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


register_group_metric(MetricGroup.ANSWER_QUALITY, AnswerRelevanceMetric)
