"""A plain-Python rendering of the metric run's steps, for the benchmark.

The same steps, in the same order, as the compiled run, so the two can be
timed side by side on the same data and metrics.
"""

from __future__ import annotations

import os
import uuid
from datetime import datetime

import pandas as pd

from zentra_lumara_gov.clients.api_client import APIClient
from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
from zentra_lumara_gov.utils.async_util import gather_with_concurrency, run_in_event_loop
from zentra_lumara_gov.utils.python_utils import track_duration
from zentra_lumara_gov.utils.segment_batch_manager import SegmentBatchManager

api_client_cache = None


def resolve_metric_dependencies(metrics=[], metric_groups=[]):  # noqa: B006 - as the run
    all_metrics = metrics.copy()
    for metric in metrics:
        for dependency in metric.metric_dependencies:
            if dependency.name not in [m.name for m in all_metrics]:
                all_metrics.insert(0, dependency)
    for group in metric_groups:
        for metric in group.get_metrics():
            if metric.name not in [m.name for m in all_metrics]:
                all_metrics.append(metric)
    return all_metrics


def validate_data(configuration, data):
    if data.empty:
        raise ValueError("The provided data is empty for metrics computation.")


def populate_record_id_timestamp(configuration, data):
    id_column = configuration.record_id_field
    if id_column not in data.columns.to_list() or data[id_column].isnull().all():
        data[id_column] = [str(uuid.uuid4()) for _ in range(len(data))]
    timestamp_column = configuration.record_timestamp_field
    if timestamp_column not in data.columns.to_list() or data[timestamp_column].isnull().all():
        data[timestamp_column] = datetime.now().isoformat()


def _prepare(configuration, data, metrics, api_client, metric_groups):
    global api_client_cache
    if os.getenv("LUMARA_SERVER") not in ("LMO", "LMAI", "LMGOV") and not api_client:
        if not api_client_cache:
            api_client_cache = APIClient()
        api_client = api_client_cache
    if isinstance(data, dict):
        data = pd.DataFrame([data])
    if isinstance(data, list):
        data = pd.DataFrame(data)
    validate_data(configuration=configuration, data=data)
    populate_record_id_timestamp(configuration=configuration, data=data)
    metrics = resolve_metric_dependencies(metrics=metrics, metric_groups=metric_groups)
    return api_client, data, metrics


def evaluate_metrics(configuration, data, metrics, api_client=None, metric_groups=[], **kwargs):  # noqa: B006
    api_client, data, metrics = _prepare(configuration, data, metrics, api_client, metric_groups)
    metrics_result = []
    segment_manager = SegmentBatchManager()
    if configuration.output_fields:
        data = data.astype({field: str for field in configuration.output_fields})
    for metric in metrics:
        with track_duration(f"Metric Evaluation - {metric.name}"):
            if metric.metric_dependencies:
                result = metric.evaluate(data=data, configuration=configuration,
                                         metrics_result=metrics_result, api_client=api_client, **kwargs)
            else:
                result = metric.evaluate(data=data, configuration=configuration,
                                         api_client=api_client, **kwargs)
            metrics_result.append(result)
        run_in_event_loop(segment_manager.track_event,
                          {"objectType": "Metric Evaluation", "custom.metric_name": metric.name})
    return MetricsEvaluationResult(metrics_result=[r for r in metrics_result if r is not None])


async def evaluate_metrics_async(configuration, data, metrics, api_client=None, metric_groups=[],  # noqa: B006
                                 **kwargs):
    api_client, data, all_metrics = _prepare(configuration, data, metrics, api_client, metric_groups)
    results, futures, metrics_with_dependencies, dependency_metric_map = [], [], [], {}
    segment_manager = SegmentBatchManager()
    for metric in all_metrics:
        if not metric.metric_dependencies:
            futures.append(metric.evaluate_async(data=data, configuration=configuration,
                                                 metrics_result=results, api_client=api_client, **kwargs))
            await segment_manager.track_event(
                {"objectType": "Metric Evaluation", "custom.metric_name": metric.name})
            dependency_metric_map[metric.name] = futures[-1]
        else:
            metrics_with_dependencies.append(metric)
    segment_manager = SegmentBatchManager()
    for metric in metrics_with_dependencies:
        for dependency in metric.metric_dependencies:
            if dependency.name in dependency_metric_map:
                pending = dependency_metric_map.pop(dependency.name)
                results.append(await pending)
                futures.remove(pending)
        futures.append(metric.evaluate_async(data=data, configuration=configuration,
                                             metrics_result=results, api_client=api_client, **kwargs))
        await segment_manager.track_event(
            {"objectType": "Metric Evaluation", "custom.metric_name": metric.name})
    results.extend(await gather_with_concurrency(coros=futures,
                                                 max_concurrency=kwargs.get("max_concurrency", 10)))
    return MetricsEvaluationResult(metrics_result=[r for r in results if r is not None])
