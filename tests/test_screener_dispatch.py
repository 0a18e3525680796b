"""ScreenerProvider dispatch over real HTTP: retry schedules, back-off, per-request error answers,
answer order, one session per evaluation, cancellation in flight and the wrapped error."""

from __future__ import annotations

import asyncio
import gc
import json
import socket
import time

import aiohttp
import pandas as pd
import pytest
from screener_support import (  # noqa: F401
    INSTANCE, class_attributes, SECRET, USER, api_client, provider, server, service, sessions, sleeps, wait_until,
)

from detection_service import Fault
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

ONE = pd.DataFrame({"record_id": ["only"], "question": ["mail jane@example.com"]})
SCRIPTED_503 = str({"errors": [{"code": "scripted_fault", "message": "scripted status 503"}], "status_code": 503})
NOT_JSON = "Expecting value: line 1 column 1 (char 0)"


def emails(count: int) -> pd.DataFrame:
    return pd.DataFrame({"record_id": [f"r{index}" for index in range(count)],
                         "question": [f"record {index}: user{index}@example.com" for index in range(count)]})


@pytest.mark.parametrize(
    ("faults", "attempts", "slept", "error"),
    [
        ([503, 503], 3, [1, 2], None),
        ([503, 503, 503], 3, [1, 2], ("503", SCRIPTED_503)),
        ([504, 502, 503], 3, [1, 2], ("503", SCRIPTED_503)),
        ([Fault.error(400, {"errors": [{"code": "bad_input", "message": "no"}]})], 1, [],
         ("400", "{'errors': [{'code': 'bad_input', 'message': 'no'}]}")),
        ([Fault.not_json()], 1, [], ("REQUEST_FAILED", NOT_JSON)),
        ([Fault.error(500, "plain text")], 1, [], ("REQUEST_FAILED", NOT_JSON)),
        ([502, Fault.not_json(status=504)], 3, [1, 2], None),  # a retried status's body is never parsed
        ([502, 504, Fault.not_json(status=504)], 3, [1, 2], ("REQUEST_FAILED", NOT_JSON)),
        ([Fault.dropped()], 1, [], ("REQUEST_FAILED", "Server disconnected")),
    ],
)
def test_retry_schedules(api_client, service, sleeps, faults, attempts, slept, error):
    service.script(faults)
    result = provider(api_client, "pii").evaluate(ONE)
    assert len(service.requests) == attempts
    assert sleeps == slept
    [record] = result.record_level_metrics
    if error is None:
        assert (record.value, record.errors, result.value, result.errors) == (0.9, None, 0.9, None)
    else:
        assert (record.value, record.errors) == (None, [Error(code=error[0], message_en=error[1])])
        assert (result.value, result.errors, result.total_records) == ("Error", [Error(code=error[0], message_en=error[1])], 1)


def test_back_off_is_real_time_between_attempts(api_client, service):
    ScreenerProvider.BACK_OFF_FACTOR = 0.02
    service.script([503, 503])
    assert provider(api_client, "pii").evaluate(ONE).value == 0.9
    first, second, third = (request.received_at for request in service.requests)
    assert 0.02 <= second - first < 1.0
    assert 0.04 <= third - second < 1.0


@pytest.mark.parametrize(
    ("attributes", "faults", "attempts", "slept", "value"),
    [
        ({"RETRY_COUNT": 5}, [503, 503, 503, 503], 5, [1, 2, 4, 8], 0.9),
        ({"RETRY_COUNT": 1}, [503], 1, [], None),
        ({"BACK_OFF_FACTOR": 0.5}, [503, 503], 3, [0.5, 1.0], 0.9),
        ({"RETRY_AFTER_STATUS_CODES": [500]}, [500, 500], 3, [1, 2], 0.9),
        ({"RETRY_AFTER_STATUS_CODES": [500]}, [503], 1, [], None),
    ],
)
def test_class_attributes_take_effect_when_changed(api_client, service, sleeps, attributes, faults, attempts, slept,
                                                   value):
    made = provider(api_client, "pii")
    for name, setting in attributes.items():
        setattr(ScreenerProvider, name, setting)
    service.script(faults)
    assert made.evaluate(ONE).record_level_metrics[0].value == value
    assert (len(service.requests), sleeps) == (attempts, slept)


def test_a_fresh_token_for_every_attempt(api_client, service, sleeps, monkeypatch):
    authenticator = api_client.clv_client.authenticator
    issued = []
    real_get_token = type(authenticator).get_token

    def get_token():
        issued.append(real_get_token(authenticator))
        return issued[-1]

    monkeypatch.setattr(authenticator, "get_token", get_token)
    service.script([503, 504])
    provider(api_client, "pii").evaluate(ONE)
    assert len(issued) == 3
    assert [request.headers["Authorization"] for request in service.requests] == [f"Bearer {token}" for token in issued]


