"""Evaluate tables of any size on a Dask cluster.

:func:`evaluate_partitioned` evaluates every partition of a
``dask.dataframe.DataFrame`` (or of Parquet, CSV or JSON Lines files) on the
cluster's workers with :func:`zentra_lumara_gov.evaluate`, the same compiled
run a single process uses, and merges what each partition contributes to each
metric into one aggregate per metric. Per-record results stay on the cluster:
they are written as a Parquet dataset (one file per partition) or returned as
a lazy dask DataFrame; the client process only ever receives a handful of
numbers per partition and metric.

Needs the ``dask`` extra: ``pip install "zentra_lumara_gov[dask]"``. The rest
of the SDK never imports dask.

Exactness
---------
Each partition contributes, per metric, its record count, its failed count
(records whose value is None or NaN), the smallest and largest value, and the
sum of its values kept exactly (as an integer count of 2**-1074, the smallest
step between two floats), so the merged sum does not depend on how the table is
cut. The merged mean is that exact sum divided by the number of scored records
and rounded as the provider that computed the metric rounds its own mean: to 4
places for the evaluation-library and detection providers, not at all for the
criteria judge. Record count, failed count, minimum and maximum are then those
of a single-process run exactly, and so is the mean of the detection service
and of the criteria judge. The evaluation library rounds each record value to
4 places but takes its mean over the raw scores, which no longer exist after
the provider returns: the merged mean of a library metric is within 1e-4 (one
unit in the fourth place) of the single-process mean, and for the methods that
clip negative scores at zero it is the mean of the clipped record values.

Output dataset
--------------
With ``output``, each partition's records are written under a staging folder
whose name starts with "_", which readers skip; when every partition is in,
the parts are moved into place and the manifest "_zlg_manifest.json" (run id,
part names, record count) is written last. ``pd.read_parquet(output)`` and
``dask.dataframe.read_parquet(output)`` therefore read one complete run's
records, once each. A folder that holds another run's dataset is refused
unless ``overwrite=True``, which replaces it whole; a folder another run is
writing to (its "_zlg_run.lock" names the process) is refused.

Record ids
----------
A table without record ids (the configuration's ``record_id_field`` missing or
all null) gets them once, deterministically, before the metric pass: version-5
UUIDs of the run's id and the row's position (partition number and row within
the partition). A partition computed again, because its worker died, gets the
same ids, so its records replace rather than duplicate the lost ones. The same
holds for the timestamp column, stamped with the time the run started.

Concurrency
-----------
Metrics that call a service (the detection service, a judge model, an async
metric function) are evaluated at most ``worker_concurrency`` records at a time
per worker process (one slice of one partition; the slices of a partition follow
one another), so at most that many requests of one worker are in flight to the
detection service at once; metrics computed in the worker itself take each
partition in one call, and the judges get at most ``LUMARA_CONCURRENCY_LIMIT`` requests per
judge engine. Across the cluster the bound is workers × ``worker_concurrency``
requests to the detection service.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import inspect
import math
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from zentra_lumara_gov import _inputs
from zentra_lumara_gov._identity import MetricKey, labels
from zentra_lumara_gov._pipeline import RunDefinition
from zentra_lumara_gov.errors import InputTypeError

if TYPE_CHECKING:
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    from zentra_lumara_gov.clients.api_client import APIClient
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.entities.enums import MetricGroup
    from zentra_lumara_gov.entities.metric import GenAIMetric

__all__ = ["DEFAULT_WORKER_CONCURRENCY", "MergedAggregate", "PartitionedResult", "evaluate_partitioned"]

# Records one worker process evaluates at a time when the caller names no limit.
DEFAULT_WORKER_CONCURRENCY = 1000

# Namespace of the run ids, so record ids of different runs never meet.
RUN_NAMESPACE = uuid.UUID("8f1d3c2a-6b7e-5d4c-9a8b-7c6d5e4f3a2b")

# Floats are whole multiples of 2**-1074; sums kept in that unit are exact.
_SUM_SCALE_BITS = 1074



@dataclasses.dataclass(frozen=True)
class _MetricCounts:
    """A metric's identity, the counts and extremes of its record values and their threshold verdicts.

    ``judged`` counts the records with a value and thresholds to judge it by,
    ``passed`` those within every threshold; ``errors`` holds the metric's
    failure ("code", "message") pairs when it failed as a whole.
    """

    name: str
    display_name: str | None
    method: str | None
    group: Any
    provider: str | None
    thresholds: tuple[Any, ...]
    total_records: int
    failed_records: int
    min: float | None
    max: float | None
    judged: int
    passed: int
    errors: tuple[tuple[str, str], ...]

    @property
    def key(self) -> MetricKey:
        return MetricKey(self.name, self.provider, self.method, self.display_name or self.name)


@dataclasses.dataclass(frozen=True)
class MetricPartial(_MetricCounts):
    """What one part of the table contributes to one metric's aggregate."""

    exact_sum: int  # sum of the finite scored values, in units of 2**-1074
    infinities: tuple[int, int] = (0, 0)  # how many scored values are inf and -inf

    @classmethod
    def of(cls, aggregate: Any) -> "MetricPartial":
        """The partial of one partition's ``AggregateMetricResult``."""
        columns = aggregate.record_columns()
        every = columns.values()
        valued = every[~np.isnan(every)]
        finite = valued[np.isfinite(valued)]
        # The interpreter's min and max over the values in record order (0.0 and -0.0 kept as they come).
        values = valued.tolist()
        verdicts, judged = columns.verdicts(), columns.judged()
        failed = aggregate.failed
        return cls(
            name=aggregate.name,
            display_name=aggregate.display_name,
            method=aggregate.method,
            group=aggregate.group,
            provider=aggregate.provider,
            thresholds=tuple(aggregate.thresholds or ()),
            total_records=aggregate.total_records,
            failed_records=aggregate.total_records - len(values),
            exact_sum=exact_sum(finite),
            infinities=(int((valued == np.inf).sum()), int((valued == -np.inf).sum())),
            min=min(values) if values else None,
            max=max(values) if values else None,
            judged=int(judged.sum()),
            passed=0 if verdicts is None else int((verdicts & judged).sum()),
            errors=tuple((error.code, error.message_en) for error in aggregate.errors or []) if failed else (),
        )

    def merge(self, other: "MetricPartial") -> "MetricPartial":
        return dataclasses.replace(
            self,
            total_records=self.total_records + other.total_records,
            failed_records=self.failed_records + other.failed_records,
            exact_sum=self.exact_sum + other.exact_sum,
            infinities=(self.infinities[0] + other.infinities[0], self.infinities[1] + other.infinities[1]),
            min=_extreme(min, self.min, other.min),
            max=_extreme(max, self.max, other.max),
            judged=self.judged + other.judged,
            passed=self.passed + other.passed,
            errors=self.errors or other.errors,
        )


