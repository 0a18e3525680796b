"""Detection metrics: the example dataset scored by the detection service.

The section starts the local detection service as its own process on a free
127.0.0.1 port, points an on-premises service client at it and runs the
safety, relevance and tool-call metrics through the metric run; the service is
stopped afterwards.
"""

from __future__ import annotations

import asyncio

import pandas as pd

from detection_service import ServiceProcess
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics.detection_metrics import (
    AnswerRelevanceDetectionMetric,
    ContextRelevanceDetectionMetric,
    FaithfulnessDetectionMetric,
    HAPMetric,
    KeywordMetric,
    PIIMetric,
    PromptSafetyRiskMetric,
    RegexMetric,
    ToolCallAccuracyMetric,
    TopicRelevanceMetric,
)

SECRET = "demo-key"
USER = "demo"
INSTANCE = "demo-instance"


def get_weather(city: str, days: int = 1) -> str:
    """Weather forecast for a city."""
    return f"sunny in {city}"


def convert_currency(amount: float, currency: str) -> float:
    """Converts an amount of euros into another currency."""
    return amount


TOOL_RECORDS = pd.DataFrame({
    "record_id": ["t1", "t2", "t3"],
    "question": ["Weather in Oslo for three days?", "Convert 20 euros to yen", "Weather in Rome?"],
    "tool_calls": [
        '[{"id": "c1", "type": "function", "function": {"name": "get_weather", '
        '"arguments": "{\\"city\\": \\"Oslo\\", \\"days\\": 3}"}}]',
        [{"id": "c2", "type": "function", "function": {"name": "convert_currency",
                                                       "arguments": {"amount": "20", "currency": "JPY"}}}],
        [{"id": "c3", "type": "function", "function": {"name": "book_flight", "arguments": {"to": "Rome"}}}],
    ],
})


def show_evidences(result, *names: str) -> None:
    for aggregate in result.metrics_result:
        if aggregate.name not in names:
            continue
        for record in aggregate.record_level_metrics:
            if record.evidences:
                print(f"   {aggregate.name} evidence on {record.record_id[:8]}: {record.evidences[0]}")


def run(context) -> None:
    with ServiceProcess(["--secret", SECRET, "--username", USER, "--instance-id", INSTANCE]) as service:
        print(f"   detection service at {service.url} (pid {service.process.pid})")
        client = APIClient(Credentials(url=service.url, version="5.0", username=USER, api_key=SECRET,
                                       service_instance_id=INSTANCE))
        questions = [
            PromptSafetyRiskMetric(), KeywordMetric(keywords=["Paris", "planet"]),
            TopicRelevanceMetric(system_prompt="Questions on geography, planets, plants, water and novels."),
            AnswerRelevanceDetectionMetric(), ContextRelevanceDetectionMetric(), FaithfulnessDetectionMetric(),
        ]
        print("   blocking run: the questions, and the answers against them and the contexts")
        result = _evaluate_metrics(GenAIConfiguration(), context.table(), questions, client)
        context.print_result(result)
        show_evidences(result, "faithfulness")

        # The same detectors read the generated answers when those are the input column.
        answers = [PIIMetric(), HAPMetric(), RegexMetric(regex_patterns=[r"\b\d+\b"])]
        print("   blocking run: the answers")
        result = _evaluate_metrics(GenAIConfiguration(input_fields=["answer"]), context.table(), answers, client)
        context.print_result(result)
        show_evidences(result, "pii", "regex")

        print("   asynchronous run, tool calls against the tool catalogue")
        configuration = AgenticAIConfiguration(tools=[get_weather, convert_currency])
        result = asyncio.run(_evaluate_metrics_async(configuration, TOOL_RECORDS, [ToolCallAccuracyMetric()],
                                                     client))
        context.print_result(result)
        for record in result.metrics_result[0].record_level_metrics:
            print(f"   {record.record_id}: {record.value}")
    print("   detection service stopped")
