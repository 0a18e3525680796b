"""The one way through: every door (``evaluate``, ``aevaluate``, each Dask
partition, the command line) evaluates a table in the same three steps.

1. :func:`plan_run` checks the arguments once and fixes what holds for the
   whole run in a :class:`RunDefinition`: the configuration, the metric list with
   its dependencies and groups resolved, the metrics' keys (a run whose
   metrics cannot be told apart is refused), the service client and the
   keywords every metric gets. A definition pickles: the cluster ships it to its
   workers, which resolve nothing again.
2. :func:`prepare` takes one table (the caller's records, or one partition):
   checks its columns and wraps the metrics for failure isolation and
   progress. The caller's DataFrame is never changed: the run stamps ids and
   timestamps on a copy.
3. :func:`run` / :func:`run_async` hand the table to the compiled run, the
   engine, and :func:`finish` keeps the evaluated table beside the result and
   gives it its run record (``result.run``: lineage, fingerprint, times);
   with a store, the run is recorded there, also when it fails or is
   interrupted (with the metrics it finished).

With a call cache (:mod:`zentra_lumara_gov.cache`, on by default where a
store is used), the services' answers are looked up in the store first and
kept there as they arrive, and the table evaluated is kept with the run
before anything is called, so that a run that dies can be resumed.

The rules themselves live in one place each: turning records into a table and
checking arguments in :mod:`zentra_lumara_gov._inputs`; filling missing ids
and timestamps, the default service client and dependency order in the
compiled run; what tells metrics apart in :mod:`zentra_lumara_gov._identity`.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

from zentra_lumara_gov import _inputs
from zentra_lumara_gov._guard import RunGuard
from zentra_lumara_gov._identity import MetricKey, check_distinct
from zentra_lumara_gov.errors import InputTypeError

# Called with every result a whole run finishes (the pytest plugin's reports listen here).
RESULT_OBSERVERS: list[Callable[[Any], Any]] = []

# Marks a definition made without a table (the cluster's tables are its partitions).
NO_DATA: Any = object()

# progress(metric_name, done, total)
ProgressCallback = Callable[[str, int, int], Any]


@dataclasses.dataclass(frozen=True)
class RunDefinition:
    """What every table of one run is evaluated with (see the module's description)."""

    configuration: Any
    metrics: list[Any]
    keys: list[MetricKey]
    api_client: Any
    options: dict[str, Any]
    raise_exceptions: bool


@dataclasses.dataclass
class RunPlan:
    """One table of a run, ready for the engine: the table, the guarded metrics, the progress sink,
    and, for a whole run (not a partition), its run record and the store it goes to."""

    definition: RunDefinition
    table: Any
    metrics: list[Any]
    guard: RunGuard
    record: Any = None
    store: Any = None
    cache: Any = None

    @contextlib.contextmanager
    def caching(self) -> Iterator[None]:
        """The call cache answers the run's calls for the length of the block (nothing when there is none)."""
        if self.cache is None:
            yield
            return
        with self.cache.activated():
            yield
        self.cache.flush()

    def calls(self) -> Any:
        """What the run asked of the services, for its record (None without a cache)."""
        return None if self.cache is None else self.cache.tally.summary(self.cache.prices)

    @contextlib.contextmanager
    def reporting(self) -> Iterator[None]:
        """The progress sink set for the length of the run (none set when nothing is shown or called)."""
        from zentra_lumara_gov.utils.progress import progress_sink

        sink = self.guard.sink
        if sink is None:
            yield
            return
        token = progress_sink.set(sink)
        try:
            yield
        finally:
            progress_sink.reset(token)
            sink.close()


def plan_run(
    metrics: Any,
    *,
    configuration: Any = None,
    metric_groups: Any = None,
    api_client: Any = None,
    metric_options: Any = None,
    raise_exceptions: Any = True,
    max_concurrency: Any = None,
    data: Any = NO_DATA,
) -> tuple[RunDefinition, Any]:
    """The run's definition, and ``data`` as a table when given (checked in the order a user meets the mistakes).

    Arguments are checked before the table, the table before the service
    client is built (a missing credential is the last thing a run with bad
    input should complain about).
    """
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    _inputs.check_flag("raise_exceptions", raise_exceptions)
    if configuration is None:
        from zentra_lumara_gov.config import GenAIConfiguration

        configuration = GenAIConfiguration()
    _inputs.check_configuration(configuration)
    metric_list = _as_list(metrics, "metrics")
    groups = [] if metric_groups is None else _as_list(metric_groups, "metric_groups")
    _inputs.check_metrics(metric_list, groups)
    options = _options(metric_options, max_concurrency)
    table = None if data is NO_DATA else _inputs.record_table(data)
    resolved = metric_run_impl._resolve_metric_dependencies(metrics=metric_list, metric_groups=groups)
    keys = check_distinct(resolved)
    client = metric_run_impl.__service_client(api_client)
    definition = RunDefinition(configuration, resolved, keys, client, options, raise_exceptions)
    return definition, table


def prepare(definition: RunDefinition, table: Any, *, output_cast: bool, show_progress: Any = None,
            progress: Any = None, record: bool = True, source: Any = None, tags: Any = None,
            store: Any = None, cache: Any = None, record_update: Mapping[str, Any] | None = None) -> RunPlan:
    """One table of the run, checked and ready for the engine; the caller's DataFrame stays as it was.

    ``record``: begin the run's record (False for a partition of a larger
    run); ``source``, ``tags`` and ``store`` go into it and where it is kept.
    ``cache``: the run's :class:`~zentra_lumara_gov.cache.CallCache` (None:
    every call is made); with a store, the table is kept with the run.
    ``record_update``: fields of the run record set by the caller (a
    resumed run's id and its link to the first attempt).
    """
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    _inputs.check_columns(definition.configuration, table, output_cast=output_cast)
    _inputs.check_metric_columns(definition.metrics, table)
    # A shallow copy: the ids and timestamps go on it, not on the caller's table. They are
    # stamped here, by the compiled run's own rule, so that the run record sees them.
    table = table.copy(deep=False)
    if record and not table.empty:
        metric_run_impl.__populate_record_id_timestamp(configuration=definition.configuration, data=table)
    # Providers report progress by metric name: namesakes share one track of the bar.
    names = list(dict.fromkeys(metric.name for metric in definition.metrics))
    sink = _progress_sink(names, len(table), show_progress, progress)
    guard = RunGuard(definition.raise_exceptions, sink)
    run_record = None
    if record and not table.empty:
        from zentra_lumara_gov.run_record import RunRecord

        run_record = RunRecord.begin(table, definition.configuration, definition.metrics, source=source, tags=tags,
                                     api_client=definition.api_client)
        if record_update:
            run_record = run_record.model_copy(update=dict(record_update))
        if store is not None and cache is not None and not cache.replay:
            store.keep_input(run_record, table)
    return RunPlan(definition, table, [guard.guard(metric) for metric in definition.metrics], guard, run_record, store,
                   cache)


@contextlib.contextmanager
def opened_store(store: Any) -> Iterator[Any]:
    """``store`` as a RunStore for the length of the block (None: no store); a URL is opened and closed here."""
    if store is None:
        yield None
        return
    from zentra_lumara_gov.store import RunStore, open_store

    if not isinstance(store, (RunStore, str, os.PathLike)):
        raise InputTypeError(f"store must be a RunStore, a URL or a path, not {_inputs.describe(store)}.")
    run_store, opened_here = open_store(store)
    try:
        yield run_store
    finally:
        if opened_here:
            run_store.close()


@contextlib.contextmanager
def opened_cache(cache: Any, run_store: Any, **options: Any) -> Iterator[Any]:
    """The run's call cache as ``cache`` asks (see :func:`zentra_lumara_gov.cache.resolve_setting`), closed after
    the block (its last answers written); None when the run has none."""
    from zentra_lumara_gov.cache import CallCache, resolve_setting

    if isinstance(cache, CallCache):  # the caller's own, closed by the caller
        cache.begin_run(prices=options.get("prices"))
        yield cache
        return
    mode = resolve_setting(cache, run_store)
    if mode is None:
        yield None
        return
    call_cache = CallCache(run_store, mode=mode, **options)
    try:
        yield call_cache
    except BaseException:
        # The run's own failure is what the caller must see; the answers received are written all the same.
        with contextlib.suppress(Exception):
            call_cache.close()
        raise
    call_cache.close()


def run(plan: RunPlan) -> Any:
    """The blocking engine over the plan's table."""
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    definition = plan.definition
    try:
        with plan.reporting(), plan.caching():
            result = metric_run_impl._evaluate_metrics(definition.configuration, plan.table, plan.metrics,
                                                       definition.api_client, **definition.options)
        if plan.cache is not None and plan.cache.replay:
            plan.cache.check_complete()
    except BaseException as problem:
        _record_unfinished(plan, problem)
        raise
    return finish(plan, result)


async def run_async(plan: RunPlan) -> Any:
    """The asynchronous engine over the plan's table (metrics run concurrently)."""
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    definition = plan.definition
    try:
        with plan.reporting(), plan.caching():
            result = await metric_run_impl._evaluate_metrics_async(definition.configuration, plan.table, plan.metrics,
                                                                    definition.api_client, **definition.options)
        if plan.cache is not None and plan.cache.replay:
            plan.cache.check_complete()
    except BaseException as problem:
        _record_unfinished(plan, problem)
        raise
    return finish(plan, result)


def finish(plan: RunPlan, result: Any) -> Any:
    """The engine's result, with the evaluated table kept beside it and its run record; stored when asked."""
    keep_input = getattr(result, "keep_input", None)
    if keep_input is None:  # any other result is handed back as the engine gave it
        return result
    configuration = plan.definition.configuration
    text_fields = [*(configuration.input_fields or []), *(configuration.output_fields or [])]
    keep_input(plan.table, configuration.record_id_field, text_fields)
    if plan.record is not None:
        result.run = plan.record.end(result, "completed", calls=plan.calls())
        if plan.store is not None:
            result.digest = plan.store.add(result)
        for observer in list(RESULT_OBSERVERS):
            observer(result)
    return result


def _record_unfinished(plan: RunPlan, problem: BaseException) -> None:
    """Store a run that failed or was interrupted, with the metrics it finished; never hide ``problem``."""
    if plan.record is None or plan.store is None:
        return
    import asyncio

    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult

    interrupted = isinstance(problem, (KeyboardInterrupt, asyncio.CancelledError)) or not isinstance(problem,
                                                                                                      Exception)
    partial = MetricsEvaluationResult(metrics_result=list(plan.guard.completed))
    partial.run = plan.record.end(partial, "interrupted" if interrupted else "failed", error=problem,
                                  calls=plan.calls())
    try:
        partial.digest = plan.store.add(partial)
    except Exception as storing:  # the run's own failure is what the caller must see
        problem.add_note(f"the unfinished run {partial.run.run_id} could not be stored: {storing}")
    else:
        problem.add_note(f"the unfinished run is stored as {partial.run.run_id} (status {partial.run.status!r})")


def _progress_sink(metric_names: list[str], record_count: int, show_progress: bool | None,
                   progress: ProgressCallback | None) -> Any:
    from zentra_lumara_gov.utils import progress as progress_module

    if show_progress is None:
        show_progress = progress_module.show_progress_by_default()
    if not show_progress and progress is None:
        return None
    bar = progress_module.make_bar(record_count * len(metric_names)) if show_progress else None
    return progress_module.ProgressSink(metric_names, record_count, callback=progress, bar=bar)


def _options(metric_options: Any, max_concurrency: Any) -> dict[str, Any]:
    """The keywords every metric gets: ``metric_options``, and ``max_concurrency`` when given."""
    if metric_options is None:
        options: dict[str, Any] = {}
    elif isinstance(metric_options, Mapping):
        options = dict(metric_options)
        for key in options:
            if not isinstance(key, str):
                raise InputTypeError(f"metric_options keys must be strings, not {type(key).__name__}: {key!r}.")
    else:
        raise InputTypeError(
            f"metric_options must be a mapping of keyword names to values, not {type(metric_options).__name__}."
        )
    if "metric_groups" in options:
        raise InputTypeError("metric_groups is an argument of its own, not a metric option.")
    if max_concurrency is not None:
        if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
            raise ValueError(f"max_concurrency must be a positive integer, not {max_concurrency!r}.")
        if "max_concurrency" in options:
            raise InputTypeError("max_concurrency is given both as an argument and in metric_options.")
        options["max_concurrency"] = max_concurrency
    return options


def _as_list(value: Any, argument: str) -> list[Any]:
    # The engine takes lists; any other sequence (a tuple, say) is copied into one.
    if isinstance(value, list):
        return value
    if isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        return list(value)
    raise InputTypeError(f"{argument} must be a list, not {type(value).__name__}.")
