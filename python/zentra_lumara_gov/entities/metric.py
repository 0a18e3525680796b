"""Base of every metric class: its identity and the evaluation interface."""

from __future__ import annotations

from typing import Any, ClassVar

from pydantic import ConfigDict, Field, SerializeAsAny, model_validator

from zentra_lumara_gov.entities.base_classes import StrictModel
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold


# Roles a metric's ``columns`` may reassign, and the configuration field each stands for.
ROLE_FIELDS = {
    "question": "input_fields",
    "contexts": "context_fields",
    "answer": "output_fields",
    "ground_truth": "reference_fields",
    "tool_calls": "tool_calls_field",
}


def _names(value: Any) -> str:
    return value if isinstance(value, str) else "+".join(value)


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
    # Which column plays which role for this metric alone (role -> column name or names),
    # e.g. {"question": "answer"} runs a metric that reads the question on the answers.
    columns: dict[str, str | list[str]] | None = None

    @model_validator(mode="after")
    def _default_display_name(self) -> "GenAIMetric":
        if self.columns:
            unknown = sorted(set(self.columns) - set(ROLE_FIELDS))
            if unknown:
                raise ValueError(f"columns: unknown role {unknown[0]!r}; the roles are {', '.join(ROLE_FIELDS)}.")
        if self.display_name is None:
            self.display_name = self.name
        if self.columns and "display_name" not in self.model_fields_set:
            # Two metrics of one kind on other columns are two metrics: their display names tell them apart.
            read = ", ".join(f"{role}={_names(value)}" for role, value in sorted(self.columns.items()))
            self.display_name = f"{self.display_name} ({read})"
        return self

    def configuration_for(self, configuration: Any) -> Any:
        """The run's configuration as this metric reads it: its own ``columns`` in their roles."""
        if not self.columns:
            return configuration
        update = {}
        for role, value in self.columns.items():
            field = ROLE_FIELDS[role]
            single = field == "tool_calls_field"
            update[field] = value if single or isinstance(value, list) else [value]
        return configuration.model_copy(update=update)

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
