"""The native toolkit: C++ coroutines as Python coroutines, true signatures,
async context managers and exception chaining, driven from Python."""

from __future__ import annotations

import asyncio
import collections.abc
import functools
import gc
import inspect
import sys
import types
import weakref

import pytest


class OneStep:
    """An awaitable that suspends once, reporting what was thrown into it."""

    def __init__(self, result="done", handle=()):
        self.result = result
        self.handle = handle
        self.events = []
        self.owner = None

    def __await__(self):
        try:
            sent = yield "step"
            self.events.append(("sent", sent))
            return self.result
        except self.handle as exc:  # noqa: B030 - a tuple of types from the test
            self.events.append(("thrown", exc))
            return f"handled: {exc}"
        finally:
            self.events.append("finally")


class Immediate:
    """An awaitable that finishes without suspending."""

    def __await__(self):
        return self.result()
        yield  # pragma: no cover - makes this a generator

    def result(self):
        return None


def immediate():
    return Immediate()


# ---------------------------------------------------------------- coroutine protocol


def test_native_coroutine_is_a_coroutine_to_python(native_probe):
    coro = native_probe.give_back(1)
    try:
        assert isinstance(coro, collections.abc.Coroutine)
        assert asyncio.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        assert coro.__name__ == "give_back" and coro.__qualname__ == "give_back"
        assert inspect.iscoroutinefunction(native_probe.give_back)
        assert not inspect.iscoroutinefunction(native_probe.wrap_failure)
    finally:
        coro.close()


@pytest.mark.parametrize(
    "value",
    [(1, 2), (), None, ValueError("as a value"), StopIteration(3), [1]],
    ids=["tuple", "empty-tuple", "none", "exception", "stop-iteration", "list"],
)
def test_return_value_arrives_intact(native_probe, value):
    coro = native_probe.give_back(value)
    with pytest.raises(StopIteration) as stopped:
        coro.send(None)
    assert stopped.value.value is value
    assert asyncio.run(native_probe.give_back(value)) is value


def test_awaits_every_kind_of_awaitable(native_probe):
    async def python_coroutine():
        await asyncio.sleep(0)
        return "python"

    async def main():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_soon(future.set_result, "future")
        return await native_probe.await_each(
            [
                asyncio.sleep(0, result="sleep"),
                future,
                python_coroutine(),
                native_probe.give_back("native"),
                types.coroutine(lambda: (yield))(),
                Immediate(),
            ]
        )

    assert asyncio.run(main()) == ["sleep", "future", "python", "native", None, None]


def test_send_and_yield_delegate_like_yield_from(native_probe):
    step = OneStep(result="finished")
    coro = native_probe.await_each([step])
    assert coro.send(None) == "step"
    assert coro.cr_await is not None and coro.cr_suspended
    with pytest.raises(StopIteration) as stopped:
        coro.send("hello")
    assert stopped.value.value == ["finished"]
    assert step.events == [("sent", "hello"), "finally"]


def test_throw_reaches_the_awaitable_first(native_probe):
    step = OneStep(handle=(KeyError,))
    coro = native_probe.await_each([step])
    coro.send(None)
    with pytest.raises(StopIteration) as stopped:
        coro.throw(KeyError("k"))
    assert stopped.value.value == ["handled: 'k'"]


def test_throw_unhandled_by_awaitable_is_raised_in_the_frame(native_probe):
    coro = native_probe.await_catching(OneStep())
    coro.send(None)
    with pytest.raises(StopIteration) as stopped:
        coro.throw(ValueError("into the frame"))
    label, exc = stopped.value.value
    assert label == "caught" and isinstance(exc, ValueError) and str(exc) == "into the frame"


def test_three_argument_throw_is_deprecated_but_works(native_probe):
    coro = native_probe.await_catching(OneStep())
    coro.send(None)
    with pytest.warns(DeprecationWarning, match=r"the \(type, exc, tb\) signature of throw"):
        with pytest.raises(StopIteration) as stopped:
            coro.throw(ValueError, "typed", None)
    assert str(stopped.value.value[1]) == "typed"


