"""Exceptions the SDK raises at its front door.

Every class derives from :class:`ZentraLumaraGovError`, so one ``except``
catches them all. A metric that fails is raised as a
:class:`MetricEvaluationError` that is also an instance of the exception the
metric raised (an ``Exception`` for a provider failure, a ``ValueError`` for
a metric without a judge, ...), with the same message: code that catches
``Exception`` or ``ValueError`` around an evaluation keeps working.

>>> from zentra_lumara_gov.errors import MetricEvaluationError, ZentraLumaraGovError, metric_error
>>> error = metric_error("faithfulness", ValueError("no judge model"))
>>> isinstance(error, ValueError), isinstance(error, MetricEvaluationError), str(error)
(True, True, 'no judge model')
>>> error.metric_name, type(error).__name__
('faithfulness', 'MetricEvaluationValueError')
"""

from __future__ import annotations

import functools

__all__ = [
    "InputTypeError",
    "InputValueError",
    "MetricDependencyError",
    "MetricEvaluationError",
    "ZentraLumaraGovError",
    "metric_error",
]


class ZentraLumaraGovError(Exception):
    """Base of the SDK's own exceptions."""


class InputTypeError(ZentraLumaraGovError, TypeError):
    """An argument of the front door has the wrong type (data, configuration, a metric)."""


class InputValueError(ZentraLumaraGovError, ValueError):
    """An argument has the right type but cannot be evaluated (a configured column missing, ...)."""


class MetricEvaluationError(ZentraLumaraGovError):
    """A metric failed. ``metric_name`` names it; the original exception is the ``__cause__``."""

    metric_name: str | None = None


class MetricDependencyError(MetricEvaluationError):
    """A metric was not run because a metric it depends on failed."""


@functools.cache
def _error_class(cause_type: type[BaseException]) -> type[MetricEvaluationError]:
    """MetricEvaluationError joined with ``cause_type``, made once per type."""
    if issubclass(cause_type, MetricEvaluationError):
        return cause_type
    if cause_type is Exception:
        return MetricEvaluationError
    try:
        made = type(f"MetricEvaluation{cause_type.__name__}", (MetricEvaluationError, cause_type), {})
    except TypeError:  # a layout that cannot be combined: the plain class, still an Exception
        return MetricEvaluationError
    made.__module__ = __name__
    made.__doc__ = f"A metric failed with {cause_type.__module__}.{cause_type.__qualname__}."
    return made


def metric_error(metric_name: str, cause: BaseException) -> MetricEvaluationError:
    """The SDK error for ``cause`` raised while computing ``metric_name``: same message, also a ``type(cause)``.

    Raise it ``from cause`` so the original traceback stays in view.
    """
    error_class = _error_class(type(cause))
    try:
        error = error_class(*cause.args)
    except Exception:  # an exception type whose constructor wants other arguments
        error_class = MetricEvaluationError
        error = error_class(str(cause))
    if str(error) != str(cause):  # a type that formats its message from its own fields
        error = MetricEvaluationError(str(cause))
    error.metric_name = metric_name
    return error
