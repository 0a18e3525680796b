"""Result classes of an evaluation, importable from one place.

``MetricsEvaluationResult`` is what :func:`zentra_lumara_gov.evaluate` returns:
``metrics_result`` holds one ``AggregateMetricResult`` per metric, each with
its ``RecordMetricResult`` per record. ``to_df()`` gives the record results as
a table, ``to_json()`` the whole result as JSON text.
"""

from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

__all__ = ["AggregateMetricResult", "Error", "MetricThreshold", "MetricsEvaluationResult", "RecordMetricResult"]
