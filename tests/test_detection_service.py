"""The detection service stand-in: its detectors, request checks, fault scripts and runners."""

from __future__ import annotations

import asyncio
import json

import aiohttp
import pytest

from detection_service import DetectionService, Fault, ServiceProcess, ServiceThread
from detection_service import detectors
from detection_service.detectors import DetectorError

TOKEN = "token-for-tests"
HEADERS = {
    "Content-Type": "application/json",
    "Authorization": f"Bearer {TOKEN}",
    "x-governance-instance-id": "instance-1",
    "origin": "sdk",
}


@pytest.fixture(scope="module")
def server():
    with ServiceThread(DetectionService(token_verifier=lambda token: token == TOKEN)) as running:
        yield running


@pytest.fixture
def service(server):
    server.service.reset()
    yield server.service
    server.service.reset()


def post(server, path: str, body, headers=HEADERS, query="?version=2023-10-25", timeout=5.0):
    """POSTs ``body`` (a text is sent as it is) and returns (status, text)."""

    async def go():
        async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=timeout)) as session:
            data = body if isinstance(body, str) else json.dumps(body)
            url = f"{server.url}/ml/v1/text/detection{path}{query}"
            async with session.post(url, data=data, headers=headers) as response:
                return response.status, await response.text()

    return asyncio.run(go())


# --- detectors ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (
            "Mail jane.doe@example.com or call 555-123-4567.",
            [(5, 25, "jane.doe@example.com", "EmailAddress", 0.9), (34, 46, "555-123-4567", "PhoneNumber", 0.8)],
        ),
        ("SSN 123-45-6789 here", [(4, 15, "123-45-6789", "SocialSecurityNumber", 0.95)]),
        ("card 4111 1111 1111 1111", [(5, 24, "4111 1111 1111 1111", "CreditCardNumber", 0.85)]),
        ("card 4111 1111 1111 1112", []),  # fails the check digit
        ("host 10.0.0.255 and 999.1.1.1", [(5, 15, "10.0.0.255", "IPAddress", 0.7)]),
        ("nothing personal", []),
    ],
)
def test_pii_patterns(text, expected):
    found = detectors.detect_pii(text, {})
    assert [(d["start"], d["end"], d["text"], d["detection"], d["score"]) for d in found] == expected
    assert all(d["detection_type"] == "pii" and text[d["start"]:d["end"]] == d["text"] for d in found)


def test_pii_threshold_filters_low_scores():
    text = "jane@example.com 10.1.1.1"
    assert [d["detection"] for d in detectors.detect_pii(text, {"threshold": 0.8})] == ["EmailAddress"]
    with pytest.raises(DetectorError, match="threshold must be a number"):
        detectors.detect_pii(text, {"threshold": "high"})


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("You idiot, shut up!", [("idiot", 0.92), ("shut up", 0.65)]),
        ("Stupidity is not a word in the lexicon", []),
        ("A kind reply.", []),
    ],
)
def test_hap_lexicon(text, expected):
    assert [(d["text"], d["score"]) for d in detectors.detect_hap(text, {})] == expected


@pytest.mark.parametrize(
    ("detect", "params", "text", "expected"),
    [
        (detectors.detect_keywords, {"keywords": ["Paris", "red planet"]}, "paris, the Red Planet? Parisian",
         [(0, 5, "paris"), (11, 21, "Red Planet")]),
        (detectors.detect_regex, {"regex": [r"\d+", r"[A-Z]\w+"]}, "At 100 Celsius x 2",
         [(0, 2, "At"), (3, 6, "100"), (7, 14, "Celsius"), (17, 18, "2")]),
        (detectors.detect_regex, {"regex": ["x*"]}, "abc", []),  # empty matches are not detections
    ],
)
def test_keyword_and_regex(detect, params, text, expected):
    found = detect(text, params)
    assert [(d["start"], d["end"], d["text"]) for d in found] == expected
    assert {d["score"] for d in found} <= {1.0}


@pytest.mark.parametrize(
    ("detect", "params", "message"),
    [
        (detectors.detect_keywords, {}, "keywords must be a non-empty list of non-empty texts"),
        (detectors.detect_keywords, {"keywords": []}, "keywords must be a non-empty list of non-empty texts"),
        (detectors.detect_regex, {"regex": "a"}, "regex must be a non-empty list of non-empty texts"),
        (detectors.detect_regex, {"regex": ["("]},
         "invalid regular expression '(': missing ), unterminated subpattern at position 0"),
        (detectors.detect_risk, {"risk_name": "nonsense"}, "unknown risk_name 'nonsense' for this endpoint"),
        (detectors.detect_topic_relevance, {}, "system_prompt must be a non-empty text"),
    ],
)
def test_bad_detector_parameters(detect, params, message):
    with pytest.raises(DetectorError) as raised:
        detect("text", params)
    assert raised.value.message == message


