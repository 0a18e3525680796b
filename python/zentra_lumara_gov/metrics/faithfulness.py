"""The metric "faithfulness": how far the answer stays within the retrieved contexts."""

from __future__ import annotations

from typing import Literal

from zentra_lumara_gov.entities.enums import MetricGroup, register_group_metric
from zentra_lumara_gov.metrics.tallyx_metric import TallyxMetric


class FaithfulnessMetric(TallyxMetric):
    """How far the answer stays within the retrieved contexts.

    FaithfulnessMetric(method="sentence_bert_mini_lm" | "sentence_bert_bge" |
    "bert_score_recall" | "llm_as_judge", llm_judge=None, thresholds=[...])
    """

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str | None = "Faithfulness"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


register_group_metric(MetricGroup.ANSWER_QUALITY, FaithfulnessMetric)
