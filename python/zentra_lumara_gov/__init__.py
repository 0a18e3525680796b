"""Zentra Lumara governance SDK: evaluate generative-AI records with metrics.

Hand :func:`evaluate` a table of records (questions, contexts, answers, ground
truths, tool calls) and a list of metric objects; it computes every metric per
record and in aggregate and returns a ``MetricsEvaluationResult``.

>>> import zentra_lumara_gov as zlg
>>> zlg.evaluate                                # doctest: +ELLIPSIS
<function evaluate at ...>

Public paths: :mod:`zentra_lumara_gov.config` (``GenAIConfiguration``,
``AgenticAIConfiguration``), :mod:`zentra_lumara_gov.metrics` (the metric
classes), :mod:`zentra_lumara_gov.results` (the result classes),
:mod:`zentra_lumara_gov.errors` (the exceptions, also exported here),
:mod:`zentra_lumara_gov.store` (``RunStore``: every run kept, tamper-evident,
signed off) and :mod:`zentra_lumara_gov.comparison` (``compare``).

The names below are loaded on first use, so ``import zentra_lumara_gov`` stays
cheap: pandas and the compiled modules load with the first evaluation.
"""

# Neither typing nor __future__ is imported here: ``import zentra_lumara_gov``
# costs no more than the package's own module. Type checkers read this flag as
# typing.TYPE_CHECKING.
TYPE_CHECKING = False

if TYPE_CHECKING:
    from typing import Any

    __version__: str
    # "X as X": names this package exports, as type checkers read them.
    from zentra_lumara_gov._api import aevaluate as aevaluate, evaluate as evaluate
    from zentra_lumara_gov.clients.api_client import APIClient as APIClient, Credentials as Credentials
    from zentra_lumara_gov.config import (
        AgenticAIConfiguration as AgenticAIConfiguration,
        GenAIConfiguration as GenAIConfiguration,
    )
    from zentra_lumara_gov.entities.evaluation_result import (
        AggregateMetricResult as AggregateMetricResult,
        MetricsEvaluationResult as MetricsEvaluationResult,
        RecordMetricResult as RecordMetricResult,
    )
    from zentra_lumara_gov.entities.metric import GenAIMetric as GenAIMetric
    from zentra_lumara_gov.entities.metric_threshold import MetricThreshold as MetricThreshold
    from zentra_lumara_gov.comparison import Comparison as Comparison, compare as compare
    from zentra_lumara_gov.custom import Score as Score, metric as metric
    from zentra_lumara_gov.run_record import RunRecord as RunRecord
    from zentra_lumara_gov.store import RunStore as RunStore
    from zentra_lumara_gov.errors import (
        CacheMissError as CacheMissError,
        DataReadError as DataReadError,
        InputTypeError as InputTypeError,
        InputValueError as InputValueError,
        MetricDependencyError as MetricDependencyError,
        MetricEvaluationError as MetricEvaluationError,
        MetricIdentityError as MetricIdentityError,
        OutputError as OutputError,
        SettingsError as SettingsError,
        ZentraLumaraGovError as ZentraLumaraGovError,
    )

# Public name -> module that defines it.
_LAZY_NAMES = {
    "evaluate": "zentra_lumara_gov._api",
    "aevaluate": "zentra_lumara_gov._api",
    "APIClient": "zentra_lumara_gov.clients.api_client",
    "Credentials": "zentra_lumara_gov.clients.api_client",
    "GenAIConfiguration": "zentra_lumara_gov.config",
    "AgenticAIConfiguration": "zentra_lumara_gov.config",
    "AggregateMetricResult": "zentra_lumara_gov.entities.evaluation_result",
    "MetricsEvaluationResult": "zentra_lumara_gov.entities.evaluation_result",
    "RecordMetricResult": "zentra_lumara_gov.entities.evaluation_result",
    "GenAIMetric": "zentra_lumara_gov.entities.metric",
    "MetricThreshold": "zentra_lumara_gov.entities.metric_threshold",
    "compare": "zentra_lumara_gov.comparison",
    "metric": "zentra_lumara_gov.custom",
    "Score": "zentra_lumara_gov.custom",
    "Comparison": "zentra_lumara_gov.comparison",
    "RunRecord": "zentra_lumara_gov.run_record",
    "RunStore": "zentra_lumara_gov.store",
    "CacheMissError": "zentra_lumara_gov.errors",
    "DataReadError": "zentra_lumara_gov.errors",
    "InputTypeError": "zentra_lumara_gov.errors",
    "InputValueError": "zentra_lumara_gov.errors",
    "MetricDependencyError": "zentra_lumara_gov.errors",
    "MetricEvaluationError": "zentra_lumara_gov.errors",
    "MetricIdentityError": "zentra_lumara_gov.errors",
    "OutputError": "zentra_lumara_gov.errors",
    "SettingsError": "zentra_lumara_gov.errors",
    "ZentraLumaraGovError": "zentra_lumara_gov.errors",
}

__all__ = ["__version__", *sorted(_LAZY_NAMES)]


def __getattr__(name: str) -> "Any":
    """The public names, loaded on first use."""
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("zentra_lumara_gov")
        except PackageNotFoundError:  # run from a source tree that was never installed
            value = "0+unknown"
    elif name in _LAZY_NAMES:
        from importlib import import_module

        value = getattr(import_module(_LAZY_NAMES[name]), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted({*globals(), *__all__})
