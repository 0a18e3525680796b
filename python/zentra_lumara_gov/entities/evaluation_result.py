"""Result records of a metric evaluation: per record, per metric and per run."""

from __future__ import annotations

import datetime as _dt
import math
import numbers
import os
from collections.abc import Iterator
from typing import Annotated, Any

import numpy as np
import pandas as pd
from pydantic import Field, PrivateAttr, SerializeAsAny, field_validator, model_serializer

from zentra_lumara_gov.entities.base_classes import BaseEntity, Error
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.entities.record_columns import RecordColumns
from zentra_lumara_gov.run_record import RunRecord


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

    @property
    def passed(self) -> bool | None:
        """Whether the value keeps within every threshold; None without thresholds or without a value."""
        return passes_thresholds(self.value, self.thresholds)


class AggregateMetricResult(_MetricResultBase):
    """One metric over the whole table, with the record results it was built from.

    ``value`` is the text "Error" when a provider had no record succeed.
    """

    # A number first: "NaN" and "Infinity" read back from JSON are numbers, "Error" stays a text.
    value: float | str | None = Field(default=None, union_mode="left_to_right")
    total_records: int
    record_level_metrics: list[RecordMetricResult] = []
    min: float | None = None
    max: float | None = None
    mean: float | None = None
    # The record results as columns, until someone reads record_level_metrics.
    _columns: RecordColumns | None = PrivateAttr(default=None)

    @classmethod
    def from_columns(cls, columns: RecordColumns, **fields: Any) -> AggregateMetricResult:
        """The aggregate of ``fields`` whose record results are ``columns``.

        ``record_level_metrics`` is made from the columns when first read (and
        kept from then on); until then everything that reads the results in
        bulk (``summary``, ``to_df``, the exports, the run store) reads the
        columns.
        """
        return cls(**fields, record_level_metrics=[]).with_columns(columns)

    def with_columns(self, columns: RecordColumns) -> AggregateMetricResult:
        """This aggregate with ``columns`` as its record results (until now it had none); returns it."""
        self.__dict__.pop("record_level_metrics", None)
        self._columns = columns
        return self

    @classmethod
    def create_from_columns(cls, columns: RecordColumns) -> AggregateMetricResult:
        """:meth:`create` for record results held as columns: the same aggregate, the records made when read."""
        if not len(columns):
            raise ValueError("record_level_metrics is empty: an aggregate needs at least one record result.")
        values = [value for value in columns.value if value is not None and not math.isnan(value)]
        mean = sum(values) / len(values) if values else None
        identity = {name: columns.field(name)[0] for name in ("name", "display_name", "method", "group",
                                                                  "provider", "thresholds")}
        return cls.from_columns(columns, **identity, value=mean, total_records=len(columns),
                                min=min(values) if values else None, max=max(values) if values else None,
                                mean=mean)

    def __getattr__(self, name: str) -> Any:
        if name == "record_level_metrics":
            columns = self.__pydantic_private__["_columns"]
            records = columns.records(RecordMetricResult)
            # In its own place among the fields, where serialising and printing look for it.
            state = self.__dict__
            given = dict(state)
            state.clear()
            for field in type(self).model_fields:
                if field == "record_level_metrics":
                    state[field] = records
                elif field in given:
                    state[field] = given.pop(field)
            state.update(given)
            self._columns = None  # the objects are the results from now on
            return records
        return super().__getattr__(name)  # type: ignore[misc]

    def record_columns(self) -> RecordColumns:
        """The record results as columns, without making a record object when they are still columns."""
        records = self.__dict__.get("record_level_metrics")
        if records is None:
            return self.__pydantic_private__["_columns"]
        return RecordColumns.from_records(records)

    @property
    def records_are_columns(self) -> bool:
        """True while the record results have not been made into objects."""
        return "record_level_metrics" not in self.__dict__

    @model_serializer(mode="wrap")
    def _with_records(self, handler: Any) -> Any:
        self.record_level_metrics  # noqa: B018 - made, so the output is the same either way
        return handler(self)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, AggregateMetricResult):
            self.record_level_metrics  # noqa: B018
            other.record_level_metrics  # noqa: B018
        return super().__eq__(other)

    @property
    def failed_records(self) -> int:
        """How many record results have no value (a failed record, or every record of a failed metric).

        Counted from the record results, so it is never out of step with them
        and adds nothing to the JSON form.
        """
        if self.records_are_columns:
            return int(self.record_columns().missing().sum())
        return sum(1 for record in self.record_level_metrics if _missing(record.value))

    @property
    def failed(self) -> bool:
        """True when the metric as a whole failed: errors and no aggregate score."""
        return bool(self.errors) and (self.value is None or isinstance(self.value, str))

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(name={self.name!r}, method={self.method!r}, value={self.value!r}, "
            f"total_records={self.total_records}, failed_records={self.failed_records})"
        )

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


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def passes_thresholds(value: Any, thresholds: list[MetricThreshold]) -> bool | None:
    """``value`` against ``thresholds``: None when there are none or there is no number to judge.

    A "lower_limit" is broken by a value below it, an "upper_limit" by a value above it.
    """
    if not thresholds or isinstance(value, (str, bool)) or not isinstance(value, numbers.Real) or _missing(value):
        return None
    for threshold in thresholds:
        if threshold.type == "lower_limit" and value < threshold.value:
            return False
        if threshold.type == "upper_limit" and value > threshold.value:
            return False
    return True


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
    "passed",
    "label",
    "explanation",
    "errors",
    "evidences",
    "additional_info",
]


