"""The public entry points: evaluate a table of records with a list of metrics.

``evaluate`` and ``aevaluate`` are thin: they fill in the defaults, check the
arguments and hand everything to the compiled metric run
(``zentra_lumara_gov.evaluators.impl.metric_run_impl``).
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

from zentra_lumara_gov._guard import RunGuard

if TYPE_CHECKING:
    import pandas as pd

    from zentra_lumara_gov.clients.api_client import APIClient
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.entities.enums import MetricGroup
    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentra_lumara_gov.entities.metric import GenAIMetric

# What ``data`` may be: a table, one record, or a list of records.
RecordData = Union["pd.DataFrame", Mapping[str, Any], Sequence[Mapping[str, Any]]]
# progress(metric_name, done, total)
ProgressCallback = Callable[[str, int, int], Any]

__all__ = ["aevaluate", "evaluate"]


def evaluate(
    data: RecordData,
    metrics: Sequence[GenAIMetric],
    *,
    configuration: GenAIConfiguration | None = None,
    metric_groups: Sequence[MetricGroup] | None = None,
    api_client: APIClient | None = None,
    metric_options: Mapping[str, Any] | None = None,
    raise_exceptions: bool = True,
    show_progress: bool | None = None,
    progress: ProgressCallback | None = None,
) -> MetricsEvaluationResult:
    """Compute every metric on every record and in aggregate.

    Parameters
    ----------
    data : pandas.DataFrame, dict or list of dict
        The records: a table with one row per record, one record as a mapping,
        or a list of mappings. Missing record ids and timestamps are filled in
        (on the caller's DataFrame too).
    metrics : list of GenAIMetric
        The metric objects to compute; metrics they depend on are added and
        run first.
    configuration : GenAIConfiguration, optional
        Which columns hold what. Defaults to ``GenAIConfiguration()``: columns
        "record_id", "record_timestamp", "question", "contexts", "answer" and
        "ground_truth".
    metric_groups : list of MetricGroup, optional
        Groups whose metrics are added to ``metrics``.
    api_client : APIClient, optional
        The governance-service client handed to every metric. Defaults to one
        built from the environment (``LUMARA_URL``, ``LUMARA_API_KEY``, ...);
        the run says which variables to set when none are.
    metric_options : mapping, optional
        Keywords passed on to every metric's ``evaluate``.
    raise_exceptions : bool, default True
        True: the first metric that fails ends the run with an error of
        :mod:`zentra_lumara_gov.errors` (also an instance of what the metric
        raised). False: a failed metric gives an aggregate with value None
        and the error (type and message) on it and on each of its records;
        every other metric's result is kept, and a metric depending on a
        failed one is reported failed without being run.
    show_progress : bool, optional
        Show a progress bar over records x metrics (tqdm: a widget in a
        notebook, text on standard error elsewhere). By default shown when
        standard error is a terminal or the code runs in a notebook.
    progress : callable, optional
        Called with ``(metric_name, done, total)`` as metrics advance: per
        answered request for the detection service, per judged record for the
        criteria judge, per metric for the evaluation library.

    Returns
    -------
    MetricsEvaluationResult
        One aggregate result per metric, each holding its record results;
        ``summary()`` gives one row per metric, ``to_df()`` the record results
        as a table (``wide=True``: one column per metric beside the input
        columns), ``to_json()``, ``to_csv()``, ``to_parquet()`` and
        ``to_html()`` write them out.

    Raises
    ------
    TypeError
        ``data``, ``configuration``, a metric or a flag of the wrong type.
    ValueError
        A column the configuration names is missing from the table, or the
        table is empty.
    zentra_lumara_gov.errors.MetricEvaluationError
        A metric failed (with ``raise_exceptions=True``).

    Examples
    --------
    >>> import pandas as pd
    >>> import zentra_lumara_gov as zlg
    >>> from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    >>> from zentra_lumara_gov.metrics import AnswerRelevanceMetric
    >>> table = pd.DataFrame({
    ...     "question": ["What is the capital of France?"],
    ...     "answer": ["Paris is the capital of France."],
    ... })
    >>> client = APIClient(Credentials(url="https://governance.example", api_key="key"))
    >>> result = zlg.evaluate(table, [AnswerRelevanceMetric()], api_client=client)
    >>> aggregate = result.metrics_result[0]
    >>> aggregate.name, aggregate.total_records, 0.0 <= aggregate.mean <= 1.0
    ('answer_relevance', 1, True)
    """
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    configuration, metrics, groups, options = _checked_arguments(
        configuration, metrics, metric_groups, metric_options
    )
    run = _prepare_run(configuration, data, metrics, groups, raise_exceptions, show_progress, progress,
                       output_cast=True)
    with run.reporting():
        result = metric_run_impl._evaluate_metrics(configuration, run.table, run.metrics, api_client, **options)
    return run.finish(result)


async def aevaluate(
    data: RecordData,
    metrics: Sequence[GenAIMetric],
    *,
    configuration: GenAIConfiguration | None = None,
    metric_groups: Sequence[MetricGroup] | None = None,
    api_client: APIClient | None = None,
    metric_options: Mapping[str, Any] | None = None,
    max_concurrency: int | None = None,
    raise_exceptions: bool = True,
    show_progress: bool | None = None,
    progress: ProgressCallback | None = None,
) -> MetricsEvaluationResult:
    """Coroutine form of :func:`evaluate`: metrics run concurrently.

    Takes the parameters of :func:`evaluate`, plus ``max_concurrency``: how
    many metrics run at once (10 when None). It is passed on to every metric
    too, as the run always does.

    Examples
    --------
    >>> import asyncio
    >>> import zentra_lumara_gov as zlg
    >>> from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    >>> from zentra_lumara_gov.metrics import AnswerRelevanceMetric
    >>> client = APIClient(Credentials(url="https://governance.example", api_key="key"))
    >>> records = [{"question": "Who wrote Hamlet?", "answer": "Shakespeare wrote Hamlet."}]
    >>> result = asyncio.run(zlg.aevaluate(records, [AnswerRelevanceMetric()], api_client=client))
    >>> [aggregate.name for aggregate in result.metrics_result]
    ['answer_relevance']
    """
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    configuration, metrics, groups, options = _checked_arguments(
        configuration, metrics, metric_groups, metric_options
    )
    if max_concurrency is not None:
        if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
            raise ValueError(f"max_concurrency must be a positive integer, not {max_concurrency!r}.")
        if "max_concurrency" in options:
            raise TypeError("max_concurrency is given both as an argument and in metric_options.")
        options["max_concurrency"] = max_concurrency
    run = _prepare_run(configuration, data, metrics, groups, raise_exceptions, show_progress, progress,
                       output_cast=False)
    with run.reporting():
        result = await metric_run_impl._evaluate_metrics_async(
            configuration, run.table, run.metrics, api_client, **options
        )
    return run.finish(result)


class _PreparedRun:
    """One run's checked table, guarded metrics and progress sink."""

    def __init__(self, table: Any, metrics: list[Any], guard: RunGuard, configuration: Any) -> None:
        self.table = table
        self.metrics = metrics
        self.guard = guard
        self.configuration = configuration

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

    def finish(self, result: Any) -> Any:
        """The run's result, with the evaluated table kept beside it for its views."""
        keep_input = getattr(result, "keep_input", None)
        if keep_input is not None:  # any other result is handed back as the run gave it
            configuration = self.configuration
            text_fields = [*(configuration.input_fields or []), *(configuration.output_fields or [])]
            keep_input(self.table, configuration.record_id_field, text_fields)
        return result


def _prepare_run(
    configuration: Any,
    data: Any,
    metrics: list[Any],
    groups: dict[str, list[Any]],
    raise_exceptions: Any,
    show_progress: Any,
    progress: Any,
    *,
    output_cast: bool,
) -> _PreparedRun:
    """Everything checked before any metric runs; the metric list resolved and guarded."""
    from zentra_lumara_gov import _inputs
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    _inputs.check_flags(raise_exceptions, show_progress, progress)
    _inputs.check_configuration(configuration)
    _inputs.check_metrics(metrics, groups.get("metric_groups"))
    table = _inputs.record_table(data)
    _inputs.check_columns(configuration, table, output_cast=output_cast)
    # Groups and dependencies resolved here, so that every metric the run
    # computes is guarded; the run finds nothing more to add.
    resolved = metric_run_impl._resolve_metric_dependencies(metrics=metrics, **groups)
    sink = _progress_sink([metric.name for metric in resolved], len(table), show_progress, progress)
    guard = RunGuard(raise_exceptions, sink)
    return _PreparedRun(table, [guard.guard(metric) for metric in resolved], guard, configuration)


def _progress_sink(metric_names: list[str], record_count: int, show_progress: bool | None,
                   progress: ProgressCallback | None) -> Any:
    from zentra_lumara_gov.utils import progress as progress_module

    if show_progress is None:
        show_progress = progress_module.show_progress_by_default()
    if not show_progress and progress is None:
        return None
    bar = progress_module.make_bar(record_count * len(metric_names)) if show_progress else None
    return progress_module.ProgressSink(metric_names, record_count, callback=progress, bar=bar)


def _checked_arguments(
    configuration: Any, metrics: Any, metric_groups: Any, metric_options: Any
) -> tuple[Any, list[Any], dict[str, list[Any]], dict[str, Any]]:
    """The run's arguments with the defaults filled in and the containers as the run takes them."""
    if configuration is None:
        from zentra_lumara_gov.config import GenAIConfiguration

        configuration = GenAIConfiguration()
    metrics = _as_list(metrics, "metrics")
    # Without groups the run keeps its own default.
    groups = {} if metric_groups is None else {"metric_groups": _as_list(metric_groups, "metric_groups")}
    if metric_options is None:
        options: dict[str, Any] = {}
    elif isinstance(metric_options, Mapping):
        options = dict(metric_options)
        for key in options:
            if not isinstance(key, str):
                raise TypeError(f"metric_options keys must be strings, not {type(key).__name__}: {key!r}.")
    else:
        raise TypeError(f"metric_options must be a mapping of keyword names to values, not {type(metric_options).__name__}.")
    if "metric_groups" in options:
        raise TypeError("metric_groups is an argument of its own, not a metric option.")
    return configuration, metrics, groups, options


def _as_list(value: Any, argument: str) -> list[Any]:
    # The run takes lists; any other sequence (a tuple, say) is copied into one.
    if isinstance(value, list):
        return value
    if isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        return list(value)
    raise TypeError(f"{argument} must be a list, not {type(value).__name__}.")
