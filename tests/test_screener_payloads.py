"""ScreenerProvider request bodies: columns per metric, detector blocks, tool calls and catalogues,
exact JSON text, and bad input surfacing as the wrapped error with nothing sent and nothing changed."""

from __future__ import annotations

import copy
import json

import pandas as pd
import pytest
from screener_support import INSTANCE, api_client, class_attributes, provider, server, service  # noqa: F401

from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration

TABLE = pd.DataFrame({
    "record_id": ["a", "b"],
    "question": ["Où est Zoë? 😀 \"quoted\"\n", "plain question"],
    "answer": ["Ça va – naïve", "plain answer"],
    "contexts": [["contexte é", "second"], ["only one"]],
})
QUESTIONS, ANSWERS, CONTEXTS = TABLE["question"].tolist(), TABLE["answer"].tolist(), TABLE["contexts"].tolist()


def pre_process(made, table):
    return made._ScreenerProvider__pre_process_data(data=table)


@pytest.mark.parametrize(
    ("metric_name", "method", "expected"),
    [
        ("answer_relevance", None, lambda q, a, c: {"detectors": {"basalt_guardian": {}}, "prompt": q,
                                                    "generated_text": a}),
        ("context_relevance", None, lambda q, a, c: {"detectors": {"basalt_guardian": {}}, "input": q,
                                                     "context_type": "docs", "context": c}),
        ("faithfulness", "faithfulness_model", lambda q, a, c: {"detectors": {"faithfulness": {}}, "input": a,
                                                                "context_type": "docs", "context": c}),
        ("pii", None, lambda q, a, c: {"detectors": {"pii": {}}, "input": q}),
        ("prompt_safety_risk", "basalt_guardian", lambda q, a, c: {"detectors": {"basalt_guardian": {}}, "input": q}),
        ("topic_relevance", None, lambda q, a, c: {"detectors": {"topic_relevance": {}}, "input": q}),
    ],
)
def test_bodies_per_metric_are_the_standard_encoders_text(api_client, metric_name, method, expected):
    bodies, record_ids = pre_process(provider(api_client, metric_name, metric_method=method), TABLE)
    assert bodies == [json.dumps(expected(q, a, c)) for q, a, c in zip(QUESTIONS, ANSWERS, CONTEXTS)]
    assert record_ids == ["a", "b"]
    assert bodies[0].isascii() and ", " in bodies[0] and '": ' in bodies[0]


def test_bodies_sent_over_http_are_exactly_the_bodies(api_client, service):
    made = provider(api_client, "faithfulness", metric_method="faithfulness_model")
    made.evaluate(TABLE)
    expected = sorted(json.dumps({"detectors": {"faithfulness": {}}, "input": a, "context_type": "docs",
                                  "context": c}).encode() for a, c in zip(ANSWERS, CONTEXTS))
    received = service.requests
    assert sorted(request.body for request in received) == expected
    for request in received:
        assert request.path == "/ml/v1/text/detection/context"
        assert request.query == {"version": "2023-10-25"}
        assert request.headers["Content-Type"] == "application/json"
        assert request.headers["x-governance-instance-id"] == INSTANCE
        assert request.headers["origin"] == "sdk"


@pytest.mark.parametrize(
    ("detector_params", "block"),
    [
        (None, {}),
        ({}, {}),
        ({"threshold": 0.5}, {"threshold": 0.5}),
        ([("threshold", 0.5)], {}),
        ("threshold", {}),
    ],
)
def test_detector_block(api_client, detector_params, block):
    made = provider(api_client, "hap", detector_params=detector_params)
    bodies = made._ScreenerProvider__get_json_payloads(["x"], None, None, None, None)
    assert bodies == [json.dumps({"detectors": {"hap": block}, "input": "x"})]


def test_context_columns(api_client):
    table = pd.DataFrame({"record_id": ["a", "b"], "question": ["q1", "q2"], "c1": ["one", '["x", "y"]'],
                          "c2": ["two", "three"]})
    two = GenAIConfiguration(context_fields=["c1", "c2"])
    bodies, _ = pre_process(provider(api_client, "context_relevance", configuration=two), table)
    assert [json.loads(body)["context"] for body in bodies] == [["one", "two"], ['["x", "y"]', "three"]]
    one = GenAIConfiguration(context_fields=["c1"])
    bodies, _ = pre_process(provider(api_client, "context_relevance", configuration=one), table)
    assert [json.loads(body)["context"] for body in bodies] == [["one"], ["x", "y"]]


