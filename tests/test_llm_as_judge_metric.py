"""The criteria-judge metric class: the provider it builds from the metric and
the configuration, and whole runs over the loopback judge."""

from __future__ import annotations

import asyncio

import pandas as pd
import pytest
from pydantic import ValidationError

from zentra_judge_server import JudgeServer
from zentra_lumara_gov.clients.api_client import APIClient
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import LmAICredentials
from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics.llm_as_judge import LLMAsJudgeMetric
from zentra_lumara_gov.providers.verdix_provider import VerdixProvider

YES_NO = [Option(name="Yes", description="Backed by {contexts}.", value=1.0), Option(name="No", value=0.0)]
RECORDS = [
    {"question": "What is the capital of France?", "contexts": ["Paris is the capital of France."],
     "answer": "The capital of France is Paris."},
    {"question": "How many legs does a spider have?", "contexts": ["Spiders have eight legs."],
     "answer": "A spider has six arms."},
]


def judge(url="http://127.0.0.1:1"):
    return LLMJudge(model=LmAIFoundationModel(model_id="judge", project_id="p",
                                              provider={"credentials": LmAICredentials(url=url, api_key="k")}))


@pytest.fixture
def api_client():
    return APIClient({"url": "https://lmg.example.test", "api_key": "k"})


class TestDefinition:
    @pytest.mark.parametrize(
        ("values", "message"),
        [
            ({}, "The judge metric 'm' needs exactly one of criteria_description and prompt_template."),
            ({"criteria_description": "c", "prompt_template": "t"},
             "The judge metric 'm' needs exactly one of criteria_description and prompt_template."),
            ({"criteria_description": "c", "options": [Option(name="A"), Option(name="A")]},
             "The judge metric 'm' has duplicate option names: ['A']."),
        ],
    )
    def test_bad_definitions(self, values, message):
        with pytest.raises(ValidationError) as caught:
            LLMAsJudgeMetric(**{"name": "m", "options": YES_NO, **values})
        assert caught.value.errors()[0]["msg"] == f"Value error, {message}"

    def test_options_are_required(self):
        with pytest.raises(ValidationError):
            LLMAsJudgeMetric(name="m", criteria_description="c", options=[])


class TestProvider:
    def test_built_from_metric_and_configuration(self, api_client):
        configured = judge()
        configuration = GenAIConfiguration(record_id_field="id", record_timestamp_field="ts", llm_judge=configured)
        thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
        metric = LLMAsJudgeMetric(name="groundedness", display_name="Groundedness", group=MetricGroup.ANSWER_QUALITY,
                                  thresholds=thresholds, criteria_description="c", options=YES_NO,
                                  compute_token_count=True)
        provider = metric.create_provider(configuration, api_client)
        assert isinstance(provider, VerdixProvider)
        assert {name: getattr(provider, name) for name in vars(provider) if name not in ("options", "thresholds")} == {
            "metric_name": "groundedness", "display_name": "Groundedness", "value_type": "numeric",
            "llm_judge": configured, "criteria_description": "c", "prompt_template": None,
            "context_fields": ["question", "contexts"], "prediction_field": "answer",
            "metric_group": MetricGroup.ANSWER_QUALITY, "metric_method": "llm_as_judge",
            "record_id_field": "id", "record_timestamp_field": "ts", "compute_token_count": True,
        }
        assert provider.options == YES_NO and provider.thresholds == thresholds

    def test_the_metrics_own_settings_win(self):
        own = judge("http://127.0.0.1:2")
        metric = LLMAsJudgeMetric(name="m", prompt_template="{answer}", options=YES_NO, llm_judge=own,
                                  prediction_field="reply", context_fields=[])
        provider = metric.create_provider(GenAIConfiguration(llm_judge=judge()))
        assert (provider.llm_judge, provider.prediction_field, provider.context_fields) == (own, "reply", [])

    @pytest.mark.parametrize(
        ("configuration", "message"),
        [
            (GenAIConfiguration(), "The judge metric 'm' needs a judge model: set llm_judge on the metric or the configuration."),
            (GenAIConfiguration(llm_judge=judge(), output_fields=None),
             "The judge metric 'm' needs a prediction_field: the configuration names no output field."),
        ],
    )
    def test_missing_settings(self, configuration, message):
        metric = LLMAsJudgeMetric(name="m", criteria_description="c", options=YES_NO)
        with pytest.raises(ValueError) as caught:
            metric.create_provider(configuration)
        assert str(caught.value) == message


@pytest.fixture(scope="module")
def server():
    with JudgeServer() as running:
        yield running


class TestRuns:
    def metrics(self):
        return [
            LLMAsJudgeMetric(name="groundedness", criteria_description="Is the {answer} supported by the {contexts}?",
                             options=YES_NO, context_fields=["contexts"], compute_token_count=True),
            LLMAsJudgeMetric(name="agreement", prompt_template="Does <claim>{answer}</claim> agree with "
                             "<evidence>{contexts}</evidence>?", options=YES_NO),
        ]

    def test_blocking_run(self, server, api_client):
        configuration = GenAIConfiguration(llm_judge=judge(server.url))
        result = _evaluate_metrics(configuration, pd.DataFrame(RECORDS), self.metrics(), api_client=api_client)
        assert [(m.name, m.mean, m.total_records) for m in result.metrics_result] == [
            ("groundedness", 0.5, 2), ("agreement", 0.5, 2)]
        grounded = result.metrics_result[0].record_level_metrics
        assert [(r.label, r.value) for r in grounded] == [("Yes", 1.0), ("No", 0.0)]
        assert all(r.additional_info["input_tokens"] > 0 and r.additional_info["output_tokens"] == 1 for r in grounded)
        frame = result.to_df()
        assert list(frame["label"]) == ["Yes", "No", "Yes", "No"]

    def test_async_run(self, server, api_client):
        configuration = GenAIConfiguration(llm_judge=judge(server.url))
        result = asyncio.run(_evaluate_metrics_async(configuration, RECORDS, self.metrics(), api_client=api_client))
        assert sorted((m.name, m.mean) for m in result.metrics_result) == [("agreement", 0.5), ("groundedness", 0.5)]
