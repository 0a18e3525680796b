"""The record results of one metric held as columns.

A run over 10^6 records would otherwise make 10^6 ``RecordMetricResult``
objects (about 1.4 KB each) that most callers never look at: a summary, a
DataFrame, a Parquet file and the run store all read the results column by
column. Providers that can hand over their results as columns do so; the
record objects are made from them only when someone reads
``AggregateMetricResult.record_level_metrics``, equal field for field to the
ones the provider would have made.
"""

from __future__ import annotations

import gc
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np

# Fields a record result may carry per record besides its value and record id.
PER_RECORD_FIELDS = ("record_timestamp", "label", "explanation", "errors", "evidences", "additional_info")
# Fields the record results of one metric share (kept once, unless records made elsewhere differ in one).
SHARED_FIELDS = ("name", "display_name", "method", "group", "provider", "thresholds")


class RecordColumns:
    """Record results of one metric: the fields they share once, the rest a column each.

    ``identity`` holds the keywords every record was given alike (name,
    display name, method, group, provider, thresholds); ``record_id`` the
    record ids (texts); ``value`` the values, a float64 array (NaN a missing
    score) or a list (None where a record failed); ``fields`` the other
    per-record fields that were given, a list each, already of their types.
    """

    __slots__ = ("identity", "record_id", "value", "fields", "given")

    # What constant() answers for a field whose records differ in it.
    VARIES: Any = object()

    def __init__(self, identity: dict[str, Any], record_id: list[str], value: np.ndarray | list[Any],
                 fields: dict[str, list[Any]] | None = None, given: tuple[str, ...] = ()):
        self.identity = identity
        self.record_id = record_id
        self.value = value
        self.fields = fields or {}
        # Per-record fields every record was given, None included (others count as given where set).
        self.given = given
        count = len(record_id)
        if len(value) != count or any(len(column) != count for column in self.fields.values()):
            raise ValueError(f"record columns of unequal length: {count} record ids, {len(value)} values, "
                             f"{ {name: len(column) for name, column in self.fields.items()} }")

    def __len__(self) -> int:
        return len(self.record_id)

    @classmethod
    def from_records(cls, records: Sequence[Any]) -> RecordColumns:
        """The columns of record objects (a provider's list, or one a caller has read and changed)."""
        first = records[0] if records else None
        identity = {name: getattr(first, name, None) for name in SHARED_FIELDS}
        fields = {}
        for name in (*SHARED_FIELDS, *PER_RECORD_FIELDS):
            column = [getattr(record, name, None) for record in records]
            shared = identity.get(name) if name in identity else None
            if any(item is not shared and item != shared for item in column):
                fields[name] = column
        return cls(identity, [record.record_id for record in records], [record.value for record in records], fields)

    # -- reading in bulk ----------------------------------------------------

    def values(self) -> np.ndarray:
        """The values as float64, NaN where a record has none."""
        if isinstance(self.value, np.ndarray):
            return self.value
        return np.array([np.nan if value is None else value for value in self.value], dtype=float)

    def missing(self) -> np.ndarray:
        """True where a record has no value (None or NaN)."""
        return np.isnan(self.values())

    def field(self, name: str) -> list[Any]:
        """One per-record field as a list (None throughout when no record was given it)."""
        if name == "record_id":
            return self.record_id
        column = self.fields.get(name)
        if column is not None:
            return column
        return [self.identity.get(name)] * len(self)

    def constant(self, name: str) -> Any:
        """The one value every record has in field ``name`` (None for a field none was given), or ``VARIES``.

        Unhashable values (lists, mappings) count as varying.
        """
        if name in ("record_id", "value"):
            return self.VARIES
        if name == "passed":
            verdicts = self.verdicts()
            if verdicts is None:
                return None
            judged = self.judged()
            if judged.all() and (verdicts.all() or not verdicts.any()):
                return bool(verdicts[0]) if len(verdicts) else self.VARIES
            return None if not judged.any() else self.VARIES
        if name in self.fields:
            return self.VARIES
        value = self.identity.get(name)
        try:
            hash(value)
        except TypeError:
            return self.VARIES
        return value

    def verdicts(self) -> np.ndarray | None:
        """Per record whether the value keeps within every threshold (as ``RecordMetricResult.passed``).

        A boolean array, with ``judged()`` telling which entries stand for a
        verdict; None when the metric has no thresholds.
        """
        if "thresholds" in self.fields:  # records made elsewhere, each with thresholds of its own
            from zentra_lumara_gov.entities.evaluation_result import passes_thresholds

            verdicts = [passes_thresholds(value, thresholds)
                        for value, thresholds in zip(self.value, self.fields["thresholds"])]
            return np.array([verdict is True for verdict in verdicts], dtype=bool)
        thresholds = self.identity.get("thresholds") or []
        if not thresholds:
            return None
        values = self.values()
        within = np.ones(len(values), dtype=bool)
        with np.errstate(invalid="ignore"):
            for threshold in thresholds:
                if threshold.type == "lower_limit":
                    within &= ~(values < threshold.value)
                elif threshold.type == "upper_limit":
                    within &= ~(values > threshold.value)
        return within

    def judged(self) -> np.ndarray:
        """True where a record has a verdict: the metric has thresholds and the record a value."""
        if "thresholds" in self.fields:
            return ~self.missing() & np.array([bool(thresholds) for thresholds in self.fields["thresholds"]])
        if not self.identity.get("thresholds"):
            return np.zeros(len(self), dtype=bool)
        return ~self.missing()

    def breaking(self) -> np.ndarray:
        """True where a record's value breaks a threshold (``passed`` is False)."""
        verdicts = self.verdicts()
        if verdicts is None:
            return np.zeros(len(self), dtype=bool)
        return self.judged() & ~verdicts

    def row(self, position: int) -> RecordView:
        """What a reader of one record needs, without making its record object."""
        verdicts = self.verdicts()
        passed = None if verdicts is None or np.isnan(self.values()[position]) else bool(verdicts[position])
        value = self.value[position]
        return RecordView(
            record_id=self.record_id[position],
            value=value.item() if isinstance(value, np.generic) else value,
            passed=passed,
            **{name: column[position] for name, column in self.fields.items()},
        )

    def passed(self) -> list[bool | None]:
        """``RecordMetricResult.passed`` of every record, in order."""
        verdicts = self.verdicts()
        if verdicts is None:
            return [None] * len(self)
        return np.where(self.judged(), verdicts, None).tolist()

    # -- the record objects -------------------------------------------------

    def records(self, record_class: type) -> list[Any]:
        """The record objects, equal field for field to constructing each with its keywords."""
        template = record_class(**self.identity, value=None, record_id="")
        base = template.__dict__
        fields_set = template.__pydantic_fields_set__ | {"value", "record_id", *self.given}
        thresholds = base["thresholds"]
        values = self.value.tolist() if isinstance(self.value, np.ndarray) else self.value
        names = list(self.fields)
        always = {*self.given, *SHARED_FIELDS}
        columns = [self.fields[name] for name in names]
        new, assign = record_class.__new__, object.__setattr__
        records = []
        append = records.append
        with gc_paused():
            for position, (record_id, value) in enumerate(zip(self.record_id, values)):
                state = {**base, "value": value, "record_id": record_id, "thresholds": thresholds[:]}
                given = set(fields_set)
                for name, column in zip(names, columns):
                    if column[position] is not None or name in always:  # as its maker gave it
                        state[name] = column[position]
                        given.add(name)
                record = new(record_class)
                assign(record, "__dict__", state)
                assign(record, "__pydantic_fields_set__", given)
                assign(record, "__pydantic_extra__", None)
                assign(record, "__pydantic_private__", None)
                append(record)
        return records


class RecordView:
    """One record's fields read from columns (the per-record fields absent are None)."""

    __slots__ = ("record_id", "value", "passed", *PER_RECORD_FIELDS)

    def __init__(self, record_id: str, value: Any, passed: bool | None, **fields: Any):
        self.record_id, self.value, self.passed = record_id, value, passed
        for name in PER_RECORD_FIELDS:
            setattr(self, name, fields.get(name))


@contextmanager
def gc_paused() -> Iterator[None]:
    """The cyclic collector off while many objects are made that hold no cycles; back as it was on any exit."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
