"""Your own metrics: a plain function becomes a metric usable wherever a built-in one is.

>>> import zentra_lumara_gov as zlg
>>> @zlg.metric(name="answer_length", thresholds=[zlg.MetricThreshold(type="upper_limit", value=200)])
... def answer_length(record) -> float:
...     return len(record.answer)
>>> answer_length.name, answer_length.provider
('answer_length', 'custom')

The function receives one record: the configured columns under their roles
(``question``, ``contexts``, ``answer``, ``ground_truth``, ``tool_calls``,
``record_id``, ``record_timestamp``) and every column by name
(``record["my column"]`` or ``record.my_column``). It returns a number, a
bool, or :class:`Score` (a value with a label and an explanation). An
``async def`` function is awaited, at most ``max_concurrency`` records at a
time. With ``batch=True`` the function receives the whole table (a pandas
DataFrame) and returns one value (or Score) per record.

An exception for one record becomes that record's error (its value None),
not the run's. A decorated metric pickles by the qualified name of the
function it decorates, so a Dask worker imports it as it imports any module.
"""

from __future__ import annotations

import asyncio
import dataclasses
import importlib
import inspect
import math
import numbers
from collections.abc import Callable, Sequence
from typing import Any, ClassVar

from pydantic import PrivateAttr

from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

__all__ = ["FunctionMetric", "Record", "Score", "metric"]

# Column roles a record offers, and the configuration field each is read from.
ROLES = {
    "question": "input_fields",
    "contexts": "context_fields",
    "answer": "output_fields",
    "ground_truth": "reference_fields",
}
DEFAULT_MAX_CONCURRENCY = 10


@dataclasses.dataclass(frozen=True)
class Score:
    """What a metric function may return: the value, and optionally a label and an explanation."""

    value: float | None
    label: str | None = None
    explanation: str | None = None


class Record(tuple):
    """One record as a metric function sees it: roles and columns by attribute, columns by item.

    A run makes one subclass for its table's columns (:func:`record_type`),
    whose attributes read the row's cells directly, as a named tuple's do.
    """

    __slots__ = ()
    _positions: ClassVar[dict[str, int]] = {}

    def __getitem__(self, column: Any) -> Any:  # type: ignore[override]
        if isinstance(column, str):
            try:
                return tuple.__getitem__(self, self._positions[column])
            except KeyError:
                raise KeyError(f"the record has no column {column!r}") from None
        return tuple.__getitem__(self, column)

    def __getattr__(self, name: str) -> Any:
        # Only names that are no column or role reach here.
        hint = f" (the configuration names no column for {name!r})" if name in (*ROLES, "tool_calls") else ""
        raise AttributeError(f"the record has no {name!r}{hint}; its columns are "
                             f"{', '.join(map(repr, self._positions))}")

    def __contains__(self, column: object) -> bool:
        return column in self._positions

    def __repr__(self) -> str:
        return f"Record({ {name: tuple.__getitem__(self, i) for name, i in self._positions.items()} !r})"


def record_type(columns: list[Any], roles: dict[str, str]) -> type[Record]:
    """The Record subclass of one table: a property per column name and per role."""
    import collections
    import operator

    # Named tuples' own field reader reads the tuple directly; itemgetter would go
    # through Record.__getitem__ (which also takes column names) on every read.
    getter = getattr(collections, "_tuplegetter", None)

    def field(position: int) -> Any:
        return getter(position, None) if getter is not None else property(operator.itemgetter(position))

    positions = {str(column): position for position, column in enumerate(columns)}
    namespace: dict[str, Any] = {"__slots__": (), "_positions": positions}
    for name, position in positions.items():
        if name.isidentifier() and not name.startswith("_"):
            namespace[name] = field(position)
    for role, column in roles.items():
        if column in positions:
            namespace[role] = field(positions[column])
    return type("Record", (Record,), namespace)


