"""transform_str_to_list, track_duration, local telemetry, the logger and environment settings."""

from __future__ import annotations

import asyncio
import inspect
import logging
import math

import pytest

from zentra_lumara_gov.utils import segment_batch_manager
from zentra_lumara_gov.utils.environment import get_lumara_concurrency_limit, get_talyx_enable_inference_cache
from zentra_lumara_gov.utils.gov_sdk_logger import get_logger
from zentra_lumara_gov.utils.python_utils import track_duration, transform_str_to_list
from zentra_lumara_gov.utils.segment_batch_manager import (
    MAX_RECORDED_EVENTS,
    SegmentBatchManager,
    clear_recorded_events,
    recorded_events,
)


class TestTransformStrToList:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ('["first context", "second context"]', ["first context", "second context"]),
            ("['first context', 'second context']", ["first context", "second context"]),
            ("  ['padded']  ", ["padded"]),
            ('["mixed", 1, 2.5, null]', ["mixed", "1", "2.5", "None"]),
            ("['a', ('b', 'c')]", ["a", "('b', 'c')"]),
            ("[]", []),
            ("Paris is the capital of France.", ["Paris is the capital of France."]),
            ("", [""]),
            ("[not a list", ["[not a list"]),
            ("[1, 2] and more", ["[1, 2] and more"]),
            ('{"a": 1}', ['{"a": 1}']),
            ("['unterminated]", ["['unterminated]"]),
        ],
    )
    def test_texts(self, text, expected):
        assert transform_str_to_list(text) == expected

    @pytest.mark.parametrize(
        "text",
        [
            "__import__('os').system('x')",
            "[__import__('os').system('x')]",
            "[open('/etc/passwd').read()]",
            "[(lambda: 1)()]",
            "[" * 100_000 + "]" * 100_000,
        ],
    )
    def test_code_is_never_run_and_stays_text(self, text, monkeypatch):
        import os

        def forbidden(*args, **kwargs):
            raise AssertionError("code in a cell was executed")

        monkeypatch.setattr(os, "system", forbidden)
        assert transform_str_to_list(text) == [text]

    def test_a_list_passes_through_as_the_same_object(self):
        contexts = ["a", "b"]
        assert transform_str_to_list(contexts) is contexts

    @pytest.mark.parametrize(
        ("value", "expected"),
        [(("a", "b"), ["a", "b"]), (None, []), (math.nan, []), (42, ["42"])],
    )
    def test_other_values(self, value, expected):
        assert transform_str_to_list(value) == expected


class TestTrackDuration:
    def test_logs_the_duration_under_the_label(self, caplog):
        with caplog.at_level(logging.INFO, logger="zentra_lumara_gov"):
            with track_duration("Metric Evaluation - faithfulness"):
                pass
        assert len(caplog.records) == 1
        message = caplog.records[0].getMessage()
        assert message.startswith("Metric Evaluation - faithfulness took ") and message.endswith(" s")
        assert caplog.records[0].name == "zentra_lumara_gov.timing"

    def test_does_not_swallow_exceptions(self, caplog):
        error = KeyError("missing")
        with caplog.at_level(logging.INFO, logger="zentra_lumara_gov"):
            with pytest.raises(KeyError) as info:
                with track_duration("failing"):
                    raise error
        assert info.value is error
        assert caplog.records[0].getMessage().startswith("failing failed after ")

    def test_exit_returns_false_for_an_exception(self):
        manager = track_duration("x")
        manager.__enter__()
        try:
            raise ValueError("v")
        except ValueError as exc:
            # What a caller driving the protocol by hand sees: a false exit, so it re-raises.
            assert manager.__exit__(type(exc), exc, exc.__traceback__) is False