class _KeptInput:
    """The evaluated table beside a result, for its views. Not part of the result's value:
    any two compare equal, so results compare by their metrics alone."""

    __slots__ = ("data", "record_id_field", "text_fields")
    __hash__ = None  # type: ignore[assignment]

    def __init__(self, data: Any = None, record_id_field: str = "record_id", text_fields: tuple[str, ...] = ()):
        self.data = data
        self.record_id_field = record_id_field
        self.text_fields = text_fields

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _KeptInput)


# Columns of MetricsEvaluationResult.summary, one row per metric.
SUMMARY_COLUMNS = ["metric", "method", "provider", "records", "failed", "mean", "min", "max", "pass_rate"]


class MetricsEvaluationResult(BaseEntity):
    """The result of one evaluation run: what each metric returned, in run order.

    Views: ``summary()`` (one row per metric), ``to_df()`` (one row per record
    result, or with ``wide=True`` one row per record and a column per metric),
    ``to_json()``, ``to_csv()``, ``to_parquet()`` and ``to_html()`` (a report
    to open in a browser). In a notebook the result shows its summary table.
    """

    # An aggregate first (also from JSON holding "Infinity"), anything else a metric returned as it is.
    metrics_result: list[Annotated[SerializeAsAny[AggregateMetricResult] | Any, Field(union_mode="left_to_right")]] = []
    # The lineage of the run that made the result (zentra_lumara_gov.evaluate sets it) and,
    # once stored in a RunStore, the run's digest in the store's chain.
    run: RunRecord | None = None
    digest: str | None = None
    # The evaluated table and its record-id column, kept by zentra_lumara_gov.evaluate for to_df(wide=True).
    _input: _KeptInput = PrivateAttr(default_factory=lambda: _KeptInput())

    def keep_input(self, data: pd.DataFrame, record_id_field: str, text_fields: Any = ()) -> None:
        """Remember the evaluated table, so ``to_df(wide=True)`` can join the results to its columns.

        ``text_fields`` name the columns that tell a reader which record is
        which (the question and the answer, say); the report shows them.
        """
        self._input = _KeptInput(data, record_id_field, tuple(field for field in text_fields if field in data.columns))

    def record_texts(self, limit: int = 120) -> dict[str, str]:
        """Record id -> the record's text fields, shortened to ``limit`` characters each (empty without input)."""
        kept = self._input
        if kept.data is None or not kept.text_fields:
            return {}
        ids = kept.data[kept.record_id_field].tolist()
        columns = [kept.data[field].tolist() for field in kept.text_fields]
        texts = {}
        for position, record_id in enumerate(ids):
            parts = [_shortened(column[position], limit) for column in columns]
            texts[str(record_id)] = " | ".join(part for part in parts if part)
        return texts

    @property
    def aggregates(self) -> list[AggregateMetricResult]:
        """The metric results that are aggregates (what every provider returns)."""
        return [item for item in self.metrics_result if isinstance(item, AggregateMetricResult)]

    def metric_labels(self) -> dict[Any, str]:
        """Each metric's key -> the label it is shown by (its name, unless another metric shares it)."""
        from zentra_lumara_gov._identity import key_of, labels

        return labels(key_of(aggregate) for aggregate in self.aggregates)

    def label_of(self, aggregate: AggregateMetricResult) -> str:
        from zentra_lumara_gov._identity import key_of

        return self.metric_labels()[key_of(aggregate)]

    @property
    def failed_metrics(self) -> list[str]:
        """Labels of the metrics that failed as a whole."""
        return list(self.failures())

    def failures(self) -> dict[str, str]:
        """Label of each metric that failed as a whole -> its reason ("code: message")."""
        return {
            self.label_of(aggregate): "; ".join(f"{error.code}: {error.message_en}" for error in aggregate.errors or [])
            for aggregate in self.aggregates
            if aggregate.failed
        }

    @property
    def record_count(self) -> int:
        """How many records were evaluated (the largest count any metric reports)."""
        if self._input.data is not None:
            return len(self._input.data)
        return max((aggregate.total_records for aggregate in self.aggregates), default=0)

    def __repr__(self) -> str:
        failed = self.failed_metrics
        failed_records = sum(aggregate.failed_records or 0 for aggregate in self.aggregates)
        text = f"<MetricsEvaluationResult: {len(self.metrics_result)} metrics, {self.record_count} records"
        if failed:
            text += f", {len(failed)} failed ({', '.join(failed)})"
        if failed_records:
            text += f", {failed_records} failed record results"
        return text + ">"

    def __str__(self) -> str:
        return repr(self)

    def _repr_html_(self) -> str:
        from zentra_lumara_gov import report

        return report.summary_html(self)

    def summary(self) -> pd.DataFrame:
        """One row per metric, columns ``SUMMARY_COLUMNS``.

        ``metric`` is the metric's label: its name, with what tells it apart
        when another metric of the run shares the name. ``records`` and
        ``failed`` count record results, ``failed`` those without a value;
        ``mean``, ``min`` and ``max`` are the aggregate's (``inf`` kept);
        ``pass_rate`` is the share of valued records within the metric's
        thresholds (NaN when the metric has no thresholds or no value).
        """
        rows = []
        for aggregate in self.aggregates:
            columns = aggregate.record_columns()
            verdicts, judged = columns.verdicts(), int(columns.judged().sum())
            rows.append({
                "metric": self.label_of(aggregate),
                "method": aggregate.method,
                "provider": aggregate.provider,
                "records": aggregate.total_records,
                "failed": aggregate.failed_records,
                "mean": aggregate.mean,
                "min": aggregate.min,
                "max": aggregate.max,
                "pass_rate": int((verdicts & columns.judged()).sum()) / judged if judged else None,
            })
        frame = pd.DataFrame(rows, columns=SUMMARY_COLUMNS)
        for column in ("mean", "min", "max", "pass_rate"):
            frame[column] = frame[column].astype(float)
        return frame

    def to_df(self, wide: bool = False, data: pd.DataFrame | None = None) -> pd.DataFrame:
        """The record results as a table.

        Long form (the default): one row per record result of every metric,
        columns ``RECORD_COLUMNS``; ``group`` is the group's text; ``errors``
        a list of mappings or None; ``value`` is a float column, NaN where a
        record has no value; ``passed`` as :attr:`RecordMetricResult.passed`.

        ``wide=True``: one row per record, one column per metric holding its
        values, joined by record id to the columns of ``data`` (by default the
        table the evaluation was given, when it came through
        ``zentra_lumara_gov.evaluate``). Columns are named by the metrics'
        labels (see ``summary``), so two metrics that share a name keep a
        column each. A label that is also a column of the data gets the
        suffix "_metric".
        """
        parts = self._record_parts()
        data = self._input.data if data is None else data
        if wide:
            values = self._wide_from_columns(parts, data)
            if values is not None:
                return values
        frame = _record_frame(parts)
        if not wide:
            return frame
        return self._wide(frame, data)

    def _record_parts(self) -> list[RecordColumns]:
        """The record columns of every metric that has records, in run order."""
        parts = []
        for aggregate in self.metrics_result:
            if isinstance(aggregate, AggregateMetricResult):
                parts.append(aggregate.record_columns())
            elif getattr(aggregate, "record_level_metrics", None):
                parts.append(RecordColumns.from_records(aggregate.record_level_metrics))
        return parts

    def _wide_from_columns(self, parts: list[RecordColumns], data: pd.DataFrame | None) -> pd.DataFrame | None:
        """The wide table straight from the record columns (None when a metric's records differ in
        what names it, which only the long table can tell apart)."""
        from zentra_lumara_gov._identity import MetricKey

        by_key = self.metric_labels()
        by_label: dict[str, pd.Series] = {}
        for part in parts:
            if not len(part):
                continue
            name, provider, method, display_name = (
                part.constant(field) for field in ("name", "provider", "method", "display_name"))
            if _VARIES in (name, provider, method, display_name):
                return None
            label = by_key.get(MetricKey(name, provider, method, name if display_name is None else display_name),
                               name)
            values = pd.Series(part.values(), index=pd.Index(part.record_id, name="record_id"))
            values = values[~values.index.duplicated()]  # a record's first result, as the long table keeps it
            earlier = by_label.get(label)
            by_label[label] = values if earlier is None else pd.concat(
                [earlier, values[~values.index.isin(earlier.index)]])
        if data is None:
            index = pd.Index(pd.concat([pd.Series(values.index) for values in by_label.values()]).unique()
                             if by_label else [], name="record_id").sort_values()
            return pd.DataFrame({label: values.reindex(index).to_numpy() for label, values in by_label.items()},
                                index=index).reset_index()
        table = data.copy()
        ids = table[self._input.record_id_field]
        # Texts throughout are their own keys; a missing id (None, or the NaN of a pandas 3 text column) is
        # keyed as the run named it.
        plain = ids.notna().all() and pd.api.types.infer_dtype(ids, skipna=False) == "string"
        keys = ids.tolist() if plain else ids.map(lambda value: None if value is None else str(value)).tolist()
        joined = pd.DataFrame({f"{label}_metric" if label in table.columns else label: values.reindex(keys).to_numpy()
                               for label, values in by_label.items()}, index=table.index)
        return pd.concat([table, joined], axis=1)

    def _wide(self, frame: pd.DataFrame, data: pd.DataFrame | None) -> pd.DataFrame:
        from zentra_lumara_gov._identity import MetricKey

        by_key = self.metric_labels()
        frame = frame.assign(metric=[
            by_key.get(MetricKey(*key), key[0])
            for key in zip(frame["name"], frame["provider"], frame["method"], frame["display_name"].fillna(frame["name"]))
        ])
        names = list(dict.fromkeys(frame["metric"]))
        values = (
            frame.drop_duplicates(["record_id", "metric"])
            .pivot(index="record_id", columns="metric", values="value")
            .reindex(columns=names)
        )
        values.columns.name = None
        if data is None:
            return values.rename_axis("record_id").reset_index()
        id_field = self._input.record_id_field
        table = data.copy()
        renamed = {name: f"{name}_metric" for name in names if name in table.columns}
        values = values.rename(columns=renamed)
        keys = table[id_field].map(lambda value: None if value is None else str(value))
        joined = values.reindex(keys.tolist())
        joined.index = table.index
        return pd.concat([table, joined], axis=1)

    def to_csv(self, path: Any = None, *, wide: bool = False, guard_formulas: bool = True,
               **kwargs: Any) -> str | None:
        """``to_df(wide=wide)`` as CSV, lists and mappings written as JSON text.

        Like pandas: returns the text when ``path`` is None; other keywords go
        to ``DataFrame.to_csv`` (``index=False`` unless given). Lines end in
        CRLF, so every cell holding a line break or a carriage return is
        quoted. ``guard_formulas``: a text cell starting with "=", "+", "-",
        "@", a tab or a carriage return, which a spreadsheet would run as a
        formula, is written with a leading apostrophe (numbers untouched).
        A file is written whole or not at all: to a temporary file beside it,
        then renamed.
        """
        from zentra_lumara_gov import _io

        kwargs.setdefault("index", False)
        kwargs.setdefault("lineterminator", "\r\n")
        table = _io.csv_ready(self.to_df(wide=wide), guard_formulas=guard_formulas)
        if path is None:
            return table.to_csv(None, **kwargs)
        _io.write_atomically(path, lambda target: table.to_csv(target, **kwargs))
        return None

    def to_parquet(self, path: Any, *, wide: bool = False, **kwargs: Any) -> None:
        """``to_df(wide=wide)`` as a Parquet file, lists and mappings written as JSON text.

        Needs pyarrow: ``pip install 'zentra_lumara_gov[parquet]'``.
        """
        try:
            import pyarrow  # noqa: F401
        except ImportError as missing:
            raise ImportError(
                "to_parquet needs pyarrow, which is not installed: pip install 'zentra_lumara_gov[parquet]'"
            ) from missing
        from zentra_lumara_gov import _io

        if not wide and not kwargs:
            # The record columns straight to Arrow: no DataFrame of Python objects in between.
            import pyarrow.parquet as pq

            table = _record_arrow_table(self._record_parts())
            _io.write_atomically(path, lambda target: pq.write_table(table, target))
            return
        kwargs.setdefault("index", False)
        # Of the record table's columns, only errors, evidences and additional_info hold lists and mappings.
        plain = () if wide else set(RECORD_COLUMNS) - set(_STRUCTURED)
        table = _io.encoded_cells(self.to_df(wide=wide), plain)
        _io.write_atomically(path, lambda target: table.to_parquet(target, engine="pyarrow", **kwargs))

    def to_html(self, path: Any = None, *, title: str = "Evaluation report") -> str | None:
        """A self-contained HTML report: the summary, a histogram per metric, failed and worst records.

        Writes it to ``path`` (UTF-8) or, when ``path`` is None, returns the text.
        """
        from zentra_lumara_gov import _io, report

        if path is None:
            return report.render(self, title=title)
        # Every record that breaks a threshold stays reachable: beyond what the page lists, in a CSV beside it.
        export = None
        if any(aggregate.record_columns().breaking().sum() > report.BREAKING_RECORDS
               for aggregate in self.aggregates):
            stem, _ = os.path.splitext(os.fspath(path))
            export = f"{stem}.breaking.csv"
            frame = self.to_df()
            frame[frame["passed"] == False].to_csv(export, index=False, lineterminator="\r\n")  # noqa: E712
            export = os.path.basename(export)
        _io.write_text_atomically(path, report.render(self, title=title, breaking_export=export))
        return None

    def to_json(self, path: Any = None, **kwargs: Any) -> str | None:
        """The whole result as JSON text (keywords go to pydantic's ``model_dump_json``).

        Non-finite scores are written as the strings "Infinity", "-Infinity"
        and "NaN" (plain JSON has no such numbers) and read back as numbers by
        ``MetricsEvaluationResult.model_validate_json``. With ``path``, the
        text is written there (whole or not at all) and None returned.
        """
        text = self.model_dump_json(**kwargs)
        if path is None:
            return text
        from zentra_lumara_gov import _io

        _io.write_text_atomically(path, text)
        return None


