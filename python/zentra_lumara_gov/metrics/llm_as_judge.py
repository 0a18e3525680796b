"""Criteria-based judge metrics: a judge model picks one scored option per record."""

from __future__ import annotations

from typing import Any, ClassVar

from pydantic import Field, model_validator

from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric import GenAIMetric


class LLMAsJudgeMetric(GenAIMetric):
    """A metric judged by a model against a criteria, or by a prompt of the user's.

    Give either ``criteria_description`` (criteria mode: the judge reads each
    record's ``prediction_field`` with the ``context_fields`` as context) or
    ``prompt_template`` (custom-prompt mode: the template is filled from each
    record's columns, e.g. "Is {answer} polite?"), and the ``options`` the
    judge chooses from; each record's value is the ``value`` of the chosen
    option and its label the option's name.

    ``llm_judge`` defaults to the configuration's. ``prediction_field``
    defaults to the configuration's first output field, ``context_fields`` to
    its input and context fields. ``compute_token_count`` adds the judge's
    input and output token counts to each record result.
    """

    provider: ClassVar[str | None] = "tallyx"

    method: str | None = "llm_as_judge"
    value_type: str = "numeric"
    options: list[Option] = Field(min_length=1)
    criteria_description: str | None = None
    prompt_template: str | None = None
    llm_judge: LLMJudge | None = None
    prediction_field: str | None = None
    context_fields: list[str] | None = None
    compute_token_count: bool = False

    @model_validator(mode="after")
    def _one_mode(self) -> "LLMAsJudgeMetric":
        if bool(self.criteria_description) == bool(self.prompt_template):
            raise ValueError(
                f"The judge metric '{self.name}' needs exactly one of criteria_description and prompt_template."
            )
        names = [option.name for option in self.options]
        duplicates = sorted({name for name in names if names.count(name) > 1})
        if duplicates:
            raise ValueError(f"The judge metric '{self.name}' has duplicate option names: {duplicates}.")
        return self

    def create_provider(self, configuration: Any, api_client: Any = None):
        """The provider that computes this metric under ``configuration``."""
        from zentra_lumara_gov.providers.verdix_provider import VerdixProvider

        llm_judge = self.llm_judge or getattr(configuration, "llm_judge", None)
        if llm_judge is None:
            raise ValueError(
                f"The judge metric '{self.name}' needs a judge model: set llm_judge on the metric or the configuration."
            )
        prediction_field = self.prediction_field
        if prediction_field is None:
            outputs = list(configuration.output_fields or [])
            if not outputs:
                raise ValueError(
                    f"The judge metric '{self.name}' needs a prediction_field: the configuration names no output field."
                )
            prediction_field = outputs[0]
        if self.context_fields is not None:
            context_fields = list(self.context_fields)
        else:
            context_fields = [*(configuration.input_fields or []), *(configuration.context_fields or [])]
        return VerdixProvider(
            metric_name=self.name,
            display_name=self.display_name,
            value_type=self.value_type,
            llm_judge=llm_judge,
            options=list(self.options),
            criteria_description=self.criteria_description,
            prompt_template=self.prompt_template,
            context_fields=context_fields,
            prediction_field=prediction_field,
            metric_group=self.group,
            metric_method=self.method,
            thresholds=list(self.thresholds),
            record_id_field=configuration.record_id_field,
            record_timestamp_field=configuration.record_timestamp_field,
            compute_token_count=self.compute_token_count,
            api_client=api_client,
        )

    def evaluate(
        self,
        data: Any,
        configuration: Any,
        metrics_result: list | None = None,
        api_client: Any = None,
        **kwargs: Any,
    ) -> Any:
        return self.create_provider(configuration, api_client).evaluate(data)

    async def evaluate_async(
        self,
        data: Any,
        configuration: Any,
        metrics_result: list | None = None,
        api_client: Any = None,
        **kwargs: Any,
    ) -> Any:
        return await self.create_provider(configuration, api_client).evaluate_async(data)