def test_no_context_column_fails_as_the_wrapped_error(api_client, service):
    made = provider(api_client, "context_relevance", configuration=GenAIConfiguration(context_fields=[]))
    with pytest.raises(Exception) as raised:
        made.evaluate(TABLE)
    assert type(raised.value) is Exception
    assert str(raised.value) == ("Error while computing metrics: context_relevance. "
                                 "Reason: 'NoneType' object is not iterable")
    assert isinstance(raised.value.__context__, TypeError)
    assert raised.value.__cause__ is None and not raised.value.__suppress_context__
    assert service.requests == []


def test_pairing_stops_at_the_shorter_list(api_client):
    made = provider(api_client, "answer_relevance")
    bodies = made._ScreenerProvider__get_json_payloads(["q1", "q2", "q3"], ["a1"], None, None, None)
    assert bodies == [json.dumps({"detectors": {"basalt_guardian": {}}, "prompt": "q1", "generated_text": "a1"})]
    assert provider(api_client, "pii")._ScreenerProvider__get_json_payloads([], None, None, None, None) == []


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ((("q",), None, None, None, None), 'argument "input_contents" must be a list, not tuple'),
        ((["q"], "a", None, None, None), 'argument "output_contents" must be a list or None, not str'),
        ((["q"], None, {}, None, None), 'argument "context_contents" must be a list or None, not dict'),
        ((["q"], None, None, {"tools": 1}, None), 'argument "tools_catalog_content" must be a list or None, not dict'),
        ((["q"], None, None, None, 3), 'argument "tool_calls_content" must be a list or None, not int'),
    ],
)
def test_payload_argument_types(api_client, arguments, message):
    with pytest.raises(TypeError) as raised:
        provider(api_client, "pii")._ScreenerProvider__get_json_payloads(*arguments)
    assert str(raised.value) == message


def get_weather(city: str, days: int = 1, unit: str | None = None) -> str:
    """Weather forecast for a city.

    Longer explanation that is not part of the description.
    """
    return city


def convert(amount: float, currencies: list[str], rounded: bool) -> float:
    """Converts an amount."""
    return amount


WEATHER_SCHEMA = {"type": "function", "function": {
    "name": "get_weather", "description": "Weather forecast for a city.",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}, "days": {"type": "integer"},
                                                    "unit": {"type": "string"}},
                   "required": ["city"]}}}
CONVERT_SCHEMA = {"type": "function", "function": {
    "name": "convert", "description": "Converts an amount.",
    "parameters": {"type": "object", "properties": {"amount": {"type": "number"},
                                                    "currencies": {"type": "array", "items": {"type": "string"}},
                                                    "rounded": {"type": "boolean"}},
                   "required": ["amount", "currencies", "rounded"]}}}


def test_tool_functions_become_their_schemas(api_client):
    made = provider(api_client, "tool_call_accuracy",
                    configuration=AgenticAIConfiguration(tools=[get_weather, convert]))
    assert made.get_tools_catalog_content() == [WEATHER_SCHEMA, CONVERT_SCHEMA]


@pytest.mark.parametrize("tools", [[WEATHER_SCHEMA], [get_weather, WEATHER_SCHEMA], "not a catalogue", None])
def test_other_catalogues_are_sent_unchanged(api_client, tools):
    configuration = AgenticAIConfiguration(tools=tools)
    assert provider(api_client, "tool_call_accuracy", configuration=configuration).get_tools_catalog_content() \
        is configuration.tools


def tool_call_table():
    return pd.DataFrame({
        "record_id": ["t1", "t2", "t3"],
        "question": ["Weather in Oslo?", "Weather in Rome?", "Convert 3 EUR"],
        "tool_calls": [
            '[{"id": "c1", "type": "function", "function": {"name": "get_weather", "arguments": "{\\"city\\": \\"Oslo\\"}"}}]',
            [{"id": "c2", "type": "function", "function": {"name": "get_weather", "arguments": {"city": "Rome"}}}],
            [{"id": "c3", "type": "function",
              "function": {"name": "convert", "arguments": '{"amount": 3, "currencies": ["EUR"], "rounded": true}'}},
             {"name": "get_weather", "args": {"city": 4}}],
        ],
    })


