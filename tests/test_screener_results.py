"""ScreenerProvider results: values, record naming, evidences, errors and aggregates."""

from __future__ import annotations

import pandas as pd
import pytest
from screener_support import api_client, class_attributes, provider, server, service  # noqa: F401

from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers import screener_provider

RECORD_KEYWORDS = ["name", "display_name", "method", "provider", "group", "record_id", "thresholds", "value"]
AGGREGATE_KEYWORDS = ["name", "display_name", "method", "group", "provider", "value", "total_records",
                      "record_level_metrics", "min", "max", "mean", "thresholds"]


@pytest.fixture
def built(monkeypatch):
    """Records the keywords every result record is built with, in order."""
    calls = {"record": [], "aggregate": []}

    def record(**kwargs):
        calls["record"].append(kwargs)
        return RecordMetricResult(**kwargs)

    def aggregate(**kwargs):
        calls["aggregate"].append(kwargs)
        return AggregateMetricResult(**kwargs)

    monkeypatch.setattr(screener_provider, "RecordMetricResult", record)
    monkeypatch.setattr(screener_provider, "AggregateMetricResult", aggregate)
    return calls


def post_process(made, results, record_ids):
    return made._ScreenerProvider__post_process(results, record_ids)


def answer(*scores):
    return {"detections": [{"start": 0, "end": 4, "text": "text", "score": score} for score in scores]}


def failed(code, message):
    return {"error": Error(code=code, message_en=message)}


@pytest.mark.parametrize(
    ("metric_name", "scores", "value"),
    [
        ("topic_relevance", [0.2, 0.91234], 0.0877),
        ("tool_call_accuracy", [0.7, 0.95], 0.05),
        ("tool_call_accuracy", [], 1),
        ("topic_relevance", [], 1),
        ("hap", [], 0),
        ("prompt_safety_risk", [0.3, 0.712345], 0.7123),
        ("answer_relevance", [1], 1),
        ("context_relevance", [0.33333, 0.1], 0.3333),
    ],
)
def test_record_value(api_client, built, metric_name, scores, value):
    result = post_process(provider(api_client, metric_name), [answer(*scores)], ["r1"])
    [kwargs] = built["record"]
    assert kwargs["value"] == value and type(kwargs["value"]) is type(value)
    assert result.record_level_metrics[0].value == value
    assert (result.mean, result.min, result.max, result.value) == (value, value, value, value)


def test_keywords_in_order_and_their_values(api_client, built):
    thresholds = [MetricThreshold(type="upper_limit", value=0.5)]
    made = provider(api_client, "hap", metric_display_name="Hate", metric_method="m",
                    metric_group=MetricGroup.CONTENT_SAFETY, thresholds=thresholds)
    post_process(made, [answer(0.4), answer(), failed("503", "busy")], ["a", "b", "c"])
    assert [list(kwargs) for kwargs in built["record"]] == [
        RECORD_KEYWORDS + ["evidences"], RECORD_KEYWORDS, RECORD_KEYWORDS + ["errors"]]
    first = built["record"][0]
    assert (first["name"], first["display_name"], first["method"], first["provider"], first["group"],
            first["record_id"]) == ("hap", "Hate", "m", "detectors", MetricGroup.CONTENT_SAFETY, "a")
    assert first["thresholds"] is thresholds
    [aggregate] = built["aggregate"]
    assert list(aggregate) == AGGREGATE_KEYWORDS
    assert aggregate["thresholds"] is thresholds
    assert aggregate["provider"] == "detectors"


@pytest.mark.parametrize(("metric_name", "record_name"),
                         [("keyword", "keyword_detection"), ("regex", "regex_detection"), ("pii", "pii")])
def test_record_naming(api_client, metric_name, record_name):
    result = post_process(provider(api_client, metric_name), [answer(1.0)], ["r"])
    assert result.record_level_metrics[0].name == record_name
    assert result.name == metric_name


PII_DETECTIONS = [
    {"start": 5, "end": 12, "text": "a@b.org", "detection_type": "pii", "detection": "EmailAddress", "score": 0.9},
    {"start": 20, "end": 32, "text": "555-123-4567", "detection_type": "pii", "detection": "PhoneNumber", "score": 0.8},
]
RAG_DETECTIONS = [
    {"score": 0.4, "evidence": [{"value": "best"}, {"value": "second"}]},
    {"score": 0.6, "evidence": [{"value": "only"}]},
]


