"""Result records, their aggregate, DataFrame and JSON forms, and the GenAIMetric base."""

from __future__ import annotations

import inspect
import json
import math

import numpy as np
import pandas as pd
import pytest
from pydantic import ValidationError

from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.enums import EvaluationProvider, MetricGroup
from zentra_lumara_gov.entities.evaluation_result import (
    RECORD_COLUMNS,
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from pandas_versions import MISSING_TEXT

THRESHOLDS = [MetricThreshold(type="lower_limit", value=0.7)]


def record(record_id, value, **extra):
    fields = dict(
        name="faithfulness",
        display_name="Faithfulness",
        method="token_k_precision",
        group=MetricGroup.ANSWER_QUALITY,
        provider=EvaluationProvider.TALLYX.value,
        value=value,
        record_id=record_id,
        thresholds=THRESHOLDS,
    )
    fields.update(extra)
    return RecordMetricResult(**fields)


class TestRecordMetricResult:
    def test_keywords_of_every_provider_and_the_optional_extras(self):
        result = record(
            "r1",
            0.5,
            errors=[Error(code="400", message_en="bad input")],
            evidences=[{"start": 0, "end": 3}],
            label="Yes",
            record_timestamp="2024-01-02T03:04:05",
            explanation="because",
            additional_info={"feedback": None, "input_tokens": 12},
        )
        assert (result.name, result.value, result.record_id, result.thresholds[0].value) == ("faithfulness", 0.5, "r1", 0.7)
        assert result.errors == [Error(code="400", message_en="bad input")]
        assert (result.label, result.explanation, result.additional_info["input_tokens"]) == ("Yes", "because", 12)

    def test_positional_construction_is_refused(self):
        with pytest.raises(TypeError):
            RecordMetricResult("faithfulness")

    def test_unknown_keyword_is_refused(self):
        with pytest.raises(ValidationError, match="scor"):
            record("r1", 0.5, scor=1)

    @pytest.mark.parametrize(
        ("given", "expected"),
        [(7, "7"), (np.int64(8), "8"), ("a", "a")],
    )
    def test_numeric_ids_become_text(self, given, expected):
        assert record(given, None).record_id == expected

    def test_timestamps_given_as_datetimes_become_iso_text(self):
        stamp = pd.Timestamp("2024-05-06T07:08:09")
        assert record("r", 1.0, record_timestamp=stamp).record_timestamp == "2024-05-06T07:08:09"

    def test_value_may_be_none_and_numpy_numbers_are_floats(self):
        assert record("r", None).value is None
        assert record("r", np.float32(0.25)).value == 0.25


class TestAggregateCreate:
    def test_builds_identity_from_the_first_record_and_statistics_from_values(self):
        records = [record("a", 0.2), record("b", None), record("c", 0.8), record("d", 0.5)]
        aggregate = AggregateMetricResult.create(records)
        assert aggregate.name == "faithfulness"
        assert aggregate.display_name == "Faithfulness"
        assert aggregate.method == "token_k_precision"
        assert aggregate.group is MetricGroup.ANSWER_QUALITY
        assert aggregate.provider == "tallyx"
        assert aggregate.thresholds == THRESHOLDS
        assert aggregate.total_records == 4
        assert (aggregate.min, aggregate.max) == (0.2, 0.8)
        assert aggregate.mean == pytest.approx(0.5)
        assert aggregate.value == aggregate.mean
        assert aggregate.record_level_metrics == records

    def test_nan_values_are_left_out_like_none(self):
        aggregate = AggregateMetricResult.create([record("a", math.nan), record("b", 1.0)])
        assert (aggregate.min, aggregate.max, aggregate.mean, aggregate.total_records) == (1.0, 1.0, 1.0, 2)

    def test_records_without_values_give_none_statistics(self):
        aggregate = AggregateMetricResult.create([record("a", None), record("b", None)])
        assert (aggregate.value, aggregate.min, aggregate.max, aggregate.mean) == (None, None, None, None)
        assert aggregate.total_records == 2

    def test_empty_list_is_a_value_error(self):
        with pytest.raises(ValueError) as info:
            AggregateMetricResult.create([])
        assert str(info.value) == "record_level_metrics is empty: an aggregate needs at least one record result."

    def test_takes_one_positional_list(self):
        params = list(inspect.signature(AggregateMetricResult.create).parameters.values())
        assert [(p.name, p.kind) for p in params] == [("record_level_metrics", inspect.Parameter.POSITIONAL_OR_KEYWORD)]


def _evaluation():
    faith = AggregateMetricResult.create([record("a", 0.25), record("b", 0.75, label="ok")])
    pii = AggregateMetricResult(
        name="pii",
        display_name="PII",
        method=None,
        group=MetricGroup.CONTENT_SAFETY,
        provider=EvaluationProvider.DETECTORS.value,
        value=None,
        total_records=1,
        record_level_metrics=[
            RecordMetricResult(
                name="pii",
                display_name="PII",
                method=None,
                group=MetricGroup.CONTENT_SAFETY,
                provider="detectors",
                value=None,
                record_id="a",
                thresholds=[],
                errors=[Error(code="500", message_en="detector failed")],
            )
        ],
        min=None,
        max=None,
        mean=None,
        thresholds=[],
        errors=[Error(code="500", message_en="no record succeeded")],
    )
    return faith, pii


class TestMetricsEvaluationResult:
    def test_keeps_the_given_aggregates(self):
        faith, pii = _evaluation()
        result = MetricsEvaluationResult(metrics_result=[faith, pii])
        assert result.metrics_result[0] is faith and result.metrics_result[1] is pii

    def test_to_df_has_one_row_per_record_result(self):
        faith, pii = _evaluation()
        frame = MetricsEvaluationResult(metrics_result=[faith, pii]).to_df()
        assert frame.columns.to_list() == RECORD_COLUMNS
        assert frame[["record_id", "name", "label", "group", "provider"]].to_dict("records") == [
            {"record_id": "a", "name": "faithfulness", "label": MISSING_TEXT, "group": "answer_quality",
             "provider": "tallyx"},
            {"record_id": "b", "name": "faithfulness", "label": "ok", "group": "answer_quality", "provider": "tallyx"},
            {"record_id": "a", "name": "pii", "label": MISSING_TEXT, "group": "content_safety",
             "provider": "detectors"},
        ]
        assert frame["value"].dtype == np.float64
        assert frame["value"].to_list()[:2] == [0.25, 0.75] and math.isnan(frame["value"].iloc[2])
        assert frame.loc[2, "errors"] == [{"code": "500", "message_en": "detector failed"}]
        assert frame.loc[0, "errors"] is None

    def test_to_df_of_no_results_is_an_empty_table_with_the_columns(self):
        frame = MetricsEvaluationResult(metrics_result=[]).to_df()
        assert frame.empty and frame.columns.to_list() == RECORD_COLUMNS

    def test_to_df_value_column_is_float_even_without_any_value(self):
        aggregate = AggregateMetricResult.create([record("a", None)])
        frame = MetricsEvaluationResult(metrics_result=[aggregate]).to_df()
        assert frame["value"].dtype == np.float64 and math.isnan(frame.loc[0, "value"])

    def test_to_json_holds_everything(self):
        faith, pii = _evaluation()
        data = json.loads(MetricsEvaluationResult(metrics_result=[faith, pii]).to_json())
        first, second = data["metrics_result"]
        assert (first["name"], first["mean"], first["min"], first["max"], first["total_records"]) == (
            "faithfulness",
            0.5,
            0.25,
            0.75,
            2,
        )
        assert first["group"] == "answer_quality"
        assert first["thresholds"] == [{"type": "lower_limit", "value": 0.7}]
        assert [r["record_id"] for r in first["record_level_metrics"]] == ["a", "b"]
        assert second["errors"] == [{"code": "500", "message_en": "no record succeeded"}]
        assert second["record_level_metrics"][0]["errors"] == [{"code": "500", "message_en": "detector failed"}]

    def test_json_round_trip(self):
        faith, pii = _evaluation()
        result = MetricsEvaluationResult(metrics_result=[faith, pii])
        again = MetricsEvaluationResult.model_validate_json(result.to_json())
        assert again.metrics_result == [faith, pii]


class TestThresholdsAndErrors:
    @pytest.mark.parametrize("kind", ["lower_limit", "upper_limit"])
    def test_threshold_kinds(self, kind):
        assert MetricThreshold(type=kind, value=1).model_dump() == {"type": kind, "value": 1.0}

    def test_unknown_threshold_kind_is_refused(self):
        with pytest.raises(ValidationError):
            MetricThreshold(type="between", value=1)

    def test_error_needs_code_and_message(self):
        with pytest.raises(ValidationError):
            Error(code="1")


class TestGenAIMetricBase:
    def test_fields_and_defaults(self):
        dependency = GenAIMetric(name="context_relevance")
        metric = GenAIMetric(
            name="faithfulness",
            method="token_k_precision",
            group=MetricGroup.RETRIEVAL_QUALITY,
            thresholds=THRESHOLDS,
            metric_dependencies=[dependency],
        )
        assert metric.display_name == "faithfulness"
        assert metric.metric_dependencies[0] is dependency
        assert GenAIMetric(name="x").metric_dependencies == []
        assert GenAIMetric(name="x").metric_dependencies is not GenAIMetric(name="y").metric_dependencies
        assert (GenAIMetric(name="x").method, GenAIMetric(name="x").group, GenAIMetric(name="x").thresholds) == (None, None, [])

    def test_evaluate_interface(self):
        for method in (GenAIMetric.evaluate, GenAIMetric.evaluate_async):
            params = inspect.signature(method).parameters
            assert list(params) == ["self", "data", "configuration", "metrics_result", "api_client", "kwargs"]
            assert (params["metrics_result"].default, params["api_client"].default) == (None, None)
        assert inspect.iscoroutinefunction(GenAIMetric.evaluate_async)
        assert not inspect.iscoroutinefunction(GenAIMetric.evaluate)

    def test_base_does_not_compute(self):
        import asyncio

        metric = GenAIMetric(name="x")
        with pytest.raises(NotImplementedError, match=r"^GenAIMetric does not implement evaluate\.$"):
            metric.evaluate(data=None, configuration=None, api_client=None)
        with pytest.raises(NotImplementedError, match=r"^GenAIMetric does not implement evaluate_async\.$"):
            asyncio.run(metric.evaluate_async(data=None, configuration=None, metrics_result=[], api_client=None))

    def test_a_subclass_computes(self):
        class Length(GenAIMetric):
            def evaluate(self, data, configuration, metrics_result=None, api_client=None, **kwargs):
                return AggregateMetricResult.create(
                    [
                        RecordMetricResult(
                            name=self.name,
                            display_name=self.display_name,
                            provider="tallyx",
                            value=len(text),
                            record_id=rid,
                        )
                        for rid, text in zip(data["record_id"], data["answer"])
                    ]
                )

        table = pd.DataFrame({"record_id": ["a", "b"], "answer": ["xy", "xyzw"]})
        result = Length(name="length").evaluate(data=table, configuration=None)
        assert (result.mean, result.min, result.max, result.total_records) == (3.0, 2.0, 4.0, 2)

    def test_name_must_not_be_empty(self):
        with pytest.raises(ValidationError):
            GenAIMetric(name="")