@dataclasses.dataclass(frozen=True)
class MergedAggregate(_MetricCounts):
    """One metric over the whole table, merged from every partition.

    ``mean`` (and ``value``, the same number) is None when no record was
    scored; ``failed_records`` counts the records without a value.
    """

    mean: float | None

    @property
    def value(self) -> float | None:
        return self.mean

    @property
    def failed(self) -> bool:
        """True when the metric failed as a whole (on any partition)."""
        return bool(self.errors)

    @property
    def pass_rate(self) -> float | None:
        """Share of the judged records within every threshold; None when none was judged."""
        return self.passed / self.judged if self.judged else None

    @classmethod
    def of(cls, partial: MetricPartial, mean_digits: int | None) -> "MergedAggregate":
        scored = partial.total_records - partial.failed_records
        mean = None
        if scored:
            # The exact sum as the nearest float, divided as a provider divides its own sum.
            positive, negative = partial.infinities
            if positive or negative:  # as a float sum with infinite terms comes out
                mean = math.nan if positive and negative else (math.inf if positive else -math.inf)
            else:
                mean = _unscaled(partial.exact_sum) / scored
            if mean_digits is not None:
                mean = round(mean, mean_digits)
        fields = {f.name: getattr(partial, f.name) for f in dataclasses.fields(_MetricCounts)}
        return cls(**{**fields, "mean": mean})


