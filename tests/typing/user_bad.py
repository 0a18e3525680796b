"""A user's program with mistakes a type checker must report.

Each line ending in "# E: <code>" is one error mypy reports on that line, with
that error code; the suite checks that mypy reports exactly these.
"""

from __future__ import annotations

import asyncio

import zentra_lumara_gov as zlg
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics, _evaluate_metrics_async
from zentra_lumara_gov.metrics import AnswerRelevanceMetric
from zentra_lumara_gov.providers.tallyx_provider import TallyxProvider

client = APIClient(Credentials(url="https://governance.example", api_key="key"))
records = [{"question": "Who wrote Hamlet?", "answer": "Shakespeare wrote Hamlet."}]
metrics: list[GenAIMetric] = [AnswerRelevanceMetric()]

zlg.evaluate(records, metrics, api_client=client, metric_option={"seed": 1})  # E: call-arg
zlg.evaluate(records, metrics, seed=1)  # E: call-arg
asyncio.run(zlg.aevaluate(records, metrics, max_concurrency="4"))  # E: arg-type
_evaluate_metrics(42, records, "metrics", nonsense=1)  # E: arg-type # E: arg-type
_evaluate_metrics(GenAIConfiguration(), records, metrics, client, [], None)  # E: call-arg
count: int = _evaluate_metrics_async(GenAIConfiguration(), records, metrics)  # E: assignment
TallyxProvider(GenAIConfiguration(), "faithfulness").evaluate(records, records)  # E: call-arg # E: call-arg
reveal_type(_evaluate_metrics)  # N: revealed