@pytest.mark.parametrize(
    ("metric_name", "method", "detections", "evidences"),
    [
        ("pii", None, PII_DETECTIONS, [{"text": "a@b.org", "score": 0.9, "start": 5, "end": 12},
                                       {"text": "555-123-4567", "score": 0.8, "start": 20, "end": 32}]),
        ("pii", None, [], None),
        ("faithfulness", "faithfulness_model", RAG_DETECTIONS, [{"value": "best"}, {"value": "only"}]),
        ("context_relevance", "context_relevance_model", RAG_DETECTIONS, [{"value": "best"}, {"value": "only"}]),
        ("faithfulness", "context_relevance_model", RAG_DETECTIONS, [{"value": "best"}, {"value": "only"}]),
        ("faithfulness", "basalt_guardian", RAG_DETECTIONS, None),
        ("answer_relevance", "faithfulness_model", RAG_DETECTIONS, None),
        ("topic_relevance", None, PII_DETECTIONS, None),
    ],
)
def test_evidences(api_client, built, metric_name, method, detections, evidences):
    post_process(provider(api_client, metric_name, metric_method=method), [{"detections": detections}], ["r"])
    [kwargs] = built["record"]
    if evidences is None:
        assert "evidences" not in kwargs
    else:
        assert kwargs["evidences"] == evidences
        assert list(kwargs["evidences"][0]) == list(evidences[0])


def test_additional_info_directly(api_client):
    made = provider(api_client, "hap")
    info = made._ScreenerProvider__get_additional_info
    assert info([{"end": 3, "start": 0, "score": 0.5, "text": "abc", "extra": 1}]) == [
        {"text": "abc", "score": 0.5, "start": 0, "end": 3}]
    first, second = info([]), info([])
    assert first == [] and first is not second
    with pytest.raises(KeyError):
        info([{"text": "abc", "score": 0.5}])


def test_one_failed_record_among_three(api_client):
    made = provider(api_client, "hap")
    result = post_process(made, [answer(0.3), failed("REQUEST_FAILED", "Server disconnected"), answer(0.6)],
                          ["a", "b", "c"])
    assert (result.total_records, result.mean, result.min, result.max, result.value, result.errors) == (
        3, 0.45, 0.3, 0.6, 0.45, None)
    failed_record = result.record_level_metrics[1]
    assert (failed_record.record_id, failed_record.value, failed_record.errors) == (
        "b", None, [Error(code="REQUEST_FAILED", message_en="Server disconnected")])


def test_every_record_failed(api_client, built):
    made = provider(api_client, "pii")
    result = post_process(made, [failed("503", "{'errors': []}"), failed("400", "bad")], ["a", "b"])
    assert (result.value, result.mean, result.min, result.max, result.total_records) == ("Error", None, None, None, 2)
    assert result.errors == [Error(code="503", message_en="{'errors': []}"), Error(code="400", message_en="bad")]
    assert list(built["aggregate"][0]) == AGGREGATE_KEYWORDS + ["errors"]
    # The aggregate's errors are their own records, not the ones on the record results.
    record_errors = [record.errors[0] for record in result.record_level_metrics]
    assert record_errors == result.errors


def test_no_records(api_client, built):
    result = post_process(provider(api_client, "pii"), [], [])
    assert (result.value, result.total_records, result.errors, result.record_level_metrics,
            result.mean, result.min, result.max) == ("Error", 0, [], [], None, None, None)


def test_error_message_is_taken_as_text(api_client):
    class Message:
        def __str__(self):
            return "as text"

    error = type("ServiceError", (), {"code": "500", "message_en": Message()})()
    result = post_process(provider(api_client, "pii"), [{"error": error}], ["a"])
    assert result.errors == [Error(code="500", message_en="as text")]


def test_mean_is_rounded_while_min_and_max_are_not(api_client):
    result = post_process(provider(api_client, "hap"), [answer(0.1), answer(0.2), answer(0.2)], ["a", "b", "c"])
    assert (result.mean, result.min, result.max) == (0.1667, 0.1, 0.2)
    tenths = post_process(provider(api_client, "hap"), [answer(0.1)] * 10, list("abcdefghij"))
    assert tenths.mean == 0.1  # summed as Python sums floats


def test_pairs_stop_at_the_shorter_list_while_every_answer_counts(api_client):
    result = post_process(provider(api_client, "hap"), [answer(0.5), answer(0.7), answer(0.9)], ["a", "b"])
    assert (result.total_records, [r.record_id for r in result.record_level_metrics], result.max) == (
        3, ["a", "b"], 0.7)


