"""The report as evidence of a run, and a run that ends early kept in the store with what it finished."""

from __future__ import annotations

import re

import pandas as pd
import pytest

import zentra_lumara_gov as zlg
from zentra_lumara_gov import report
from zentra_lumara_gov.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.entities.metric import GenAIMetric

LOWER, UPPER = zlg.MetricThreshold(type="lower_limit", value=0.5), zlg.MetricThreshold(type="upper_limit", value=0.5)


def aggregate(name, values, thresholds=(), provider="tallyx"):
    return AggregateMetricResult.create([
        RecordMetricResult(name=name, display_name=name, provider=provider, value=value, record_id=f"{name}-{i}",
                           thresholds=list(thresholds)) for i, value in enumerate(values)])


# name, provider, thresholds, values, the summary's thresholds cell, breaking count, the worst record listed first
CASES = [
    ("faithfulness", "tallyx", [LOWER], [0.9, 0.2, 0.4], "≥ 0.5", 2, "faithfulness-1"),
    ("pii", "detectors", [UPPER], [0.1, 0.9, 0.7], "≤ 0.5", 2, "pii-1"),
    ("pii", "detectors", [], [0.1, 0.9, 0.7], "", "", "pii-1"),
    ("topic_relevance", "detectors", [], [0.1, 0.9, 0.7], "", "", "topic_relevance-0"),
    ("band", "tallyx", [LOWER, UPPER], [0.5, 0.2, 0.8], "≥ 0.5, ≤ 0.5", 2, "band-1"),
]


@pytest.mark.parametrize("name, provider, thresholds, values, shown, breaking, worst", [c for c in CASES],
                         ids=[f"{c[0]}-{len(c[2])}" for c in CASES])
def test_summary_shows_thresholds_and_breaking_records_and_worst_follow_the_direction(
        name, provider, thresholds, values, shown, breaking, worst):
    result = MetricsEvaluationResult(metrics_result=[aggregate(name, values, thresholds, provider)])
    page = report.render(result)
    summary_row = re.search(r'<tbody><tr>(.*?)</tr>', page).group(1)
    cells = re.findall(r"<td[^>]*>(.*?)</td>", summary_row)
    assert cells[8:] == [shown, cells[9], str(breaking), ""]
    worst_table = page[page.index('<table class="worst">'):]
    assert re.search(r"<tbody><tr><td><code>(.*?)</code>", worst_table).group(1) == worst
    assert page.count('class="threshold"') == sum(0.0 <= t.value <= 1.0 for t in thresholds)


def test_every_breaking_record_is_reachable_from_the_report(tmp_path, monkeypatch):
    monkeypatch.setattr(report, "BREAKING_RECORDS", 3)
    result = MetricsEvaluationResult(metrics_result=[aggregate("faithfulness", [0.1] * 5 + [0.9] * 2, [LOWER])])
    result.to_html(tmp_path / "report.html")
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "5 records break ≥ 0.5" in page and '2 more in <a href="report.breaking.csv">' in page
    exported = pd.read_csv(tmp_path / "report.breaking.csv")
    assert exported["record_id"].tolist() == [f"faithfulness-{i}" for i in range(5)]


class Interrupting(GenAIMetric):
    def evaluate(self, data, configuration, metrics_result=None, api_client=None, **kwargs):
        raise KeyboardInterrupt


class Constant(GenAIMetric):
    def evaluate(self, data, configuration, metrics_result=None, api_client=None, **kwargs):
        return aggregate(self.name, [0.5] * len(data))


@pytest.mark.parametrize("second, status", [(Interrupting(name="stops"), "interrupted"),
                                            (Constant(name="fine"), "completed")])
def test_a_run_is_stored_with_what_it_finished(tmp_path, second, status):
    table = pd.DataFrame({"question": ["q1", "q2"], "answer": ["a1", "a2"]})
    client = zlg.APIClient(zlg.Credentials(url="https://x.test", api_key="k"))
    store = tmp_path / "runs.db"
    try:
        zlg.evaluate(table, [Constant(name="first"), second], api_client=client, store=store)
    except KeyboardInterrupt as stopped:
        assert "stored as" in stopped.__notes__[0]
    with zlg.RunStore(store) as runs:
        listed = runs.list_runs()
        assert listed["status"].tolist() == [status] and runs.verify().ok
        loaded = runs.load(listed["run_id"][0])
        assert [a.name for a in loaded.aggregates][:1] == ["first"] and loaded.aggregates[0].total_records == 2
