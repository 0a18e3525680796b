"""Bridges between blocking code and coroutines."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
from collections.abc import Awaitable, Callable, Iterable
from typing import Any


def run_in_event_loop(fn: Callable[..., Awaitable[Any]], *args: Any, **kwargs: Any) -> Any:
    """Run the coroutine function ``fn(*args, **kwargs)`` to completion and return its value.

    Callable from blocking code. When the calling thread already runs an event
    loop (a notebook cell, a coroutine calling blocking code), that loop is
    left alone: the coroutine runs on a fresh loop in a worker thread while
    the caller waits, and its value or exception comes back to the caller.
    The calling thread's current event loop is never replaced or closed.
    """
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return _run_on_fresh_loop(fn, args, kwargs)
    context = contextvars.copy_context()
    # One thread per call: a shared pool could be exhausted by nested calls.
    with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="zlg-run-in-event-loop") as pool:
        future = pool.submit(context.run, _run_on_fresh_loop, fn, args, kwargs)
        return future.result()


def _run_on_fresh_loop(fn: Callable[..., Awaitable[Any]], args: tuple, kwargs: dict) -> Any:
    """Like ``asyncio.run``, but without touching the thread's current-loop setting."""

    async def main() -> Any:
        return await fn(*args, **kwargs)

    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(main())
    finally:
        try:
            _cancel_remaining_tasks(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.run_until_complete(loop.shutdown_default_executor())
        finally:
            loop.close()


def _cancel_remaining_tasks(loop: asyncio.AbstractEventLoop) -> None:
    tasks = asyncio.all_tasks(loop)
    if not tasks:
        return
    for task in tasks:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    for task in tasks:
        if not task.cancelled() and task.exception() is not None:
            loop.call_exception_handler(
                {
                    "message": "unhandled exception in a task left running by run_in_event_loop",
                    "exception": task.exception(),
                    "task": task,
                }
            )


async def gather_with_concurrency(coros: Iterable[Awaitable[Any]], max_concurrency: int) -> list[Any]:
    """Await ``coros`` with at most ``max_concurrency`` running at once.

    Returns their values in the order of ``coros``. When one fails (or the
    gather is cancelled), the running ones are cancelled, those not started
    are closed, and the first failure is raised.
    """
    pending = list(coros)
    if isinstance(max_concurrency, bool) or not isinstance(max_concurrency, int) or max_concurrency < 1:
        _close_all(pending)
        raise ValueError(f"max_concurrency must be a positive integer, got {max_concurrency!r}.")
    results: list[Any] = [None] * len(pending)
    queue = iter(enumerate(pending))

    async def worker() -> None:
        # Workers share one iterator, so at most one coroutine per worker runs.
        for index, awaitable in queue:
            results[index] = await awaitable

    workers = [asyncio.ensure_future(worker()) for _ in range(min(max_concurrency, len(pending)))]
    try:
        await asyncio.gather(*workers)
    except BaseException:
        for task in workers:
            task.cancel()
        await asyncio.gather(*workers, return_exceptions=True)
        _close_all(awaitable for _, awaitable in queue)
        raise
    return results


def _close_all(awaitables: Iterable[Any]) -> None:
    """Dispose of awaitables that will never be awaited, without 'never awaited' warnings."""
    for awaitable in awaitables:
        close = getattr(awaitable, "close", None)
        if callable(close):
            close()
        elif asyncio.isfuture(awaitable):
            awaitable.cancel()


def start_event_loop_run_func(func: Callable[..., Any], **kwargs: Any) -> Any:
    """Call the blocking ``func(**kwargs)`` on this (executor) thread and return its value.

    The thread gets an event loop of its own for the call, so code inside
    ``func`` that asks for the current loop finds one; it is closed afterwards.
    """
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    try:
        return func(**kwargs)
    finally:
        asyncio.set_event_loop(None)
        loop.close()