_VARIES = RecordColumns.VARIES
# Columns of the record table whose cells are lists or mappings (written as JSON text to files).
_STRUCTURED = ("errors", "evidences", "additional_info")


def _long_columns(parts: list[RecordColumns]) -> Iterator[tuple[str, Any, Any]]:
    """Each column of the long record table, in order: (name, the one value every record has in it or
    ``_VARIES``, the cells when it varies). The scores come as one float array."""
    for name in RECORD_COLUMNS:
        if name == "value":
            yield name, _VARIES, np.concatenate([part.values() for part in parts]) if parts else np.empty(0)
            continue
        constants = [part.constant(name) for part in parts]
        shared = {_cell_of(name, value) for value in constants if value is not _VARIES}
        if parts and len(shared) == 1 and all(value is not _VARIES for value in constants):
            yield name, next(iter(shared)), None
            continue
        cells: list[Any] = []
        for part in parts:
            if name == "passed":
                cells.extend(part.passed())
            elif name in ("group", "errors"):
                cells.extend(_cell_of(name, value) for value in part.field(name))
            else:
                cells.extend(part.field(name))
        yield name, _VARIES, cells


def _record_frame(parts: list[RecordColumns]) -> pd.DataFrame:
    """The long table of ``to_df``: the record columns of every metric one after the other.

    A column that holds one value throughout (a metric's name, a field no
    record has) is made at once with the dtype pandas gives that value;
    the others are made from their cells as pandas infers them.
    """
    count = sum(len(part) for part in parts)
    columns = {name: cells if shared is _VARIES else _filled(shared, count)
               for name, shared, cells in _long_columns(parts)}
    return pd.DataFrame(columns, columns=RECORD_COLUMNS)


