"""The metric "context_relevance": how well the retrieved contexts cover the question."""

from __future__ import annotations

from typing import Literal

from zentra_lumara_gov.entities.enums import MetricGroup, register_group_metric
from zentra_lumara_gov.metrics.tallyx_metric import TallyxMetric


class ContextRelevanceMetric(TallyxMetric):
    """How well the retrieved contexts cover the question.

    ContextRelevanceMetric(method="sentence_bert_mini_lm" | "sentence_bert_bge" |
    "bert_score_recall" | "llm_as_judge", llm_judge=None, thresholds=[...])
    """

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str | None = "Context Relevance"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY


register_group_metric(MetricGroup.RETRIEVAL_QUALITY, ContextRelevanceMetric)