def test_relevance_and_faithfulness_from_overlap():
    [relevance] = detectors.detect_answer_relevance("What is the capital of France?", "Paris is the capital.", {})
    assert relevance == {"detection_type": "answer_relevance", "detection": "relevant", "score": 0.5}
    [context] = detectors.detect_context_relevance(
        "How many legs does a spider have?", ["Insects have six legs.", "Spiders have eight legs."], {}
    )
    # content words of the question: "many", "legs", "spider"
    assert context["score"] == 0.6667
    assert [(e["index"], e["score"]) for e in context["evidence"]] == [(1, 0.6667), (0, 0.3333)]
    [faithful] = detectors.detect_faithfulness(
        "Spiders have eight legs. Insects fly.", ["Spiders have eight legs."], {}
    )
    assert faithful["score"] == 0.5  # the second sentence has no support
    assert faithful["evidence"][0]["value"] == "Spiders have eight legs."
    assert detectors.detect_faithfulness("anything", [], {}) == []


def test_topic_relevance_is_an_off_topic_score():
    params = {"system_prompt": "Answer questions about the weather and forecasts."}
    assert detectors.detect_topic_relevance("weather forecast", params) == []
    [off_topic] = detectors.detect_topic_relevance("stock market weather", params)
    assert off_topic["score"] == 0.6667


CATALOGUE = [
    {"type": "function", "function": {"name": "get_weather", "parameters": {
        "type": "object", "properties": {"city": {"type": "string"}, "days": {"type": "integer"}},
        "required": ["city"]}}},
]


@pytest.mark.parametrize(
    ("calls", "expected"),
    [
        ([{"function": {"name": "get_weather", "arguments": {"city": "Paris", "days": 2}}}], []),
        ([{"function": {"name": "get_time", "arguments": {}}}], [("function_not_found", 1.0, "get_time")]),
        ([{"function": {"name": "get_weather", "arguments": {"days": True, "unit": "C"}}}],
         [("missing_argument", 0.9, "get_weather.city"), ("wrong_argument_type", 0.7, "get_weather.days"),
          ("unexpected_argument", 0.6, "get_weather.unit")]),
        ([{"function": {"name": "get_weather", "arguments": "{\"city\": \"Paris\"}"}}],
         [("invalid_arguments", 0.95, "get_weather")]),
        ([], [("no_tool_call", 1.0, "weather?")]),
    ],
)
def test_tool_call_accuracy(calls, expected):
    found = detectors.detect_tool_call_accuracy("weather?", calls, CATALOGUE, {})
    assert [(d["detection"], d["score"], d["text"]) for d in found] == expected


# --- over HTTP -------------------------------------------------------------------------


def test_each_endpoint_answers_detections(server, service):
    status, text = post(server, "", {"detectors": {"pii": {}}, "input": "write to a@b.org"})
    assert status == 200
    assert json.loads(text) == {"detections": [
        {"start": 9, "end": 16, "text": "a@b.org", "detection_type": "pii", "detection": "EmailAddress", "score": 0.9}
    ]}
    status, text = post(server, "/generated", {"detectors": {"basalt_guardian": {}}, "prompt": "capital of France?",
                                               "generated_text": "The capital is Paris."})
    assert (status, json.loads(text)["detections"][0]["score"]) == (200, 0.5)
    status, text = post(server, "/context", {"detectors": {"faithfulness": {}}, "input": "Paris is big.",
                                             "context_type": "docs", "context": ["Paris is big."]})
    assert (status, json.loads(text)["detections"][0]["score"]) == (200, 1.0)
    status, text = post(server, "/chat", {"detectors": {"tool_call_accuracy": {}}, "messages": [
        {"content": "weather?", "role": "user"},
        {"tool_calls": [{"function": {"name": "get_weather", "arguments": {"city": "Oslo"}}}], "role": "assistant"},
    ], "tools": CATALOGUE})
    assert (status, json.loads(text)) == (200, {"detections": []})
    assert [request.path for request in service.requests] == [
        "/ml/v1/text/detection", "/ml/v1/text/detection/generated", "/ml/v1/text/detection/context",
        "/ml/v1/text/detection/chat",
    ]
    assert service.requests[0].headers["origin"] == "sdk"


def _without(header):
    return {key: value for key, value in HEADERS.items() if key != header}


