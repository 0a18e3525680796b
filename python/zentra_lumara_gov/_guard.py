"""What the front door hands the compiled run instead of the caller's metrics.

A :class:`GuardedMetric` stands in for one metric object: the run reads its
``name`` and ``metric_dependencies`` and calls its ``evaluate`` or
``evaluate_async`` exactly as it would the metric's, and the call goes on to
the metric unchanged. Around the call it

* turns a failure into the SDK's error (``raise_exceptions=True``), or into
  an aggregate that records the failure, so the run goes on with the other
  metrics (``raise_exceptions=False``);
* reports a metric that depends on a failed one as failed, without running it;
* marks the metric complete on the progress sink.
"""

from __future__ import annotations

from typing import Any

from zentra_lumara_gov._identity import key_of
from zentra_lumara_gov.cache import calling_metric
from zentra_lumara_gov.errors import MetricDependencyError, _metric_error


class RunGuard:
    """The state one evaluation shares among its guarded metrics."""

    def __init__(self, raise_exceptions: bool, sink: Any = None) -> None:
        self.raise_exceptions = raise_exceptions
        self.sink = sink
        self.failures: dict[Any, tuple[str, str]] = {}  # metric key -> (error code, message)
        # What the metrics returned so far: the part of the run kept when it is interrupted.
        self.completed: list[Any] = []
        self._guarded: dict[int, GuardedMetric] = {}

    def guard(self, metric: Any) -> GuardedMetric:
        """The one stand-in of ``metric`` in this run (the same object for the same metric)."""
        guarded = self._guarded.get(id(metric))
        if guarded is None:
            guarded = GuardedMetric(metric, self)
            self._guarded[id(metric)] = guarded
        return guarded

    def failed_dependency(self, metric: Any) -> tuple[str, str] | None:
        for dependency in getattr(metric, "metric_dependencies", None) or []:
            failure = self.failures.get(key_of(dependency))
            if failure is not None:
                code, message = failure
                return (
                    MetricDependencyError.__name__,
                    f"Not computed: the metric {dependency.name!r} it depends on failed ({code}: {message}).",
                )
        return None

    def failed(self, metric: Any, cause: Exception, call: tuple[tuple, dict]) -> Any:
        """What the run gets for a metric that raised ``cause``: the SDK error, raised, or a failed aggregate."""
        if self.raise_exceptions:
            raise _metric_error(metric.name, cause) from cause
        return self.failure_result(metric, (type(cause).__name__, str(cause)), call)

    def failure_result(self, metric: Any, failure: tuple[str, str], call: tuple[tuple, dict]) -> Any:
        self.failures[key_of(metric)] = failure
        return self.kept(failed_aggregate(metric, failure, *_data_and_configuration(call)))

    def kept(self, result: Any) -> Any:
        if result is not None:
            self.completed.append(result)
        return result

    def finished(self, metric: Any) -> None:
        if self.sink is not None:
            self.sink.finish(metric.name)


class GuardedMetric:
    """Stands in for one metric object in the run; see the module's description."""

    def __init__(self, metric: Any, run: RunGuard) -> None:
        self.metric = metric
        self.run = run
        self.name = metric.name
        self.metric_dependencies = [run.guard(member) for member in metric.metric_dependencies or []]

    def __getattr__(self, attribute: str) -> Any:
        # Anything else the run or a metric reads comes from the metric itself.
        if attribute == "metric":  # not set yet (a copy being made)
            raise AttributeError(attribute)
        return getattr(self.metric, attribute)

    def __repr__(self) -> str:
        return f"GuardedMetric({self.metric!r})"

    def _own_configuration(self, kwargs: dict[str, Any]) -> None:
        # A metric told which column plays which role reads the run's configuration with them.
        own = getattr(self.metric, "configuration_for", None)
        if own is not None and "configuration" in kwargs:
            kwargs["configuration"] = own(kwargs["configuration"])

    def evaluate(self, *args: Any, **kwargs: Any) -> Any:
        self._own_configuration(kwargs)
        blocked = self.run.failed_dependency(self.metric)
        try:
            if blocked is not None:
                return self.run.failure_result(self.metric, blocked, (args, kwargs))
            token = calling_metric.set(self.metric)
            try:
                return self.run.kept(self.metric.evaluate(*args, **kwargs))
            except Exception as cause:
                return self.run.failed(self.metric, cause, (args, kwargs))
            finally:
                calling_metric.reset(token)
        finally:
            self.run.finished(self.metric)

    async def evaluate_async(self, *args: Any, **kwargs: Any) -> Any:
        self._own_configuration(kwargs)
        blocked = self.run.failed_dependency(self.metric)
        try:
            if blocked is not None:
                return self.run.failure_result(self.metric, blocked, (args, kwargs))
            token = calling_metric.set(self.metric)
            try:
                return self.run.kept(await self.metric.evaluate_async(*args, **kwargs))
            except Exception as cause:
                return self.run.failed(self.metric, cause, (args, kwargs))
            finally:
                calling_metric.reset(token)
        finally:
            self.run.finished(self.metric)


def _data_and_configuration(call: tuple[tuple, dict]) -> tuple[Any, Any]:
    # The run passes keywords; positional arguments follow the metric's signature.
    args, kwargs = call
    data = kwargs["data"] if "data" in kwargs else (args[0] if args else None)
    configuration = kwargs["configuration"] if "configuration" in kwargs else (args[1] if len(args) > 1 else None)
    return data, configuration


def failed_aggregate(metric: Any, failure: tuple[str, str], data: Any, configuration: Any) -> Any:
    """An aggregate saying ``metric`` failed: no value, the error on it and on one record result per record."""
    from zentra_lumara_gov.entities.base_classes import Error
    from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult

    code, message = failure
    identity = {
        "name": metric.name,
        "display_name": getattr(metric, "display_name", None) or metric.name,
        "method": getattr(metric, "method", None),
        "group": getattr(metric, "group", None),
        "provider": getattr(metric, "provider", None),
        "thresholds": list(getattr(metric, "thresholds", None) or []),
    }
    records = [
        RecordMetricResult(**identity, value=None, record_id=record_id, errors=[Error(code=code, message_en=message)])
        for record_id in _record_ids(data, configuration)
    ]
    return AggregateMetricResult(
        **identity,
        value=None,
        total_records=len(records),
        record_level_metrics=records,
        errors=[Error(code=code, message_en=message)],
    )


def _record_ids(data: Any, configuration: Any) -> list[str]:
    field = getattr(configuration, "record_id_field", None)
    columns = getattr(data, "columns", None)
    if field is None or columns is None or field not in columns:
        return []
    return ["" if value is None else str(value) for value in data[field].tolist()]