@dataclasses.dataclass
class PartitionedResult:
    """What :func:`evaluate_partitioned` returns.

    ``aggregates``: one merged aggregate per metric, in the run's order.
    ``records``: the path of the Parquet dataset of the per-record results
    (one file per partition, the columns of ``MetricsEvaluationResult.to_df``;
    lists and mappings as JSON text), or, without ``output``, a lazy dask
    DataFrame of them held on the cluster. ``run_id`` names the run; record
    ids assigned by it derive from it. ``run`` is the run's record (lineage,
    the fingerprint combined from every partition's, times) and ``digest``
    its digest in the store when one was given. ``client`` is the Dask client
    the run used; when the run started its own local cluster and kept it for the lazy
    records, ``close()`` (or leaving a ``with`` block) shuts it down. (Where
    another client is the current one, compute the records through this one:
    ``result.client.compute(result.records)``.)
    """

    aggregates: list[MergedAggregate]
    records: Any
    partitions: int
    run_id: str
    client: Any = dataclasses.field(default=None, repr=False)
    owns_client: bool = dataclasses.field(default=False, repr=False)
    run: Any = dataclasses.field(default=None, repr=False)
    digest: str | None = None

    def metric_labels(self) -> dict[MetricKey, str]:
        """Each metric's key -> its label (its name, unless another metric of the run shares it)."""
        return labels(aggregate.key for aggregate in self.aggregates)

    def summary(self) -> pd.DataFrame:
        """One row per metric, the columns of ``MetricsEvaluationResult.summary``."""
        import pandas as pd

        from zentra_lumara_gov.entities.evaluation_result import SUMMARY_COLUMNS

        names = self.metric_labels()
        rows = [
            [names[a.key], a.method, a.provider, a.total_records, a.failed_records, a.mean, a.min, a.max, a.pass_rate]
            for a in self.aggregates
        ]
        frame = pd.DataFrame(rows, columns=SUMMARY_COLUMNS)
        for column in ("mean", "min", "max", "pass_rate"):
            frame[column] = frame[column].astype(float)
        return frame

    def failures(self) -> dict[str, str]:
        """Label of each metric that failed as a whole -> its reason ("code: message")."""
        names = self.metric_labels()
        return {
            names[a.key]: "; ".join(f"{code}: {message}" for code, message in a.errors)
            for a in self.aggregates
            if a.failed
        }

    @property
    def failed_metrics(self) -> list[str]:
        """Labels of the metrics that failed as a whole."""
        return list(self.failures())

    def close(self) -> None:
        if self.owns_client and self.client is not None:
            _close_client(self.client)
            self.client = None

    def __enter__(self) -> "PartitionedResult":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


@dataclasses.dataclass(frozen=True)
class _PartitionPlan:
    """Everything a worker needs to evaluate one partition; shipped with every task."""

    definition: RunDefinition
    run_namespace: uuid.UUID
    run_timestamp: str
    assign_ids: bool
    assign_timestamps: bool
    worker_concurrency: int
    staging: str | None
    # The call cache's store URL, mode and bounds (None: every call is made); each worker opens its own.
    cache: tuple[str, str, dict[str, Any]] | None = None


