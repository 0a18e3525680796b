"""Views of an evaluation result: thresholds per record, failed-record counts,
the summary, the wide table, CSV and Parquet files, the short repr and the
report's pieces."""

from __future__ import annotations

import json
import math

import pandas as pd
import pytest

from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.evaluation_result import (
    RECORD_COLUMNS,
    SUMMARY_COLUMNS,
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.report import histogram

LOWER = MetricThreshold(type="lower_limit", value=0.5)
UPPER = MetricThreshold(type="upper_limit", value=0.5)
BAND = [MetricThreshold(type="lower_limit", value=0.2), MetricThreshold(type="upper_limit", value=0.4)]


def record(name, value, record_id, thresholds=(), **extra):
    return RecordMetricResult(name=name, display_name=name, value=value, record_id=record_id,
                              thresholds=list(thresholds), **extra)


@pytest.mark.parametrize("value, thresholds, passed", [
    (0.7, [], None),
    (0.7, [LOWER], True),
    (0.5, [LOWER], True),            # on the limit keeps within it
    (0.4999, [LOWER], False),
    (0.5, [UPPER], True),
    (0.6, [UPPER], False),
    (0.3, BAND, True),
    (0.1, BAND, False),
    (0.5, BAND, False),
    (None, [LOWER], None),           # a failed record is not judged
    (math.nan, [LOWER], None),
])
def test_passed_follows_the_thresholds(value, thresholds, passed):
    assert record("m", value, "r1", thresholds).passed is passed


@pytest.mark.parametrize("values, failed", [
    ([0.1, 0.2], 0),
    ([0.1, None, math.nan], 2),
    ([None, None], 2),
])
def test_aggregates_count_their_failed_records_without_changing_the_json(values, failed):
    records = [record("m", value, f"r{index}", [LOWER]) for index, value in enumerate(values)]
    aggregate = AggregateMetricResult.create(records)
    assert aggregate.failed_records == failed
    assert "failed_records" not in json.loads(aggregate.model_dump_json())
    result = MetricsEvaluationResult(metrics_result=[aggregate])
    assert MetricsEvaluationResult.model_validate_json(result.to_json()).to_json() == result.to_json()


def two_metrics():
    faithfulness = AggregateMetricResult.create([
        record("faithfulness", 0.9, "1", [LOWER], evidences=[{"span": [0, 4]}]),
        record("faithfulness", 0.2, "2", [LOWER], additional_info={"feedback": None}),
        record("faithfulness", 0.6, "3", [LOWER]),
    ])
    error = Error(code="ValueError", message_en="no judge")
    support = AggregateMetricResult(
        name="support", display_name="Support", method="llm_as_judge", total_records=3, errors=[error],
        record_level_metrics=[record("support", None, str(index), errors=[error]) for index in (1, 2, 3)])
    return MetricsEvaluationResult(metrics_result=[faithfulness, support])


def test_summary_has_one_row_per_metric():
    summary = two_metrics().summary()
    assert summary.columns.to_list() == SUMMARY_COLUMNS
    rows = summary.astype(object).where(summary.notna(), None).to_dict("records")
    assert rows == [
        {"metric": "faithfulness", "method": None, "provider": None, "records": 3, "failed": 0,
         "mean": pytest.approx(0.5667, abs=1e-4), "min": 0.2, "max": 0.9, "pass_rate": pytest.approx(2 / 3)},
        {"metric": "support", "method": "llm_as_judge", "provider": None, "records": 3, "failed": 3,
         "mean": None, "min": None, "max": None, "pass_rate": None},
    ]


def test_long_table_says_which_records_passed():
    frame = two_metrics().to_df()
    assert frame.columns.to_list() == RECORD_COLUMNS
    assert frame["passed"].to_list() == [True, False, True, None, None, None]


INPUT = pd.DataFrame({"id": [1, 2, 3], "question": ["q1", "q2", "q3"], "support": ["s1", "s2", "s3"]})


@pytest.mark.parametrize("data, kept, columns, first_row", [
    # Joined to the kept input by record id (numbers matched to their text); a clashing name gets a suffix.
    (None, True, ["id", "question", "support", "faithfulness", "support_metric"], [1, "q1", "s1", 0.9, None]),
    (INPUT.iloc[[2, 0]], True, ["id", "question", "support", "faithfulness", "support_metric"],
     [3, "q3", "s3", 0.6, None]),
    (None, False, ["record_id", "faithfulness", "support"], ["1", 0.9, None]),
])
def test_wide_table_has_a_row_per_record_and_a_column_per_metric(data, kept, columns, first_row):
    result = two_metrics()
    if kept:
        result.keep_input(INPUT, "id")
    wide = result.to_df(wide=True, data=data)
    assert result == two_metrics()  # the kept table is no part of the result's value
    assert wide.columns.to_list() == columns
    assert len(wide) == (3 if data is None else len(data))
    assert wide.astype(object).where(wide.notna(), None).iloc[0].to_list() == first_row


@pytest.mark.parametrize("fields, limit, texts", [
    (["question", "answer"], 120, {"1": "q1", "2": "q2", "3": "q3"}),  # a field the table lacks is left out
    (["support", "question"], 120, {"1": "s1 | q1", "2": "s2 | q2", "3": "s3 | q3"}),
    (["long"], 6, {"1": "a b c\u2026", "2": "", "3": "short"}),  # white space folded, then cut
    ([], 120, {}),
])
def test_record_texts_name_the_records_for_the_report(fields, limit, texts):
    result = two_metrics()
    result.keep_input(INPUT.assign(long=["a\n b   c d e", None, "short"]), "id", fields)
    assert result.record_texts(limit) == texts


def test_csv_and_parquet_write_lists_and_mappings_as_json(tmp_path):
    result = two_metrics()
    result.to_csv(tmp_path / "r.csv")
    result.to_parquet(tmp_path / "r.parquet")
    for frame in (pd.read_csv(tmp_path / "r.csv", dtype=str, keep_default_na=False),
                  pd.read_parquet(tmp_path / "r.parquet")):
        assert json.loads(frame["evidences"][0]) == [{"span": [0, 4]}]
        assert json.loads(frame["additional_info"][1]) == {"feedback": None}
        assert json.loads(frame["errors"][3]) == [{"code": "ValueError", "message_en": "no judge"}]
    assert result.to_csv().splitlines()[0] == ",".join(RECORD_COLUMNS)


def test_repr_is_short_and_html_shows_the_summary():
    records = [record(name, 0.5, f"r{index}", [LOWER]) for name in ("a", "b") for index in range(100)]
    result = MetricsEvaluationResult(metrics_result=[AggregateMetricResult.create(records[:100]),
                                                     AggregateMetricResult.create(records[100:])])
    assert repr(result) == "<MetricsEvaluationResult: 2 metrics, 100 records>"
    assert repr(two_metrics()) == ("<MetricsEvaluationResult: 2 metrics, 3 records, 1 failed (support), "
                                   "3 failed record results>")
    assert repr(result.metrics_result[0]) == (
        "AggregateMetricResult(name='a', method=None, value=0.5, total_records=100, failed_records=0)")
    shown = two_metrics()._repr_html_()
    assert shown.startswith('<table class="summary" id="summary">') and shown.count("<tr") == 3
    assert '<tr class="failed"><td>support</td>' in shown and '<td class="error">ValueError: ' in shown
    assert ">nan<" not in shown


@pytest.mark.parametrize("values, low, high, counts", [
    ([0.0, 0.05, 0.5, 1.0], 0.0, 1.0, [2, 0, 0, 0, 0, 1, 0, 0, 0, 1]),
    ([2.0, 4.0, 12.0], 2.0, 12.0, [1, 0, 1, 0, 0, 0, 0, 0, 0, 1]),
    ([3.0, 3.0], 3.0, 3.0, [0, 0, 0, 0, 0, 0, 0, 0, 0, 2]),
])
def test_histogram_bins(values, low, high, counts):
    assert histogram(values) == (low, high, counts)


@pytest.mark.parametrize("thresholds, order", [
    ([LOWER], ["r1", "r0", "r2"]),          # the breach first, then the lowest
    ([UPPER], ["r2", "r0", "r1"]),          # the breach first, then the highest
    ([], ["r1", "r0", "r2"]),
])
def test_report_lists_the_worst_records_first(thresholds, order):
    from zentra_lumara_gov.report import render

    values = [0.45, 0.3, 0.9]
    result = MetricsEvaluationResult(metrics_result=[AggregateMetricResult.create(
        [record("m", value, f"r{index}", thresholds) for index, value in enumerate(values)])])
    worst = render(result).split('<table class="worst">')[1]
    assert [worst.index(f"<code>{record_id}</code>") for record_id in order] == sorted(
        worst.index(f"<code>{record_id}</code>") for record_id in order)
