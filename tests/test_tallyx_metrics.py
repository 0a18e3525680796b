"""The metric classes that compute through TallyxProvider, driven by the
metric run as the SDK's callers drive them."""

from __future__ import annotations

import asyncio
import json
import pathlib

import pytest
from tallyx import text
from zentra_judge_server import JudgeServer

import zentra_lumara_gov.metrics.tallyx_metric as tallyx_metric
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import OpenAICredentials
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.foundation_model import OpenAIFoundationModel, OpenAIModelProvider
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics.answer_correctness import AnswerCorrectnessMetric
from zentra_lumara_gov.metrics.answer_relevance import AnswerRelevanceMetric
from zentra_lumara_gov.metrics.context_relevance import ContextRelevanceMetric
from zentra_lumara_gov.metrics.faithfulness import FaithfulnessMetric
from zentra_lumara_gov.providers.tallyx_provider import TallyxProvider

RECORDS = [
    json.loads(line)
    for line in (pathlib.Path(__file__).resolve().parent.parent / "demo" / "data" / "rag_records.jsonl").read_text().splitlines()
    if line.strip()
]
CLASSES = [FaithfulnessMetric, AnswerRelevanceMetric, ContextRelevanceMetric, AnswerCorrectnessMetric]


@pytest.fixture(scope="module")
def client():
    return APIClient(Credentials(url="https://governance.zentra-lumara.example", api_key="test"))


def judge(url):
    return LLMJudge(model=OpenAIFoundationModel(
        model_id="judge", provider=OpenAIModelProvider(credentials=OpenAICredentials(api_key="k", url=url))))


def judged_score(name, record):
    """What the loopback judge makes of one record, worked out here on its own:
    the share of the claim's words found in the evidence, answered verbally
    (yes, partially, no) for faithfulness and as a 0-10 rating otherwise."""
    contexts = "\n".join(record["contexts"])
    claim, evidence = {
        "faithfulness": (record["answer"], contexts),
        "answer_relevance": (record["question"], record["answer"]),
        "context_relevance": (record["question"], contexts),
        "answer_correctness": (record["ground_truth"], record["answer"]),
    }[name]
    overlap = text.coverage(claim, evidence)
    if name == "faithfulness":
        return [1.0, 0.5, 0.0][round((1 - overlap) * 2)]
    return round(overlap * 10) / 10


class TestMetricObjects:
    @pytest.mark.parametrize(
        ("cls", "name", "display", "group"),
        [
            (FaithfulnessMetric, "faithfulness", "Faithfulness", MetricGroup.ANSWER_QUALITY),
            (AnswerRelevanceMetric, "answer_relevance", "Answer Relevance", MetricGroup.ANSWER_QUALITY),
            (ContextRelevanceMetric, "context_relevance", "Context Relevance", MetricGroup.RETRIEVAL_QUALITY),
            (AnswerCorrectnessMetric, "answer_correctness", "Answer Correctness", MetricGroup.ANSWER_QUALITY),
        ],
    )
    def test_identity_and_group(self, cls, name, display, group):
        metric = cls()
        assert (metric.name, metric.display_name, metric.method, metric.group) == (name, display, "sentence_bert_mini_lm", group)
        assert metric.thresholds == [MetricThreshold(type="lower_limit", value=0.7)]
        assert any(type(m) is cls for m in group.get_metrics())

    def test_unknown_method_is_refused(self):
        with pytest.raises(ValueError, match="The method 'token_k_precision' is not available for faithfulness; use one of sentence_bert_mini_lm, sentence_bert_bge, bert_score_recall, llm_as_judge."):
            FaithfulnessMetric(method="token_k_precision")

    def test_judge_method_needs_a_judge(self, client):
        with pytest.raises(ValueError, match="^The method llm_as_judge of answer_relevance needs a judge model: give llm_judge to the metric or to the configuration.$"):
            AnswerRelevanceMetric(method="llm_as_judge").evaluate(None, GenAIConfiguration(), api_client=client)

    def test_provider_keywords(self, monkeypatch, client):
        made = []

        class Recorder:
            def __init__(self, **kwargs):
                made.append(kwargs)

            def evaluate(self, data):
                return ("evaluated", data)

        monkeypatch.setattr(tallyx_metric, "TallyxProvider", Recorder)
        metric = ContextRelevanceMetric(method="sentence_bert_bge")
        configuration = GenAIConfiguration()
        assert metric.evaluate("table", configuration, metrics_result=[], api_client=client, extra=1) == ("evaluated", "table")
        assert made == [{
            "configuration": configuration, "metric_name": "context_relevance", "metric_display_name": "Context Relevance",
            "metric_method": "sentence_bert_bge", "metric_prefix": "metrics.rag_eval", "metric_group": MetricGroup.RETRIEVAL_QUALITY,
            "llm_judge": None, "thresholds": metric.thresholds, "api_client": client,
        }]
        assert made[0]["thresholds"] is metric.thresholds


class TestThroughTheRun:
    def test_similarity_metrics_blocking(self, client):
        metrics = [FaithfulnessMetric(), ContextRelevanceMetric(method="bert_score_recall")]
        result = _evaluate_metrics(GenAIConfiguration(), RECORDS, metrics, client)
        faithfulness, context = result.metrics_result
        assert (faithfulness.name, faithfulness.total_records, faithfulness.provider) == ("faithfulness", 6, "tallyx")
        raw = [text.cosine(r["answer"], "\n".join(r["contexts"])) for r in RECORDS]
        assert [r.value for r in faithfulness.record_level_metrics] == [round(v, 4) for v in raw]
        assert (faithfulness.mean, faithfulness.min, faithfulness.max) == (
            round(sum(raw) / 6, 4), round(min(raw), 4), round(max(raw), 4))
        # The share of the question's words found in the best context, worked out here on its own.
        expected = [round(max(text.recall(r["question"], c) for c in r["contexts"]), 4) for r in RECORDS]
        assert [r.value for r in context.record_level_metrics] == expected
        assert len({r.record_id for r in context.record_level_metrics}) == 6

    def test_judge_metrics_async(self, client):
        with JudgeServer() as server:
            configuration = GenAIConfiguration(llm_judge=judge(server.url))
            metrics = [cls(method="llm_as_judge") for cls in CLASSES]
            result = asyncio.run(_evaluate_metrics_async(configuration, RECORDS, metrics, client))
            assert len(server.requests) == 24
        for aggregate in result.metrics_result:
            expected = [judged_score(aggregate.name, record) for record in RECORDS]
            assert [r.value for r in aggregate.record_level_metrics] == expected
            assert aggregate.mean == round(sum(expected) / len(expected), 4)

    def test_metric_judge_wins_over_configuration(self, client):
        with JudgeServer() as used, JudgeServer() as unused:
            configuration = GenAIConfiguration(llm_judge=judge(unused.url))
            metric = AnswerCorrectnessMetric(method="llm_as_judge", llm_judge=judge(used.url))
            _evaluate_metrics(configuration, RECORDS, [metric], client)
            assert (len(used.requests), len(unused.requests)) == (6, 0)