@pytest.mark.parametrize(
    "bad_throw, message",
    [
        ((42,), "exceptions must be classes or instances deriving from BaseException, not int"),
        ((ValueError("x"), "extra"), "instance exception may not have a separate value"),
    ],
)
def test_throw_rejects_what_python_rejects(native_probe, bad_throw, message):
    # Unstarted, the coroutine refuses the arguments itself.
    fresh = native_probe.await_catching(OneStep())
    with pytest.warns(DeprecationWarning) if len(bad_throw) > 1 else _no_warning():
        with pytest.raises(TypeError, match=message):
            fresh.throw(*bad_throw)
    fresh.close()
    # Suspended, they go on as given to the awaitable, which refuses them at
    # the await, where the coroutine catches the TypeError, as in Python.
    coro = native_probe.await_catching(OneStep())
    coro.send(None)
    with pytest.warns(DeprecationWarning) if len(bad_throw) > 1 else _no_warning():
        with pytest.raises(StopIteration) as stopped:
            coro.throw(*bad_throw)
    caught = stopped.value.value
    assert caught[0] == "caught" and type(caught[1]) is TypeError and str(caught[1]) == message


class _no_warning:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_throw_into_unstarted_coroutine_raises_at_once(native_probe):
    coro = native_probe.give_back(1)
    with pytest.raises(KeyError):
        coro.throw(KeyError("early"))
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_protocol_misuse_errors(native_probe):
    coro = native_probe.give_back(1)
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(5)
    assert asyncio.run(_await(coro)) == 1
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    coro.close()  # closing a finished coroutine is a no-op


async def _await(awaitable):
    return await awaitable


def test_reentry_is_refused(native_probe):
    class Reenter:
        def __await__(self):
            with pytest.raises(ValueError, match="coroutine already executing"):
                self.coro.send(None)
            return "after"
            yield  # pragma: no cover

    reenter = Reenter()
    reenter.coro = native_probe.await_each([reenter])
    with pytest.raises(StopIteration) as stopped:
        reenter.coro.send(None)
    assert stopped.value.value == ["after"]
    del reenter.coro


def test_close_closes_the_awaitable_then_the_frame(native_probe):
    step = OneStep()
    coro = native_probe.await_each([step])
    coro.send(None)
    coro.close()
    assert step.events == ["finally"]
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_with_awaited_cleanup_that_suspends_is_refused(native_probe):
    async def cleanup():
        await asyncio.sleep(0)

    log = []
    coro = native_probe.await_with_cleanup(OneStep(), cleanup, log)
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()
    assert log == [("caught", GeneratorExit)]
    coro.close()


def test_never_awaited_warns_like_cpython(native_probe):
    coro = native_probe.give_back(1)
    with pytest.warns(RuntimeWarning, match="coroutine 'give_back' was never awaited"):
        del coro
        gc.collect()


def test_dropping_a_suspended_coroutine_closes_it(native_probe):
    step = OneStep()
    coro = native_probe.await_each([step])
    coro.send(None)
    del coro
    gc.collect()
    assert step.events == ["finally"]


# ---------------------------------------------------------------- errors crossing the bridge


@pytest.mark.parametrize(
    "kind, error, message",
    [
        ("runtime", RuntimeError, "native failure"),
        ("value", ValueError, "bad value"),
        ("stop", RuntimeError, "coroutine raised StopIteration"),
    ],
)
def test_cpp_failures_leave_as_python_exceptions(native_probe, kind, error, message):
    with pytest.raises(error, match=message) as raised:
        asyncio.run(native_probe.fail_in_cpp(kind))
    if kind == "stop":
        assert isinstance(raised.value.__cause__, StopIteration)


def test_python_exception_passes_through_with_its_traceback(native_probe):
    async def failing():
        await asyncio.sleep(0)
        raise LookupError("deep")

    with pytest.raises(LookupError, match="deep") as raised:
        asyncio.run(native_probe.await_each([failing()]))
    names = [frame.name for frame in __import__("traceback").extract_tb(raised.value.__traceback__)]
    assert "failing" in names


def test_exception_caught_inside_the_frame(native_probe):
    async def failing():
        raise KeyError("inner")

    label, exc = asyncio.run(native_probe.await_catching(failing()))
    assert label == "caught" and isinstance(exc, KeyError)


def test_base_exceptions_are_not_caught_as_exceptions(native_probe):
    async def interrupting():
        raise KeyboardInterrupt

    coro = native_probe.await_catching(interrupting())
    with pytest.raises(KeyboardInterrupt):
        coro.send(None)


