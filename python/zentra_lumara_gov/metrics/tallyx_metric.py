"""Base of the metrics computed by the evaluation library ``tallyx``.

A metric object names the metric and its method; ``evaluate`` builds a
``TallyxProvider`` with the configuration, the metric's identity and
thresholds and the judge model, and returns the provider's aggregate result.

Methods:

* "sentence_bert_mini_lm", "sentence_bert_bge", "bert_score_recall":
  similarity scores of the library's catalog
  ("metrics.rag_eval.<name>.<method>");
* "llm_as_judge": a judge model reads each record. The judge is the metric's
  ``llm_judge``, else the configuration's.
"""

from __future__ import annotations

from typing import Any, ClassVar

from pydantic import Field, model_validator

from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers.tallyx_provider import TallyxProvider

SIMILARITY_METHODS = ("sentence_bert_mini_lm", "sentence_bert_bge", "bert_score_recall")
JUDGE_METHOD = "llm_as_judge"


def _default_thresholds() -> list[MetricThreshold]:
    return [MetricThreshold(type="lower_limit", value=0.7)]


class TallyxMetric(GenAIMetric):
    """A metric of the evaluation library; subclasses fix ``name``."""

    provider: ClassVar[str | None] = "tallyx"
    METRIC_PREFIX: ClassVar[str] = "metrics.rag_eval"
    METHODS: ClassVar[tuple[str, ...]] = (*SIMILARITY_METHODS, JUDGE_METHOD)

    method: str = "sentence_bert_mini_lm"
    thresholds: list[MetricThreshold] = Field(default_factory=_default_thresholds)
    llm_judge: LLMJudge | None = None

    @model_validator(mode="after")
    def _check_method(self) -> "TallyxMetric":
        if self.method not in self.METHODS:
            raise ValueError(
                f"The method {self.method!r} is not available for {self.name}; use one of {', '.join(self.METHODS)}."
            )
        return self

    def _provider(self, configuration: Any, api_client: Any) -> TallyxProvider:
        if self.method == JUDGE_METHOD and self.llm_judge is None and getattr(configuration, "llm_judge", None) is None:
            raise ValueError(
                f"The method {JUDGE_METHOD} of {self.name} needs a judge model: "
                "give llm_judge to the metric or to the configuration."
            )
        return TallyxProvider(
            configuration=configuration,
            metric_name=self.name,
            metric_display_name=self.display_name,
            metric_method=self.method,
            metric_prefix=self.METRIC_PREFIX,
            metric_group=self.group,
            llm_judge=self.llm_judge,
            thresholds=self.thresholds,
            api_client=api_client,
        )

    def evaluate(self, data: Any, configuration: Any, metrics_result: list | None = None, api_client: Any = None, **kwargs: Any):
        return self._provider(configuration, api_client).evaluate(data)

    async def evaluate_async(
        self, data: Any, configuration: Any, metrics_result: list | None = None, api_client: Any = None, **kwargs: Any
    ):
        return await self._provider(configuration, api_client).evaluate_async(data)