@pytest.mark.parametrize(
    ("results", "record_ids", "message"),
    [
        ((), [], 'argument "results" must be a list, not tuple'),
        ([], None, 'argument "record_ids" must be a list, not NoneType'),
    ],
)
def test_post_process_argument_types(api_client, results, record_ids, message):
    with pytest.raises(TypeError) as raised:
        post_process(provider(api_client, "pii"), results, record_ids)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("results", "error", "message"),
    [
        ([{}], KeyError, "'detections'"),
        ([{"detections": [{"text": "x"}]}], KeyError, "'score'"),
        ([ValueError("boom")], TypeError, "argument of type 'ValueError' is not iterable"),
    ],
)
def test_malformed_answers_raise(api_client, results, error, message):
    with pytest.raises(error) as raised:
        post_process(provider(api_client, "pii"), results, ["a"])
    assert str(raised.value) == message


def test_module_constants_are_read_at_call_time(api_client, monkeypatch):
    monkeypatch.setattr(screener_provider, "ACCURACY_METRICS", ["hap"])
    monkeypatch.setattr(screener_provider, "EVIDENCES", [])
    result = post_process(provider(api_client, "hap"), [answer(0.25)], ["a"])
    assert (result.value, result.record_level_metrics[0].evidences) == (0.75, None)


def test_end_to_end_evidences_from_the_service(api_client, service):
    table = pd.DataFrame({
        "record_id": ["s1", "s2"],
        "question": ["How many legs does a spider have?", "Capital of France?"],
        "contexts": [["Insects have six legs.", "Spiders have eight legs."], ["Paris is the capital of France."]],
        "answer": ["A spider has six legs.", "Paris is the capital."],
    })
    faithfulness = provider(api_client, "faithfulness", metric_method="faithfulness_model").evaluate(table)
    assert [record.value for record in faithfulness.record_level_metrics] == [0.6667, 1.0]
    assert [record.evidences for record in faithfulness.record_level_metrics] == [
        [{"name": "context_chunk", "index": 0, "value": "Insects have six legs.", "score": 0.6667}],
        [{"name": "context_chunk", "index": 0, "value": "Paris is the capital of France.", "score": 1.0}],
    ]
    keyword = provider(api_client, "keyword", detector_params={"keywords": ["spider", "paris"]}).evaluate(table)
    assert [(r.name, r.value, r.evidences) for r in keyword.record_level_metrics] == [
        ("keyword_detection", 1.0, [{"text": "spider", "score": 1.0, "start": 21, "end": 27}]),
        ("keyword_detection", 0.0, None),
    ]
    assert (keyword.name, keyword.mean) == ("keyword", 0.5)


def test_builtins_are_read_as_module_globals(api_client, built, monkeypatch):
    # As in Python, a module global of the same name shadows the builtin.
    calls = []

    def recording(name, builtin):
        def replacement(*args):
            calls.append(name)
            return builtin(*args)
        return replacement

    for name, builtin in [("round", round), ("sum", sum), ("min", min), ("max", max)]:
        monkeypatch.setattr(screener_provider, name, recording(name, builtin), raising=False)
    result = post_process(provider(api_client, "hap"), [answer(0.25), answer(0.5)], ["r1", "r2"])
    assert (result.mean, result.min, result.max) == (0.375, 0.25, 0.5)
    assert calls == ["round", "round", "sum", "round", "min", "max"]


@pytest.mark.parametrize(("metric_name", "method"), [("pii", None), ("topic_relevance", None), ("keyword", None),
                                                     ("faithfulness", "faithfulness_model"), ("hap", None)])
def test_record_objects_made_from_columns_equal_the_ones_made_record_by_record(api_client, monkeypatch,
                                                                              metric_name, method):
    import random

    rng = random.Random(metric_name)
    results, ids = [], []
    for position in range(300):
        if rng.random() < 0.3:
            results.append(failed(rng.choice(["503", "REQUEST_FAILED"]), f"failure {position}"))
        else:
            scores = [rng.choice([rng.random(), 1, 0]) for _ in range(rng.randrange(3))]
            results.append({"detections": [{"start": 0, "end": 4, "text": "t", "score": score,
                                            "evidence": [{"text": "e"}]} for score in scores]})
        ids.append(rng.choice([f"r{position}", position]))
    made = provider(api_client, metric_name, **({"metric_method": method} if method else {}))
    lazy = post_process(made, results, ids)
    assert lazy.records_are_columns
    monkeypatch.setattr(screener_provider, "AggregateMetricResult", lambda **fields: AggregateMetricResult(**fields))
    built_one_by_one = post_process(made, results, ids)
    assert not built_one_by_one.records_are_columns
    assert lazy.model_dump_json() == built_one_by_one.model_dump_json()
    assert lazy.record_level_metrics == built_one_by_one.record_level_metrics
    assert [record.model_fields_set for record in lazy.record_level_metrics] == [
        record.model_fields_set for record in built_one_by_one.record_level_metrics]