def test_awaiting_a_non_awaitable_raises_at_the_await(native_probe):
    label, exc = asyncio.run(native_probe.await_catching(42))
    assert label == "caught"
    assert str(exc) == "object int can't be used in 'await' expression"


# ---------------------------------------------------------------- asyncio integration


def test_gather_create_task_and_wait_for(native_probe):
    async def main():
        gathered = await asyncio.gather(
            native_probe.give_back(1),
            native_probe.await_each([asyncio.sleep(0.01, result=2)]),
        )
        task = asyncio.create_task(native_probe.give_back(3))
        in_time = await asyncio.wait_for(native_probe.give_back(4), timeout=1)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(native_probe.await_each([asyncio.sleep(5)]), timeout=0.01)
        return gathered, await task, in_time

    assert asyncio.run(main()) == ([1, [2]], 3, 4)


def test_cancellation_reaches_the_awaitable_and_awaited_cleanup_runs(native_probe):
    log = []

    async def awaited():
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            log.append("awaitable saw cancel")
            raise

    async def cleanup():
        await asyncio.sleep(0)  # a real suspension during cleanup
        log.append("cleanup awaited")

    async def main():
        task = asyncio.create_task(native_probe.await_with_cleanup(awaited(), cleanup, log))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(main()) is True
    assert log == [
        "awaitable saw cancel",
        ("caught", asyncio.CancelledError),
        "cleanup awaited",
        "cleaned up",
    ]


def test_one_hundred_thousand_awaits_do_not_grow_memory(native_probe):
    asyncio.run(native_probe.await_repeatedly(immediate, 1000))
    gc.collect()
    before = sys.getallocatedblocks()
    assert asyncio.run(native_probe.await_repeatedly(immediate, 100_000)) == 100_000
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


def test_awaits_through_the_event_loop_do_not_grow_memory(native_probe):
    asyncio.run(native_probe.await_repeatedly(asyncio.sleep, 0))

    def sleep0():
        return asyncio.sleep(0)

    asyncio.run(native_probe.await_repeatedly(sleep0, 500))
    gc.collect()
    before = sys.getallocatedblocks()
    assert asyncio.run(native_probe.await_repeatedly(sleep0, 20_000)) == 20_000
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# ---------------------------------------------------------------- garbage collection


def test_cycle_through_the_awaitable_is_collected(native_probe):
    step = OneStep()
    coro = native_probe.await_one(step)
    step.owner = coro  # coroutine -> awaitable iterator -> step -> coroutine
    coro.send(None)
    ref = weakref.ref(coro)
    del coro, step
    gc.collect()
    assert ref() is None


def test_cycle_through_a_future_and_its_task_is_collected(native_probe):
    loop = asyncio.new_event_loop()
    try:
        future = loop.create_future()
        coro = native_probe.await_one(future)
        task = loop.create_task(coro)
        loop.run_until_complete(asyncio.sleep(0))
        assert coro.cr_suspended
        coro_ref, future_ref = weakref.ref(coro), weakref.ref(future)
        loop.set_exception_handler(lambda loop, context: None)  # "destroyed but pending"
        del coro, task, future
        gc.collect()
        assert coro_ref() is None and future_ref() is None
    finally:
        loop.close()


def test_arguments_held_by_the_frame_are_traversed(native_probe):
    class Holder:
        pass

    holder = Holder()
    coro = native_probe.give_back(holder)
    holder.coro = coro  # frame parameter -> holder -> coroutine
    ref = weakref.ref(holder)
    del holder
    coro.close()
    del coro
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- async context managers


class Manager:
    def __init__(self, suppress=False, fail_on_exit=False):
        self.suppress = suppress
        self.fail_on_exit = fail_on_exit
        self.calls = []

    async def __aenter__(self):
        await asyncio.sleep(0)
        self.calls.append("enter")
        return "resource"

    async def __aexit__(self, exc_type, exc, tb):
        await asyncio.sleep(0)
        self.calls.append(("exit", exc_type, exc, tb is not None))
        if self.fail_on_exit:
            raise OSError("exit failed")
        return self.suppress


def test_async_with_normal_path(native_probe):
    manager = Manager()

    async def body(entered):
        return f"used {entered}"

    assert asyncio.run(native_probe.with_manager(manager, body)) == "used resource"
    assert manager.calls == ["enter", ("exit", None, None, False)]