def test_tool_calls_are_parsed_without_touching_the_callers_table(api_client):
    table = tool_call_table()
    cells = table["tool_calls"].tolist()
    before = copy.deepcopy(cells)
    made = provider(api_client, "tool_call_accuracy", configuration=AgenticAIConfiguration(tools=[get_weather]))
    content = made.get_tool_calls_content(table)
    assert content == [
        [{"id": "c1", "type": "function", "function": {"name": "get_weather", "arguments": {"city": "Oslo"}}}],
        [{"id": "c2", "type": "function", "function": {"name": "get_weather", "arguments": {"city": "Rome"}}}],
        [{"id": "c3", "type": "function",
          "function": {"name": "convert", "arguments": {"amount": 3, "currencies": ["EUR"], "rounded": True}}},
         {"id": None, "type": "function", "function": {"name": "get_weather", "arguments": {"city": 4}}}],
    ]
    # A call whose arguments were a mapping already is the caller's own object, unchanged.
    assert content[1][0] is cells[1][0]
    # The caller's column and the mappings in it are as they were.
    assert table["tool_calls"].tolist() == before
    assert all(now is then for now, then in zip(table["tool_calls"].tolist(), cells))
    assert isinstance(cells[2][0]["function"]["arguments"], str)


def test_tool_call_bodies(api_client, service):
    configuration = AgenticAIConfiguration(tools=[get_weather, convert])
    made = provider(api_client, "tool_call_accuracy", configuration=configuration)
    table = tool_call_table()
    bodies, record_ids = pre_process(made, table)
    calls = made.get_tool_calls_content(table)
    assert bodies == [
        json.dumps({"detectors": {"tool_call_accuracy": {}},
                    "messages": [{"content": question, "role": "user"}, {"tool_calls": tool_calls, "role": "assistant"}],
                    "tools": [WEATHER_SCHEMA, CONVERT_SCHEMA]})
        for question, tool_calls in zip(table["question"], calls)
    ]
    assert record_ids == ["t1", "t2", "t3"]
    # Over HTTP: the third record calls get_weather with a number for the text argument "city".
    result = made.evaluate(table)
    assert [(record.record_id, record.value) for record in result.record_level_metrics] == [
        ("t1", 1.0), ("t2", 1.0), ("t3", 0.3)]
    assert len(service.requests) == 3


def test_no_tool_calls_field_gives_no_bodies(api_client, service):
    made = provider(api_client, "tool_call_accuracy", configuration=GenAIConfiguration(tools=[get_weather]))
    assert made.get_tool_calls_content(tool_call_table()) == []
    result = made.evaluate(tool_call_table())
    assert (result.value, result.total_records, result.errors) == ("Error", 0, [])
    assert service.requests == []


@pytest.mark.parametrize(
    ("row", "bad_text"),
    [
        (1, "[{'function': 1}]"),  # a Python literal is not JSON
        (2, '{"amount": }'),
    ],
)
def test_invalid_json_in_tool_calls_is_the_wrapped_error(api_client, service, row, bad_text):
    table = tool_call_table()
    if row == 1:
        table.loc[1, "tool_calls"] = bad_text
    else:
        table.at[2, "tool_calls"] = [{"function": {"name": "convert", "arguments": bad_text}}]
    cells = table["tool_calls"].tolist()
    before = copy.deepcopy(cells)
    with pytest.raises(json.JSONDecodeError) as decoded:
        json.loads(bad_text)
    made = provider(api_client, "tool_call_accuracy", configuration=AgenticAIConfiguration(tools=[get_weather]))
    with pytest.raises(Exception) as raised:
        made.evaluate(table)
    assert str(raised.value) == f"Error while computing metrics: tool_call_accuracy. Reason: {decoded.value}"
    assert type(raised.value.__context__) is json.JSONDecodeError
    assert service.requests == []
    assert table["tool_calls"].tolist() == before
    assert all(now is then for now, then in zip(table["tool_calls"].tolist(), cells))


@pytest.mark.parametrize(
    ("metric_name", "configuration", "column"),
    [
        ("pii", GenAIConfiguration(input_fields=["prompt"]), "prompt"),
        ("answer_relevance", GenAIConfiguration(output_fields=["response"]), "response"),
        ("faithfulness", GenAIConfiguration(context_fields=["docs"]), "docs"),
        ("hap", GenAIConfiguration(record_id_field="id"), "id"),
        ("tool_call_accuracy", AgenticAIConfiguration(tool_calls_field="calls"), "calls"),
    ],
)
def test_missing_columns_are_the_wrapped_key_error(api_client, service, metric_name, configuration, column):
    table = TABLE.copy()
    with pytest.raises(Exception) as raised:
        provider(api_client, metric_name, configuration=configuration).evaluate(table)
    assert str(raised.value) == f"Error while computing metrics: {metric_name}. Reason: '{column}'"
    assert type(raised.value.__context__) is KeyError
    assert service.requests == []
    pd.testing.assert_frame_equal(table, TABLE)
