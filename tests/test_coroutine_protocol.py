"""Native coroutines against Python twins: the send/throw/close x state matrix,
await checks, `async with`, lifecycle re-entry, garbage collection of suspended
coroutines and reference counts of arguments."""

from __future__ import annotations

import asyncio
import gc
import inspect
import pathlib
import sys
import types
import tracemalloc
import warnings
import weakref
from unittest import mock

import aiohttp
import pandas as pd
import pytest

from screener_support import api_client, provider, server, service  # noqa: F401
from zentra_lumara_gov.providers import screener_provider
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

NATIVE_TYPE_NAME = "zentra_lumara_gov.native_coroutine"


class Suspend:
    """Awaitable that yields once, then returns "resumed"."""

    def __await__(self):
        yield "suspended"
        return "resumed"


async def python_await_one(awaitable):
    return await awaitable


def outcome(action):
    """("value", v) or ("raised", type name, message) of action(), with the
    native type's name spelled as the interpreter spells its own."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return ("value", action())
    except StopIteration as stop:
        return ("stop", stop.value)
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        return ("raised", type(error).__name__, str(error).replace(NATIVE_TYPE_NAME, "coroutine"))


class RaisingCheck(type):
    def __instancecheck__(cls, obj):
        raise ZeroDivisionError("instancecheck")


class Odd(Exception, metaclass=RaisingCheck):
    pass


class Reenters(Suspend):
    """Suspends once; on the way, applies `operation` to the coroutine awaiting it."""

    def __init__(self, operation):
        self.operation = operation
        self.target = self.seen = None

    def __await__(self):
        self.seen = outcome(lambda: self.operation(self.target))
        return (yield from super().__await__())


def reach(state, make, operation):
    if state == "running":
        reenters = Reenters(operation)
        coroutine = reenters.target = make(reenters)
        return coroutine, lambda: (reenters.seen, outcome(lambda: coroutine.send(None)))
    coroutine = make(Suspend())
    if state in ("suspended", "returned", "failed", "closed"):
        coroutine.send(None)
    if state == "returned":
        with pytest.raises(StopIteration):
            coroutine.send(None)
    if state == "failed":
        with pytest.raises(KeyError):
            coroutine.throw(KeyError("boom"))
    if state == "closed":
        coroutine.close()
    return coroutine, lambda: outcome(lambda: operation(coroutine))


def await_from_another(coroutine):
    async def other():
        return await coroutine
    driver = other()
    try:
        return driver.send(None)
    finally:
        driver.close()


OPERATIONS = {
    "send(None)": lambda c: c.send(None),
    "send(1)": lambda c: c.send(1),
    "throw(instance)": lambda c: c.throw(ValueError("thrown")),
    "throw(type, value)": lambda c: c.throw(ValueError, "thrown"),
    "throw(odd metaclass)": lambda c: c.throw(Odd, "v"),
    "throw(not an exception)": lambda c: c.throw(42),
    "close()": lambda c: c.close(),
    "next()": lambda c: next(c),
    "await by another": await_from_another,
}
STATES = ["created", "suspended", "running", "returned", "failed", "closed"]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("state", STATES)
def test_state_matrix_matches_python(native_probe, state, operation):
    results = []
    for make in (native_probe.await_one, python_await_one):
        coroutine, apply = reach(state, make, OPERATIONS[operation])
        before = inspect.getcoroutinestate(coroutine)
        results.append((before, apply(), inspect.getcoroutinestate(coroutine)))
        coroutine.close()
    assert results[0] == results[1]


@types.coroutine
def generator_coroutine():
    yield


class AwaitReturns:
    def __init__(self, make):
        self.make = make

    def __await__(self):
        return self.make()


def started(coroutine):
    coroutine.send(None)
    return coroutine


@pytest.mark.parametrize("awaitable", [
    lambda probe: 42,
    lambda probe: AwaitReturns(lambda: 42),
    lambda probe: AwaitReturns(generator_coroutine),
    lambda probe: AwaitReturns(lambda: python_await_one(Suspend())),
    lambda probe: generator_coroutine(),
    lambda probe: started(python_await_one(Suspend())),
    lambda probe: started(probe.await_one(Suspend())),
], ids=["not awaitable", "non-iterator", "generator coroutine", "coroutine", "types.coroutine",
        "awaited coroutine", "awaited native coroutine"])
def test_what_await_accepts_matches_python(native_probe, awaitable):
    results = []
    for make in (native_probe.await_one, python_await_one):
        inner = awaitable(native_probe)
        coroutine = make(inner)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the inner coroutine of a refusal
            results.append(outcome(lambda: coroutine.send(None)))
            coroutine.close()
            getattr(inner, "close", lambda: None)()
            gc.collect()
    assert results[0] == results[1]


def test_a_deep_await_chain_raises_recursion_error(native_probe):
    coroutine = native_probe.await_one(Suspend())
    for _ in range(200_000):
        coroutine = native_probe.await_one(coroutine)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the levels never reached
        with pytest.raises(RecursionError, match="maximum recursion depth exceeded"):
            coroutine.send(None)
        del coroutine
        gc.collect()


def test_the_package_has_one_coroutine_type(native_probe, api_client):  # noqa: F811
    coroutine = ScreenerProvider.send_with_retries(provider(api_client, "pii"), "{}", None)
    probe_coroutine = native_probe.give_back(None)
    try:
        assert native_probe.is_native_coroutine(coroutine)
        assert type(coroutine) is type(probe_coroutine)
    finally:
        coroutine.close()
        probe_coroutine.close()


# --- Re-entry while the frame is destroyed -------------------------------------------------

class SendsOnRelease:
    """Sends into `target` from __del__ and records what that did."""

    def __init__(self, seen):
        self.seen = seen
        self.target = None

    def __del__(self):
        self.seen.append(outcome(lambda: self.target.send(None)))


def test_sending_from_a_parameters_del_during_close(native_probe):
    seen = []
    releaser = SendsOnRelease(seen)
    coroutine = native_probe.give_back(releaser)
    releaser.target = coroutine
    del releaser
    coroutine.close()
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED
    assert seen == [("raised", "RuntimeError", "cannot reuse already awaited coroutine")]


def test_sending_from_a_parameters_del_during_release_matches_python(native_probe):
    seen = []
    for make in (native_probe.give_back, returns):
        releaser = SendsOnRelease(seen)
        coroutine = make(releaser)
        target = weakref.ref(coroutine)  # dead by the time the frame lets go of the parameter
        releaser.target = types.SimpleNamespace(send=lambda value: target().send(value))
        del releaser
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # never awaited
            del coroutine
    assert seen == [("raised", "AttributeError", "'NoneType' object has no attribute 'send'")] * 2


# --- Garbage collection of suspended coroutines ---------------------------------------------

class SuspendHolding(Suspend):
    """Suspends once and keeps `held` alive meanwhile."""

    def __init__(self, held):
        self.held = held


def test_a_suspended_coroutine_in_a_cycle_is_collected(native_probe):
    box = []
    coroutine = native_probe.await_repeatedly(lambda: SuspendHolding(box), 1)
    box.append(coroutine)
    assert coroutine.send(None) == "suspended"
    collected = weakref.ref(coroutine)
    del coroutine, box
    gc.collect()
    assert collected() is None


class NeverAnswers:
    """Stand-in for aiohttp: sessions whose requests wait forever."""

    class Request:
        async def __aenter__(self):
            await asyncio.get_running_loop().create_future()

        async def __aexit__(self, *exc_info):
            return False

    class ClientSession:
        async def __aenter__(self):
            return self

        async def __aexit__(self, *exc_info):
            return False

        def post(self, **kwargs):
            return NeverAnswers.Request()


def abandon(evaluate_async, count):
    """Starts `count` evaluations, lets them suspend, drops them with their loop;
    returns how many the collector left alive."""
    loop = asyncio.new_event_loop()
    # "Task was destroyed but it is pending!" goes to the loop's handler, not to the log.
    loop.set_exception_handler(lambda loop, context: None)
    tasks = [loop.create_task(evaluate_async()) for _ in range(count)]
    for _ in range(5):
        loop.run_until_complete(asyncio.sleep(0))
    refs = [weakref.ref(task) for task in tasks]
    loop.close()
    del tasks, loop
    gc.collect()
    return sum(ref() is not None for ref in refs)


def emails(n):
    return pd.DataFrame({"record_id": [f"r{i}" for i in range(n)], "question": ["x@example.com"] * n})


@pytest.fixture
def never_answering(monkeypatch):
    monkeypatch.setattr(screener_provider, "aiohttp", NeverAnswers)
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
    try:
        import python_screener_provider
    finally:
        sys.path.pop(0)
    monkeypatch.setattr(python_screener_provider, "aiohttp", NeverAnswers)
    return python_screener_provider


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_abandoned_evaluations_are_collected(api_client, never_answering):  # noqa: F811
    native = provider(api_client, "pii")
    twin = never_answering.PyScreenerProvider(configuration=native.configuration, metric_name="pii",
                                              metric_display_name="Pii", api_client=api_client)
    data = emails(2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for made in (native, twin):
            assert abandon(lambda: made.evaluate_async(data), 1) == 0, type(made).__name__

        # Memory: 2,000 abandoned evaluations leave next to nothing behind (the
        # warm-up grows asyncio's table of tasks and fills the caches).
        abandon(lambda: native.evaluate_async(data), 2000)
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            alive = abandon(lambda: native.evaluate_async(data), 2000)
            retained = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert alive == 0
    assert retained < 100_000, retained


# --- async with -------------------------------------------------------------------------

class Log(list):
    def manager(self, kind):
        log = self

        class Manager:
            async def __aenter__(self):
                log.append(("enter", sys.exc_info()[1]))
                return "entered"

            async def __aexit__(self, exc_type, exc, tb):
                log.append(("exit", exc_type, repr(exc), sys.exc_info()[1] is exc))
                if kind == "raises in exit":
                    raise KeyError("from exit")
                return kind == "swallows"

        if kind == "classmethod enter":
            async def enter(cls):
                log.append(("enter", cls.__name__))
                return "entered"
            Manager.__aenter__ = classmethod(enter)
        if kind == "instance attributes":
            plain = types.SimpleNamespace(__aenter__=Manager.__aenter__, __aexit__=Manager.__aexit__)
            return plain
        if kind == "no exit":
            del Manager.__aexit__
        if kind == "enter not awaitable":
            Manager.__aenter__ = lambda self: 42
        if kind == "exit not awaitable":
            Manager.__aexit__ = lambda self, *args: 42
        if kind == "not a manager":
            return object()
        return Manager()


async def python_with(manager, body):
    async with manager as entered:
        return await body(entered)


MANAGER_KINDS = ["plain", "swallows", "raises in exit", "classmethod enter", "instance attributes",
                 "no exit", "enter not awaitable", "exit not awaitable", "not a manager"]


def run(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("suspended")


@pytest.mark.parametrize("body_fails", [False, True], ids=["body returns", "body raises"])
@pytest.mark.parametrize("kind", MANAGER_KINDS)
def test_async_with_matches_python(native_probe, kind, body_fails):
    async def body(entered):
        if body_fails:
            raise ValueError("from body")
        return ("body", entered)

    results = []
    for with_block in (native_probe.with_manager, python_with):
        log = Log()
        try:
            result = ("value", run(with_block(log.manager(kind), body)))
        except Exception as error:  # noqa: BLE001
            context = error.__context__
            result = ("raised", type(error).__name__, str(error), type(context).__name__, str(context))
        results.append((result, log))
    assert results[0] == results[1]


def test_async_with_a_mock_manager(native_probe):
    manager = mock.MagicMock()
    manager.__aenter__.return_value = "entered"

    async def body(entered):
        return entered

    assert run(native_probe.with_manager(manager, body)) == "entered"
    manager.__aenter__.assert_awaited_once_with()
    manager.__aexit__.assert_awaited_once_with(None, None, None)


def test_send_with_retries_with_a_mock_session(api_client):  # noqa: F811
    request = mock.MagicMock()
    response = request.__aenter__.return_value
    response.status = 200
    response.text = mock.AsyncMock(return_value='{"answer": 1}')
    session = mock.MagicMock()
    session.post.return_value = request
    answer = asyncio.run(provider(api_client, "pii").send_with_retries("{}", session))
    assert answer == {"answer": 1}
    request.__aenter__.assert_awaited_once_with()
    request.__aexit__.assert_awaited_once_with(None, None, None)


def test_an_error_in_evaluate_async_handler_is_chained(api_client):  # noqa: F811
    class Unprintable:
        def __format__(self, spec):
            raise KeyError("format")

    class Failing(ScreenerProvider):
        def _ScreenerProvider__pre_process_data(self, data):
            raise ValueError("pre-processing")

    made = Failing(configuration=provider(api_client).configuration, metric_name="pii",
                   metric_display_name="Pii", api_client=api_client)
    made.metric_name = Unprintable()
    with pytest.raises(KeyError) as raised:
        asyncio.run(made.evaluate_async(emails(1)))
    assert type(raised.value.__context__) is ValueError


# --- Reference counts of arguments ---------------------------------------------------------

async def returns(value):
    return value


async def returns_pair(value, extra):
    return (value, extra)


class Manager:
    async def __aenter__(self):
        return "entered"

    async def __aexit__(self, *exc_info):
        return False


def drive(coroutine):
    while True:
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value
        except Exception as error:  # noqa: BLE001 - only the counts matter here
            return error


PROBE_CALLS = [
    ("await_one", lambda: (returns(1),)),
    ("await_each", lambda: ([Suspend(), returns(2)],)),
    ("give_back", lambda: (object(),)),
    ("await_repeatedly", lambda: (Suspend, 3)),
    ("await_with_cleanup", lambda: (Suspend(), lambda: returns(None), [])),
    ("await_catching", lambda: (returns(ValueError("x")),)),
    ("with_manager", lambda: (Manager(), returns)),
    ("with_manager_and", lambda: (Manager(), returns_pair, object())),
]


@pytest.mark.parametrize("name, make_args", PROBE_CALLS, ids=[name for name, _ in PROBE_CALLS])
def test_native_coroutines_leave_argument_counts_as_they_were(native_probe, name, make_args):
    args = make_args()
    before = [sys.getrefcount(arg) for arg in args]
    for _ in range(3):
        drive(getattr(native_probe, name)(*args))
    gc.collect()
    assert [sys.getrefcount(arg) for arg in args] == before


def test_provider_coroutines_leave_argument_counts_as_they_were(api_client, service):  # noqa: F811
    made = provider(api_client, "pii")
    data = emails(2)
    counts = []

    async def calls():
        async with aiohttp.ClientSession() as session:
            before = [sys.getrefcount(arg) for arg in (made, data, session)]
            for _ in range(3):
                await made.evaluate_async(data)
                await ScreenerProvider.send_with_retries(made, '{"content": "x"}', session)
            counts.append((before, [sys.getrefcount(arg) for arg in (made, data, session)]))

    asyncio.run(calls())
    [(before, after)] = counts
    assert after == before
