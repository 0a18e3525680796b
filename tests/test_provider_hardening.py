"""The providers and runs given what callers can give: tables that are no
tables or have ragged columns, caller text holding lone surrogates, a tool
catalogue of one tool, rows with two columns of one non-text name."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from screener_support import api_client, server  # noqa: F401
from screener_support import provider as screener_provider
from test_metric_run import RecordingMetric
from test_model_risk_run import FakePlugin, cloud, custom_config
from test_tallyx_provider import provider as tallyx_provider
from test_verdix_provider import make_provider as verdix_provider

from zentra_lumara_gov.clients.api_client import APIClient
from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration
from zentra_lumara_gov.evaluators.impl import metric_run_impl, model_risk_run_impl

SURROGATE = "caf\udce9"  # text decoded with surrogateescape


# --- ragged and non-table input ---------------------------------------------------------


class RaggedScores(pd.DataFrame):
    """A table whose score column is longer than its id column."""

    @property
    def _constructor(self):
        return pd.DataFrame

    def __getitem__(self, key):
        if key == "faithfulness":
            return pd.Series([0.1, 0.2, 0.3, 0.4])
        return pd.Series(["r1"])


class RaggedColumns:
    """Looks like a table of two text columns, one shorter than the other."""

    columns = pd.Index(["question", "record_id"])

    def __getitem__(self, key):
        return pd.Series(["q1", "q2"] if key == "question" else ["r1"], dtype=object)


RAGGED = {"faithfulness": np.array([0.1, 0.2, 0.3, 0.4]), "record_id": np.array(["r1"])}

PRIVATE_STEPS = [
    ("__post_process", "result", RAGGED, AttributeError, "'dict' object has no attribute 'iterrows'"),
    ("__post_process", "result", [RAGGED], AttributeError, "'list' object has no attribute 'iterrows'"),
    ("__post_process", "result", None, AttributeError, "'NoneType' object has no attribute 'iterrows'"),
    ("__post_process", "result", RaggedScores({"x": [1]}), ValueError,
     "the score table holds 4 scores but 1 record ids"),
    ("__compute_metric", "data", RAGGED, AttributeError, "'dict' object has no attribute 'to_dict'"),
    ("__compute_metric", "data", "text", AttributeError, "'str' object has no attribute 'to_dict'"),
    ("__compute_metric", "data", RaggedColumns(), AttributeError,
     "'RaggedColumns' object has no attribute 'to_dict'"),
    ("__pre_process_data", "data", RAGGED, AttributeError, "'dict' object has no attribute 'index'"),
]


@pytest.mark.parametrize(("step", "argument", "value", "error", "message"), PRIVATE_STEPS)
def test_private_steps_refuse_what_is_no_table(step, argument, value, error, message):
    with pytest.raises(error) as raised:
        getattr(tallyx_provider(), "_TallyxProvider" + step)(**{argument: value})
    assert str(raised.value) == message


def test_a_replaced_library_run_giving_ragged_scores_is_reported():
    made = tallyx_provider()
    made._TallyxProvider__compute_metric = lambda data: RAGGED
    with pytest.raises(Exception) as raised:
        made.evaluate(pd.DataFrame({"question": ["q"], "answer": ["a"], "record_id": ["r1"]}))
    assert str(raised.value) == (
        "Error while computing metrics: faithfulness with the method sentence_bert_mini_lm using tallyx "
        "library. Reason: 'dict' object has no attribute 'iterrows'")


# --- lone surrogates in caller text -----------------------------------------------------


def _fail(*args, **kwargs):
    raise ValueError(f"cannot score {SURROGATE}")


def _tallyx():
    made = tallyx_provider()
    made._TallyxProvider__compute_metric = _fail
    return made.evaluate(pd.DataFrame({"question": ["q"], "record_id": ["r1"]}))


def _verdix():
    made = verdix_provider()
    made._VerdixProvider__build_judge = _fail
    return made.evaluate(pd.DataFrame({"record_id": ["r1"]}))


def _screener_without_client():
    return screener_provider(None, metric_name=SURROGATE)


def _screener_evaluate(client):
    made = screener_provider(client)
    made._ScreenerProvider__pre_process_data = _fail
    return made.evaluate(pd.DataFrame({"record_id": ["r1"]}))


class _FailingItems:
    def items(self):
        _fail()


def _model_risk(result, monkeypatch):
    monkeypatch.setattr(FakePlugin, "made", [])
    monkeypatch.setattr(FakePlugin, "result", result)
    monkeypatch.setattr(model_risk_run_impl, "EvaluateFMRisk", FakePlugin)
    monkeypatch.setattr(model_risk_run_impl, "print", lambda *args: None, raising=False)
    return model_risk_run_impl._evaluate_model_risk(custom_config(), APIClient(cloud()))


SITES = {
    "tallyx": (_tallyx, "Error while computing metrics: faithfulness with the method sentence_bert_mini_lm "
                        f"using tallyx library. Reason: cannot score {SURROGATE}"),
    "verdix": (_verdix, f"Error while computing metrics: groundedness. Reason: cannot score {SURROGATE}"),
    "screener-client": (_screener_without_client,
                        f"Zentra Lumara Governance SDK must be initialized to compute {SURROGATE} using None. "
                        "Please initialize the client to proceed, or remove this metric from the evaluation."),
    "screener-evaluate": ("client", f"Error while computing metrics: pii. Reason: cannot score {SURROGATE}"),
    "model-risk-run": ("plugin", f"Error while evaluating FM risks. Reason: cannot score {SURROGATE}"),
    "model-risk-parse": ("parse", f"Failed to parse model risk result. cannot score {SURROGATE}"),
}


@pytest.mark.parametrize("site", SITES.keys())
def test_messages_keep_caller_text_as_it_is(site, request, monkeypatch):
    run, message = SITES[site]
    if run == "client":
        client = request.getfixturevalue("api_client")
        run = lambda: _screener_evaluate(client)  # noqa: E731
    elif run in ("plugin", "parse"):
        result = ValueError(f"cannot score {SURROGATE}") if run == "plugin" else {"risk": _FailingItems()}
        run = lambda: _model_risk(result, monkeypatch)  # noqa: E731
    with pytest.raises(Exception) as raised:
        run()
    assert str(raised.value) == message
    if site == "verdix":
        assert str(raised.value.__cause__) == f"cannot score {SURROGATE}"


class _NoText:
    def __str__(self):
        raise ZeroDivisionError("no text")


def _with_name(make, private):
    def run(*fixtures):
        made = make(*fixtures)
        setattr(made, private, _fail)
        made.metric_name = _NoText()
        return made.evaluate(pd.DataFrame({"question": ["q"], "record_id": ["r1"]}))
    return run


@pytest.mark.parametrize(("run", "fixtures"), [
    (_with_name(lambda: tallyx_provider(), "_TallyxProvider__compute_metric"), ()),
    (_with_name(lambda: verdix_provider(), "_VerdixProvider__build_judge"), ()),
    (_with_name(screener_provider, "_ScreenerProvider__pre_process_data"), ("api_client",)),
], ids=["tallyx", "verdix", "screener"])
def test_a_message_that_cannot_be_made_is_chained_to_the_failure(request, run, fixtures):
    with pytest.raises(ZeroDivisionError) as raised:
        run(*(request.getfixturevalue(name) for name in fixtures))
    assert type(raised.value.__context__) is ValueError
    assert str(raised.value.__context__) == f"cannot score {SURROGATE}"


def test_an_unknown_engine_name_is_quoted_as_given():
    from zentra_lumara_gov.providers.tallyx_provider import TallyxProvider

    with pytest.raises(Exception, match=f"^LLM Model provider '{SURROGATE}' is not supported.$"):
        TallyxProvider._create_inference_engine_impl(provider=SURROGATE, model_id="m", use_cache=False,
                                                     credentials_json="")


def test_a_server_name_that_is_no_utf8_is_not_hosted(monkeypatch):
    monkeypatch.setenv("LUMARA_SERVER", "LMAI\udcff")
    monkeypatch.setattr(metric_run_impl, "api_client_cache", None)
    made = []
    monkeypatch.setattr(metric_run_impl, "APIClient", lambda: made.append(object()) or made[-1])
    metric = RecordingMetric("m")
    metric_run_impl._evaluate_metrics(GenAIConfiguration(output_fields=[]), [{"question": "q"}], [metric])
    assert [call["api_client"] for call in metric.calls] == made


# --- the tool catalogue -------------------------------------------------------------------


def get_weather(city: str) -> str:
    """Weather forecast for a city."""
    return city


SCHEMA = {"type": "function", "function": {"name": "get_weather", "description": "Weather forecast for a city.",
                                           "parameters": {"type": "object",
                                                          "properties": {"city": {"type": "string"}},
                                                          "required": ["city"]}}}


@pytest.mark.parametrize(("tools", "catalogue"), [
    (SCHEMA, [SCHEMA]),
    (get_weather, [SCHEMA]),
    ((get_weather,), [SCHEMA]),
    ((SCHEMA, get_weather), [SCHEMA, get_weather]),
    ({"not": "a list"}, [{"not": "a list"}]),
], ids=["one-schema", "one-function", "tuple-of-functions", "mixed-tuple", "any-mapping"])
def test_a_lone_tool_is_a_catalogue_of_one(api_client, tools, catalogue):  # noqa: F811
    made = screener_provider(api_client, "tool_call_accuracy",
                             configuration=AgenticAIConfiguration(tools=tools, tool_calls_field="calls"))
    assert made.get_tools_catalog_content() == catalogue
    table = pd.DataFrame({"record_id": ["t1"], "question": ["Weather?"], "calls": [[]]})
    if all(isinstance(tool, dict) for tool in catalogue):
        bodies, _ = made._ScreenerProvider__pre_process_data(data=table)
        assert '"tools": [' in bodies[0]


# --- **row with repeated non-text column names ------------------------------------------


@pytest.mark.parametrize("columns", [[0, 0], ["a", "a"], [1.5, 1.5]])
def test_repeated_column_names_in_prompt_rows(columns):
    table = pd.DataFrame([["x", "y"]], columns=columns)
    made = verdix_provider(criteria_description=None, prompt_template="{a}")
    made._VerdixProvider__build_judge = lambda: None
    with pytest.raises(Exception) as raised:
        made.evaluate(table)
    with pytest.raises(TypeError) as python:
        table.apply(lambda row: "{a}".format(**row), axis=1)
    assert str(raised.value) == f"Error while computing metrics: groundedness. Reason: {python.value}"
