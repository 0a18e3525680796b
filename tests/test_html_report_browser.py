"""The HTML report as a reader's browser shows it: headless chromium, offline."""

from __future__ import annotations

import os

import pytest

from browser_support import chromium_path, ink_share, visit
from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

# CI installs chromium (scripts/ci-browser.sh); a developer machine without it skips, CI never does.
pytestmark = pytest.mark.skipif(chromium_path() is None and not os.environ.get("CI"),
                                reason="chromium is not installed: bash scripts/ci-browser.sh")

HOSTILE = '</td></table><script>console.error("injected")</script><img src="http://198.51.100.7/x.png">'


def aggregate(name, values, *, explanation=None, error=None):
    thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
    records = [
        RecordMetricResult(name=name, display_name=name.title(), value=value, record_id=f"r{index}",
                           thresholds=thresholds, explanation=explanation,
                           errors=[Error(code="Exception", message_en=error)] if error else None)
        for index, value in enumerate(values)
    ]
    if error:
        return AggregateMetricResult(name=name, display_name=name.title(), total_records=len(records),
                                     record_level_metrics=records, thresholds=thresholds,
                                     errors=[Error(code="Exception", message_en=error)])
    return AggregateMetricResult.create(records)


CASES = {
    "two metrics": ([aggregate("faithfulness", [0.1, 0.5, 0.9, 0.95]),
                     aggregate("answer_relevance", [1.0, 0.0, 0.75, 0.25], explanation=HOSTILE)], 0),
    "one failed metric": ([aggregate("faithfulness", [0.2, 0.8, 0.4, 0.6]),
                           aggregate("context_support", [None] * 4, error=f"judge unreachable {HOSTILE}"),
                           aggregate("pii", [0.0, 3.0, 7.5, 1.0])], 4),
}


@pytest.mark.parametrize("aggregates, failed_rows", CASES.values(), ids=CASES.keys())
def test_report_renders_offline_with_summary_and_one_chart_per_metric(tmp_path, aggregates, failed_rows):
    path = tmp_path / "report.html"
    MetricsEvaluationResult(metrics_result=aggregates).to_html(path)
    seen = visit(path)

    names = [item.name for item in aggregates]
    assert seen.problems == []
    assert seen.requests == [path.resolve().as_uri()]  # the file itself and nothing else
    assert seen.facts["scripts"] == 0  # the hostile text stayed text
    assert seen.facts["summaryMetrics"] == names
    assert seen.facts["chartMetrics"] == names and seen.facts["chartsWithSvg"] == len(names)
    assert seen.facts["bars"] == 10 * sum(1 for item in aggregates if item.mean is not None)
    assert seen.facts["failedRows"] == failed_rows
    assert seen.facts["title"] == "Evaluation report"
    assert ink_share(seen.screenshot_png) > 0.02
