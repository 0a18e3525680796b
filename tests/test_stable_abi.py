"""The native toolkit on the interpreter's public, limited C API only: type names
in its messages, `**` merging, the exception being handled, a coroutine's
finalizer, frame and release still behave as the interpreter's own; and the
package is the stable-ABI build that loads on every CPython from 3.12 on."""

from __future__ import annotations

import array
import collections
import decimal
import gc
import inspect
import pathlib
import re
import sys
import types
import warnings
import weakref

import numpy
import pytest

import zentra_lumara_gov


def _outcome(action):
    """("value", v) or (exception type, message) of action()."""
    try:
        return ("value", action())
    except Exception as exc:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(exc), str(exc))


class Outer:
    class Inner:
        pass


def _renamed():
    class Original:
        pass

    Original.__name__ = "Renamed"
    return Original()


# One object of each way a type gets its name: a builtin, static types of C
# modules (named "module.Name"), types made from a spec by C modules, classes
# of class statements (their bare name, even nested or renamed) and one made
# by type() with a dotted name.
OBJECTS = {
    "builtin": lambda: 5,
    "static": lambda: decimal.Decimal(1),
    "static-numpy": lambda: numpy.arange(3),
    "static-mapping": collections.OrderedDict,
    "from-spec": lambda: array.array("i"),
    "from-spec-re": lambda: re.compile("x"),
    "nested-class": Outer.Inner,
    "renamed-class": _renamed,
    "dotted-name": lambda: type("pkg.Dotted", (), {})(),
}


def _python_with(obj):
    with obj:
        return "entered"


def _python_unpack(obj):
    first, second = obj
    return first, second


def _target(**kwargs):
    return kwargs


def _await(awaitable_fn, obj):
    coroutine = awaitable_fn(obj)
    try:
        return coroutine.send(None)
    finally:
        coroutine.close()


async def _python_await_one(obj):
    return await obj


# (native, Python) for each statement whose error names the type.
STATEMENTS = {
    "with": (lambda probe, obj: probe.with_block(obj, lambda: "entered"), lambda obj: _python_with(obj)),
    "unpack": (lambda probe, obj: probe.unpack_pair(obj), _python_unpack),
    "double-star": (lambda probe, obj: probe.call_unpacking(_target, {}, obj), lambda obj: _target(**obj)),
    "await": (lambda probe, obj: _await(probe.await_one, obj), lambda obj: _await(_python_await_one, obj)),
}


@pytest.mark.parametrize("statement", STATEMENTS)
@pytest.mark.parametrize("make", OBJECTS.values(), ids=OBJECTS.keys())
def test_messages_name_each_kind_of_type_as_the_interpreter(native_probe, statement, make):
    native, python = STATEMENTS[statement]
    assert _outcome(lambda: native(native_probe, make())) == _outcome(lambda: python(make()))


class _KeysIgnored(dict):
    """Iterates as a dict: the interpreter reads its entries, not keys() and []."""

    def keys(self):
        return ["other"]

    def __getitem__(self, key):
        return "through []"


class _OwnIteration(dict):
    """Iterates its own way: read through keys() and []."""

    def __iter__(self):
        return iter(["a"])

    def keys(self):
        return ["b"]

    def __getitem__(self, key):
        return f"[{key}]"


class _CollidesWith:
    """A key hashed as "a" whose comparison adds an entry to `mapping`."""

    def __init__(self, mapping):
        self.mapping = mapping

    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        self.mapping["added"] = 1
        return False


def _mutated_during_merge():
    extra = {}
    extra[_CollidesWith(extra)] = 2
    return extra


MAPPINGS = {
    "dict": lambda: {"b": 2},
    "keys-ignored": lambda: _KeysIgnored(b=2),
    "own-iteration": lambda: _OwnIteration(b=2),
    "ordered": lambda: collections.OrderedDict(b=2, c=3),
    "counter-repeats": lambda: collections.Counter(a=5),
    "proxy": lambda: types.MappingProxyType({"b": 2}),
    "proxy-repeats": lambda: types.MappingProxyType({"a": 2}),
    "empty": dict,
    "mutated-during-merge": _mutated_during_merge,
}


@pytest.mark.parametrize("make", MAPPINGS.values(), ids=MAPPINGS.keys())
def test_double_star_merges_every_kind_of_mapping_as_the_interpreter(native_probe, make):
    native = _outcome(lambda: native_probe.call_unpacking(_target, {"a": 1}, make()))
    assert native == _outcome(lambda: _target(a=1, **make()))


# --- the exception being handled -------------------------------------------------------

class _SwallowingManager:
    def __enter__(self):
        return None

    def __exit__(self, *exc_info):
        return True

    async def __aenter__(self):
        return None

    async def __aexit__(self, *exc_info):
        return True


def _raise():
    raise ValueError("body")


async def _raise_async(entered):
    raise ValueError("body")


