"""Base of every metric class: its identity and the evaluation interface."""

from __future__ import annotations

from typing import Any, ClassVar

from pydantic import ConfigDict, Field, SerializeAsAny, model_validator

from zentra_lumara_gov.entities.base_classes import StrictModel
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold


class GenAIMetric(StrictModel):
    """A metric: its name (its identity in a run), how it is computed and its thresholds.

    ``metric_dependencies`` lists metrics whose results this one reads; a run
    evaluates them first and passes the live result list as ``metrics_result``.
    A subclass creates the provider that computes it in ``evaluate`` and
    ``evaluate_async`` and returns what the provider returns.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True, protected_namespaces=())

    # The EvaluationProvider value that computes the metric (stamped on its
    # results); with name, method and display name it tells metrics apart.
    provider: ClassVar[str | None] = None

    name: str = Field(min_length=1)
    display_name: str | None = None
    method: str | None = None
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = []
    metric_dependencies: list[SerializeAsAny[GenAIMetric]] = []

    @model_validator(mode="after")
    def _default_display_name(self) -> "GenAIMetric":
        if self.display_name is None:
            self.display_name = self.name
        return self

    def evaluate(
        self,
        data: Any,
        configuration: Any,
        metrics_result: list | None = None,
        api_client: Any = None,
        **kwargs: Any,
    ) -> Any:
        """Compute the metric on the record table and return its result record (or None)."""
        raise NotImplementedError(f"{type(self).__name__} does not implement evaluate.")

    async def evaluate_async(
        self,
        data: Any,
        configuration: Any,
        metrics_result: list | None = None,
        api_client: Any = None,
        **kwargs: Any,
    ) -> Any:
        """Coroutine form of :meth:`evaluate`."""
        raise NotImplementedError(f"{type(self).__name__} does not implement evaluate_async.")