def evaluate_partitioned(
    data: dd.DataFrame | str | os.PathLike[str],
    metrics: Sequence[GenAIMetric],
    *,
    configuration: GenAIConfiguration | None = None,
    metric_groups: Sequence[MetricGroup] | None = None,
    api_client: APIClient | None = None,
    metric_options: Mapping[str, Any] | None = None,
    raise_exceptions: bool = True,
    client: distributed.Client | None = None,
    output: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    worker_concurrency: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    encoding: str | None = None,
    tags: Mapping[str, str] | None = None,
    store: Any = None,
    cache: bool | str | None = None,
    cache_options: Mapping[str, Any] | None = None,
    prices: Mapping[str, Mapping[str, float]] | None = None,
) -> PartitionedResult:
    """Evaluate every partition of a table on a Dask cluster and merge the aggregates.

    Parameters
    ----------
    data : dask.dataframe.DataFrame, str or path
        The records: a dask DataFrame, or a path or glob of data files read
        with dask as :mod:`zentra_lumara_gov` reads them everywhere (Parquet,
        CSV, JSON Lines, JSON; a directory is read as a Parquet dataset).
    metrics, configuration, metric_groups, api_client, metric_options, raise_exceptions
        As for :func:`zentra_lumara_gov.evaluate`. Without ``api_client`` (and
        outside the hosted environments) the client is built here from this
        process's environment and shipped, so workers need no credentials.
        With ``raise_exceptions=False`` a failed metric is kept in the merged
        aggregate (``failed``, ``errors``) and the other metrics go on.
    client : distributed.Client, optional
        The cluster to run on. Defaults to a ``LocalCluster`` of one
        single-threaded worker process per core, shut down when the run ends
        (kept with the result when the records are returned lazily).
    output : str or path, optional
        Folder of the Parquet dataset of per-record results, one file per
        partition ("part.00000.parquet", ...), committed by a manifest written
        last (see "Output dataset"). Without it the records come back as a
        lazy dask DataFrame held on the cluster.
    overwrite : bool, default False
        Replace the dataset another run left in ``output``, whole.
    worker_concurrency : int, optional
        Records one worker process evaluates at a time
        (``DEFAULT_WORKER_CONCURRENCY`` when None): the bound on one worker's
        requests in flight to the detection service. The cluster's bound is
        workers × this.
    progress : callable, optional
        Called as ``progress(done, total)`` with the number of partitions
        evaluated so far, each time one completes.
    encoding : str, optional
        The encoding of CSV and JSON data files (UTF-8 by default).
    tags, store
        As for :func:`zentra_lumara_gov.evaluate`: the run's labels, and the
        run store (or its URL) it is recorded in. The records go from the
        workers' output to the store one part at a time; the client never
        holds them all.
    cache, prices
        As for :func:`zentra_lumara_gov.evaluate`: every worker looks the
        services' answers up in the store's call cache (a PostgreSQL store
        shares it among machines) and keeps what it is given there; the
        run record sums the workers' calls. ``cache_options``: the cache's
        ``max_age`` and ``max_entries``.

    Returns
    -------
    PartitionedResult
        The merged aggregates (one per metric) and where the records went.

    Examples
    --------
    >>> from zentra_lumara_gov.distributed import evaluate_partitioned
    >>> result = evaluate_partitioned("logs/*.parquet", [FaithfulnessMetric()],
    ...                               client=Client("tcp://scheduler:8786"),
    ...                               output="results/")  # doctest: +SKIP
    >>> result.summary()  # doctest: +SKIP
    """
    from zentra_lumara_gov import _pipeline

    limit = DEFAULT_WORKER_CONCURRENCY if worker_concurrency is None else worker_concurrency
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"worker_concurrency must be a positive integer, not {worker_concurrency!r}.")
    _inputs.check_flag("overwrite", overwrite)
    tags = _inputs.checked_tags(tags)
    definition, _ = _pipeline.plan_run(metrics, configuration=configuration, metric_groups=metric_groups,
                                 api_client=api_client, metric_options=metric_options,
                                 raise_exceptions=raise_exceptions)
    from zentra_lumara_gov.cache import resolve_setting

    with _pipeline.opened_store(store) as run_store:
        mode = resolve_setting(cache, run_store)
        cache_setting = None if mode is None else (run_store.url, mode, dict(cache_options or {}))
        return _run_partitioned(definition, data, encoding, client, output, overwrite, limit, progress, tags, run_store,
                                cache_setting, prices)


