"""Metrics computed by the detection service through ``ScreenerProvider``.

Each metric builds a provider with its own name, display name, method, group
and thresholds, the caller's configuration and service client, and the
detector parameters it carries, then returns what the provider returns.

| class | name | method | detector parameters |
|-------|------|--------|---------------------|
| ``PIIMetric`` | "pii" | None | none |
| ``HAPMetric`` | "hap" | None | none |
| ``KeywordMetric`` | "keyword" | None | {"keywords": [...]} |
| ``RegexMetric`` | "regex" | None | {"regex": [...]} |
| ``PromptSafetyRiskMetric`` | "prompt_safety_risk" | "basalt_guardian" | none |
| ``TopicRelevanceMetric`` | "topic_relevance" | None | {"system_prompt": ...} |
| ``ToolCallAccuracyMetric`` | "tool_call_accuracy" | None | none |
| ``AnswerRelevanceDetectionMetric`` | "answer_relevance" | "basalt_guardian" | none |
| ``ContextRelevanceDetectionMetric`` | "context_relevance" | "context_relevance_model" | none |
| ``FaithfulnessDetectionMetric`` | "faithfulness" | "faithfulness_model" | none |
"""

from __future__ import annotations

from typing import Any, ClassVar, Literal

from pydantic import Field

from zentra_lumara_gov.entities.enums import MetricGroup, register_group_metric
from zentra_lumara_gov.entities.metric import GenAIMetric


class DetectionMetric(GenAIMetric):
    """A metric the detection service computes."""

    provider: ClassVar[str | None] = "detectors"

    def detector_params(self) -> dict[str, Any] | None:
        """The parameters sent with the detector (None: the detector's defaults)."""
        return None

    def _provider(self, configuration: Any, api_client: Any) -> Any:
        # Imported here: the provider module imports the outer layer, which may import metrics.
        from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

        return ScreenerProvider(
            configuration=configuration,
            metric_name=self.name,
            metric_display_name=self.display_name,
            metric_method=self.method,
            metric_group=self.group,
            thresholds=self.thresholds,
            api_client=api_client,
            detector_params=self.detector_params(),
        )

    def evaluate(self, data: Any, configuration: Any, metrics_result: list | None = None,
                 api_client: Any = None, **kwargs: Any) -> Any:
        return self._provider(configuration, api_client).evaluate(data=data)

    async def evaluate_async(self, data: Any, configuration: Any, metrics_result: list | None = None,
                             api_client: Any = None, **kwargs: Any) -> Any:
        return await self._provider(configuration, api_client).evaluate_async(data=data)


class PIIMetric(DetectionMetric):
    """Personal information in the input (e-mail addresses, phone numbers, ...), with evidence."""

    name: Literal["pii"] = "pii"
    display_name: str = "PII"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY


class HAPMetric(DetectionMetric):
    """Hate, abuse and profanity in the input, with evidence."""

    name: Literal["hap"] = "hap"
    display_name: str = "HAP"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY


class KeywordMetric(DetectionMetric):
    """Whether the input holds any of the given keywords (case is ignored)."""

    name: Literal["keyword"] = "keyword"
    display_name: str = "Keyword Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    keywords: list[str] = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"keywords": list(self.keywords)}


class RegexMetric(DetectionMetric):
    """Whether the input matches any of the given regular expressions."""

    name: Literal["regex"] = "regex"
    display_name: str = "Regex Detection"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY
    regex_patterns: list[str] = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"regex": list(self.regex_patterns)}


class PromptSafetyRiskMetric(DetectionMetric):
    """Harm in the input, as the guardian model scores it."""

    name: Literal["prompt_safety_risk"] = "prompt_safety_risk"
    display_name: str = "Prompt Safety Risk"
    method: Literal["basalt_guardian"] = "basalt_guardian"
    group: MetricGroup | None = MetricGroup.CONTENT_SAFETY


class TopicRelevanceMetric(DetectionMetric):
    """How far the input stays on the topic the system prompt sets (1: fully on topic)."""

    name: Literal["topic_relevance"] = "topic_relevance"
    display_name: str = "Topic Relevance"
    system_prompt: str = Field(min_length=1)

    def detector_params(self) -> dict[str, Any]:
        return {"system_prompt": self.system_prompt}


class ToolCallAccuracyMetric(DetectionMetric):
    """Whether the tool calls of a record fit the tool catalogue (1: no fault found)."""

    name: Literal["tool_call_accuracy"] = "tool_call_accuracy"
    display_name: str = "Tool Call Accuracy"
    group: MetricGroup | None = MetricGroup.TOOL_CALL_QUALITY


class AnswerRelevanceDetectionMetric(DetectionMetric):
    """Relevance of the answer to the question, scored by the detection service."""

    name: Literal["answer_relevance"] = "answer_relevance"
    display_name: str = "Answer Relevance"
    method: Literal["basalt_guardian"] = "basalt_guardian"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


class ContextRelevanceDetectionMetric(DetectionMetric):
    """Relevance of the retrieved contexts to the question, with the best context as evidence."""

    name: Literal["context_relevance"] = "context_relevance"
    display_name: str = "Context Relevance"
    method: Literal["context_relevance_model"] = "context_relevance_model"
    group: MetricGroup | None = MetricGroup.RETRIEVAL_QUALITY


class FaithfulnessDetectionMetric(DetectionMetric):
    """How far the contexts support the answer, with the best supporting context as evidence."""

    name: Literal["faithfulness"] = "faithfulness"
    display_name: str = "Faithfulness"
    method: Literal["faithfulness_model"] = "faithfulness_model"
    group: MetricGroup | None = MetricGroup.ANSWER_QUALITY


# The safety and tool-call groups are computed by the detection service alone.
register_group_metric(MetricGroup.CONTENT_SAFETY, PIIMetric)
register_group_metric(MetricGroup.CONTENT_SAFETY, HAPMetric)
register_group_metric(MetricGroup.CONTENT_SAFETY, PromptSafetyRiskMetric)
register_group_metric(MetricGroup.TOOL_CALL_QUALITY, ToolCallAccuracyMetric)