def test_post_is_called_with_exactly_its_keywords(api_client, service):
    disabled = APIClient(Credentials(url=api_client.credentials.url, version="5.0", username=USER, api_key=SECRET,
                                     service_instance_id=INSTANCE, disable_ssl=True))
    made = provider(disabled, "pii")
    seen = []

    class Session:
        def __init__(self, session):
            self.session = session

        def post(self, **kwargs):
            seen.append(kwargs)
            return self.session.post(**kwargs)

    async def send():
        async with aiohttp.ClientSession() as session:
            return await made.send_with_retries('{"detectors": {"pii": {}}, "input": "a@b.org"}', Session(session))

    answer = asyncio.run(send())
    assert answer == {"detections": [{"start": 0, "end": 7, "text": "a@b.org", "detection_type": "pii",
                                      "detection": "EmailAddress", "score": 0.9}]}
    [kwargs] = seen
    assert list(kwargs) == ["url", "headers", "data", "ssl"]
    assert kwargs["url"] == made.base_url
    assert kwargs["data"] == '{"detectors": {"pii": {}}, "input": "a@b.org"}'
    assert kwargs["ssl"] is False
    assert list(kwargs["headers"]) == ["Content-Type", "Authorization", "x-governance-instance-id", "origin"]


def test_answers_keep_the_body_order_when_later_requests_finish_first(api_client, service):
    table = emails(6)
    service.script([Fault.ok(delay=0.3)], match="record 0:")
    service.script([Fault.ok(delay=0.15)], match="record 1:")
    started = time.monotonic()
    result = provider(api_client, "pii").evaluate(table)
    elapsed = time.monotonic() - started
    assert [record.record_id for record in result.record_level_metrics] == [f"r{index}" for index in range(6)]
    assert [record.evidences[0]["text"] for record in result.record_level_metrics] == [
        f"user{index}@example.com" for index in range(6)]
    # All requests were in flight together: the last arrived before the first was answered.
    arrivals = [request.received_at for request in service.requests]
    assert max(arrivals) - min(arrivals) < 0.3
    assert elapsed < 0.3 + 0.15


def test_requests_are_concurrent_without_a_client_side_bound(api_client, service):
    table = emails(40)
    service.script([Fault.ok(delay=0.2)] * 40)
    started = time.monotonic()
    result = provider(api_client, "pii").evaluate(table)
    assert time.monotonic() - started < 0.2 * 3  # one at a time would take 8 s
    assert (result.total_records, result.mean) == (40, 0.9)


def test_one_default_session_per_evaluation_closed_afterwards(api_client, service, sessions):
    made = provider(api_client, "pii")
    made.evaluate(emails(3))
    made.evaluate(emails(2))
    assert [(args, kwargs) for args, kwargs, _ in sessions] == [((), {}), ((), {})]
    assert all(session.closed for _, _, session in sessions)
    assert len(service.requests) == 5


def test_an_empty_table_sends_nothing(api_client, service, sessions):
    result = provider(api_client, "pii").evaluate(emails(0))
    assert (result.value, result.total_records, result.errors, result.record_level_metrics) == ("Error", 0, [], [])
    assert service.requests == []
    assert len(sessions) == 1 and sessions[0][2].closed
    assert asyncio.run(provider(api_client, "pii")._ScreenerProvider__compute_metric([])) == []


def test_compute_metric_answers_per_body(api_client, service):
    made = provider(api_client, "pii")
    bodies = ['{"detectors": {"pii": {}}, "input": "x@y.org"}', '{"detectors": {"nope": {}}, "input": "x"}']
    answers = asyncio.run(made._ScreenerProvider__compute_metric(bodies))
    assert answers[0]["detections"][0]["text"] == "x@y.org"
    assert answers[1] == {"error": Error(code="400", message_en=str({
        "errors": [{"code": "unknown_detector", "message": "detector 'nope' is not offered on this endpoint"}],
        "status_code": 400}))}


def test_connection_failures_are_error_answers(api_client):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    client = APIClient(Credentials(url=f"http://127.0.0.1:{port}", version="5.0", username=USER, api_key=SECRET,
                                   service_instance_id=INSTANCE))
    result = provider(client, "pii").evaluate(emails(2))
    for record in result.record_level_metrics:
        [error] = record.errors
        assert error.code == "REQUEST_FAILED"
        assert error.message_en.startswith(f"Cannot connect to host 127.0.0.1:{port}")
    assert (result.value, len(result.errors)) == ("Error", 2)


def test_blocking_and_coroutine_forms_agree(api_client, service):
    made = provider(api_client, "pii")
    assert made.evaluate(emails(3)) == asyncio.run(made.evaluate_async(emails(3)))
    assert asyncio.run(made.evaluate_async(data=emails(1))).value == 0.9