def _run_partitioned(definition: RunDefinition, data: Any, encoding: str | None, client: Any, output: Any, overwrite: bool,
                     limit: int, progress: Callable[[int, int], None] | None, tags: dict[str, str],
                     run_store: Any, cache_setting: Any = None, prices: Any = None) -> PartitionedResult:
    import dask

    from zentra_lumara_gov import _io
    from zentra_lumara_gov.run_record import RunRecord, TableDigest

    started = datetime.datetime.now(datetime.timezone.utc)
    frame = _as_dask_frame(data, encoding)
    mean_digits = {key: _mean_digits(metric) for key, metric in zip(definition.keys, definition.metrics)}

    run_id = uuid.uuid4()
    dataset = None if output is None else _io.DatasetWriter(output, str(run_id), overwrite=overwrite)
    plan = _PartitionPlan(
        definition=definition,
        run_namespace=uuid.uuid5(RUN_NAMESPACE, str(run_id)),
        run_timestamp=datetime.datetime.now().isoformat(),
        assign_ids=False,
        assign_timestamps=False,
        worker_concurrency=limit,
        staging=None if dataset is None else dataset.staging,
        cache=cache_setting,
    )
    owns_client = client is None
    try:
        if dataset is not None:
            dataset.begin()
        if owns_client:
            client = _local_client()
        plan = dataclasses.replace(plan, **_columns_to_assign(client, frame, definition.configuration, data))
        tasks = [
            dask.delayed(_evaluate_partition, pure=False)(part, position, plan,
                                                          dask_key_name=f"zlg-partition-{run_id}-{position}")
            for position, part in enumerate(frame.to_delayed())
        ]
        futures = client.compute(tasks)
        partial_futures = futures if dataset is not None else [
            client.submit(_partials_of, future, key=f"zlg-partials-{run_id}-{position}")
            for position, future in enumerate(futures)
        ]
        outcomes = _gather_in_order(client, partial_futures, progress)
        partials = [partial for _, _, partial, _ in outcomes]
        digests = [digest for _, digest, _, _ in outcomes]
        if dataset is not None:
            records: Any = dataset.commit([count for count, _, _, _ in outcomes])
        else:
            records = _lazy_records(client, futures, dask)
        result = PartitionedResult(aggregates=_merged(partials, mean_digits), records=records, partitions=len(tasks),
                                   run_id=str(run_id), client=client, owns_client=owns_client)
        begun = RunRecord.begin(None, definition.configuration, definition.metrics, source=_source(data), tags=tags,
                                api_client=definition.api_client, table_digest=TableDigest.concat(digests))
        begun = begun.model_copy(update={"started_at": started})
        calls = None if cache_setting is None else _summed_calls([tally for _, _, _, tally in outcomes], prices)
        result.run = begun.end(result, "completed", calls=calls)
        if run_store is not None:
            result.digest = run_store.add(result, run=result.run, record_tables=lambda: _record_tables(result))
    except BaseException as problem:
        if dataset is not None:
            dataset.abort()
        if owns_client and client is not None:
            _close_client(client)
        _record_unfinished(definition, data, tags, started, run_store, problem)
        raise
    if owns_client and dataset is not None:
        _close_client(client)
        result.client, result.owns_client = None, False
    return result


# --- on the workers ---------------------------------------------------------------

# One worker process evaluates one slice at a time, whatever its thread count:
# this is what bounds its requests in flight. Per-process state, built on first use.
_worker_slot = threading.Lock()


def _evaluate_partition(frame: pd.DataFrame, position: int, plan: _PartitionPlan) -> Any:
    """Evaluate one partition through the run pipeline: its per-record results and its partials per metric.

    Returns (record count, the partition's table digest, partials, call
    tally) when the records are written to the staging folder, else (records
    table, digest, partials, call tally); the tally is None without a cache.
    """
    from zentra_lumara_gov import _io, _pipeline
    from zentra_lumara_gov.run_record import digest_table, input_columns

    frame = _stamped(frame, position, plan)
    configuration = plan.definition.configuration
    digest = digest_table(frame, input_columns(configuration), configuration.record_id_field)
    tables = []
    partials: dict[MetricKey, MetricPartial] = {}
    # Metrics computed here take the partition whole; those that call a service take it a slice at a
    # time, which bounds this worker's requests in flight.
    local, calling = _by_service(plan.definition)
    pieces = [(local, frame)] if local.metrics else []
    if calling.metrics:
        pieces += [(calling, frame.iloc[start : start + plan.worker_concurrency])
                   for start in range(0, len(frame), plan.worker_concurrency)]
    with contextlib.ExitStack() as stack:
        call_cache = None
        if plan.cache is not None:
            from zentra_lumara_gov.cache import CallCache

            url, mode, options = plan.cache
            call_cache = stack.enter_context(CallCache(url, mode=mode, **options))
        for definition, piece in pieces:
            with _worker_slot:
                # A worker has nobody to show a bar to; progress is per partition.
                result = _pipeline.run(_pipeline.prepare(definition, piece, output_cast=True, show_progress=False,
                                                         record=False, cache=call_cache))
            tables.append(result.to_df())
            for aggregate in result.metrics_result:
                partial = MetricPartial.of(aggregate)
                previous = partials.get(partial.key)
                partials[partial.key] = partial if previous is None else previous.merge(partial)
    tally = None if call_cache is None else call_cache.tally
    # Made ready once the pieces are together: a column can be all booleans in one piece, mixed in another.
    records = _parquet_ready(_concat(tables, frame))
    partials = {key: partials[key] for key in plan.definition.keys if key in partials}
    if plan.staging is None:
        return records, digest, list(partials.values()), tally
    _io.write_parquet_part(records, os.path.join(plan.staging, _io.part_name(position)))
    return len(records), digest, list(partials.values()), tally


