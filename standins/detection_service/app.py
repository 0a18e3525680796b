"""The detection service as an aiohttp web application.

Four POST endpoints take the request bodies the SDK sends and answer
``{"detections": [...]}``:

    /ml/v1/text/detection            {"detectors", "input"}
    /ml/v1/text/detection/generated  {"detectors", "prompt", "generated_text"}
    /ml/v1/text/detection/context    {"detectors", "input", "context_type", "context"}
    /ml/v1/text/detection/chat       {"detectors", "messages", "tools"}

Every request needs the query ``version=2023-10-25``, a JSON content type, a
bearer token the service's token check accepts and the governance instance id.
A bad request is answered 400 (401 for a bad token) with a JSON body
``{"errors": [{"code", "message"}], "status_code": ...}``.

For tests the service can script faults per request (``DetectionService.script``):
status sequences, delays, bodies that are not JSON and dropped connections. It
also keeps every request it received (``DetectionService.requests``).
"""

from __future__ import annotations

import asyncio
import dataclasses
import functools
import json
import threading
import time
from typing import Any, Callable

from aiohttp import web
from multidict import CIMultiDict

from detection_service import detectors
from detection_service.detectors import DetectorError

API_VERSION = "2023-10-25"
BASE_PATH = "/ml/v1/text/detection"


@dataclasses.dataclass(frozen=True)
class Fault:
    """What the service does to one request instead of (or before) answering it.

    ``status`` 200 with nothing else set answers normally. Another status is
    answered with ``body`` (a JSON value, or a text sent as it is). ``raw``
    sends that text with the given status whatever it is; ``drop`` closes the
    connection without answering; ``delay`` waits that many seconds first.
    """

    status: int = 200
    body: Any = None
    raw: str | None = None
    drop: bool = False
    delay: float = 0.0

    @classmethod
    def ok(cls, delay: float = 0.0) -> "Fault":
        return cls(delay=delay)

    @classmethod
    def error(cls, status: int, body: Any = None, delay: float = 0.0) -> "Fault":
        return cls(status=status, body=body, delay=delay)

    @classmethod
    def not_json(cls, text: str = "<html>upstream busy</html>", status: int = 200) -> "Fault":
        return cls(status=status, raw=text)

    @classmethod
    def dropped(cls, delay: float = 0.0) -> "Fault":
        return cls(drop=True, delay=delay)

    @classmethod
    def of(cls, value: "Fault | int") -> "Fault":
        return value if isinstance(value, Fault) else cls(status=int(value))


@dataclasses.dataclass(frozen=True)
class ReceivedRequest:
    """One request as the service received it."""

    method: str
    path: str
    query: dict[str, str]
    headers: CIMultiDict
    body: bytes
    received_at: float
    fault: Fault | None

    def json(self) -> Any:
        return json.loads(self.body)


class _Script:
    def __init__(self, match: str | Callable[[bytes], bool] | None, faults: list[Fault]) -> None:
        self.match = match
        self.faults = faults

    def fits(self, body: bytes) -> bool:
        if not self.faults:
            return False
        if self.match is None:
            return True
        if callable(self.match):
            return bool(self.match(body))
        return self.match.encode() in body


