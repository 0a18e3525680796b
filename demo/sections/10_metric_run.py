"""The metric run on its own: two small lexical metrics, blocking and async.

These metrics are computed right here in the demo; the provider sections
that follow compute theirs through the evaluation library, the detection
service and the criteria judge.
"""

from __future__ import annotations

import asyncio
import re

from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.enums import EvaluationProvider
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.evaluators.impl.metric_run_impl import (
    _evaluate_metrics,
    _evaluate_metrics_async,
)

WORD = re.compile(r"[a-z0-9]+")


def words(text) -> set[str]:
    return set(WORD.findall(str(text).lower()))


class LexicalMetric(GenAIMetric):
    """Scores each record by a function of its row and aggregates the scores."""

    def score(self, row, configuration) -> float:  # pragma: no cover - overridden
        raise NotImplementedError

    def evaluate(self, data, configuration, metrics_result=None, api_client=None, **kwargs):
        records = [
            RecordMetricResult(
                name=self.name, display_name=self.display_name, method=self.method,
                group=self.group, provider=EvaluationProvider.TALLYX.value,
                value=round(self.score(row, configuration), 4),
                record_id=row[configuration.record_id_field], thresholds=self.thresholds,
            )
            for _, row in data.iterrows()
        ]
        return AggregateMetricResult.create(records)

    async def evaluate_async(self, data, configuration, metrics_result=None, api_client=None,
                             **kwargs):
        await asyncio.sleep(0)
        return self.evaluate(data, configuration, metrics_result, api_client, **kwargs)


class AnswerOverlap(LexicalMetric):
    """Share of the ground truth's words that the answer contains."""

    def score(self, row, configuration):
        truth = words(row[configuration.reference_fields[0]])
        return len(truth & words(row[configuration.output_fields[0]])) / max(len(truth), 1)


class QuestionCoverage(LexicalMetric):
    """Share of the question's words found in the answer."""

    def score(self, row, configuration):
        question = words(row[configuration.input_fields[0]])
        return len(question & words(row[configuration.output_fields[0]])) / max(len(question), 1)


def run(context) -> None:
    configuration = GenAIConfiguration()
    client = APIClient(Credentials(url="https://governance.zentra-lumara.example", api_key="demo"))
    metrics = [AnswerOverlap(name="answer_overlap", method="token_recall"),
               QuestionCoverage(name="question_coverage", method="token_recall")]
    print("   blocking run")
    context.print_result(_evaluate_metrics(configuration, context.table(), metrics, client))
    print("   asynchronous run")
    result = asyncio.run(_evaluate_metrics_async(configuration, context.records, metrics, client))
    context.print_result(result)