def calls_service(metric: Any) -> bool:
    """Whether computing ``metric`` calls out: the detection service, a judge model, or an async function."""
    from zentra_lumara_gov.custom import FunctionMetric
    from zentra_lumara_gov.metrics.llm_as_judge import LLMAsJudgeMetric

    if getattr(type(metric), "provider", None) == "detectors" or getattr(metric, "method", None) == "llm_as_judge":
        return True
    if isinstance(metric, LLMAsJudgeMetric):
        return True
    # A coroutine function is most likely awaiting a service; a plain one computes here.
    return isinstance(metric, FunctionMetric) and inspect.iscoroutinefunction(metric._function)


def _by_service(definition: RunDefinition) -> tuple[RunDefinition, RunDefinition]:
    """The run's metrics in two: those computed here, and those that call a service with every metric
    tied to one by a dependency (either way), so each part runs with all it depends on."""
    group = {metric.name: metric.name for metric in definition.metrics}

    def root(name: str) -> str:
        while group.setdefault(name, name) != name:
            name = group[name]
        return name

    for metric in definition.metrics:
        for dependency in getattr(metric, "metric_dependencies", None) or ():
            group[root(getattr(dependency, "name", None) or metric.name)] = root(metric.name)
    calling_roots = {root(metric.name) for metric in definition.metrics if calls_service(metric)}
    parts: tuple[list[int], list[int]] = ([], [])
    for position, metric in enumerate(definition.metrics):
        parts[root(metric.name) in calling_roots].append(position)
    return tuple(  # type: ignore[return-value]
        dataclasses.replace(definition, metrics=[definition.metrics[i] for i in positions],
                            keys=[definition.keys[i] for i in positions])
        for positions in parts
    )


def _stamped(frame: pd.DataFrame, position: int, plan: _PartitionPlan) -> pd.DataFrame:
    """The partition with the ids and timestamps the run assigns, the same on every attempt."""
    if not (plan.assign_ids or plan.assign_timestamps):
        return frame
    frame = frame.copy()
    configuration = plan.definition.configuration
    if plan.assign_ids:
        frame[configuration.record_id_field] = [
            str(uuid.uuid5(plan.run_namespace, f"{position}:{row}")) for row in range(len(frame))
        ]
    if plan.assign_timestamps:
        frame[configuration.record_timestamp_field] = plan.run_timestamp
    return frame


def _parquet_ready(records: pd.DataFrame) -> pd.DataFrame:
    """Lists and mappings as JSON text, every other non-numeric cell as text (None kept)."""
    for column in records.columns:
        cells = records[column]
        if cells.dtype != object:
            continue
        first = cells.first_valid_index()
        # A column of texts (and nulls) stays as it is; the result columns hold one kind of value each.
        if first is not None and not isinstance(cells[first], str):
            records[column] = [_cell_text(cell) for cell in cells]
    return records


def _cell_text(cell: Any) -> str | None:
    from zentra_lumara_gov._io import encode_cell

    if cell is None or isinstance(cell, str):
        return cell
    encoded = encode_cell(cell)
    return encoded if isinstance(encoded, str) else str(encoded)


def _concat(tables: list[pd.DataFrame], frame: pd.DataFrame) -> pd.DataFrame:
    import pandas as pd

    if not tables:  # an empty partition: no record, no metric
        from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult

        return _parquet_ready(MetricsEvaluationResult(metrics_result=[]).to_df())
    return pd.concat(tables, ignore_index=True) if len(tables) > 1 else tables[0]


