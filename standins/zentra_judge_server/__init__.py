"""A loopback judge server: answers chat-completion requests deterministically.

    from zentra_judge_server import JudgeServer

    with JudgeServer() as server:          # a free port on 127.0.0.1
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"url": server.url})
        engine.infer(["<evidence>Paris is in France.</evidence><claim>Paris</claim> "
                      "Reply with a number from 0 to 10."])      # -> ["10"]

As a process (``JudgeServerProcess`` starts and stops one): ``python -m zentra_judge_server [--port N] [--api-key KEY]``
prints ``listening on http://127.0.0.1:PORT`` and serves until SIGINT/SIGTERM.

Any POST to a path ending in "/chat/completions" is answered (so the
OpenAI-style "/v1/chat/completions", a bare "/chat/completions" and
Azure-style deployment paths all work). How the answer is chosen is
documented in ``zentra_judge_server.responder``.
"""

from zentra_judge_server.app import create_app
from zentra_judge_server.responder import judge_reply, overlap
from zentra_judge_server.server import JudgeServer, JudgeServerProcess

__all__ = ["JudgeServer", "JudgeServerProcess", "create_app", "judge_reply", "overlap"]
