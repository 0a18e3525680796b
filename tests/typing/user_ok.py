"""A user's program as a type checker sees it: mypy --strict accepts all of it."""

from __future__ import annotations

import asyncio

import zentra_lumara_gov as zlg
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics import AnswerRelevanceMetric, FaithfulnessMetric
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider
from zentra_lumara_gov.results import MetricsEvaluationResult
from zentra_lumara_gov.utils.endpoint_table import LUMARA_REGION_URLS


def means(result: MetricsEvaluationResult) -> dict[str, float | None]:
    return {aggregate.name: aggregate.mean for aggregate in result.metrics_result}


def main() -> None:
    client = APIClient(Credentials(url="https://governance.example", api_key="key"))
    records = [{"question": "Who wrote Hamlet?", "answer": "Shakespeare wrote Hamlet."}]
    configuration = GenAIConfiguration(output_fields=["answer"])
    result = zlg.evaluate(records, [AnswerRelevanceMetric()], configuration=configuration, api_client=client,
                          metric_groups=[MetricGroup.ANSWER_QUALITY], metric_options={"seed": 1})
    print(means(result))
    result = asyncio.run(zlg.aevaluate(records, [FaithfulnessMetric()], api_client=client, max_concurrency=2))
    print(means(result))
    result = _evaluate_metrics(configuration, records, [AnswerRelevanceMetric()], client)
    result = asyncio.run(_evaluate_metrics_async(configuration, records, [AnswerRelevanceMetric()], client))
    print(means(result), ScreenerProvider.RETRY_COUNT + 1, LUMARA_REGION_URLS["us-south"].lmg_url.upper())


if __name__ == "__main__":
    main()
