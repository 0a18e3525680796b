"""Result records of a metric evaluation: per record, per metric and per run."""

from __future__ import annotations

import datetime as _dt
import math
import numbers
from typing import Any

import pandas as pd
from pydantic import SerializeAsAny, field_validator

from zentra_lumara_gov.entities.base_classes import BaseEntity, Error
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold


class _MetricResultBase(BaseEntity):
    """What every result of one metric says about the metric."""

    name: str
    display_name: str
    method: str | None = None
    group: MetricGroup | str | None = None
    provider: str | None = None
    value: float | None = None
    thresholds: list[MetricThreshold] = []
    errors: list[Error] | None = None


class RecordMetricResult(_MetricResultBase):
    """The score of one metric on one record (``value`` None: the record failed)."""

    record_id: str
    record_timestamp: str | None = None
    label: str | None = None
    explanation: str | None = None
    evidences: list[Any] | None = None
    additional_info: dict[str, Any] | None = None

    @field_validator("record_id", mode="before")
    @classmethod
    def _id_as_text(cls, value: Any) -> Any:
        # Tables often hold numeric ids; the result names the record by its text.
        if isinstance(value, numbers.Number) and not isinstance(value, bool):
            return str(value)
        return value

    @field_validator("record_timestamp", mode="before")
    @classmethod
    def _timestamp_as_text(cls, value: Any) -> Any:
        if isinstance(value, (_dt.datetime, _dt.date)):  # pandas Timestamp included
            return value.isoformat()
        return value


class AggregateMetricResult(_MetricResultBase):
    """One metric over the whole table, with the record results it was built from."""

    total_records: int
    record_level_metrics: list[RecordMetricResult] = []
    min: float | None = None
    max: float | None = None
    mean: float | None = None

    @classmethod
    def create(cls, record_level_metrics: list[RecordMetricResult]) -> "AggregateMetricResult":
        """Build the aggregate from record results alone.

        The metric's identity (name, display name, method, group, provider,
        thresholds) is taken from the first record result. ``min``, ``max`` and
        ``mean`` are taken over the values that are set (None and NaN mark
        failed records and are left out); ``value`` is the mean; all are None
        when no record has a value. ``total_records`` counts every record.
        """
        records = list(record_level_metrics)
        if not records:
            raise ValueError("record_level_metrics is empty: an aggregate needs at least one record result.")
        values = [r.value for r in records if r.value is not None and not math.isnan(r.value)]
        first = records[0]
        mean = sum(values) / len(values) if values else None
        return cls(
            name=first.name,
            display_name=first.display_name,
            method=first.method,
            group=first.group,
            provider=first.provider,
            thresholds=first.thresholds,
            value=mean,
            total_records=len(records),
            record_level_metrics=records,
            min=min(values) if values else None,
            max=max(values) if values else None,
            mean=mean,
        )


# Columns of MetricsEvaluationResult.to_df, one row per record result.
RECORD_COLUMNS = [
    "record_id",
    "record_timestamp",
    "name",
    "display_name",
    "method",
    "group",
    "provider",
    "value",
    "label",
    "explanation",
    "errors",
    "evidences",
    "additional_info",
]


class MetricsEvaluationResult(BaseEntity):
    """The result of one evaluation run: what each metric returned, in run order."""

    metrics_result: list[SerializeAsAny[AggregateMetricResult] | Any] = []

    def to_df(self) -> pd.DataFrame:
        """One row per record result of every metric, columns ``RECORD_COLUMNS``.

        ``group`` is the group's text; ``errors`` a list of mappings or None;
        ``value`` is a float column, NaN where a record has no value.
        """
        rows = []
        for aggregate in self.metrics_result:
            for record in getattr(aggregate, "record_level_metrics", None) or []:
                row = {column: getattr(record, column, None) for column in RECORD_COLUMNS}
                if isinstance(row["group"], MetricGroup):
                    row["group"] = row["group"].value
                if row["errors"] is not None:
                    row["errors"] = [error.model_dump() for error in row["errors"]]
                rows.append(row)
        frame = pd.DataFrame(rows, columns=RECORD_COLUMNS)
        frame["value"] = frame["value"].astype(float)
        return frame

    def to_json(self, **kwargs: Any) -> str:
        """The whole result as JSON text (keywords go to pydantic's ``model_dump_json``)."""
        return self.model_dump_json(**kwargs)