def _partials_of(outcome: tuple[pd.DataFrame, Any, list[MetricPartial], Any]) -> tuple[None, Any, list[MetricPartial],
                                                                                         Any]:
    return None, outcome[1], outcome[2], outcome[3]


def _summed_calls(tallies: list[Any], prices: Any) -> dict[str, Any]:
    """The workers' call tallies as one."""
    from zentra_lumara_gov.cache import CallTally

    total = CallTally()
    for tally in tallies:
        if tally is None:
            continue
        total.count(calls=tally.calls, hits=tally.hits, misses=tally.misses)
        for model, row in tally.tokens.items():
            mine = total.tokens.setdefault(model, {"calls": 0, "input_tokens": 0, "output_tokens": 0})
            for name in mine:
                mine[name] += row[name]
    return total.summary(prices)


def _records_of(outcome: tuple[pd.DataFrame, Any, list[MetricPartial]]) -> pd.DataFrame:
    return outcome[0]


def _empty_like(outcome: tuple[pd.DataFrame, Any, list[MetricPartial]]) -> pd.DataFrame:
    return outcome[0].iloc[:0]


# --- the run's record -------------------------------------------------------------


def _source(data: Any) -> Any:
    # A single file is described by its path, size and time; a glob, a folder or a frame is not one file.
    if isinstance(data, (str, os.PathLike)) and os.path.isfile(data):
        return data
    return None


def _record_tables(result: PartitionedResult) -> Iterator[pd.DataFrame]:
    """The run's record tables one part at a time, from the dataset's files or from the cluster."""
    import pandas as pd

    if isinstance(result.records, str):
        for name in sorted(os.listdir(result.records)):
            if name.startswith("part.") and name.endswith(".parquet"):
                yield pd.read_parquet(os.path.join(result.records, name))
    elif result.records is not None:
        for part in result.records.partitions:
            yield result.client.compute(part).result()


def _record_unfinished(definition: RunDefinition, data: Any, tags: dict[str, str], started: datetime.datetime, run_store: Any,
                       problem: BaseException) -> None:
    """A cluster run that failed or was interrupted, stored without records (they never reached a dataset)."""
    if run_store is None:
        return
    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentra_lumara_gov.run_record import RunRecord, TableDigest

    empty = MetricsEvaluationResult()
    begun = RunRecord.begin(None, definition.configuration, definition.metrics, source=_source(data), tags=tags,
                            api_client=definition.api_client, table_digest=TableDigest.concat([]))
    status = "failed" if isinstance(problem, Exception) else "interrupted"
    empty.run = begun.model_copy(update={"started_at": started}).end(empty, status, error=problem)
    try:
        empty.digest = run_store.add(empty)
    except Exception as storing:
        problem.add_note(f"the unfinished run {empty.run.run_id} could not be stored: {storing}")


# --- on the client ----------------------------------------------------------------


def _as_dask_frame(data: Any, encoding: str | None) -> Any:
    import dask.dataframe as dd

    from zentra_lumara_gov import _io

    if isinstance(data, dd.DataFrame):
        return data
    if not isinstance(data, (str, os.PathLike)):
        raise InputTypeError(
            "data must be a dask DataFrame or a path or glob of Parquet, CSV, JSON Lines or JSON files, "
            f"not {type(data).__name__}."
        )
    return _io.read_partitioned(data, encoding)


def _columns_to_assign(client: Any, frame: Any, configuration: Any, data: Any = None) -> dict[str, bool]:
    """Whether the run assigns ids and timestamps: their column is missing or all null, as the run decides.

    The columns are looked at on the cluster. From Parquet only these columns
    are read (a cell is null before decoding exactly when it is after), not
    the whole table a second time.
    """
    fields = {"assign_ids": configuration.record_id_field, "assign_timestamps": configuration.record_timestamp_field}
    present = [field for field in dict.fromkeys(fields.values()) if field in frame.columns]
    if present and _is_parquet(data):
        import dask.dataframe as dd

        frame = dd.read_parquet(os.fspath(data), columns=present)
    filled = dict(zip(present, client.gather(client.compute([frame[f].notnull().any() for f in present]))))
    return {flag: not filled.get(field, False) for flag, field in fields.items()}


