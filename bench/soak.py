"""Soak: many calls of each provider's ``evaluate`` on a small table, watching
for growth of the process's resident size, of the objects the collector
tracks and of the memory Python allocated.

Each provider runs in a fresh process of its own: a warm-up, then ``--calls``
calls of ``evaluate`` on a two-record table, sampling every tenth of the way

  * RSS from /proc/self/statm,
  * ``len(gc.get_objects())`` after a full collection,
  * ``tracemalloc``'s current traced size (tracing starts after the warm-up).

"Flat" means the second half of the run grows no more than noise: under
1 MiB of RSS, 2,000 objects and 256 KiB traced. The detection provider talks to
the stand-in service running as its own process on 127.0.0.1, with no request
log, so the service's memory is not the client's.

    .venv/bin/python bench/soak.py [--calls 100000] [--providers tallyx verdix screener] [--no-trace]
"""

from __future__ import annotations

import argparse
import gc
import json
import pathlib
import resource
import subprocess
import sys
import time
import tracemalloc
import types

HERE = pathlib.Path(__file__).resolve().parent
PROVIDERS = ["tallyx", "verdix", "screener"]
SECRET, USER, INSTANCE = "soak-key", "soak", "soak-instance"
SAMPLES = 10
FLAT = {"rss_kib": 1024, "objects": 2000, "traced_kib": 256}


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


def small_table():
    import pandas as pd

    return pd.DataFrame({
        "record_id": ["r1", "r2"], "record_timestamp": ["2026-01-01T00:00:00"] * 2,
        "question": ["What is the capital of France? Mail jane@example.com", "How many legs has a spider?"],
        "contexts": [["Paris is the capital of France."], ["Spiders have eight legs."]],
        "answer": ["Paris.", "Eight."], "ground_truth": ["Paris", "Eight"],
    })


def tallyx_evaluate():
    from tallyx.catalog import add_to_catalog
    from tallyx.operator import StreamOperator

    import zentra_lumara_gov.providers.tallyx_provider as tp
    from zentra_lumara_gov.config import GenAIConfiguration

    class LengthMetric(StreamOperator):
        def process_stream(self, instances, stream_name):
            for instance in instances:
                instance["score"] = {"instance": {"score": len(instance["answer"]) / 10, "score_name": "s"}}
                yield instance

    add_to_catalog(LengthMetric(), "metrics.soak.faithfulness.sentence_bert_mini_lm", overwrite=True)
    made = tp.TallyxProvider(GenAIConfiguration(), "faithfulness", "Faithfulness", "sentence_bert_mini_lm",
                             "metrics.soak")
    data = small_table()

    def call():
        assert made.evaluate(data).total_records == 2

    return call, None


def verdix_evaluate():
    import zentra_lumara_gov.providers.verdix_provider as vp
    from zentra_lumara_gov.entities.criteria import Option
    from zentra_lumara_gov.entities.credentials import LmAICredentials
    from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel
    from zentra_lumara_gov.entities.llm_judge import LLMJudge

    answer = types.SimpleNamespace(selected_option="Yes", explanation="because", feedback=None,
                                   metadata={"prompt": "p", "unparsed_response": "Yes"})

    class Judge:
        def __init__(self, **kwargs):
            pass

        def evaluate(self, instances, criteria):
            return [answer] * len(instances)

    vp.DirectJudge = Judge
    vp.CrossProviderInferenceEngine = lambda **kwargs: types.SimpleNamespace(**kwargs)
    model = LmAIFoundationModel(model_id="judge-model", project_id="p-1", provider={
        "credentials": LmAICredentials(url="http://127.0.0.1:1", api_key="ak")})
    made = vp.VerdixProvider(
        metric_name="groundedness", display_name="Groundedness", value_type="numeric",
        llm_judge=LLMJudge(model=model), criteria_description="Is the {answer} backed by the {contexts}?",
        options=[Option(name="Yes", description="backed", value=1.0), Option(name="No", description="not", value=0.0)],
        prediction_field="answer", context_fields=["contexts"])
    data = small_table()

    def call():
        assert made.evaluate(data).total_records == 2

    return call, None


def screener_evaluate():
    sys.path.insert(0, str(HERE.parent / "standins"))
    from detection_service import ServiceProcess

    from zentra_lumara_gov.clients.api_client import APIClient, Credentials
    from zentra_lumara_gov.config import GenAIConfiguration
    from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

    service = ServiceProcess(["--secret", SECRET, "--username", USER, "--instance-id", INSTANCE,
                              "--no-request-log"]).start()
    client = APIClient(Credentials(url=service.url, version="5.0", username=USER, api_key=SECRET,
                                   service_instance_id=INSTANCE))
    made = ScreenerProvider(configuration=GenAIConfiguration(), metric_name="pii", metric_display_name="PII",
                            api_client=client)
    data = small_table()

    def call():
        assert made.evaluate(data).total_records == 2

    return call, service.stop


def soak(name: str, calls: int, trace: bool) -> dict:
    call, stop = globals()[f"{name}_evaluate"]()
    try:
        for _ in range(max(calls // 100, 200)):  # warm-up: imports, caches, first connections
            call()
        if trace:
            tracemalloc.start()
        samples = []
        started = time.perf_counter()
        step = max(calls // SAMPLES, 1)
        for done in range(calls + 1):
            if done % step == 0:
                gc.collect()
                samples.append({"calls": done, "rss_kib": rss_kib(), "objects": len(gc.get_objects()),
                                "traced_kib": tracemalloc.get_traced_memory()[0] // 1024 if trace else 0,
                                "seconds": round(time.perf_counter() - started, 1)})
            if done < calls:
                call()
        return {"provider": name, "calls": calls, "samples": samples}
    finally:
        if trace:
            tracemalloc.stop()
        if stop:
            stop()


def verdict(samples: list[dict]) -> dict:
    """Growth over the second half of the run, and whether it stays within noise."""
    middle, last = samples[len(samples) // 2], samples[-1]
    growth = {key: last[key] - middle[key] for key in FLAT}
    return {"growth_second_half": growth, "flat": all(growth[key] <= FLAT[key] for key in FLAT)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--providers", nargs="+", choices=PROVIDERS, default=PROVIDERS)
    parser.add_argument("--no-trace", action="store_true", help="skip tracemalloc (it slows every call)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        print(json.dumps(soak(options.worker, options.calls, not options.no_trace)))
        return
    flat = True
    for name in options.providers:
        command = [sys.executable, __file__, "--worker", name, "--calls", str(options.calls)]
        if options.no_trace:
            command.append("--no-trace")
        report = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        judged = verdict(report["samples"])
        flat &= judged["flat"]
        print(f"{name}: {options.calls:,} calls of evaluate in {report['samples'][-1]['seconds']} s, "
              f"{'flat' if judged['flat'] else 'GROWS'} (second half: {judged['growth_second_half']})")
        print(f"  {'calls':>8} {'RSS KiB':>9} {'objects':>8} {'traced KiB':>10} {'s':>7}")
        for sample in report["samples"]:
            print(f"  {sample['calls']:>8,} {sample['rss_kib']:>9,} {sample['objects']:>8,}"
                  f" {sample['traced_kib']:>10,} {sample['seconds']:>7}")
    sys.exit(0 if flat else 1)


if __name__ == "__main__":
    main()
