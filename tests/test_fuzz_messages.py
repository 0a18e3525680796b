"""Property: every message the modules build around a caller's text is the one
Python's f-string gives, whatever the text (non-ASCII, huge, braces, lone
surrogates from surrogateescape-decoded input), and tells nothing of the native
layer. Each site is one row of the table below: it raises the caller's text
inside the module and returns (what the module raised, what Python would)."""

from __future__ import annotations

import os
import pathlib
import sys
import types

import pandas as pd
import pytest
from fuzz_support import SURROGATE_TEXT, examples, frame_of, outcome, texts
from hypothesis import given
from screener_support import api_client, class_attributes, server, service  # noqa: F401
from tallyx.catalog import add_to_catalog, remove_from_catalog
from tallyx.operator import StreamOperator

import zentra_lumara_gov.evaluators.impl.metric_run_impl as run_impl
import zentra_lumara_gov.evaluators.impl.model_risk_run_impl as risk_impl
import zentra_lumara_gov.providers.tallyx_provider as tp
import zentra_lumara_gov.providers.verdix_provider as vp
from zentra_lumara_gov.clients.api_client import APIClient
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from python_screener_provider import PyScreenerProvider  # noqa: E402
from python_tallyx_provider import PythonTallyxProvider  # noqa: E402

from test_model_risk_run import cloud, custom_config  # noqa: E402
from test_verdix_provider import make_provider  # noqa: E402

PREFIX = "metrics.fuzz_messages"


class RefusingMetric(StreamOperator):
    """Refuses every answer, naming it, as a library metric may."""

    def process_stream(self, instances, stream_name):
        for instance in instances:
            raise ValueError(f"cannot score {instance['answer']}")
        yield from ()


@pytest.fixture(scope="module", autouse=True)
def refusing_metric():
    add_to_catalog(RefusingMetric(), f"{PREFIX}.faithfulness.refuse", overwrite=True)
    yield
    remove_from_catalog(f"{PREFIX}.faithfulness.refuse")


def library_metric(text, monkeypatch, api_client):
    table = frame_of({"record_id": ["r1"], "question": ["q"], "answer": [text], "contexts": ["c"],
                     "ground_truth": ["g"]})
    native, python = (cls(GenAIConfiguration(), "faithfulness", "Faithfulness", "refuse", PREFIX)
                      for cls in (tp.TallyxProvider, PythonTallyxProvider))
    return outcome(native.evaluate, table), outcome(python.evaluate, table)


def criteria_judge(text, monkeypatch, api_client):
    class Refusing:
        def __init__(self, **kwargs):
            pass

        def evaluate(self, instances, criteria):
            raise RuntimeError(text)

    monkeypatch.setattr(vp, "DirectJudge", Refusing)
    monkeypatch.setattr(vp, "CrossProviderInferenceEngine", lambda **kwargs: types.SimpleNamespace(**kwargs))
    table = pd.DataFrame({"record_id": ["r1"], "record_timestamp": ["t"], "answer": ["a"], "contexts": [["c"]]})
    return (outcome(make_provider().evaluate, table),
            ("raised", Exception, f"Error while computing metrics: groundedness. Reason: {text}"))


def detection_column(text, monkeypatch, api_client):
    # The question column is named by the caller; a missing one is reported by its name.
    configuration = GenAIConfiguration(input_fields=[text])
    table = pd.DataFrame({"record_id": ["r1"], "question": ["q"]})
    native, python = (cls(configuration=configuration, metric_name="pii", metric_display_name="PII",
                          api_client=api_client) for cls in (ScreenerProvider, PyScreenerProvider))
    return outcome(native.evaluate, table), outcome(python.evaluate, table)


def model_risk(text, monkeypatch, api_client):
    class Plugin:
        def __init__(self, **kwargs):
            pass

        def evaluate_fm_risks(self):
            raise ValueError(text)

    monkeypatch.setattr(risk_impl, "EvaluateFMRisk", Plugin)
    return (outcome(risk_impl._evaluate_model_risk, custom_config(), APIClient(cloud())),
            ("raised", Exception, f"Error while evaluating FM risks. Reason: {text}"))


def server_environment(text, monkeypatch, api_client):
    # A hosted environment's name is read from the environment, bytes undecodable as UTF-8 included.
    monkeypatch.setenv("LUMARA_SERVER", text)
    run = outcome(run_impl._evaluate_metrics, GenAIConfiguration(output_fields=[]), [{"q": 1}], [],
                  api_client="client")
    return (run[0], type(run[1]).__name__ if run[0] == "value" else run[1:]), ("value", "MetricsEvaluationResult")


def fits_the_environment(text):
    """No NUL, and any surrogate one that surrogateescape gives back as a byte."""
    try:
        return b"\0" not in os.fsencode(text) and len(text) < 100_000
    except UnicodeEncodeError:
        return False


SITES = [library_metric, criteria_judge, detection_column, model_risk, server_environment]
CASES = [pytest.param(site, strategy, id=f"{site.__name__}-{kind}") for site in SITES
         for kind, strategy in (("text", texts(surrogates=False)), ("lone-surrogate", SURROGATE_TEXT))]


@pytest.mark.parametrize(("site", "strategy"), CASES)
def test_messages_carry_the_callers_text_as_python_would(monkeypatch, api_client, site, strategy):  # noqa: F811
    @examples(100)
    @given(text=strategy)
    def check(text):
        if site is server_environment and not fits_the_environment(text):
            return
        with monkeypatch.context() as patch:
            native, expected = site(text, patch, api_client)
        assert native == expected

    check()