async def _wait_while_connected(request: web.Request, seconds: float) -> bool:
    """Waits ``seconds``; False as soon as the client closes the connection."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds
    while (remaining := deadline - loop.time()) > 0:
        transport = request.transport
        if transport is None or transport.is_closing():
            return False
        await asyncio.sleep(min(remaining, 0.01))
    return True


def _error_body(status: int, code: str, message: str) -> dict:
    return {"errors": [{"code": code, "message": message}], "status_code": status}


class DetectionService:
    """State of one detection service: its token check, instance id, fault scripts and request log.

    Bearer tokens are checked against the monitoring client's stand-in
    authenticator: a token is valid when it was issued for ``secret`` (the API
    key, or the password on premises) and ``username``. ``token_verifier``
    replaces that check. ``instance_id``, when given, is the only governance
    instance id accepted; otherwise any non-empty id is.
    """

    def __init__(self, secret: str | None = None, username: str | None = None, instance_id: str | None = None,
                 token_verifier: Callable[[str], bool] | None = None,
                 clock: Callable[[], float] = time.monotonic, keep_requests: bool = True) -> None:
        if token_verifier is None:
            if not secret:
                raise ValueError("The detection service needs the secret its tokens are issued for, or a token_verifier.")
            token_verifier = functools.partial(_issued_for, secret=secret, username=username)
        self.token_verifier = token_verifier
        self.instance_id = instance_id
        self.clock = clock
        self.keep_requests = keep_requests  # False: no request log (long load runs)
        self._accepted_tokens: set[str] = set()
        self._lock = threading.Lock()
        self._scripts: list[_Script] = []
        self._requests: list[ReceivedRequest] = []

    # --- scripting and inspection (safe from any thread) -----------------------

    def script(self, faults: list["Fault | int"], match: str | Callable[[bytes], bool] | None = None) -> None:
        """Let the next requests whose body contains ``match`` (any request when None)
        meet ``faults`` one after another; after the last one they are answered normally."""
        with self._lock:
            self._scripts.append(_Script(match, [Fault.of(fault) for fault in faults]))

    def reset(self) -> None:
        with self._lock:
            self._scripts.clear()
            self._requests.clear()

    @property
    def requests(self) -> list[ReceivedRequest]:
        with self._lock:
            return list(self._requests)

    def _next_fault(self, body: bytes) -> Fault | None:
        with self._lock:
            for script in self._scripts:
                if script.fits(body):
                    return script.faults.pop(0)
        return None

    # --- the web application ------------------------------------------------------

    def make_app(self) -> web.Application:
        app = web.Application(client_max_size=64 * 1024 * 1024)
        app.router.add_post(BASE_PATH, self._handler(self._text))
        app.router.add_post(BASE_PATH + "/generated", self._handler(self._generated))
        app.router.add_post(BASE_PATH + "/context", self._handler(self._context))
        app.router.add_post(BASE_PATH + "/chat", self._handler(self._chat))
        return app

    def _handler(self, detect: Callable[[dict, str, dict], list[dict]]):
        async def handle(request: web.Request) -> web.StreamResponse:
            body = await request.read()
            fault = self._next_fault(body) if self._scripts else None
            if self.keep_requests:
                with self._lock:
                    self._requests.append(
                        ReceivedRequest(request.method, request.path, dict(request.query),
                                        CIMultiDict(request.headers), body, self.clock(), fault)
                    )
            if fault is not None:
                if fault.delay and not await _wait_while_connected(request, fault.delay):
                    raise asyncio.CancelledError()  # the client has gone: nobody to answer
                if fault.drop:
                    # Gone without a word: the client sees the connection close.
                    request.transport.close()
                    raise asyncio.CancelledError()
                if fault.raw is not None:
                    return web.Response(status=fault.status, text=fault.raw, content_type="text/html")
                if fault.status != 200:
                    payload = fault.body
                    if payload is None:
                        payload = _error_body(fault.status, "scripted_fault", f"scripted status {fault.status}")
                    if isinstance(payload, str):
                        return web.Response(status=fault.status, text=payload, content_type="text/plain")
                    return web.json_response(payload, status=fault.status)
            try:
                self._check_request(request)
                document = _parse_body(body)
                name, params = _detector(document)
                detections = detect(document, name, params)
            except _Rejected as rejected:
                return web.json_response(_error_body(rejected.status, rejected.code, rejected.message),
                                         status=rejected.status)
            except DetectorError as error:
                return web.json_response(_error_body(400, error.code, error.message), status=400)
            return web.json_response({"detections": detections})

        return handle

    def _check_request(self, request: web.Request) -> None:
        if request.query.get("version") != API_VERSION:
            raise _Rejected(400, "invalid_version", f"query parameter version={API_VERSION} is required")
        authorization = request.headers.get("Authorization", "")
        scheme, _, token = authorization.partition(" ")
        if scheme != "Bearer" or not token:
            raise _Rejected(401, "authentication_token_missing", "a bearer token is required")
        if token not in self._accepted_tokens:
            if not self.token_verifier(token):
                raise _Rejected(401, "authentication_token_not_valid", "the bearer token is not valid")
            if len(self._accepted_tokens) < 1024:
                self._accepted_tokens.add(token)  # checked once; the check is deterministic
        instance_id = request.headers.get("x-governance-instance-id", "")
        if not instance_id:
            raise _Rejected(400, "instance_id_missing", "the x-governance-instance-id header is required")
        if self.instance_id is not None and instance_id != self.instance_id:
            raise _Rejected(400, "instance_id_unknown", f"unknown governance instance {instance_id}")
        if request.content_type != "application/json":
            raise _Rejected(400, "invalid_content_type", "the request body must be application/json")

    # --- the endpoints ---------------------------------------------------------------

    @staticmethod
    def _text(document: dict, name: str, params: dict) -> list[dict]:
        text = _text_field(document, "input")
        if name not in detectors.TEXT_DETECTORS:
            raise DetectorError("unknown_detector", f"detector {name!r} is not offered on this endpoint")
        return detectors.TEXT_DETECTORS[name](text, params)

    @staticmethod
    def _generated(document: dict, name: str, params: dict) -> list[dict]:
        prompt = _text_field(document, "prompt")
        generated_text = _text_field(document, "generated_text")
        if name not in ("answer_relevance", "basalt_guardian"):
            raise DetectorError("unknown_detector", f"detector {name!r} is not offered on this endpoint")
        return detectors.detect_answer_relevance(prompt, generated_text, params)

    @staticmethod
    def _context(document: dict, name: str, params: dict) -> list[dict]:
        text = _text_field(document, "input")
        if document.get("context_type") != "docs":
            raise DetectorError("invalid_request", "context_type must be \"docs\"")
        context = document.get("context")
        if not isinstance(context, list) or not all(isinstance(item, str) for item in context):
            raise DetectorError("invalid_request", "context must be a list of texts")
        if name not in detectors.CONTEXT_DETECTORS:
            raise DetectorError("unknown_detector", f"detector {name!r} is not offered on this endpoint")
        return detectors.CONTEXT_DETECTORS[name](text, context, params)

    @staticmethod
    def _chat(document: dict, name: str, params: dict) -> list[dict]:
        messages = document.get("messages")
        if (
            not isinstance(messages, list)
            or len(messages) != 2
            or not all(isinstance(message, dict) for message in messages)
            or messages[0].get("role") != "user"
            or messages[1].get("role") != "assistant"
        ):
            raise DetectorError("invalid_request", "messages must be a user message and an assistant message")
        question = messages[0].get("content")
        if not isinstance(question, str):
            raise DetectorError("invalid_request", "the user message must have a text content")
        if name != "tool_call_accuracy":
            raise DetectorError("unknown_detector", f"detector {name!r} is not offered on this endpoint")
        return detectors.detect_tool_call_accuracy(question, messages[1].get("tool_calls"),
                                                   document.get("tools"), params)


class _Rejected(Exception):
    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message


def _parse_body(body: bytes) -> dict:
    try:
        document = json.loads(body)
    except ValueError:
        raise _Rejected(400, "invalid_json", "the request body is not valid JSON") from None
    if not isinstance(document, dict):
        raise _Rejected(400, "invalid_request", "the request body must be a JSON object")
    return document


def _detector(document: dict) -> tuple[str, dict]:
    block = document.get("detectors")
    if not isinstance(block, dict) or len(block) != 1:
        raise _Rejected(400, "invalid_request", "detectors must map exactly one detector name to its parameters")
    ((name, params),) = block.items()
    if not isinstance(params, dict):
        raise _Rejected(400, "invalid_request", f"the parameters of detector {name!r} must be an object")
    return name, params


def _text_field(document: dict, key: str) -> str:
    value = document.get(key)
    if not isinstance(value, str):
        raise _Rejected(400, "invalid_request", f"{key} must be a text")
    return value


def _issued_for(token: str, secret: str, username: str | None) -> bool:
    from zentra_vigil_clearview import verify_token

    return verify_token(token, secret, username)
