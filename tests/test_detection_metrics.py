"""Detection metric classes: the provider each builds, and the metric run driving them over loopback."""

from __future__ import annotations

import asyncio

import pandas as pd
import pytest
from pydantic import ValidationError
from screener_support import api_client, class_attributes, server, service  # noqa: F401

import zentra_lumara_gov.evaluators.impl.metric_run_impl as run_impl
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.metrics import detection_metrics as metrics
from zentra_lumara_gov.providers import screener_provider


@pytest.mark.parametrize(
    ("metric", "name", "display_name", "method", "group", "params"),
    [
        (metrics.PIIMetric(), "pii", "PII", None, MetricGroup.CONTENT_SAFETY, None),
        (metrics.HAPMetric(), "hap", "HAP", None, MetricGroup.CONTENT_SAFETY, None),
        (metrics.KeywordMetric(keywords=["a", "b"]), "keyword", "Keyword Detection", None,
         MetricGroup.CONTENT_SAFETY, {"keywords": ["a", "b"]}),
        (metrics.RegexMetric(regex_patterns=[r"\d+"]), "regex", "Regex Detection", None,
         MetricGroup.CONTENT_SAFETY, {"regex": [r"\d+"]}),
        (metrics.PromptSafetyRiskMetric(), "prompt_safety_risk", "Prompt Safety Risk", "basalt_guardian",
         MetricGroup.CONTENT_SAFETY, None),
        (metrics.TopicRelevanceMetric(system_prompt="About weather."), "topic_relevance", "Topic Relevance", None,
         None, {"system_prompt": "About weather."}),
        (metrics.ToolCallAccuracyMetric(), "tool_call_accuracy", "Tool Call Accuracy", None,
         MetricGroup.TOOL_CALL_QUALITY, None),
        (metrics.AnswerRelevanceDetectionMetric(), "answer_relevance", "Answer Relevance", "basalt_guardian",
         MetricGroup.ANSWER_QUALITY, None),
        (metrics.ContextRelevanceDetectionMetric(), "context_relevance", "Context Relevance",
         "context_relevance_model", MetricGroup.RETRIEVAL_QUALITY, None),
        (metrics.FaithfulnessDetectionMetric(), "faithfulness", "Faithfulness", "faithfulness_model",
         MetricGroup.ANSWER_QUALITY, None),
    ],
)
def test_each_metric_builds_its_provider(monkeypatch, metric, name, display_name, method, group, params):
    built = []

    class Provider:
        def __init__(self, **kwargs):
            built.append(kwargs)

        def evaluate(self, data):
            return ("evaluated", data)

        async def evaluate_async(self, data):
            return ("awaited", data)

    monkeypatch.setattr(screener_provider, "ScreenerProvider", Provider)
    configuration, client, data = GenAIConfiguration(), object(), object()
    assert metric.evaluate(data=data, configuration=configuration, api_client=client) == ("evaluated", data)
    assert asyncio.run(metric.evaluate_async(data=data, configuration=configuration, api_client=client,
                                             metrics_result=[])) == ("awaited", data)
    assert built[0] == built[1] == {
        "configuration": configuration, "metric_name": name, "metric_display_name": display_name,
        "metric_method": method, "metric_group": group, "thresholds": [], "api_client": client,
        "detector_params": params,
    }
    assert built[0]["configuration"] is configuration and built[0]["api_client"] is client


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: metrics.KeywordMetric(keywords=[]), "List should have at least 1 item"),
        (lambda: metrics.RegexMetric(), "Field required"),
        (lambda: metrics.TopicRelevanceMetric(system_prompt=""), "String should have at least 1 character"),
        (lambda: metrics.PIIMetric(name="hap"), "Input should be 'pii'"),
    ],
)
def test_metric_fields_are_checked(make, message):
    with pytest.raises(ValidationError, match=message):
        make()


def test_groups_offer_the_detection_metrics():
    names = [metric.name for metric in MetricGroup.CONTENT_SAFETY.get_metrics()]
    assert ["pii", "hap", "prompt_safety_risk"] == [name for name in names if name in ("pii", "hap", "prompt_safety_risk")]
    assert "tool_call_accuracy" in [metric.name for metric in MetricGroup.TOOL_CALL_QUALITY.get_metrics()]


RECORDS = [
    {"question": "Write to jane@example.com, you idiot", "contexts": ["Mail goes to the office."],
     "answer": "I will write."},
    {"question": "What is the capital of France?", "contexts": ["Paris is the capital of France."],
     "answer": "The capital of France is Paris."},
]


@pytest.mark.parametrize("mode", ["blocking", "async"])
def test_the_metric_run_drives_the_detection_metrics(api_client, service, monkeypatch, mode):
    monkeypatch.delenv("LUMARA_SERVER", raising=False)
    chosen = [metrics.PIIMetric(thresholds=[MetricThreshold(type="upper_limit", value=0.5)]), metrics.HAPMetric(),
              metrics.KeywordMetric(keywords=["capital"]), metrics.FaithfulnessDetectionMetric()]
    configuration = GenAIConfiguration()
    if mode == "blocking":
        result = run_impl._evaluate_metrics(configuration, pd.DataFrame(RECORDS), chosen, api_client=api_client)
    else:
        result = asyncio.run(run_impl._evaluate_metrics_async(configuration, RECORDS, chosen, api_client=api_client))
    summary = {aggregate.name: [record.value for record in aggregate.record_level_metrics]
               for aggregate in result.metrics_result}
    assert summary == {"pii": [0.9, 0.0], "hap": [0.92, 0.0], "keyword": [0.0, 1.0], "faithfulness": [0.0, 1.0]}
    pii = result.metrics_result[0]
    assert pii.thresholds == [MetricThreshold(type="upper_limit", value=0.5)]
    assert all(record.record_id for record in pii.record_level_metrics)
    assert len(service.requests) == 8