async def _python_async_with(manager, body):
    async with manager as entered:
        return await body(entered)


def _python_sync_with():
    with _SwallowingManager():
        _raise()


class _Suspend:
    def __await__(self):
        yield "suspended"


# Each runs, in the coroutine that calls it, a with block whose body raises
# and whose exit swallows the exception; the asynchronous ones are awaited.
WITH_BLOCKS = {
    "native with": lambda probe: probe.with_block(_SwallowingManager(), _raise),
    "python with": lambda probe: _python_sync_with(),
    "native async with": lambda probe: probe.with_manager(_SwallowingManager(), _raise_async),
    "python async with": lambda probe: _python_async_with(_SwallowingManager(), _raise_async),
}


@pytest.mark.parametrize("kind", ["with", "async with"])
def test_the_handled_exception_is_put_back_exactly(native_probe, kind):
    """A coroutine started inside an `except` block and resumed after it sees
    the handled exception only while the block lasts, as in Python."""

    def observe(block):
        seen = []

        async def inner():
            ran = block(native_probe)
            if inspect.isawaitable(ran):
                await ran
            seen.append(sys.exc_info()[1])
            await _Suspend()
            seen.append(sys.exc_info()[1])

        coroutine = inner()
        try:
            raise KeyError("outer")
        except KeyError:
            coroutine.send(None)
        with pytest.raises(StopIteration):
            coroutine.send(None)
        return [repr(exc) for exc in seen]

    native, python = observe(WITH_BLOCKS[f"native {kind}"]), observe(WITH_BLOCKS[f"python {kind}"])
    assert native == python == ["KeyError('outer')", "None"]


# --- finalizer, frame, release ---------------------------------------------------------

async def _python_await_with_cleanup(awaitable, cleanup, log):
    failure = None
    try:
        await awaitable
    except BaseException as error:  # noqa: BLE001 - what the native twin catches
        log.append(("caught", type(error)))
        failure = error
    await cleanup()
    log.append("cleaned up")
    if failure is not None:
        raise failure


class _OneStep:
    def __await__(self):
        yield "step"


async def _cleanup_that_suspends():
    await _Suspend()


@pytest.mark.parametrize("through_collector", [False, True], ids=["dropped", "collected"])
def test_the_finalizer_runs_once(native_probe, monkeypatch, through_collector):
    """A coroutine that ignores GeneratorExit is reported once when it goes, by
    its last reference or by the collector, as a Python coroutine is."""

    def reports(make):
        reported = []
        monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(
            (type(report.exc_value).__name__, str(report.exc_value))))
        entries = []

        class Log(list):  # what the coroutine logs, also kept outside it
            def append(self, entry):
                entries.append(entry)
                super().append(entry)

        log = Log()
        coroutine = make(_OneStep(), _cleanup_that_suspends, log)
        coroutine.send(None)
        if through_collector:
            list.append(log, coroutine)  # coroutine -> its frame -> log -> coroutine
        del coroutine, log
        gc.collect()
        monkeypatch.undo()
        return reported, entries

    native = reports(native_probe.await_with_cleanup)
    python = reports(_python_await_with_cleanup)
    assert native == python == ([("RuntimeError", "coroutine ignored GeneratorExit")],
                                [("caught", GeneratorExit)])


def test_a_long_chain_of_coroutines_is_released(native_probe):
    innermost = native_probe.give_back(None)
    chain = innermost
    for _ in range(100_000):
        chain = native_probe.await_one(chain)
    released = [weakref.ref(innermost), weakref.ref(chain)]
    del innermost
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # never awaited, each of them
        del chain
        gc.collect()
    assert [ref() for ref in released] == [None, None]


def test_the_frame_stands_for_the_coroutine_until_it_closes(native_probe):
    coroutine = native_probe.give_back(1)
    frame = coroutine.cr_frame
    code = frame.f_code
    assert (code.co_name, code.co_qualname, code.co_filename) == ("give_back", "give_back", "<native>")
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CREATED
    with pytest.raises(StopIteration):
        coroutine.send(None)
    assert coroutine.cr_frame is None
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED


# --- the build -------------------------------------------------------------------------

def test_every_extension_module_is_built_for_the_stable_abi():
    top = pathlib.Path(zentra_lumara_gov.__file__).parent
    shared = sorted(path.relative_to(top).as_posix() for path in top.rglob("*.so"))
    assert shared == [
        "evaluators/impl/metric_run_impl.abi3.so",
        "evaluators/impl/model_risk_run_impl.abi3.so",
        "libnanobind-abi3.so",
        "providers/screener_provider.abi3.so",
        "providers/tallyx_provider.abi3.so",
        "providers/verdix_provider.abi3.so",
        "tools/utils/platform_endpoint_table.abi3.so",
        "utils/endpoint_table.abi3.so",
    ]
