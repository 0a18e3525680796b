"""Gates for tests and CI: a failed evaluation fails the test, with the records that show why.

>>> from zentra_lumara_gov.testing import assert_passes
>>> assert_passes(result)                       # doctest: +SKIP
AssertionError: 1 of 2 metrics did not pass:
  faithfulness: 2 of 6 records break ≥ 0.7 (pass rate 67%); worst: r3 = 0.21, r5 = 0.4

The pytest plugin (installed with the SDK) adds ``--zlg-report DIR``: the
HTML report of every evaluation a test ran, written to DIR.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

__all__ = ["assert_passes", "failing_metrics", "junit_xml"]


def failing_metrics(result: Any, metrics: Iterable[str] | None = None, *, worst: int = 5) -> dict[str, str]:
    """Label of each metric that failed or broke a threshold -> why, with its worst records (none: all passed).

    ``metrics`` limits the check to these labels or names.
    """
    from zentra_lumara_gov.report import threshold_text, worse_is_higher

    wanted = None if metrics is None else set(metrics)
    reasons = {}
    failures = result.failures()
    for aggregate in getattr(result, "aggregates", []):
        label = result.label_of(aggregate) if hasattr(result, "label_of") else aggregate.name
        if wanted is not None and label not in wanted and aggregate.name not in wanted:
            continue
        if label in failures:
            reasons[label] = f"failed: {failures[label]}"
            continue
        if not hasattr(aggregate, "record_columns"):  # merged on a cluster: counts only
            if aggregate.judged and aggregate.passed < aggregate.judged:
                reasons[label] = (f"{aggregate.judged - aggregate.passed} of {aggregate.judged} records break a "
                                  f"threshold (pass rate {aggregate.pass_rate:.0%})")
            continue
        columns = aggregate.record_columns()
        # A float column holds NaN, never None: no record in it lacks a value for an error.
        errored = [] if isinstance(columns.value, np.ndarray) else [
            position for position, value in enumerate(columns.value) if value is None]
        if errored:
            errors = columns.field("errors")
            first = next((errors[position][0] for position in errored if errors[position]), None)
            cause = f" ({first.code}: {first.message_en})" if first is not None else ""
            reasons[label] = f"{len(errored)} of {len(columns)} records have no value{cause}"
        breaking = np.flatnonzero(columns.breaking())
        if not len(breaking):
            continue
        judged = int(columns.judged().sum())
        sign = -1 if worse_is_higher(aggregate) else 1
        values = columns.values()
        breaking = breaking[np.argsort(sign * values[breaking], kind="stable")]
        shown = ", ".join(f"{columns.record_id[position]} = {values[position]:.4g}" for position in breaking[:worst])
        broken = (f"{len(breaking)} of {judged} records break {threshold_text(aggregate.thresholds)} "
                  f"(pass rate {(judged - len(breaking)) / judged:.0%}); worst: {shown}")
        reasons[label] = f"{reasons[label]}; {broken}" if label in reasons else broken
    return reasons


def assert_passes(result: Any, metrics: Iterable[str] | None = None) -> None:
    """Raise ``AssertionError`` naming each metric that failed or broke a threshold, with its worst records."""
    reasons = failing_metrics(result, metrics)
    if reasons:
        total = len(getattr(result, "aggregates", []))
        lines = [f"{len(reasons)} of {total} metrics did not pass:"]
        lines += [f"  {label}: {reason}" for label, reason in reasons.items()]
        raise AssertionError("\n".join(lines))


def junit_xml(result: Any, suite: str = "zentra-lumara-gov") -> str:
    """The result as JUnit XML, as CI servers read it: one test case per metric.

    A metric that failed is an ``<error>``; one whose records break a
    threshold is a ``<failure>`` listing the worst of them.
    """
    import xml.etree.ElementTree as ElementTree

    failures = result.failures()
    reasons = failing_metrics(result, worst=20)
    aggregates = getattr(result, "aggregates", [])
    root = ElementTree.Element("testsuites")
    cases = ElementTree.SubElement(root, "testsuite", {
        "name": suite, "tests": str(len(aggregates)),
        "failures": str(sum(label not in failures for label in reasons)), "errors": str(len(failures)),
        "skipped": "0", "time": f"{_seconds(result):.3f}"})
    for aggregate in aggregates:
        label = result.label_of(aggregate) if hasattr(result, "label_of") else aggregate.name
        case = ElementTree.SubElement(cases, "testcase", {"classname": f"{suite}.{aggregate.provider or 'metric'}",
                                                          "name": label, "time": "0"})
        if label in failures:
            code, _, message = failures[label].partition(": ")
            ElementTree.SubElement(case, "error", {"message": message[:500], "type": code}).text = failures[label]
        elif label in reasons:
            ElementTree.SubElement(case, "failure", {"message": reasons[label][:500],
                                                     "type": "threshold"}).text = reasons[label]
    ElementTree.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ElementTree.tostring(root, encoding="unicode") + "\n"


def _seconds(result: Any) -> float:
    run = getattr(result, "run", None)
    return float((run.durations or {}).get("total_seconds", 0.0)) if run is not None else 0.0
