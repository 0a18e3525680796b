"""Configuration of a foundation-model risk assessment."""

from __future__ import annotations

from typing import Any

from pydantic import Field, field_validator, model_validator

from zentra_lumara_gov.entities.base_classes import BaseEntity
from zentra_lumara_gov.entities.credentials import NonEmptyText, OptionalSecret
from zentra_lumara_gov.entities.foundation_model import (
    CustomFoundationModel,
    FoundationModel,
    LmAIFoundationModel,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

# The model kinds a risk assessment can probe.
ASSESSABLE_MODELS = (LmAIFoundationModel, CustomFoundationModel)


class LmGcCredentials(BaseEntity):
    """How to reach the judge model's service on premises: its URL and a user with an API key or password."""

    url: NonEmptyText
    username: str | None = None
    password: OptionalSecret = None
    api_key: OptionalSecret = None

    @model_validator(mode="after")
    def _check_authentication(self) -> "LmGcCredentials":
        if not (self.api_key or self.password):
            raise ValueError("api_key or password is required to reach the judge model's service.")
        return self


class LmGcConfiguration(BaseEntity):
    """The judge model served on premises that the assessment may use."""

    model_id: NonEmptyText
    credentials: LmGcCredentials


class ModelRiskConfiguration(BaseEntity):
    """What to assess and how.

    ``model_details``: the model, an ``LmAIFoundationModel`` (served by the AI
    service) or a ``CustomFoundationModel`` (the user's scoring function).
    ``risk_dimensions``: the risks to assess (None: every risk the plugin
    knows). ``max_sample_size``: at most this many probes per benchmark (None:
    all). ``pdf_report_output_path``: where the PDF report goes, a file ending
    in ".pdf" or a folder (None: no report). ``thresholds``: metric name ->
    threshold, shown and judged in the report. ``lm_gc_configuration``: an
    optional judge model on premises.
    """

    model_details: FoundationModel
    risk_dimensions: list[NonEmptyText] | None = None
    max_sample_size: int | None = Field(default=None, ge=1)
    pdf_report_output_path: str | None = None
    thresholds: dict[str, MetricThreshold] | None = None
    lm_gc_configuration: LmGcConfiguration | None = None

    @field_validator("model_details", mode="before")
    @classmethod
    def _assessable(cls, value: Any) -> Any:
        if not isinstance(value, ASSESSABLE_MODELS):
            kinds = " or ".join(kind.__name__ for kind in ASSESSABLE_MODELS)
            raise ValueError(f"model_details must be an {kinds}, got {type(value).__name__}.")
        return value
