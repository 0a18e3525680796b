"""Native functions against Python twins: argument binding and its errors,
pickling by name, __globals__, __annotations__, builtins; the `with` block's
special-method lookup; __context__ chaining without cycles."""

from __future__ import annotations

import copy
import gc
import inspect
import pickle
import sys
import typing
import unittest.mock
import weakref

import pandas as pd
import pytest

from zentra_lumara_gov.evaluators.impl import metric_run_impl
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider
from zentra_lumara_gov.providers.tallyx_provider import TallyxProvider
from zentra_lumara_gov.providers.verdix_provider import VerdixProvider


# The Python twins of the probe's functions (same names, same parameters).
def strict(a, /, b, c=3, *, d, e=5):
    return (a, b, c, d, e)


def one(x):
    return (x,)


def pair(a, b, /, c):
    return (a, b, c)


def four(a, b, c, d):
    return (a, b, c, d)


class ScreenerTwin:
    def set_metric_name(self, metric_name):
        return metric_name


ScreenerTwin.set_metric_name.__qualname__ = "ScreenerProvider.set_metric_name"


def _outcome(call):
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


BINDING_CASES = [
    ("strict", (1, 2, 3, 4), {}),
    ("strict", (1, 2, 3, 4), {"d": 1}),
    ("strict", (1, 2, 3, 4), {"d": 1, "e": 2}),
    ("strict", (1, 2, 3, 4, 5), {"e": 2}),
    ("strict", (1, 2), {}),
    ("strict", (), {"b": 2, "d": 1}),
    ("strict", (1,), {"a": 2, "b": 1, "d": 1}),
    ("strict", (1, 2), {"zz": 1, "d": 1}),
    ("strict", (1, 2), {"d": 1}),
    ("strict", (1,), {"b": 2, "c": 4, "d": 1, "e": 6}),
    ("one", (1, 2), {"x": 3}),
    ("one", (1,), {"x": 1}),
    ("one", (1, 2), {}),
    ("one", (1, 2, 3), {"zz": 1}),
    ("one", (), {}),
    ("one", (), {"\udce9": 1}),
    ("one", (), {0: 1}),
    ("one", (1,), {"y": 1, "z": 2}),
    ("pair", (), {"c": 1, "zz": 2, "b": 3, "a": 4}),
    ("pair", (1,), {"b": 2, "c": 3}),
    ("pair", (1, 2, 3, 4), {"c": 1}),
    ("four", (), {}),
    ("four", (1,), {}),
    ("four", (1, 2), {}),
    ("four", (1, 2, 3), {}),
    ("four", (1, 2), {"d": 4}),
    ("four", (1, 2, 3, 4, 5), {"a": 0}),
]


@pytest.mark.parametrize(("name", "args", "kwargs"), BINDING_CASES)
def test_binding_matches_python(native_probe, name, args, kwargs):
    twin = globals()[name]
    native = getattr(native_probe, name)
    assert _outcome(lambda: native(*args, **kwargs)) == _outcome(lambda: twin(*args, **kwargs))


@pytest.mark.parametrize(("args", "kwargs"), [(("a", "b"), {"metric_name": "c"}), (("a", "b"), {}),
                                              ((), {"metric_name": "c", "name": "d"})])
def test_provider_method_binding_matches_python(args, kwargs):
    native = _outcome(lambda: ScreenerProvider.set_metric_name(object(), *args, **kwargs))
    assert native == _outcome(lambda: ScreenerTwin.set_metric_name(object(), *args, **kwargs))


NATIVE_FUNCTIONS = [
    metric_run_impl._evaluate_metrics,
    metric_run_impl._evaluate_metrics_async,
    ScreenerProvider.evaluate,
    ScreenerProvider.evaluate_async,
    TallyxProvider.evaluate,
    VerdixProvider.evaluate,
]


