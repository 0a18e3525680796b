"""Exceptions the SDK raises.

Every class derives from :class:`ZentraLumaraGovError`, so one ``except``
catches them all::

    ZentraLumaraGovError
    ├── CacheMissError (LookupError)      a replay needed an answer the call cache does not hold
    ├── InputTypeError (TypeError)        an argument of the wrong type
    ├── InputValueError (ValueError)      an argument that cannot be evaluated
    │   ├── SettingsError                 a settings file or table that is wrong
    │   ├── DataReadError                 a data file that cannot be read
    │   ├── OutputError                   an output that cannot be written safely
    │   └── MetricIdentityError           two metrics of a run cannot be told apart
    └── MetricEvaluationError             a metric failed
        ├── MetricDependencyError         ... not run, a metric it depends on failed
        └── MetricEvaluation<Cause>Error  ... with a built-in exception (ValueError, KeyError, ...)

A metric that fails is raised as a :class:`MetricEvaluationError` that is also
an instance of the exception the metric raised (an ``Exception`` for a
provider failure, a ``ValueError`` for a metric without a judge, ...), with
the same message: code that catches ``Exception`` or ``ValueError`` around an
evaluation keeps working. Every one of them survives a round trip through
:mod:`pickle` (a Dask worker's failure reaches the client as it was raised).

>>> import pickle
>>> from zentra_lumara_gov.errors import MetricEvaluationError, MetricEvaluationValueError
>>> error = MetricEvaluationValueError("no judge model", metric_name="faithfulness")
>>> isinstance(error, ValueError), isinstance(error, MetricEvaluationError), str(error)
(True, True, 'no judge model')
>>> copy = pickle.loads(pickle.dumps(error))
>>> type(copy).__name__, copy.metric_name, str(copy)
('MetricEvaluationValueError', 'faithfulness', 'no judge model')
"""

from __future__ import annotations

import functools
from typing import Any

__all__ = [
    "CacheMissError",
    "DataReadError",
    "InputTypeError",
    "InputValueError",
    "MetricDependencyError",
    "MetricEvaluationArithmeticError",
    "MetricEvaluationAttributeError",
    "MetricEvaluationConnectionError",
    "MetricEvaluationError",
    "MetricEvaluationImportError",
    "MetricEvaluationIndexError",
    "MetricEvaluationKeyError",
    "MetricEvaluationLookupError",
    "MetricEvaluationNotImplementedError",
    "MetricEvaluationOSError",
    "MetricEvaluationRuntimeError",
    "MetricEvaluationTimeoutError",
    "MetricEvaluationTypeError",
    "MetricEvaluationValueError",
    "MetricEvaluationZeroDivisionError",
    "MetricIdentityError",
    "OutputError",
    "SettingsError",
    "ZentraLumaraGovError",
]


class ZentraLumaraGovError(Exception):
    """Base of the SDK's own exceptions."""


class CacheMissError(ZentraLumaraGovError, LookupError):
    """A replay needed an answer the call cache does not hold (the call is named; nothing was called)."""


class InputTypeError(ZentraLumaraGovError, TypeError):
    """An argument of the front door has the wrong type (data, configuration, a metric)."""


class InputValueError(ZentraLumaraGovError, ValueError):
    """An argument has the right type but cannot be evaluated (a configured column missing, ...)."""


class SettingsError(InputValueError):
    """A settings file, or a table or key of it, that the SDK cannot use."""


class DataReadError(InputValueError):
    """A data file that cannot be read as a record table (its path and, where known, its line are named)."""


class OutputError(InputValueError):
    """An output that cannot be written without losing data: checked before anything is evaluated."""


class MetricIdentityError(InputValueError):
    """Two metrics of one run that nothing tells apart (same name, provider, method and display name)."""


class MetricEvaluationError(ZentraLumaraGovError):
    """A metric failed. ``metric_name`` names it; the original exception is the ``__cause__``."""

    def __init__(self, *args: Any, metric_name: str | None = None) -> None:
        super().__init__(*args)
        self.metric_name = metric_name

    def __reduce__(self) -> Any:
        # The default reduction would call the class with the message alone and
        # lose the metric's name (and a made class is not importable by name).
        return _rebuilt, (_cause_type(type(self)), self.args, self.metric_name), self.__dict__


class MetricDependencyError(MetricEvaluationError):
    """A metric was not run because a metric it depends on failed."""


