"""Metric classes of the SDK, importable from here.

| class | computed by | name |
|-------|-------------|------|
| ``AnswerRelevanceMetric``, ``ContextRelevanceMetric``, ``FaithfulnessMetric``, ``AnswerCorrectnessMetric`` | the evaluation library (similarity, or a judge model with method "llm_as_judge") | "answer_relevance", "context_relevance", "faithfulness", "answer_correctness" |
| ``PIIMetric``, ``HAPMetric``, ``KeywordMetric``, ``RegexMetric``, ``PromptSafetyRiskMetric``, ``TopicRelevanceMetric``, ``ToolCallAccuracyMetric``, ``AnswerRelevanceDetectionMetric``, ``ContextRelevanceDetectionMetric``, ``FaithfulnessDetectionMetric`` | the detection service | see ``detection_metrics`` |
| ``LLMAsJudgeMetric`` | the criteria judge | the caller's |

``GenAIMetric`` is the base of them all. Each class loads on first use.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # "X as X": names this package exports, as type checkers read them.
    from zentra_lumara_gov.entities.metric import GenAIMetric as GenAIMetric
    from zentra_lumara_gov.metrics.answer_correctness import AnswerCorrectnessMetric as AnswerCorrectnessMetric
    from zentra_lumara_gov.metrics.answer_relevance import AnswerRelevanceMetric as AnswerRelevanceMetric
    from zentra_lumara_gov.metrics.context_relevance import ContextRelevanceMetric as ContextRelevanceMetric
    from zentra_lumara_gov.metrics.faithfulness import FaithfulnessMetric as FaithfulnessMetric
    from zentra_lumara_gov.metrics.tallyx_metric import TallyxMetric as TallyxMetric
    from zentra_lumara_gov.metrics.llm_as_judge import LLMAsJudgeMetric as LLMAsJudgeMetric
    from zentra_lumara_gov.metrics.detection_metrics import (
        DetectionMetric as DetectionMetric,
        PIIMetric as PIIMetric,
        HAPMetric as HAPMetric,
        KeywordMetric as KeywordMetric,
        RegexMetric as RegexMetric,
        PromptSafetyRiskMetric as PromptSafetyRiskMetric,
        TopicRelevanceMetric as TopicRelevanceMetric,
        ToolCallAccuracyMetric as ToolCallAccuracyMetric,
        AnswerRelevanceDetectionMetric as AnswerRelevanceDetectionMetric,
        ContextRelevanceDetectionMetric as ContextRelevanceDetectionMetric,
        FaithfulnessDetectionMetric as FaithfulnessDetectionMetric,
    )

_LAZY_NAMES = {
    "GenAIMetric": "zentra_lumara_gov.entities.metric",
    "AnswerCorrectnessMetric": "zentra_lumara_gov.metrics.answer_correctness",
    "AnswerRelevanceMetric": "zentra_lumara_gov.metrics.answer_relevance",
    "ContextRelevanceMetric": "zentra_lumara_gov.metrics.context_relevance",
    "FaithfulnessMetric": "zentra_lumara_gov.metrics.faithfulness",
    "TallyxMetric": "zentra_lumara_gov.metrics.tallyx_metric",
    "LLMAsJudgeMetric": "zentra_lumara_gov.metrics.llm_as_judge",
    "DetectionMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "PIIMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "HAPMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "KeywordMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "RegexMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "PromptSafetyRiskMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "TopicRelevanceMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "ToolCallAccuracyMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "AnswerRelevanceDetectionMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "ContextRelevanceDetectionMetric": "zentra_lumara_gov.metrics.detection_metrics",
    "FaithfulnessDetectionMetric": "zentra_lumara_gov.metrics.detection_metrics",
}

__all__ = sorted(_LAZY_NAMES)


def __getattr__(name: str) -> Any:
    if name not in _LAZY_NAMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(_LAZY_NAMES[name]), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})


# Bases of the metric classes, which no run computes as such.
_BASES = ("GenAIMetric", "TallyxMetric", "DetectionMetric")


# Entry-point group through which installed packages add metrics.
PLUGIN_GROUP = "zentra_lumara_gov.metrics"


def metric_kinds() -> dict[str, Any]:
    """Every metric available by its kind: the built-in classes, then the plugins' metrics.

    A built-in class's kind is its name in snake case, without "Metric":
    ``PIIMetric`` is "pii", ``AnswerRelevanceDetectionMetric`` is
    "answer_relevance_detection", ``LLMAsJudgeMetric`` "llm_as_judge". A
    package adds metrics through the entry-point group
    "zentra_lumara_gov.metrics": each entry point names a metric class, or a
    metric object such as a function decorated with ``zentra_lumara_gov.metric``,
    under the entry point's name (a built-in kind is never replaced). The
    command line reads its metric names from here.
    """
    import re
    from importlib.metadata import entry_points

    kinds: dict[str, Any] = {}
    for class_name in _LAZY_NAMES:
        if class_name in _BASES:
            continue
        stem = class_name.removesuffix("Metric")
        words = re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", stem)
        kinds[words.lower()] = __getattr__(class_name)
    for entry in entry_points(group=PLUGIN_GROUP):
        kinds.setdefault(entry.name, entry)  # loaded when used: a broken plugin fails only its own metric
    return kinds