def test_async_with_exception_reaches_aexit_and_propagates(native_probe):
    manager = Manager()
    failure = ValueError("in body")

    async def body(entered):
        raise failure

    with pytest.raises(ValueError) as raised:
        asyncio.run(native_probe.with_manager(manager, body))
    assert raised.value is failure
    assert manager.calls == ["enter", ("exit", ValueError, failure, True)]


def test_async_with_suppressing_exit_returns_none(native_probe):
    manager = Manager(suppress=True)

    async def body(entered):
        raise ValueError("swallowed")

    assert asyncio.run(native_probe.with_manager(manager, body)) is None


def test_async_with_failing_exit_chains_the_body_exception(native_probe):
    manager = Manager(fail_on_exit=True)

    async def body(entered):
        raise ValueError("first")

    with pytest.raises(OSError, match="exit failed") as raised:
        asyncio.run(native_probe.with_manager(manager, body))
    assert isinstance(raised.value.__context__, ValueError)


def test_async_with_exits_on_cancellation(native_probe):
    manager = Manager()

    async def body(entered):
        await asyncio.sleep(10)

    async def main():
        task = asyncio.create_task(native_probe.with_manager(manager, body))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert manager.calls[0] == "enter"
    assert manager.calls[1][:2] == ("exit", asyncio.CancelledError)


# ---------------------------------------------------------------- raising helpers


def _raise_value_error():
    raise ValueError("boom")


@pytest.mark.parametrize("how", ["context", "cause"])
def test_wrapped_exception_chaining(native_probe, how):
    with pytest.raises(Exception, match="^Wrapped: boom$") as raised:
        native_probe.wrap_failure(_raise_value_error, how)
    wrapped = raised.value
    assert type(wrapped) is Exception
    assert isinstance(wrapped.__context__, ValueError)
    if how == "cause":
        assert wrapped.__cause__ is wrapped.__context__ and wrapped.__suppress_context__
    else:
        assert wrapped.__cause__ is None and not wrapped.__suppress_context__
    original_frames = __import__("traceback").extract_tb(wrapped.__context__.__traceback__)
    assert original_frames[-1].name == "_raise_value_error"


def test_converting_a_handled_error_leaves_it_rethrowable(native_probe):
    failure = ValueError("kept")

    def fail():
        raise failure

    with pytest.raises(ValueError) as raised:
        native_probe.convert_then_rethrow(fail)
    assert raised.value is failure


def test_base_exceptions_are_not_wrapped(native_probe):
    def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        native_probe.wrap_failure(interrupt)


# ---------------------------------------------------------------- signatures and binding


def test_signature_shows_names_kinds_defaults_and_annotations(native_probe):
    signature = inspect.signature(native_probe.all_kinds)
    assert str(signature) == (
        "(a: 'int', /, b: 'str', c: 'list[str] | None' = None, *args, d=4, e, **kwargs) -> 'dict'"
    )
    assert native_probe.all_kinds.__annotations__ == {
        "a": "int", "b": "str", "c": "list[str] | None", "return": "dict"}
    assert native_probe.all_kinds.__doc__ == "Binds every kind of parameter and returns what it got."
    assert native_probe.all_kinds.__module__ == "zlg_probe"


def test_binding_fills_every_kind(native_probe):
    got = native_probe.all_kinds(1, "b", None, 7, 8, e=5, extra=6)
    assert got == {"a": 1, "b": "b", "c": None, "args": (7, 8), "d": 4, "e": 5,
                   "kwargs": {"extra": 6}}


def _python_twin(x, y, z, u=None, w=[], **kwargs):  # noqa: B006 - mirrors the native default
    return (x, y, z, u, w, kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1, 2), {}),
        ((1,), {}),
        ((1, 2, 3, 4, 5, 6), {}),
        ((1, 2, 3), {"x": 1}),
        ((1, 2, 3), {"y": 1, "z": 2}),
    ],
)
def test_binding_errors_match_python(native_probe, args, kwargs):
    _python_twin.__qualname__ = "three_to_five"
    with pytest.raises(TypeError) as python_error:
        _python_twin(*args, **kwargs)
    with pytest.raises(TypeError) as native_error:
        native_probe.three_to_five(*args, **kwargs)
    assert str(native_error.value) == str(python_error.value)


