"""Small helpers shared by the SDK's modules."""

from __future__ import annotations

import ast
import contextlib
import json
import math
import time
from collections.abc import Iterator
from typing import Any

from zentra_lumara_gov.utils.gov_sdk_logger import get_logger

logger = get_logger("timing")


@contextlib.contextmanager
def track_duration(label: str) -> Iterator[None]:
    """Log how long the ``with`` block took, under ``label``.

    Exceptions of the block pass through unchanged; the duration is logged
    either way.
    """
    started = time.perf_counter()
    failed = True
    try:
        yield
        failed = False
    finally:
        elapsed = time.perf_counter() - started
        if failed:
            logger.info("%s failed after %.3f s", label, elapsed)
        else:
            logger.info("%s took %.3f s", label, elapsed)


def transform_str_to_list(text: Any) -> list:
    """The list of texts that one table cell denotes.

    - a list is returned as it is; a tuple becomes a list;
    - a text holding a list, as JSON (``'["a", "b"]'``) or as a Python literal
      (``"['a', 'b']"``), becomes that list with every item as text; the text
      is parsed, never executed;
    - any other text is one item: ``[text]``;
    - None or NaN (an empty cell) gives ``[]``; any other value ``[str(value)]``.
    """
    if isinstance(text, list):
        return text
    if isinstance(text, tuple):
        return list(text)
    if text is None or (isinstance(text, float) and math.isnan(text)):
        return []
    if not isinstance(text, str):
        return [str(text)]
    parsed = _parse_list_text(text)
    if parsed is None:
        return [text]
    return [item if isinstance(item, str) else str(item) for item in parsed]


def _parse_list_text(text: str) -> list | None:
    stripped = text.strip()
    if not (stripped.startswith("[") and stripped.endswith("]")):
        return None
    try:
        value = json.loads(stripped)
    except (ValueError, RecursionError):
        try:
            # literal_eval only builds literals (strings, numbers, lists, ...); it runs no code.
            value = ast.literal_eval(stripped)
        except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
            return None
    return value if isinstance(value, list) else None


def get_authenticator_token(authenticator: Any) -> str:
    """A current bearer token of ``authenticator`` (asked anew at every call)."""
    if authenticator is None:
        raise ValueError("No authenticator is configured: the service client has no monitoring client credentials.")
    get_token = getattr(authenticator, "get_token", None)
    if not callable(get_token):
        raise TypeError(f"{type(authenticator).__name__} cannot issue tokens (it has no get_token method).")
    return get_token()