@pytest.mark.parametrize("function", NATIVE_FUNCTIONS, ids=lambda f: f.__qualname__)
def test_native_functions_pickle_and_copy_by_name(function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy({"f": function})["f"] is function


def test_type_hints_read_the_module_globals():
    hints = typing.get_type_hints(metric_run_impl._evaluate_metrics)
    assert metric_run_impl._evaluate_metrics.__globals__ is vars(metric_run_impl)
    assert hints["data"] == pd.DataFrame | dict | list[dict]
    assert hints["return"] is metric_run_impl.MetricsEvaluationResult
    assert ScreenerProvider.evaluate.__globals__ is vars(sys.modules[ScreenerProvider.__module__])


def _annotation_story(function):
    """What a Python function shows through a series of changes to __annotations__."""
    seen = [dict(function.__annotations__), function.__annotations__ is function.__annotations__]
    function.__annotations__["extra"] = int
    seen.append(dict(function.__annotations__))
    function.__annotations__ = {"x": str}
    seen.append(dict(function.__annotations__))
    seen.append(_outcome(lambda: setattr(function, "__annotations__", 1)))
    del function.__annotations__
    seen.append(dict(function.__annotations__))
    function.__annotations__ = None
    seen.append(dict(function.__annotations__))
    return seen


def test_annotations_are_one_dict_that_keeps_assignments(native_probe):
    def twin(x):
        return x

    assert _annotation_story(native_probe.one) == _annotation_story(twin)


def test_globals_fall_back_to_the_module_builtins(native_probe):
    # Code running with builtins of its own: the interpreter still gives a
    # function the builtins of the function's module, never the caller's.
    namespace = {"__builtins__": {"len": "the caller's len"}, "read": native_probe.read_global}
    exec("found = read('len')", namespace)
    assert namespace["found"] is len
    builtins = vars(native_probe)["__builtins__"]
    assert (builtins if isinstance(builtins, dict) else vars(builtins))["len"] is len


def test_signature_built_twice_at_once_keeps_one(native_probe, monkeypatch):
    made = []
    original = inspect.Signature

    class Tracked(original):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(weakref.ref(self))
            if len(made) == 1:
                # Another request while the first is being built.
                inner.append(native_probe.four.__signature__)

    inner = []
    monkeypatch.setattr(inspect, "Signature", Tracked)
    outer = native_probe.four.__signature__
    assert outer is inner[0] is native_probe.four.__signature__
    del outer, inner[:]
    gc.collect()
    assert sum(ref() is not None for ref in made) == 1


# --- with ---------------------------------------------------------------------------------


class Recorder:
    log: list = []

    def __enter__(self):
        Recorder.log.append(("enter", type(self).__name__))
        return self

    def __exit__(self, *exc_info):
        Recorder.log.append(("exit", exc_info[0], sys.exc_info()[1] is exc_info[1]))
        return False


class ClassEnter(Recorder):
    @classmethod
    def __enter__(cls):
        Recorder.log.append(("enter", cls.__name__))


class StaticExit(Recorder):
    @staticmethod
    def __exit__(*exc_info):
        Recorder.log.append(("static exit", exc_info[0]))


class EnterOnly:
    def __enter__(self):
        return self


class OnInstance:
    def __init__(self):
        self.__enter__ = lambda: None
        self.__exit__ = lambda *a: None


def _mock():
    manager = unittest.mock.MagicMock()
    manager.__exit__.return_value = False
    return manager


MANAGERS = {
    "plain": Recorder,
    "classmethod-enter": ClassEnter,
    "staticmethod-exit": StaticExit,
    "enter-only": EnterOnly,
    "on-instance": OnInstance,
    "object": object,
    "magic-mock": _mock,
}


def _fail():
    raise ValueError("in the body")


@pytest.mark.parametrize("body", [lambda: "result", _fail], ids=["returns", "raises"])
@pytest.mark.parametrize("make", MANAGERS.values(), ids=MANAGERS.keys())
def test_with_block_is_the_with_statement(native_probe, make, body):
    def in_python(manager):
        with manager:
            return ("done", body())

    def observe(run):
        Recorder.log = []
        manager = make()
        outcome = _outcome(lambda: run(manager))
        calls = manager.__exit__.call_args_list if isinstance(manager, unittest.mock.MagicMock) else []
        calls = [(c.args[0], type(c.args[1])) for c in calls]
        return outcome, Recorder.log, calls, sys.exc_info()

    assert observe(lambda m: native_probe.with_block(m, body)) == observe(in_python)


# --- __context__ chaining -------------------------------------------------------------


def _chain(exc, limit=6):
    names = []
    while exc is not None and len(names) < limit:
        names.append(str(exc))
        exc = exc.__context__
    return names


def _cases():
    """(raised, context) pairs, each built fresh."""
    def reraised_context():
        key = KeyError("k")
        value = ValueError("v")
        value.__context__ = key
        return key, value

    def cycle_elsewhere():
        a, b, raised = OSError("a"), OSError("b"), OSError("c")
        a.__context__, b.__context__ = b, a
        return raised, a

    def plain():
        return OSError("c"), ValueError("v")

    return {"reraised-context": reraised_context, "cycle-elsewhere": cycle_elsewhere, "plain": plain}


@pytest.mark.parametrize("case", _cases().keys())
def test_chain_context_breaks_cycles_as_the_interpreter(native_probe, case):
    raised, context = _cases()[case]()
    native = native_probe.chain_context(raised, context)
    native_chains = (_chain(native), _chain(context))

    raised, context = _cases()[case]()
    try:
        try:
            raise context
        except BaseException:
            raise raised  # noqa: B904 - the chaining is what is compared
    except BaseException as error:
        python = error
    assert native_chains == (_chain(python), _chain(context))


class Specials:
    def plain(self):
        return "plain"

    @classmethod
    def of_class(cls):
        return cls

    @staticmethod
    def static():
        return "static"

    value = 7


@pytest.mark.parametrize("name", ["plain", "of_class", "static", "value", "on_instance", "absent"])
def test_special_method_lookup_binds_from_the_type(native_probe, name):
    instance = Specials()
    instance.on_instance = lambda: "instance"
    found, bound = native_probe.special_method(instance, name)
    # The interpreter's lookup: the type's attribute, through its __get__.
    attribute = inspect.getattr_static(Specials, name, None)
    assert found is (attribute is not None)
    if found:
        expected = attribute.__get__(instance, Specials) if hasattr(attribute, "__get__") else attribute
        assert bound == expected


@pytest.mark.parametrize("key", [0, 1.5, None, "a", "caf\udce9"])
@pytest.mark.parametrize("fn", ["{}".format, dict, one], ids=["builtin", "class", "function"])
def test_repeated_unpacked_keys_of_any_kind(native_probe, fn, key):
    native = _outcome(lambda: native_probe.call_unpacking(fn, {key: 1}, {key: 2}))
    assert native == _outcome(lambda: fn(**{key: 1}, **{key: 2}))
