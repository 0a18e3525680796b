"""run_in_event_loop, gather_with_concurrency and start_event_loop_run_func."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import functools
import inspect
import threading
import traceback

import pytest

from zentra_lumara_gov.utils.async_util import (
    gather_with_concurrency,
    run_in_event_loop,
    start_event_loop_run_func,
)


class Boom(Exception):
    pass


async def double(value, *, extra=0):
    await asyncio.sleep(0)
    return value * 2 + extra


async def fail_with(message):
    await asyncio.sleep(0)
    raise Boom(message)


def _loop_machinery_snapshot():
    """What a loop-patching helper replaces: loop class methods and asyncio entry points."""
    return (
        dict(vars(asyncio.BaseEventLoop)),
        dict(vars(asyncio.selector_events.BaseSelectorEventLoop)),
        dict(vars(asyncio.unix_events._UnixSelectorEventLoop)),
        asyncio.run,
        asyncio.Task,
        asyncio.Future,
        asyncio.get_event_loop,
        asyncio.events._get_running_loop,
    )


class TestRunInEventLoop:
    def test_from_plain_code_returns_value_with_args_and_kwargs(self):
        assert run_in_event_loop(double, 5, extra=1) == 11

    def test_from_plain_code_keeps_the_threads_current_loop(self):
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        try:
            assert run_in_event_loop(double, 2) == 4
            assert asyncio.get_event_loop_policy().get_event_loop() is loop
            assert not loop.is_closed()
        finally:
            asyncio.set_event_loop(None)
            loop.close()

    def test_from_plain_code_runs_on_a_fresh_closed_afterwards_loop(self):
        seen = {}

        async def capture():
            seen["loop"] = asyncio.get_running_loop()
            seen["thread"] = threading.get_ident()

        run_in_event_loop(capture)
        assert seen["thread"] == threading.get_ident()
        assert seen["loop"].is_closed()

    def test_from_plain_code_propagates_the_exception_itself(self):
        with pytest.raises(Boom, match="^plain$") as info:
            run_in_event_loop(fail_with, "plain")
        assert "fail_with" in "".join(traceback.format_tb(info.tb))

    def test_inside_running_loop_runs_elsewhere_and_leaves_that_loop_alone(self):
        before = _loop_machinery_snapshot()
        seen = {}

        async def inner():
            seen["loop"] = asyncio.get_running_loop()
            seen["thread"] = threading.get_ident()
            return "inner-value"

        async def notebook_cell():
            outer_loop = asyncio.get_running_loop()
            outer_attrs = dict(vars(outer_loop))
            value = run_in_event_loop(inner)
            # The running loop is neither patched nor re-entered.
            assert dict(vars(outer_loop)) == outer_attrs
            assert asyncio.get_running_loop() is outer_loop
            with pytest.raises(RuntimeError, match="already running"):
                coro = asyncio.sleep(0)
                try:
                    outer_loop.run_until_complete(coro)
                finally:
                    coro.close()
            return outer_loop, value

        outer_loop, value = asyncio.run(notebook_cell())
        assert value == "inner-value"
        assert seen["loop"] is not outer_loop
        assert seen["thread"] != threading.get_ident()
        assert _loop_machinery_snapshot() == before

    def test_inside_running_loop_propagates_the_exception_and_context(self):
        marker = contextvars.ContextVar("marker", default="unset")

        async def read_marker():
            return marker.get()

        async def cell():
            marker.set("from-caller")
            with pytest.raises(Boom, match="^nested$"):
                run_in_event_loop(fail_with, "nested")
            return run_in_event_loop(read_marker)

        assert asyncio.run(cell()) == "from-caller"

    def test_nested_inside_a_worker_loop_works_too(self):
        async def level2():
            return run_in_event_loop(double, 10)

        async def level1():
            return run_in_event_loop(level2)

        assert asyncio.run(level1()) == 20

    def test_tasks_left_running_are_cancelled_before_the_loop_closes(self):
        state = {}

        async def leaves_a_task():
            async def forever():
                try:
                    await asyncio.Event().wait()
                except asyncio.CancelledError:
                    state["cancelled"] = True
                    raise

            state["task"] = asyncio.get_running_loop().create_task(forever())
            await asyncio.sleep(0)
            return "done"

        assert run_in_event_loop(leaves_a_task) == "done"
        assert state["cancelled"] is True
        assert state["task"].cancelled()

    def test_a_non_awaitable_result_is_a_type_error(self):
        with pytest.raises(TypeError):
            run_in_event_loop(lambda: 42)


async def _tracked(tracker, index, yields, result=None, error=None):
    tracker["running"] += 1
    tracker["peak"] = max(tracker["peak"], tracker["running"])
    tracker["started"].append(index)
    try:
        for _ in range(yields):
            await asyncio.sleep(0)
        if error is not None:
            raise error
        return result
    except asyncio.CancelledError:
        tracker["cancelled"].append(index)
        raise
    finally:
        tracker["running"] -= 1


def _tracker():
    return {"running": 0, "peak": 0, "started": [], "cancelled": []}


class TestGatherWithConcurrency:
    def test_is_a_coroutine_function_with_the_named_parameters(self):
        assert inspect.iscoroutinefunction(gather_with_concurrency)
        assert list(inspect.signature(gather_with_concurrency).parameters) == ["coros", "max_concurrency"]

    @pytest.mark.parametrize(("count", "bound", "expected_peak"), [(20, 3, 3), (5, 10, 5), (7, 1, 1), (10, 10, 10)])
    def test_peak_of_running_coroutines_is_the_bound(self, count, bound, expected_peak):
        tracker = _tracker()
        coros = [_tracked(tracker, i, yields=3, result=i) for i in range(count)]
        results = asyncio.run(gather_with_concurrency(coros=coros, max_concurrency=bound))
        assert results == list(range(count))
        assert tracker["peak"] == expected_peak
        assert tracker["running"] == 0

    def test_results_follow_the_order_of_the_coroutines_not_completion(self):
        tracker = _tracker()
        # Earlier coroutines take longer, so they finish last.
        coros = [_tracked(tracker, i, yields=10 - i, result=f"r{i}") for i in range(10)]
        results = asyncio.run(gather_with_concurrency(coros=coros, max_concurrency=4))
        assert results == [f"r{i}" for i in range(10)]

    def test_empty_list_gives_empty_list(self):
        assert asyncio.run(gather_with_concurrency(coros=[], max_concurrency=3)) == []

    def test_any_awaitable_is_accepted(self):
        async def main():
            future = asyncio.get_running_loop().create_future()
            future.set_result("from-future")
            return await gather_with_concurrency(coros=[future, double(1)], max_concurrency=2)

        assert asyncio.run(main()) == ["from-future", 2]

    def test_failure_propagates_and_every_coroutine_is_closed(self):
        tracker = _tracker()
        error = Boom("third")
        coros = [
            _tracked(tracker, i, yields=(1 if i == 2 else 5), result=i, error=error if i == 2 else None)
            for i in range(8)
        ]
        with pytest.raises(Boom) as info:
            asyncio.run(gather_with_concurrency(coros=coros, max_concurrency=3))
        assert info.value is error
        # 0, 1 and 2 ran; 0 and 1 were cancelled by 2's failure; 3 to 7 never started.
        assert tracker["started"] == [0, 1, 2]
        assert tracker["cancelled"] == [0, 1]
        assert [inspect.getcoroutinestate(c) for c in coros] == [inspect.CORO_CLOSED] * 8

    def test_cancelling_the_gather_closes_everything(self):
        started = []

        async def slow(index):
            started.append(index)
            await asyncio.Event().wait()

        coros = [slow(i) for i in range(6)]

        async def main():
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(gather_with_concurrency(coros=coros, max_concurrency=2), timeout=0.01)

        asyncio.run(main())
        assert started == [0, 1]
        assert [inspect.getcoroutinestate(c) for c in coros] == [inspect.CORO_CLOSED] * 6

    @pytest.mark.parametrize("bound", [0, -1, None, 2.5, True, "3"])
    def test_bad_bound_is_a_value_error_and_closes_the_coroutines(self, bound):
        coros = [double(1), double(2)]
        with pytest.raises(ValueError, match=r"^max_concurrency must be a positive integer, got "):
            asyncio.run(gather_with_concurrency(coros=coros, max_concurrency=bound))
        assert [inspect.getcoroutinestate(c) for c in coros] == [inspect.CORO_CLOSED] * 2


class TestStartEventLoopRunFunc:
    def test_calls_with_keywords_on_the_executor_thread_with_its_own_loop(self):
        seen = {}

        def evaluate(data, scale=1):
            seen["thread"] = threading.get_ident()
            seen["loop"] = asyncio.get_event_loop()
            # Blocking code inside may still run coroutines.
            seen["nested"] = run_in_event_loop(double, data)
            return data * scale

        async def main():
            loop = asyncio.get_running_loop()

            positional = await loop.run_in_executor(None, functools.partial(start_event_loop_run_func, evaluate, data=3))
            keyword = await loop.run_in_executor(
                None, functools.partial(start_event_loop_run_func, func=evaluate, data=3, scale=5)
            )
            return loop, positional, keyword

        loop, positional, keyword = asyncio.run(main())
        assert (positional, keyword) == (3, 15)
        assert seen["thread"] != threading.get_ident()
        assert seen["loop"] is not loop and seen["loop"].is_closed()
        assert seen["nested"] == 6

    def test_exception_of_the_function_propagates(self):
        def broken():
            raise Boom("in executor")

        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            with pytest.raises(Boom, match="^in executor$"):
                pool.submit(start_event_loop_run_func, broken).result()
