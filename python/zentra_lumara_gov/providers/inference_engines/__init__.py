"""Inference-engine wrappers used by judge-model metrics.

Engines for judge models that the evaluation library does not cover: a
caller's own scoring function, the PortKey and LMO AI gateways, and Google
AI Studio. The HTTP engines speak the chat-completions protocol like the
engines of ``tallyx.inference`` and find their address the same way: the
credential key "url" (then "api_base", "base_url", then the environment
variable ``TALLYX_INFERENCE_URL``). Pointing one at the loopback judge server
of the stand-ins is ``credentials={"url": server.url, ...}``.
"""