@pytest.mark.parametrize(
    ("headers", "query", "body", "status", "code"),
    [
        (_without("Authorization"), "?version=2023-10-25", None, 401, "authentication_token_missing"),
        ({**HEADERS, "Authorization": "Bearer forged"}, "?version=2023-10-25", None, 401,
         "authentication_token_not_valid"),
        ({**HEADERS, "Authorization": f"Basic {TOKEN}"}, "?version=2023-10-25", None, 401,
         "authentication_token_missing"),
        (_without("x-governance-instance-id"), "?version=2023-10-25", None, 400, "instance_id_missing"),
        ({**HEADERS, "Content-Type": "text/plain"}, "?version=2023-10-25", None, 400, "invalid_content_type"),
        (HEADERS, "", None, 400, "invalid_version"),
        (HEADERS, "?version=2023-10-25", "{not json", 400, "invalid_json"),
        (HEADERS, "?version=2023-10-25", "[1, 2]", 400, "invalid_request"),
        (HEADERS, "?version=2023-10-25", {"detectors": {"pii": {}, "hap": {}}, "input": "x"}, 400, "invalid_request"),
        (HEADERS, "?version=2023-10-25", {"detectors": {"pii": {}}}, 400, "invalid_request"),
        (HEADERS, "?version=2023-10-25", {"detectors": {"faithfulness": {}}, "input": "x"}, 400, "unknown_detector"),
        (HEADERS, "?version=2023-10-25", {"detectors": {"keyword": {}}, "input": "x"}, 400, "invalid_parameter"),
    ],
)
def test_bad_requests_are_answered_with_json_errors(server, service, headers, query, body, status, code):
    body = {"detectors": {"pii": {}}, "input": "x"} if body is None else body
    answer_status, text = post(server, "", body, headers=headers, query=query)
    answer = json.loads(text)
    assert (answer_status, answer["status_code"], answer["errors"][0]["code"]) == (status, status, code)


def test_only_the_configured_instance_is_accepted():
    service = DetectionService(token_verifier=lambda token: True, instance_id="instance-2")
    with ServiceThread(service) as running:
        status, text = post(running, "", {"detectors": {"pii": {}}, "input": "x"})
        assert (status, json.loads(text)["errors"][0]["code"]) == (400, "instance_id_unknown")
        status, _ = post(running, "", {"detectors": {"pii": {}}, "input": "x"},
                         headers={**HEADERS, "x-governance-instance-id": "instance-2"})
        assert status == 200


def test_tokens_of_the_monitoring_client_authenticators_are_checked():
    from zentra_vigil_clearview import CloudAuthenticator, OnPremAuthenticator

    body = {"detectors": {"pii": {}}, "input": "x"}
    with ServiceThread(DetectionService("key-1")) as cloud:
        for authenticator, status in [(CloudAuthenticator("key-1"), 200), (CloudAuthenticator("key-2"), 401),
                                      (OnPremAuthenticator("ann", apikey="key-1"), 401)]:
            headers = {**HEADERS, "Authorization": f"Bearer {authenticator.get_token()}"}
            assert post(cloud, "", body, headers=headers)[0] == status
    with ServiceThread(DetectionService("pw", username="ann")) as on_premises:
        token = OnPremAuthenticator("ann", password="pw").get_token()
        assert post(on_premises, "", body, headers={**HEADERS, "Authorization": f"Bearer {token}"})[0] == 200
    with pytest.raises(ValueError, match="needs the secret its tokens are issued for"):
        DetectionService()


def test_scripted_status_sequence_then_normal_answers(server, service):
    service.script([503, Fault.error(400, {"errors": [{"code": "bad"}]}), Fault.error(500, "plain text")],
                   match="first")
    body = {"detectors": {"hap": {}}, "input": "first idiot"}
    other = {"detectors": {"hap": {}}, "input": "second"}
    answers = [post(server, "", body), post(server, "", other), post(server, "", body), post(server, "", body),
               post(server, "", body)]
    assert [status for status, _ in answers] == [503, 200, 400, 500, 200]
    assert json.loads(answers[0][1]) == {"errors": [{"code": "scripted_fault", "message": "scripted status 503"}],
                                         "status_code": 503}
    assert json.loads(answers[2][1]) == {"errors": [{"code": "bad"}]}
    assert answers[3][1] == "plain text"
    assert json.loads(answers[4][1])["detections"][0]["text"] == "idiot"
    assert [request.fault.status if request.fault else None for request in service.requests] == [
        503, None, 400, 500, None]


def test_scripted_not_json_drop_and_delay(server, service):
    service.script([Fault.not_json(), Fault.dropped(), Fault.ok(delay=0.05)])
    body = {"detectors": {"pii": {}}, "input": "x"}
    assert post(server, "", body) == (200, "<html>upstream busy</html>")
    with pytest.raises(aiohttp.ServerDisconnectedError):
        post(server, "", body)
    assert post(server, "", body) == (200, '{"detections": []}')
    received = [request.received_at for request in service.requests]
    assert len(received) == 3


def test_runs_as_its_own_process():
    from zentra_vigil_clearview import CloudAuthenticator

    with ServiceProcess(["--secret", "key-1", "--instance-id", "instance-1"]) as running:
        assert running.process.poll() is None
        token = CloudAuthenticator("key-1").get_token()
        status, text = post(running, "", {"detectors": {"regex": {"regex": ["o+"]}}, "input": "foo"},
                            headers={**HEADERS, "Authorization": f"Bearer {token}"})
        assert (status, json.loads(text)["detections"][0]["text"]) == (200, "oo")
        assert post(running, "", {"detectors": {"pii": {}}, "input": "x"})[0] == 401
        process = running.process
    assert process.returncode == 0
