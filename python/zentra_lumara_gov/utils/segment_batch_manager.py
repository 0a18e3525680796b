"""Usage telemetry, kept inside the process.

Events are never sent anywhere: each is logged at debug level and kept in a
bounded, process-wide record (the newest ``MAX_RECORDED_EVENTS``) that the
application or its tests can read with :func:`recorded_events`.
"""

from __future__ import annotations

import collections
import threading

from zentra_lumara_gov.utils.gov_sdk_logger import get_logger

MAX_RECORDED_EVENTS = 1000

logger = get_logger("telemetry")

_events: collections.deque[dict] = collections.deque(maxlen=MAX_RECORDED_EVENTS)
_events_lock = threading.Lock()


class SegmentBatchManager:
    """Takes usage events; keeps them locally."""

    async def track_event(self, event: dict) -> None:
        """Record one event (a mapping of texts to values)."""
        if not isinstance(event, dict):
            raise TypeError(f"event must be a dict, got {type(event).__name__}.")
        kept = dict(event)
        with _events_lock:
            _events.append(kept)
        logger.debug("telemetry event kept locally: %s", kept)


def recorded_events() -> list[dict]:
    """Copies of the recorded events, oldest first."""
    with _events_lock:
        return [dict(event) for event in _events]


def clear_recorded_events() -> None:
    """Forget every recorded event."""
    with _events_lock:
        _events.clear()