def _is_parquet(data: Any) -> bool:
    """Whether ``data`` names a Parquet file, glob or dataset folder."""
    from zentra_lumara_gov import _io

    if not isinstance(data, (str, os.PathLike)):
        return False
    if os.path.isdir(data):
        return True
    try:
        return _io.data_format(data) == "parquet"
    except _io.DataReadError:
        return False


def _mean_digits(metric: Any) -> int | None:
    """Places the provider of ``metric`` rounds its mean to (None: not rounded)."""
    from zentra_lumara_gov.metrics import DetectionMetric, TallyxMetric

    return 4 if isinstance(metric, (DetectionMetric, TallyxMetric)) else None


def _local_client() -> Any:
    from distributed import Client, LocalCluster

    # Processes, not threads: the providers' Python steps hold the interpreter lock.
    # Loopback only; the scheduler's HTTP endpoint on a free port, not the fixed default.
    cluster = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address="127.0.0.1:0")
    return Client(cluster)


def _close_client(client: Any) -> None:
    cluster = client.cluster
    client.close()
    if cluster is not None:
        cluster.close()


def _gather_in_order(client: Any, futures: list[Any], progress: Callable[[int, int], None] | None) -> list[Any]:
    from distributed import as_completed

    by_key = {}
    total = len(futures)
    try:
        for done, future in enumerate(as_completed(futures), start=1):
            by_key[future.key] = future.result()
            if progress is not None:
                progress(done, total)
    except BaseException:
        client.cancel(futures)
        raise
    return [by_key[future.key] for future in futures]


def _merged(partials: Iterable[list[MetricPartial]],
            mean_digits: Mapping[MetricKey, int | None]) -> list[MergedAggregate]:
    merged: dict[MetricKey, MetricPartial] = {}
    for part in partials:
        for partial in part:
            previous = merged.get(partial.key)
            merged[partial.key] = partial if previous is None else previous.merge(partial)
    return [MergedAggregate.of(partial, mean_digits.get(key)) for key, partial in merged.items()]


def _lazy_records(client: Any, futures: list[Any], dask: Any) -> Any:
    import dask.dataframe as dd

    if not futures:
        return None
    meta = client.submit(_empty_like, futures[0]).result()
    parts = [dask.delayed(_records_of)(future) for future in futures]
    # Persisted, the frame holds its partitions' futures itself: the records stay
    # on the cluster for as long as the frame lives, whatever becomes of ``futures``.
    return client.persist(dd.from_delayed(parts, meta=meta, verify_meta=False))


def exact_sum(values: np.ndarray) -> int:
    """The exact sum of finite float64 ``values``, in units of 2**-1074 (every float is a whole number of them).

    Each value is its 53-bit integer mantissa times a power of two; the
    mantissas are summed per exponent in int64 (split in two halves so no
    partial sum overflows), then each exponent's sum is shifted into place.
    """
    if not len(values):
        return 0
    mantissas, exponents = np.frexp(values)
    integers = (mantissas * 2.0**53).astype(np.int64)
    order = np.argsort(exponents, kind="stable")
    exponents, integers = exponents[order], integers[order]
    high, low = np.divmod(integers, 1 << 27)
    starts = np.flatnonzero(np.r_[True, exponents[1:] != exponents[:-1]])
    total = 0
    for exponent, high_sum, low_sum in zip(exponents[starts].tolist(), np.add.reduceat(high, starts).tolist(),
                                           np.add.reduceat(low, starts).tolist()):
        shift = exponent - 53 + _SUM_SCALE_BITS
        group = (high_sum << 27) + low_sum
        # A value is a whole number of units, so bits shifted out to the right are zeros.
        total += group << shift if shift >= 0 else group >> -shift
    return total


def _unscaled(exact_sum: int) -> float:
    from fractions import Fraction

    return float(Fraction(exact_sum, 1 << _SUM_SCALE_BITS))


def _extreme(pick: Callable[[float, float], float], a: float | None, b: float | None) -> float | None:
    if a is None:
        return b
    if b is None:
        return a
    return pick(a, b)