def test_keyword_only_and_positional_only_errors(native_probe):
    with pytest.raises(TypeError, match=r"^all_kinds\(\) missing 1 required keyword-only argument: 'e'$"):
        native_probe.all_kinds(1, "b")
    # As in Python, with **kwargs a positional-only name given by keyword
    # lands in kwargs and the parameter itself is missing.
    with pytest.raises(TypeError, match=r"^all_kinds\(\) missing 1 required positional argument: 'a'$"):
        native_probe.all_kinds(b="b", e=1, a=1)


def test_shared_default_is_one_object(native_probe):
    first = native_probe.three_to_five(1, 2, 3)[4]
    second = native_probe.three_to_five(1, 2, 3)[4]
    assert first is second and first == []


def test_class_built_the_python_way(native_probe):
    widget_class = native_probe.Widget
    widget = widget_class()
    assert widget.describe(3) == "class attribute: 3"
    widget_class.LABEL = "changed"  # class attributes are read at call time
    assert widget.describe(4) == "changed: 4"
    original = widget_class._Widget__label
    widget_class._Widget__label = lambda self, value: f"replaced {value}"
    try:
        assert widget.describe(5) == "replaced 5"
    finally:
        widget_class._Widget__label = original
        widget_class.LABEL = "class attribute"
    assert str(inspect.signature(widget.describe)) == "(value)"
    assert str(inspect.signature(widget_class.describe)) == "(self, value)"
    assert widget_class.describe.__qualname__ == "Widget.describe"
    assert widget_class.__module__ == "zlg_probe"
    assert widget_class.double(21) == 42
    assert inspect.iscoroutinefunction(widget.later)
    assert asyncio.run(widget.later("v")) == "v"


# ---------------------------------------------------------------- Python-semantics helpers


def _outcome(fn, *args):
    """What a call gives: ("value", result) or (exception type, message)."""
    try:
        return ("value", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(exc), str(exc))


class _IterFails:
    def __iter__(self):
        raise TypeError("own failure")


def _two_then_fail():
    yield 1
    yield 2
    raise LookupError("third")


def _python_unpack(value):
    first, second = value
    return (first, second)


@pytest.mark.parametrize(
    "make",
    [lambda: (1, 2), lambda: "ab", lambda: iter([3, 4]), lambda: [1], lambda: [], lambda: [1, 2, 3],
     lambda: 5, lambda: None, _IterFails, _two_then_fail],
    ids=["tuple", "text", "iterator", "one", "none-left", "three", "int", "None", "iter-fails",
         "fails-after-two"],
)
def test_unpack_pair_is_python_unpacking(native_probe, make):
    assert _outcome(native_probe.unpack_pair, make()) == _outcome(_python_unpack, make())


def _target(**kwargs):
    return kwargs


class _KeysOnly:
    """A mapping by protocol: keys() and item lookup."""

    def __init__(self, **items):
        self.items = items

    def keys(self):
        return list(self.items)

    def __getitem__(self, key):
        return self.items[key]


class _LyingMapping(_KeysOnly):
    def __getitem__(self, key):
        raise KeyError(key)


class _KeysFail(_KeysOnly):
    def keys(self):
        raise AttributeError("inside keys()")


@pytest.mark.parametrize(
    ("keywords", "extra"),
    [({"a": 1}, {"b": 2}), ({"a": 1}, {"a": 2}), ({}, [("a", 1)]), ({}, None),
     ({"a": 1}, _KeysOnly(b=2, a=3)), ({}, _KeysOnly(c=1)), ({}, {1: 2}), ({}, _LyingMapping(x=1)),
     ({}, _KeysFail())],
    ids=["merged", "repeated", "list", "None", "mapping-repeats", "mapping", "number-key",
         "getitem-key-error", "keys-attribute-error"],
)
@pytest.mark.parametrize("fn", [_target, dict, OneStep(), len], ids=["function", "class", "instance", "builtin"])
def test_unpacked_keywords_fail_as_the_interpreter_fails(native_probe, fn, keywords, extra):
    def python_call():
        return fn(**keywords, **extra)

    assert _outcome(native_probe.call_unpacking, fn, keywords, extra) == _outcome(python_call)


def _function_str_of(fn):
    """The interpreter's own name for `fn`, read off one of its call errors."""
    try:
        fn(**[])
    except TypeError as exc:
        return str(exc).removesuffix(" argument after ** must be a mapping, not list")
    raise AssertionError("no error")  # pragma: no cover


