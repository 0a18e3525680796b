"""Settings read from the environment, each read anew at every call."""

from __future__ import annotations

import os

TALYX_ENABLE_INFERENCE_CACHE = "TALYX_ENABLE_INFERENCE_CACHE"
LUMARA_CONCURRENCY_LIMIT = "LUMARA_CONCURRENCY_LIMIT"
DEFAULT_LUMARA_CONCURRENCY_LIMIT = 10

_TRUE_TEXTS = {"1", "true", "yes", "on"}
_FALSE_TEXTS = {"", "0", "false", "no", "off"}


def parse_flag(name: str, default: bool = False) -> bool:
    """The environment variable ``name`` read as a flag (unset: ``default``)."""
    raw = os.environ.get(name)
    if raw is None:
        return default
    text = raw.strip().lower()
    if text in _TRUE_TEXTS:
        return True
    if text in _FALSE_TEXTS:
        return False
    raise ValueError(f"{name} must be one of true, false, 1, 0, yes, no, on, off; got {raw!r}.")


def get_talyx_enable_inference_cache() -> bool:
    """Whether judge inference engines cache their answers (TALYX_ENABLE_INFERENCE_CACHE, default false)."""
    return parse_flag(TALYX_ENABLE_INFERENCE_CACHE, default=False)


def get_lumara_concurrency_limit() -> int:
    """How many requests a judge engine sends to the AI service at once (LUMARA_CONCURRENCY_LIMIT, default 10)."""
    raw = os.environ.get(LUMARA_CONCURRENCY_LIMIT)
    if raw is None or not raw.strip():
        return DEFAULT_LUMARA_CONCURRENCY_LIMIT
    try:
        limit = int(raw.strip())
    except ValueError:
        limit = 0
    if limit < 1:
        raise ValueError(f"{LUMARA_CONCURRENCY_LIMIT} must be a positive integer; got {raw!r}.")
    return limit
