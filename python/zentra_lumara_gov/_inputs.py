"""Checks of the front door's arguments, made before any metric runs.

Each check raises with a message that names the argument (and the position,
for one entry of a list), what was expected and what was given, so a user
sees what to change without reading the SDK's source.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from zentra_lumara_gov.errors import InputTypeError, InputValueError

# Configuration fields that name columns of the record table, and whether each holds a list of names.
COLUMN_FIELDS = {
    "input_fields": True,
    "context_fields": True,
    "output_fields": True,
    "reference_fields": True,
    "tool_calls_field": False,
}


def describe(value: Any) -> str:
    """A short account of ``value`` for a message: its type and, for small values, the value."""
    if isinstance(value, type):
        return f"the class {value.__qualname__} (an instance is needed: {value.__qualname__}(...))"
    text = repr(value)
    if len(text) > 60:
        return f"a {type(value).__name__}"
    return f"{type(value).__name__} {text}"


def check_configuration(configuration: Any) -> None:
    from zentra_lumara_gov.config import GenAIConfiguration

    if not isinstance(configuration, GenAIConfiguration):
        raise InputTypeError(
            "configuration must be a GenAIConfiguration or an AgenticAIConfiguration "
            f"(from zentra_lumara_gov.config), not {describe(configuration)}."
        )


def record_table(data: Any) -> Any:
    """``data`` as the table the run works on: a DataFrame as given, records turned into one.

    The run turns a mapping or a list of mappings into a table the same way;
    doing it here lets the columns be checked first and the table be kept for
    the result.
    """
    import pandas as pd

    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, Mapping):
        return pd.DataFrame([dict(data)])
    if isinstance(data, list):
        for position, record in enumerate(data):
            if not isinstance(record, Mapping):
                raise InputTypeError(
                    f"data[{position}] must be a dict (one record, column name to value), not {describe(record)}."
                )
        return pd.DataFrame([dict(record) for record in data])
    raise InputTypeError(
        f"data must be a pandas DataFrame, a dict (one record) or a list of dicts, not {describe(data)}."
    )


def check_metrics(metrics: list[Any], metric_groups: list[Any] | None) -> None:
    from zentra_lumara_gov.entities.enums import MetricGroup
    from zentra_lumara_gov.entities.metric import GenAIMetric

    for position, metric in enumerate(metrics):
        if not is_metric(metric, GenAIMetric):
            raise InputTypeError(
                f"metrics[{position}] must be a metric instance such as AnswerRelevanceMetric() "
                f"(from zentra_lumara_gov.metrics), not {describe(metric)}."
            )
    for position, group in enumerate(metric_groups or []):
        if not isinstance(group, MetricGroup):
            raise InputTypeError(f"metric_groups[{position}] must be a MetricGroup member, not {describe(group)}.")


# What the run reads of a metric object.
METRIC_INTERFACE = ("name", "metric_dependencies", "evaluate", "evaluate_async")


def is_metric(value: Any, base: type) -> bool:
    """A metric object: an instance of ``base``, or any object (not a class) with the metric interface."""
    if isinstance(value, type):
        return False
    return isinstance(value, base) or all(hasattr(value, attribute) for attribute in METRIC_INTERFACE)


def check_columns(configuration: Any, table: Any, *, output_cast: bool) -> None:
    """Every column the configuration names must be in the table.

    Checked: the fields the caller set, and ``output_fields`` when the
    blocking run converts those columns to text (``output_cast``). Fields
    left at their defaults are not required, since a metric may not read
    them; id and timestamp columns are added by the run when missing.
    """
    if table.empty:  # the run reports an empty table in its own words
        return
    columns = [str(column) for column in table.columns]
    present = set(table.columns)
    checked = set(configuration.model_fields_set)
    if output_cast:
        checked.add("output_fields")
    for field, is_list in COLUMN_FIELDS.items():
        if field not in checked:
            continue
        value = getattr(configuration, field, None)
        names = (value or []) if is_list else ([] if value is None else [value])
        for name in names:
            if name not in present:
                raise InputValueError(
                    f"configuration.{field} names the column {name!r}, which the data does not have; "
                    f"the data's columns are: {', '.join(repr(column) for column in columns)}."
                )


def check_flag(argument: str, value: Any) -> None:
    if not isinstance(value, bool):
        raise InputTypeError(f"{argument} must be True or False, not {describe(value)}.")


def check_progress(show_progress: Any, progress: Any) -> None:
    if show_progress is not None and not isinstance(show_progress, bool):
        raise InputTypeError(f"show_progress must be True, False or None, not {describe(show_progress)}.")
    if progress is not None and not callable(progress):
        raise InputTypeError(
            f"progress must be a callable taking (metric_name, done, total), not {describe(progress)}."
        )


def checked_tags(tags: Any) -> dict[str, str]:
    """The run's tags: a mapping of texts to texts (numbers are taken as their text)."""
    if tags is None:
        return {}
    if not isinstance(tags, Mapping):
        raise InputTypeError(f"tags must be a mapping of names to values, not {describe(tags)}.")
    for key, value in tags.items():
        if not isinstance(key, str) or not key:
            raise InputTypeError(f"tags keys must be non-empty texts, not {describe(key)}.")
        if not isinstance(value, (str, int, float)) or isinstance(value, bool):
            raise InputTypeError(f"tags[{key!r}] must be a text or a number, not {describe(value)}.")
    return {key: str(value) for key, value in tags.items()}


def check_metric_columns(metrics: list[Any], table: Any) -> None:
    """Every column a metric is told to read in a role of its own must be in the table."""
    if table.empty:
        return
    present = set(table.columns)
    for metric in metrics:
        for role, value in (getattr(metric, "columns", None) or {}).items():
            for name in [value] if isinstance(value, str) else value:
                if name not in present:
                    raise InputValueError(
                        f"the metric {getattr(metric, 'display_name', None) or metric.name!r} reads the column "
                        f"{name!r} as its {role}, which the data does not have; the data's columns are: "
                        f"{', '.join(repr(str(column)) for column in table.columns)}."
                    )
