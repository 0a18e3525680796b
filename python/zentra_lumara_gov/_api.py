"""The public entry points: evaluate a table of records with a list of metrics.

``evaluate`` and ``aevaluate`` are thin doors over the one run pipeline
(:mod:`zentra_lumara_gov._pipeline`), which checks everything once and hands
the table to the compiled metric run.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    import pandas as pd

    from zentra_lumara_gov.clients.api_client import APIClient
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.entities.enums import MetricGroup
    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentra_lumara_gov.cache import CallCache
    from zentra_lumara_gov.entities.metric import GenAIMetric
    from zentra_lumara_gov.store import RunStore

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
    tags: Mapping[str, str] | None = None,
    store: RunStore | str | os.PathLike[str] | None = None,
    cache: bool | str | CallCache | None = None,
    prices: Mapping[str, Mapping[str, float]] | None = None,
) -> MetricsEvaluationResult:
    """Compute every metric on every record and in aggregate.

    Parameters
    ----------
    data : pandas.DataFrame, dict or list of dict
        The records: a table with one row per record, one record as a mapping,
        or a list of mappings. Missing record ids and timestamps are filled in
        on the evaluated copy; the caller's DataFrame is left as it was.
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
    tags : mapping of str to str, optional
        Labels of the run kept in its record (``result.run.tags``), e.g.
        ``{"model": "...", "model_version": "..."}``.
    store : RunStore, str or path, optional
        Record the run there (a :class:`zentra_lumara_gov.store.RunStore`, or
        its URL: an SQLite file path or ``postgresql+psycopg://...``); also a
        run that fails or is interrupted, with the metrics it finished.
        ``result.digest`` is then the run's digest in the store's chain.
    cache : bool, "replay" or CallCache, optional
        Where a store is given the services' answers are kept in it and
        looked up before any call (:mod:`zentra_lumara_gov.cache`): a rerun
        pays only for what changed, and the table is kept with the run so
        that ``RunStore.resume`` can finish it. ``False``: every call is
        made and nothing is kept. ``"replay"``: answers come from the cache
        only and nothing is called (a missing answer fails the record it
        was for). A :class:`~zentra_lumara_gov.cache.CallCache` of one's own
        sets its maximum age and size.
    prices : mapping, optional
        Judge model id -> {"input_per_1k": ..., "output_per_1k": ...}: the
        run record's call counts (``result.run.calls``) then give each judge
        model's cost next to its tokens.

    Returns
    -------
    MetricsEvaluationResult
        One aggregate result per metric, each holding its record results,
        and ``run``, the run's record (id, times, versions, data lineage and
        fingerprint, metric definitions, services, counts);
        ``summary()`` gives one row per metric, ``to_df()`` the record results
        as a table (``wide=True``: one column per metric beside the input
        columns), ``to_json()``, ``to_csv()``, ``to_parquet()`` and
        ``to_html()`` write them out.

    Raises
    ------
    TypeError
        ``data``, ``configuration``, a metric or a flag of the wrong type.
    ValueError
        A column the configuration names is missing from the table, the
        table is empty, or two metrics cannot be told apart
        (``MetricIdentityError``: same name, provider, method and display name).
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
    from zentra_lumara_gov import _inputs, _pipeline

    _inputs.check_progress(show_progress, progress)
    definition, table = _pipeline.plan_run(metrics, configuration=configuration, metric_groups=metric_groups,
                                     api_client=api_client, metric_options=metric_options,
                                     raise_exceptions=raise_exceptions, data=data)
    with _pipeline.opened_store(store) as run_store, \
            _pipeline.opened_cache(cache, run_store, prices=prices) as call_cache:
        plan = _pipeline.prepare(definition, table, output_cast=True, show_progress=show_progress, progress=progress,
                                 tags=_inputs.checked_tags(tags), store=run_store, cache=call_cache)
        return _pipeline.run(plan)


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
    tags: Mapping[str, str] | None = None,
    store: RunStore | str | os.PathLike[str] | None = None,
    cache: bool | str | CallCache | None = None,
    prices: Mapping[str, Mapping[str, float]] | None = None,
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
    from zentra_lumara_gov import _inputs, _pipeline

    _inputs.check_progress(show_progress, progress)
    definition, table = _pipeline.plan_run(metrics, configuration=configuration, metric_groups=metric_groups,
                                     api_client=api_client, metric_options=metric_options,
                                     raise_exceptions=raise_exceptions, max_concurrency=max_concurrency, data=data)
    with _pipeline.opened_store(store) as run_store, \
            _pipeline.opened_cache(cache, run_store, prices=prices) as call_cache:
        plan = _pipeline.prepare(definition, table, output_cast=False, show_progress=show_progress, progress=progress,
                                 tags=_inputs.checked_tags(tags), store=run_store, cache=call_cache)
        return await _pipeline.run_async(plan)
