"""The criteria-judge provider's post-processing, compiled versus plain Python.

Turns 10^4 and 10^5 judge results (the verdix stand-in's result records, with
a prompt of about 90 tokens and a one-word reply) into record results and
their aggregate, with and without token counting, three ways in one process:

* native: ``VerdixProvider.__post_process`` of the extension module;
* python: a plain-Python rendering of the same steps (below);
* floor: constructing the same ``RecordMetricResult`` objects from values
  prepared beforehand, and nothing else.

    .venv/bin/python bench/bench_verdix_postprocess.py [--repeats N] [--progress]
"""

from __future__ import annotations

import argparse
import gc
import time

import pandas as pd
import tiktoken

from progress_option import add_option, reporting
from verdix.judges import DirectInstanceResult
from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.enums import EvaluationProvider, MetricGroup
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers.verdix_provider import VerdixProvider

OPTIONS = [Option(name="Yes", value=1.0), Option(name="Partly", value=0.5), Option(name="No", value=0.0)]
PROMPT = (
    "Criteria 'context_support': Is the answer to the question supported by the contexts?\n"
    "Context:\n<evidence>\ncontexts: Paris is the capital and largest city of France.\n"
    "France is a country in Western Europe.\n</evidence>\nText to evaluate (answer):\n"
    "<claim>\nThe capital of France is Paris, record {i}.\n</claim>\nOptions:\n- Yes: all claims are backed.\n"
    "- Partly: some claims are backed.\n- No: nothing is backed.\nAssessment: 1.0000\n"
    "Reply with one of: Yes, Partly, No."
)


def post_process_python(provider, results, data):
    """The steps of the provider's post-processing, written in plain Python."""
    record_level_metrics = []
    if provider.compute_token_count:
        provider.encoding = tiktoken.get_encoding("cl100k_base")
    input_token_count = output_token_count = None
    score_map = {option.name: option.value for option in provider.options}
    for record_id, record_timestamp, result in zip(
        data[provider.record_id_field].tolist(), data[provider.record_timestamp_field].tolist(), results
    ):
        if provider.compute_token_count:
            input_token_count = len(provider.encoding.encode(str(result.metadata["prompt"]), disallowed_special=()))
            output_token_count = len(
                provider.encoding.encode(str(result.metadata["unparsed_response"]), disallowed_special=())
            )
        record_level_metrics.append(
            RecordMetricResult(
                name=provider.metric_name,
                display_name=provider.display_name,
                method=provider.metric_method,
                group=provider.metric_group,
                provider=EvaluationProvider.TALLYX.value,
                value=score_map.get(result.selected_option),
                label=result.selected_option,
                record_id=record_id,
                record_timestamp=record_timestamp,
                thresholds=provider.thresholds,
                explanation=result.explanation,
                additional_info={
                    "feedback": result.feedback or None,
                    "input_tokens": input_token_count or None,
                    "output_tokens": output_token_count or None,
                },
            )
        )
    return AggregateMetricResult.create(record_level_metrics)


def prepare_floor(provider, results, data):
    """Every keyword of every record, computed before the clock starts."""
    native = provider._VerdixProvider__post_process(results=results, data=data)
    return [
        {
            "name": r.name, "display_name": r.display_name, "method": r.method, "group": r.group,
            "provider": r.provider, "value": r.value, "label": r.label, "record_id": r.record_id,
            "record_timestamp": r.record_timestamp, "thresholds": provider.thresholds,
            "explanation": r.explanation, "additional_info": dict(r.additional_info),
        }
        for r in native.record_level_metrics
    ]


def floor(keywords):
    return [RecordMetricResult(**each) for each in keywords]


def fixtures(rows: int, compute_token_count: bool):
    judge = LLMJudge(model=LmAIFoundationModel(model_id="judge", project_id="p",
                                               provider={"credentials": {"url": "http://127.0.0.1:1", "api_key": "k"}}))
    provider = VerdixProvider(
        "context_support", "Context support", "numeric", judge, OPTIONS,
        criteria_description="c", prediction_field="answer", metric_group=MetricGroup.ANSWER_QUALITY,
        metric_method="llm_as_judge", thresholds=[MetricThreshold(type="lower_limit", value=0.5)],
        compute_token_count=compute_token_count,
    )
    labels = ["Yes", "Partly", "No", "Maybe"]
    results = [
        DirectInstanceResult(
            selected_option=labels[i % 4], explanation=f"{(i % 7) / 7:.4f}", feedback="" if i % 3 else "cite it",
            metadata={"prompt": PROMPT.format(i=i), "unparsed_response": labels[i % 4]},
        )
        for i in range(rows)
    ]
    data = pd.DataFrame({"record_id": [f"id-{i}" for i in range(rows)],
                         "record_timestamp": ["2026-01-01T00:00:00"] * rows})
    return provider, results, data


PROGRESS = False  # --progress: every timed run reports to a sink


def best_of(repeats: int, run, records: int = 0) -> float:
    times = []
    for _ in range(repeats):
        gc.collect()  # every run starts from the same heap, earlier results freed
        with reporting(PROGRESS, records, ("context_support",)):
            started = time.perf_counter()
            run()
            times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    add_option(parser)
    options = parser.parse_args()
    global PROGRESS
    PROGRESS = options.progress
    tiktoken.get_encoding("cl100k_base")  # loaded once, outside the clock
    print("criteria-judge post-processing (best of %d)" % options.repeats)
    for compute_token_count in (False, True):
        for rows in (10_000, 100_000):
            provider, results, data = fixtures(rows, compute_token_count)
            # Same output both ways, checked before timing.
            native_result = provider._VerdixProvider__post_process(results=results, data=data)
            python_result = post_process_python(provider, results, data)
            assert native_result.model_dump() == python_result.model_dump()
            del native_result, python_result
            keywords = prepare_floor(provider, results, data)

            native = best_of(options.repeats, lambda: provider._VerdixProvider__post_process(results=results, data=data),
                             rows)
            python = best_of(options.repeats, lambda: post_process_python(provider, results, data))
            base = best_of(options.repeats, lambda: floor(keywords))
            print(
                f"  tokens={'yes' if compute_token_count else 'no ':<3} rows={rows:>7,}  "
                f"native {native * 1e3:8.1f} ms  python {python * 1e3:8.1f} ms  floor {base * 1e3:8.1f} ms  "
                f"native/floor {native / base:4.2f}  python/native {python / native:4.2f}"
            )


if __name__ == "__main__":
    main()