class TestSegmentBatchManager:
    def setup_method(self):
        clear_recorded_events()

    def teardown_method(self):
        clear_recorded_events()

    def test_track_event_is_a_coroutine_function_that_keeps_events_locally(self, caplog):
        assert inspect.iscoroutinefunction(SegmentBatchManager.track_event)
        manager = SegmentBatchManager()
        event = {"objectType": "Metric Evaluation", "custom.metric_name": "faithfulness"}
        with caplog.at_level(logging.DEBUG, logger="zentra_lumara_gov"):
            assert asyncio.run(manager.track_event(event)) is None
            asyncio.run(SegmentBatchManager().track_event({"objectType": "Metric Evaluation", "custom.metric_name": "pii"}))
        assert recorded_events() == [event, {"objectType": "Metric Evaluation", "custom.metric_name": "pii"}]
        assert [r.name for r in caplog.records] == ["zentra_lumara_gov.telemetry"] * 2
        assert "faithfulness" in caplog.records[0].getMessage()

    def test_the_record_is_a_copy(self):
        event = {"custom.metric_name": "a"}
        asyncio.run(SegmentBatchManager().track_event(event))
        event["custom.metric_name"] = "changed"
        recorded_events()[0]["custom.metric_name"] = "changed too"
        assert recorded_events() == [{"custom.metric_name": "a"}]

    def test_the_record_is_bounded_keeping_the_newest(self):
        async def send_many():
            manager = SegmentBatchManager()
            for index in range(MAX_RECORDED_EVENTS + 5):
                await manager.track_event({"n": index})

        asyncio.run(send_many())
        events = recorded_events()
        assert len(events) == MAX_RECORDED_EVENTS
        assert (events[0], events[-1]) == ({"n": 5}, {"n": MAX_RECORDED_EVENTS + 4})

    def test_non_mapping_event_is_refused(self):
        with pytest.raises(TypeError, match=r"^event must be a dict, got list\.$"):
            asyncio.run(SegmentBatchManager().track_event([("a", 1)]))
        assert recorded_events() == []

    def test_never_touches_the_network(self, monkeypatch):
        import socket

        def refuse(*args, **kwargs):
            raise AssertionError("telemetry must stay local")

        monkeypatch.setattr(socket.socket, "connect", refuse)
        monkeypatch.setattr(socket, "getaddrinfo", refuse)
        asyncio.run(SegmentBatchManager().track_event({"a": 1}))
        assert segment_batch_manager.recorded_events() == [{"a": 1}]


class TestLogger:
    def test_children_of_the_sdk_logger(self):
        assert get_logger().name == "zentra_lumara_gov"
        assert get_logger("timing").name == "zentra_lumara_gov.timing"
        assert get_logger("zentra_lumara_gov.providers").name == "zentra_lumara_gov.providers"
        assert any(isinstance(h, logging.NullHandler) for h in get_logger().handlers)


class TestEnvironment:
    @pytest.mark.parametrize(
        ("raw", "expected"),
        [(None, False), ("true", True), ("TRUE", True), ("1", True), ("yes", True), ("false", False), ("0", False), ("", False)],
    )
    def test_inference_cache_flag(self, monkeypatch, raw, expected):
        if raw is None:
            monkeypatch.delenv("TALYX_ENABLE_INFERENCE_CACHE", raising=False)
        else:
            monkeypatch.setenv("TALYX_ENABLE_INFERENCE_CACHE", raw)
        assert get_talyx_enable_inference_cache() is expected

    def test_inference_cache_flag_rejects_other_texts(self, monkeypatch):
        monkeypatch.setenv("TALYX_ENABLE_INFERENCE_CACHE", "sometimes")
        with pytest.raises(ValueError, match=r"^TALYX_ENABLE_INFERENCE_CACHE must be one of "):
            get_talyx_enable_inference_cache()

    @pytest.mark.parametrize(("raw", "expected"), [(None, 10), ("", 10), ("25", 25), (" 3 ", 3)])
    def test_concurrency_limit(self, monkeypatch, raw, expected):
        if raw is None:
            monkeypatch.delenv("LUMARA_CONCURRENCY_LIMIT", raising=False)
        else:
            monkeypatch.setenv("LUMARA_CONCURRENCY_LIMIT", raw)
        assert get_lumara_concurrency_limit() == expected

    @pytest.mark.parametrize("raw", ["0", "-2", "ten", "2.5"])
    def test_concurrency_limit_rejects_bad_values(self, monkeypatch, raw):
        monkeypatch.setenv("LUMARA_CONCURRENCY_LIMIT", raw)
        with pytest.raises(ValueError) as info:
            get_lumara_concurrency_limit()
        assert str(info.value) == f"LUMARA_CONCURRENCY_LIMIT must be a positive integer; got {raw!r}."
