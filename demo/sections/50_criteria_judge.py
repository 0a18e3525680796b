"""Criteria-judge metrics through the judge library, against the loopback judge.

One metric in criteria mode (is the answer backed by the contexts, with
"Yes", "Partly" and "No" scored 1, 0.5 and 0), one in custom-prompt mode (a
template filled from each record), both with token counts. The loopback judge
chooses the option by how many of the answer's words the contexts (or the
reference) hold, and its free-text replies, which become the explanations,
are that share.
"""

from __future__ import annotations

from zentra_judge_server import JudgeServer
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import LmAICredentials
from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.evaluators.impl.metric_run_impl import _evaluate_metrics
from zentra_lumara_gov.metrics.llm_as_judge import LLMAsJudgeMetric

SUPPORT = [
    Option(name="Yes", description="Every claim of the {answer} is in the {contexts}.", value=1.0),
    Option(name="Partly", description="Some claims of the {answer} are in the {contexts}.", value=0.5),
    Option(name="No", description="The {contexts} do not back the {answer}.", value=0.0),
]
AGREEMENT = [
    Option(name="Agrees", value=1.0),
    Option(name="Disagrees", value=0.0),
]


def run(context) -> None:
    client = APIClient(Credentials(url="https://governance.zentra-lumara.example", api_key="demo"))
    with JudgeServer() as server:
        judge = LLMJudge(model=LmAIFoundationModel(
            model_id="loopback-judge", project_id="demo-project",
            provider={"credentials": LmAICredentials(url=server.url, api_key="demo")},
        ))
        configuration = GenAIConfiguration(llm_judge=judge)
        metrics = [
            LLMAsJudgeMetric(
                name="context_support", display_name="Context support",
                criteria_description="Is the {answer} to the {question} supported by the {contexts}?",
                options=SUPPORT, compute_token_count=True,
            ),
            LLMAsJudgeMetric(
                name="reference_agreement", display_name="Reference agreement",
                prompt_template=("Does the answer <claim>{answer}</claim> agree with the reference "
                                 "<evidence>{ground_truth}</evidence>?"),
                options=AGREEMENT, compute_token_count=True,
            ),
        ]
        result = _evaluate_metrics(configuration, context.table(), metrics, client)
        print(f"   judge requests answered: {len(server.requests)}")
    context.print_result(result)
    for aggregate in result.metrics_result:
        print(f"   {aggregate.name}:")
        for record in aggregate.record_level_metrics:
            info = record.additional_info
            print(f"     {record.record_id[:8]} label={record.label:<9} value={record.value} "
                  f"explanation={record.explanation!r} tokens in/out={info['input_tokens']}/{info['output_tokens']}")