def _record_arrow_table(parts: list[RecordColumns]) -> Any:
    """The long record table as an Arrow table, as pandas would convert ``to_df()`` with lists as JSON text.

    Columns that hold one value throughout are repeated by Arrow itself; a
    score that is NaN is null, as pandas writes it.
    """
    import pyarrow as pa

    from zentra_lumara_gov._io import encode_cell

    count = sum(len(part) for part in parts)
    arrays = []
    for name, shared, cells in _long_columns(parts):
        if shared is not _VARIES:
            arrays.append(pa.repeat(encode_cell(shared), count))
            continue
        if name in _STRUCTURED:
            cells = [encode_cell(cell) for cell in cells]
        arrays.append(pa.array(cells, from_pandas=True))
    return pa.Table.from_arrays(arrays, names=RECORD_COLUMNS)


def _cell_of(name: str, value: Any) -> Any:
    """A record field as the record table holds it: the group's text, errors as mappings."""
    if name == "group" and isinstance(value, MetricGroup):
        return value.value
    if name == "errors" and value is not None:
        return [error.model_dump() for error in value]
    return value


def _filled(value: Any, count: int) -> Any:
    """``count`` cells of ``value``, of the dtype pandas infers for it."""
    dtype = pd.Series([value]).dtype
    if dtype == object:
        cells = np.empty(count, dtype=object)
        cells.fill(value)
        return cells
    if isinstance(dtype, np.dtype):
        return np.full(count, value, dtype=dtype)
    return pd.array(np.full(count, value, dtype=object), dtype=dtype)


def _shortened(value: Any, limit: int) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    text = " ".join(str(value).split())
    return text if len(text) <= limit else text[: limit - 1] + "…"