class Escaped(BaseException):
    """Not an ordinary exception: it escapes a request and stands in the answer list."""


def test_an_escaped_exception_in_the_answers_is_the_wrapped_error(api_client, service):
    made = provider(api_client, "pii")

    async def send_with_retries(payload, session):
        raise Escaped("gone")

    made.send_with_retries = send_with_retries
    with pytest.raises(Exception) as raised:
        made.evaluate(emails(2))
    assert str(raised.value) == "Error while computing metrics: pii. Reason: argument of type 'Escaped' is not iterable"
    assert type(raised.value.__context__) is TypeError


def test_a_malformed_answer_is_the_wrapped_error_and_the_session_is_closed(api_client, service, sessions):
    service.script([Fault.not_json(text='{"results": []}')])
    with pytest.raises(Exception) as raised:
        provider(api_client, "hap").evaluate(emails(1))
    assert str(raised.value) == "Error while computing metrics: hap. Reason: 'detections'"
    assert type(raised.value.__context__) is KeyError
    assert sessions[0][2].closed


@pytest.mark.parametrize("where", ["waiting for the answer", "backing off"])
def test_cancellation_in_flight_closes_the_session(api_client, service, sessions, where):
    if where == "waiting for the answer":
        service.script([Fault.ok(delay=5)])
    else:
        service.script([503])
        ScreenerProvider.BACK_OFF_FACTOR = 10
    made = provider(api_client, "pii")

    async def evaluate_then_cancel():
        task = asyncio.ensure_future(made.evaluate_async(emails(3)))
        deadline = time.monotonic() + 5
        while len(service.requests) < 3 and time.monotonic() < deadline:
            await asyncio.sleep(0.005)
        await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    started = time.monotonic()
    asyncio.run(evaluate_then_cancel())
    assert time.monotonic() - started < 2
    assert len(service.requests) == 3
    [(_, _, session)] = sessions
    assert session.closed
    del sessions[:]
    del session
    gc.collect()  # an unclosed session would warn here, and warnings are errors


def test_request_bodies_reach_the_service_once_each(api_client, service):
    table = emails(5)
    provider(api_client, "pii").evaluate(table)
    inputs = sorted(json.loads(request.body)["input"] for request in service.requests)
    assert inputs == sorted(table["question"])


class ScriptedResponse:
    def __init__(self, status, text):
        self.status, self._text = status, text

    async def text(self):
        if isinstance(self._text, Exception):
            raise self._text
        await asyncio.sleep(0)
        return self._text


class ScriptedRequest:
    """An asynchronous context manager recording what its __aexit__ is given."""

    def __init__(self, log, response, swallow=False):
        self.log, self.response, self.swallow = log, response, swallow

    async def __aenter__(self):
        self.log.append("enter")
        return self.response

    async def __aexit__(self, exc_type, exc, traceback):
        self.log.append(("exit", exc_type, exc, traceback is not None))
        return self.swallow


class ScriptedSession:
    def __init__(self, *requests):
        self.requests = list(requests)

    def post(self, **kwargs):
        return self.requests.pop(0)


def test_each_attempt_enters_and_exits_its_request(api_client, sleeps):
    made = provider(api_client, "pii")
    log = []
    failure = RuntimeError("reading failed")
    session = ScriptedSession(
        ScriptedRequest(log, ScriptedResponse(503, "{}")),
        ScriptedRequest(log, ScriptedResponse(200, failure), swallow=True),
        ScriptedRequest(log, ScriptedResponse(200, '{"detections": []}')),
    )
    answer = asyncio.run(made.send_with_retries("{}", session))
    assert answer == {"detections": []}
    assert log == ["enter", ("exit", None, None, False),        # 503: backed off, then left
                   "enter", ("exit", RuntimeError, failure, True),  # swallowed: the next attempt follows
                   "enter", ("exit", None, None, False)]
    assert sleeps == [1]


def test_a_request_that_is_no_context_manager_is_an_error_answer(api_client):
    made = provider(api_client, "pii")
    answer = asyncio.run(made.send_with_retries("{}", ScriptedSession(object())))
    assert answer == {"error": Error(code="REQUEST_FAILED", message_en=(
        "'object' object does not support the asynchronous context manager protocol"))}


def test_a_failing_exit_is_the_error_answer(api_client):
    made = provider(api_client, "pii")

    class Request(ScriptedRequest):
        async def __aexit__(self, exc_type, exc, traceback):
            self.log.append(exc)
            raise KeyError("exit")

    log = []
    answer = asyncio.run(made.send_with_retries(
        "{}", ScriptedSession(Request(log, ScriptedResponse(200, ValueError("body"))))))
    assert [str(entry) for entry in log] == ["enter", "body"]
    assert answer == {"error": Error(code="REQUEST_FAILED", message_en="'exit'")}
