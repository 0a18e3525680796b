"""The aiohttp application of the loopback judge."""

from __future__ import annotations

import collections
import itertools
import json
from collections.abc import Callable

from aiohttp import web

from zentra_judge_server.responder import judge_reply, prompt_text

REQUESTS_KEY = web.AppKey("requests", collections.deque)
_RECORDED_HEADERS = ("Authorization", "api-key", "Content-Type")


def _error(status: int, message: str) -> web.Response:
    return web.json_response({"error": {"message": message, "code": status}}, status=status)


def _valid_messages(messages) -> bool:
    return (
        isinstance(messages, list)
        and bool(messages)
        and all(isinstance(m, dict) and isinstance(m.get("role"), str) and isinstance(m.get("content"), str) for m in messages)
    )


def create_app(
    responder: Callable[[list[dict]], str] = judge_reply,
    api_key: str | None = None,
    log_size: int = 1000,
) -> web.Application:
    """An application answering chat-completion requests with
    ``responder(messages)``. With ``api_key`` set, requests must carry it as
    ``Authorization: Bearer <key>`` or ``api-key: <key>`` (else 401). The
    last ``log_size`` requests are kept in ``app[REQUESTS_KEY]`` as
    dictionaries with "path", "query", "headers" and "body"."""
    app = web.Application()
    app[REQUESTS_KEY] = collections.deque(maxlen=log_size)
    counter = itertools.count(1)

    async def chat_completions(request: web.Request) -> web.Response:
        if not request.path.rstrip("/").endswith("/chat/completions"):
            return _error(404, f"no such endpoint: {request.path}")
        try:
            body = await request.json()
        except (json.JSONDecodeError, UnicodeDecodeError):
            return _error(400, "the request body is not JSON")
        request.app[REQUESTS_KEY].append(
            {
                "path": request.path,
                "query": dict(request.query),
                "headers": {name: request.headers[name] for name in _RECORDED_HEADERS if name in request.headers},
                "body": body,
            }
        )
        if api_key is not None:
            given = request.headers.get("api-key") or request.headers.get("Authorization", "").removeprefix("Bearer ")
            if given != api_key:
                return _error(401, "missing or wrong api key")
        if not isinstance(body, dict) or not _valid_messages(body.get("messages")):
            return _error(400, "the body needs 'messages': a non-empty list of {'role': text, 'content': text}")
        messages = body["messages"]
        try:
            reply = responder(messages)
        except Exception as error:  # a faulty responder is the server's fault: 500, not a hang
            return _error(500, f"responder failed: {error}")
        prompt_tokens = len(prompt_text(messages).split())
        completion_tokens = len(str(reply).split())
        return web.json_response(
            {
                "id": f"chatcmpl-{next(counter)}",
                "object": "chat.completion",
                "created": 0,
                "model": body.get("model") or "loopback-judge",
                "choices": [
                    {"index": 0, "message": {"role": "assistant", "content": str(reply)}, "finish_reason": "stop"}
                ],
                "usage": {
                    "prompt_tokens": prompt_tokens,
                    "completion_tokens": completion_tokens,
                    "total_tokens": prompt_tokens + completion_tokens,
                },
            }
        )

    app.router.add_post("/{tail:.*}", chat_completions)
    return app