class FunctionMetric(GenAIMetric):
    """A metric computed by a plain function of the caller's (see :func:`metric`)."""

    provider: ClassVar[str | None] = "custom"

    batch: bool = False
    _function: Callable[..., Any] | None = PrivateAttr(default=None)
    _reference: tuple[str, str] | None = PrivateAttr(default=None)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        """The function itself, so the decorated name still computes one value."""
        return self._function(*args, **kwargs)

    def __reduce__(self) -> Any:
        # By the function's qualified name (its module holds the decorated metric under that name),
        # with this metric's own settings, which options may have changed.
        if self._reference is None:
            raise TypeError(f"the metric {self.name!r} has no importable function to pickle by")
        return _rebuilt, (*self._reference, dict(self.__dict__))

    def with_options(self, **options: Any) -> "FunctionMetric":
        """A copy with other settings (thresholds, display_name, ...), validated, computing the same function."""
        copy = type(self).model_validate({**self.__dict__, **options})
        copy._function, copy._reference = self._function, self._reference
        return copy

    def evaluate(self, data: Any, configuration: Any, metrics_result: list | None = None,
                 api_client: Any = None, **kwargs: Any) -> Any:
        if inspect.iscoroutinefunction(self._function):
            from zentra_lumara_gov.utils.async_util import run_in_event_loop

            return run_in_event_loop(self._evaluate_async, data, configuration,
                                     kwargs.get("max_concurrency", DEFAULT_MAX_CONCURRENCY))
        ids, rows = _records(data, configuration, self.batch)
        if self.batch:
            outcomes = _batch_outcomes(lambda: self._function(data), len(ids))
        else:
            outcomes = _called_on_each(self._function, rows)
        return self._aggregate(ids, outcomes)

    async def evaluate_async(self, data: Any, configuration: Any, metrics_result: list | None = None,
                             api_client: Any = None, **kwargs: Any) -> Any:
        if not inspect.iscoroutinefunction(self._function):
            return self.evaluate(data, configuration, metrics_result, api_client, **kwargs)
        return await self._evaluate_async(data, configuration, kwargs.get("max_concurrency", DEFAULT_MAX_CONCURRENCY))

    async def _evaluate_async(self, data: Any, configuration: Any, limit: int) -> Any:
        ids, rows = _records(data, configuration, self.batch)
        if self.batch:
            try:
                values = await self._function(data)
            except Exception as problem:
                return self._aggregate(ids, [problem] * len(ids))
            return self._aggregate(ids, _batch_outcomes(lambda: values, len(ids)))
        gate = asyncio.Semaphore(limit)

        async def one(row: Any) -> Any:
            async with gate:
                try:
                    return await self._function(row)
                except Exception as problem:
                    return problem

        return self._aggregate(ids, await asyncio.gather(*(one(row) for row in rows)))

    def _aggregate(self, ids: list[str], outcomes: list[Any]) -> Any:
        from zentra_lumara_gov.entities.base_classes import Error
        from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
        from zentra_lumara_gov.entities.record_columns import RecordColumns

        identity = {"name": self.name, "display_name": self.display_name, "method": self.method,
                    "group": self.group, "provider": self.provider, "thresholds": list(self.thresholds)}
        if not ids:
            return AggregateMetricResult(**identity, value=None, total_records=0, record_level_metrics=[])
        # The scores as columns; labels, explanations and errors only for the records that have them.
        values: list[float | None] = []
        fields: dict[str, list[Any]] = {}
        if set(map(type, outcomes)) <= {float, int, bool}:  # every record a plain number: nothing to unpack
            values, outcomes = list(map(float, outcomes)), []
        for position, outcome in enumerate(outcomes):
            if type(outcome) is float:  # the common case, kept short
                values.append(outcome)
                continue
            value, label, explanation, error = _scored(outcome)
            values.append(value)
            for name, given in (("label", label), ("explanation", explanation),
                                ("errors", None if error is None else [Error(code=error[0], message_en=error[1])])):
                if given is not None:
                    fields.setdefault(name, [None] * len(ids))[position] = given
        template = RecordMetricResult(**identity, value=None, record_id="")
        columns = RecordColumns({**identity, "thresholds": template.thresholds}, ids, values, fields)
        # As AggregateMetricResult.create takes them: over the values that are set, summed in order.
        if not outcomes and not any(map(math.isnan, values)):  # plain numbers, none of them NaN
            scored = values
        else:
            scored = [value for value in values if value is not None and not math.isnan(value)]
        mean = sum(scored) / len(scored) if scored else None
        return AggregateMetricResult.from_columns(
            columns, **{name: getattr(template, name) for name in identity}, value=mean,
            total_records=len(ids), min=min(scored) if scored else None, max=max(scored) if scored else None,
            mean=mean)


