"""Metrics of the evaluation library: similarity scores and judge-model
scores, the judge being the loopback judge server started (as a process on
a free 127.0.0.1 port) and stopped by this section."""

from __future__ import annotations

import asyncio

from zentra_judge_server import JudgeServerProcess
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import OpenAICredentials
from zentra_lumara_gov.entities.foundation_model import OpenAIFoundationModel, OpenAIModelProvider
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics.answer_correctness import AnswerCorrectnessMetric
from zentra_lumara_gov.metrics.answer_relevance import AnswerRelevanceMetric
from zentra_lumara_gov.metrics.context_relevance import ContextRelevanceMetric
from zentra_lumara_gov.metrics.faithfulness import FaithfulnessMetric

METRICS = (FaithfulnessMetric, AnswerRelevanceMetric, ContextRelevanceMetric, AnswerCorrectnessMetric)


def run(context) -> None:
    client = APIClient(Credentials(url="https://governance.zentra-lumara.example", api_key="demo"))

    print("   similarity methods (blocking run)")
    configuration = GenAIConfiguration()
    similarity = [
        FaithfulnessMetric(method="sentence_bert_mini_lm"),
        AnswerRelevanceMetric(method="sentence_bert_bge"),
        ContextRelevanceMetric(method="bert_score_recall"),
        AnswerCorrectnessMetric(method="sentence_bert_mini_lm"),
    ]
    context.print_result(_evaluate_metrics(configuration, context.table(), similarity, client))

    with JudgeServerProcess().start(timeout=10) as judge_server:
        print(f"   judge metrics (asynchronous run, judge at {judge_server.url})")
        judge = LLMJudge(
            model=OpenAIFoundationModel(
                model_id="loopback-judge",
                provider=OpenAIModelProvider(credentials=OpenAICredentials(api_key="demo", url=judge_server.url)),
            )
        )
        configuration = GenAIConfiguration(llm_judge=judge)
        judged = [metric(method="llm_as_judge") for metric in METRICS]
        result = asyncio.run(_evaluate_metrics_async(configuration, context.records, judged, client))
        context.print_result(result)