class _OddModule:
    __qualname__ = "Odd"
    __module__ = 42

    def __call__(self, **kwargs):
        return kwargs  # pragma: no cover


@pytest.mark.parametrize(
    "fn",
    [_target, len, dict, "text".format, OneStep().__await__, functools.partial(len), _OddModule()],
    ids=["function", "builtin", "class", "builtin-method", "method", "no-qualname", "odd-module"],
)
def test_function_str_is_the_interpreters(native_probe, fn):
    assert native_probe.function_str(fn) == _function_str_of(fn)


class _Attributes:
    plain = "here"

    @property
    def missing(self):
        raise AttributeError("computed and absent")

    @property
    def broken(self):
        raise ValueError("cannot compute")


@pytest.mark.parametrize("name", ["plain", "missing", "absent", "broken"])
def test_hasattr_and_getattr_with_default_are_pythons(native_probe, name):
    obj = _Attributes()
    assert _outcome(native_probe.has_attribute, obj, name) == _outcome(hasattr, obj, name)
    assert (_outcome(native_probe.attribute_or, obj, name, "fallback")
            == _outcome(getattr, obj, name, "fallback"))


class _BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class _SyncManager:
    def __init__(self, answer=None, fail_on_exit=False):
        self.answer = answer
        self.fail_on_exit = fail_on_exit
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")

    def __exit__(self, exc_type, exc, tb):
        self.calls.append(("exit", exc_type, None if exc is None else str(exc), tb))
        if self.fail_on_exit:
            raise OSError("exit failed")
        return self.answer


def test_with_block_normal_path(native_probe):
    manager = _SyncManager()
    assert native_probe.with_block(manager, lambda: "result") == ("done", "result")
    assert manager.calls == ["enter", ("exit", None, None, None)]


def test_with_block_error_without_traceback_reaches_exit(native_probe):
    # iter() fails inside the interpreter's C code, outside any frame.
    manager = _SyncManager()
    with pytest.raises(TypeError, match=r"^iter expected at least 1 argument, got 0$"):
        native_probe.with_block(manager, iter)
    assert manager.calls == ["enter", ("exit", TypeError, "iter expected at least 1 argument, got 0", None)]


def test_with_block_swallowing_exit(native_probe):
    manager = _SyncManager(answer=1)
    assert native_probe.with_block(manager, _raise_value_error) == ("swallowed",)
    (_, (_, exc_type, message, traceback)) = manager.calls
    assert (exc_type, message) == (ValueError, "boom") and traceback is not None


@pytest.mark.parametrize(("manager", "error"), [(_SyncManager(fail_on_exit=True), OSError),
                                                (_SyncManager(answer=_BadBool()), ZeroDivisionError)],
                         ids=["exit-raises", "answer-without-truth"])
def test_with_block_failing_exit_chains_the_body_exception(native_probe, manager, error):
    with pytest.raises(error) as raised:
        native_probe.with_block(manager, _raise_value_error)
    assert type(raised.value.__context__) is ValueError and str(raised.value.__context__) == "boom"
    with pytest.raises(error) as in_python, manager:
        _raise_value_error()
    assert type(in_python.value.__context__) is ValueError


def test_async_with_answer_without_truth_chains_the_body_exception(native_probe):
    manager = Manager(suppress=_BadBool())

    async def body(entered):
        raise ValueError("first")

    with pytest.raises(ZeroDivisionError, match="^no truth$") as raised:
        asyncio.run(native_probe.with_manager(manager, body))
    assert type(raised.value.__context__) is ValueError

    async def in_python():
        async with Manager(suppress=_BadBool()):
            raise ValueError("first")

    with pytest.raises(ZeroDivisionError) as reference:
        asyncio.run(in_python())
    assert type(reference.value.__context__) is ValueError


def test_global_by_name_reads_the_module_then_builtins(native_probe, monkeypatch):
    assert native_probe.read_global("PROBE_CONSTANT") == 7
    assert native_probe.read_global("len") is len
    monkeypatch.setattr(native_probe, "len", "shadowed", raising=False)
    assert native_probe.read_global("len") == "shadowed"
    with pytest.raises(NameError, match=r"^name 'not_there' is not defined$"):
        native_probe.read_global("not_there")