def metric(function: Callable[..., Any] | None = None, *, name: str | None = None, display_name: str | None = None,
           thresholds: Sequence[MetricThreshold] = (), batch: bool = False,
           method: str | None = None) -> Any:
    """Turn a plain function into a metric (see the module's description).

    Usable bare (``@zlg.metric``: the metric is named after the function) or
    with keywords. Returns a :class:`FunctionMetric`, which still computes
    the function when called.
    """

    def made(function: Callable[..., Any]) -> FunctionMetric:
        if not callable(function):
            raise TypeError(f"@metric decorates a function, not {type(function).__name__}.")
        built = FunctionMetric(name=name or function.__name__, display_name=display_name,
                               thresholds=list(thresholds), batch=batch, method=method)
        built._function = function
        qualname = getattr(function, "__qualname__", "")
        if "<locals>" not in qualname and getattr(function, "__module__", None):
            built._reference = (function.__module__, qualname)
        return built

    return made if function is None else made(function)


def imported(module: str, qualname: str) -> Any:
    """What ``module`` holds under the dotted ``qualname``."""
    found: Any = importlib.import_module(module)
    for part in qualname.split("."):
        found = getattr(found, part)
    return found


def _rebuilt(module: str, qualname: str, fields: dict[str, Any]) -> FunctionMetric:
    original = imported(module, qualname)
    if not isinstance(original, FunctionMetric):
        raise TypeError(f"{module}.{qualname} is no longer a metric made by @metric")
    return original.model_copy(update=fields)


def _records(data: Any, configuration: Any, batch: bool) -> tuple[list[str], list[Any]]:
    """The record ids, and (unless the function takes the whole table) one Record per row."""
    id_field = configuration.record_id_field
    ids = ["" if value is None else str(value) for value in data[id_field].tolist()]
    if batch:
        return ids, []
    roles = {"record_id": id_field, "record_timestamp": configuration.record_timestamp_field}
    for role, field in ROLES.items():
        names = getattr(configuration, field, None) or []
        if names:
            roles[role] = names[0]
    if getattr(configuration, "tool_calls_field", None):
        roles["tool_calls"] = configuration.tool_calls_field
    made = record_type(list(data.columns), roles)
    return ids, list(map(made, data.itertuples(index=False, name=None)))


def _called_on_each(function: Callable[[Any], Any], rows: Any) -> list[Any]:
    """``function`` of each row, an exception in one row being that row's outcome.

    The calls run in one loop that a failure leaves only to resume at the
    next row: no frame of our own per record around the caller's function.
    """
    outcomes: list[Any] = []
    append = outcomes.append
    remaining = iter(rows)
    while True:
        try:
            for row in remaining:
                append(function(row))
            return outcomes
        except Exception as problem:  # that record's error, not the run's
            append(problem)


def _batch_outcomes(compute: Callable[[], Any], count: int) -> list[Any]:
    """One outcome per record from a batch function's values; its failure is every record's."""
    try:
        values = compute()
        values = list(values.tolist() if hasattr(values, "tolist") else values)
    except Exception as problem:
        return [problem] * count
    if len(values) != count:
        problem = ValueError(f"a batch metric returned {len(values)} values for {count} records")
        return [problem] * count
    return values


def _scored(outcome: Any) -> tuple[float | None, str | None, str | None, tuple[str, str] | None]:
    """(value, label, explanation, error) of what the function gave for one record."""
    if isinstance(outcome, Exception):
        return None, None, None, (type(outcome).__name__, str(outcome))
    label = explanation = None
    if isinstance(outcome, Score):
        outcome, label, explanation = outcome.value, outcome.label, outcome.explanation
    if outcome is None:
        return None, label, explanation, None
    if isinstance(outcome, bool):
        return float(outcome), label, explanation, None
    if isinstance(outcome, numbers.Real):
        return float(outcome), label, explanation, None
    problem = TypeError(f"a metric function returns a number, a bool or Score, not {type(outcome).__name__}")
    return None, None, None, (type(problem).__name__, str(problem))
