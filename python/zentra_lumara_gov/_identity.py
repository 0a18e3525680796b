"""What tells the metrics of one run apart.

A metric's name alone does not: "answer_relevance" is computed by the
evaluation library and by the detection service, and a run may hold
"faithfulness" twice with two methods. A metric is keyed by its name,
provider, method and display name, read the same way off a metric object and
off the results it returns, so results, the wide table's columns, summary
rows, the report and the cluster's merge all agree.

Each key has a label, the text shown for it: the name when no other metric of
the run shares it, else the name with what tells the namesakes apart, e.g.
"answer_relevance[detectors]" and "answer_relevance[tallyx]".
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, NamedTuple

from zentra_lumara_gov.errors import MetricIdentityError


class MetricKey(NamedTuple):
    name: str
    provider: str | None
    method: str | None
    display_name: str | None


# Fields that may tell namesakes apart, in the order a label prefers them.
_DISTINGUISHING = ("provider", "method", "display_name")


def key_of(item: Any) -> MetricKey:
    """The key of a metric object or of a metric's result (aggregate or record)."""
    provider = getattr(item, "provider", None)
    provider = getattr(provider, "value", provider)  # an EvaluationProvider member
    display_name = getattr(item, "display_name", None) or getattr(item, "name", None)
    return MetricKey(str(item.name), provider, getattr(item, "method", None), display_name)


def labels(keys: Iterable[MetricKey]) -> dict[MetricKey, str]:
    """Each distinct key's label (see the module's description)."""
    by_name: dict[str, list[MetricKey]] = {}
    for key in dict.fromkeys(keys):
        by_name.setdefault(key.name, []).append(key)
    result = {}
    for name, namesakes in by_name.items():
        if len(namesakes) == 1:
            result[namesakes[0]] = name
            continue
        varying = [field for field in _DISTINGUISHING if len({getattr(k, field) for k in namesakes}) > 1]
        telling = [field for field in varying if len({getattr(k, field) for k in namesakes}) == len(namesakes)]
        fields = telling[:1] or varying
        for key in namesakes:
            result[key] = f"{name}[{'/'.join(str(getattr(key, field)) for field in fields)}]"
    return result


def check_distinct(metrics: list[Any]) -> list[MetricKey]:
    """The keys of a run's metrics; :class:`MetricIdentityError` naming two that cannot be told apart."""
    keys = [key_of(metric) for metric in metrics]
    seen: dict[MetricKey, int] = {}
    for position, key in enumerate(keys):
        if key in seen:
            first = metrics[seen[key]]
            raise MetricIdentityError(
                f"two metrics of the run cannot be told apart: {_described(first)} and {_described(metrics[position])} "
                f"have the same name {key.name!r}, provider {key.provider!r}, method {key.method!r} and display name "
                f"{key.display_name!r}; give one of them another display_name."
            )
        seen[key] = position
    return keys


def _described(metric: Any) -> str:
    inner = getattr(metric, "metric", metric)  # a guarded metric stands for the caller's
    return f"{type(inner).__name__}(name={inner.name!r})"