def _joined(cause_type: type[BaseException], doc: str) -> type[MetricEvaluationError]:
    made = type(f"MetricEvaluation{cause_type.__name__}", (MetricEvaluationError, cause_type), {"__doc__": doc})
    made.__module__ = __name__
    made._cause_type = cause_type  # type: ignore[attr-defined]
    return made


# The built-in causes a metric meets, each joined once here so that it has a
# name to import and to pickle by. (ValueError subclasses such as
# UnicodeDecodeError join as made classes; see _error_class.)
MetricEvaluationValueError = _joined(ValueError, "A metric failed with a ValueError.")
MetricEvaluationTypeError = _joined(TypeError, "A metric failed with a TypeError.")
MetricEvaluationKeyError = _joined(KeyError, "A metric failed with a KeyError.")
MetricEvaluationIndexError = _joined(IndexError, "A metric failed with an IndexError.")
MetricEvaluationLookupError = _joined(LookupError, "A metric failed with a LookupError.")
MetricEvaluationAttributeError = _joined(AttributeError, "A metric failed with an AttributeError.")
MetricEvaluationRuntimeError = _joined(RuntimeError, "A metric failed with a RuntimeError.")
MetricEvaluationNotImplementedError = _joined(NotImplementedError, "A metric failed with a NotImplementedError.")
MetricEvaluationTimeoutError = _joined(TimeoutError, "A metric failed with a TimeoutError.")
MetricEvaluationConnectionError = _joined(ConnectionError, "A metric failed with a ConnectionError.")
MetricEvaluationOSError = _joined(OSError, "A metric failed with an OSError.")
MetricEvaluationImportError = _joined(ImportError, "A metric failed with an ImportError.")
MetricEvaluationArithmeticError = _joined(ArithmeticError, "A metric failed with an ArithmeticError.")
MetricEvaluationZeroDivisionError = _joined(ZeroDivisionError, "A metric failed with a ZeroDivisionError.")

_NAMED = {
    made._cause_type: made  # type: ignore[attr-defined]
    for made in (
        MetricEvaluationValueError, MetricEvaluationTypeError, MetricEvaluationKeyError, MetricEvaluationIndexError,
        MetricEvaluationLookupError, MetricEvaluationAttributeError, MetricEvaluationRuntimeError,
        MetricEvaluationNotImplementedError, MetricEvaluationTimeoutError, MetricEvaluationConnectionError,
        MetricEvaluationOSError, MetricEvaluationImportError, MetricEvaluationArithmeticError,
        MetricEvaluationZeroDivisionError,
    )
}


def _cause_type(error_class: type) -> type[BaseException] | None:
    return getattr(error_class, "_cause_type", None)


@functools.cache
def _error_class(cause_type: type[BaseException]) -> type[MetricEvaluationError]:
    """MetricEvaluationError joined with ``cause_type``: a named class for a built-in cause, else made once."""
    if issubclass(cause_type, MetricEvaluationError):
        return cause_type
    if cause_type is Exception:
        return MetricEvaluationError
    named = _NAMED.get(cause_type)
    if named is not None:
        return named
    try:
        made = type(f"MetricEvaluation{cause_type.__name__}", (MetricEvaluationError, cause_type), {})
    except TypeError:  # a layout that cannot be combined: the plain class, still an Exception
        return MetricEvaluationError
    made.__module__ = __name__
    made.__doc__ = f"A metric failed with {cause_type.__module__}.{cause_type.__qualname__}."
    made._cause_type = cause_type  # type: ignore[attr-defined]
    return made


def _rebuilt(cause_type: type[BaseException] | None, args: tuple, metric_name: str | None) -> MetricEvaluationError:
    """The error again, in another process: the class is looked up (or made) from the cause's type."""
    error_class = MetricEvaluationError if cause_type is None else _error_class(cause_type)
    try:
        return error_class(*args, metric_name=metric_name)
    except Exception:  # a cause type whose constructor wants other arguments than its args
        return MetricEvaluationError(*args, metric_name=metric_name)


def _metric_error(metric_name: str, cause: BaseException) -> MetricEvaluationError:
    """The SDK error for ``cause`` raised while computing ``metric_name``: same message, also a ``type(cause)``.

    Raise it ``from cause`` so the original traceback stays in view.
    """
    error_class = _error_class(type(cause))
    try:
        error = error_class(*cause.args, metric_name=metric_name)
    except Exception:  # an exception type whose constructor wants other arguments
        error = MetricEvaluationError(str(cause), metric_name=metric_name)
    if str(error) != str(cause):  # a type that formats its message from its own fields
        error = MetricEvaluationError(str(cause), metric_name=metric_name)
    return error

