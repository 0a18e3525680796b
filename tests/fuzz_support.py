"""Shared pieces of the property-based tests: the example budgets, strategies
for odd tables and values, and the outcome of a call as a comparable value.

Two budgets: the bounded one CI runs (``ZLG_FUZZ`` unset) and a long one
(``ZLG_FUZZ=long``). Every property runs in this process on purpose: an
interpreter crash takes pytest down with it, and that fails the run.
"""

from __future__ import annotations

import contextlib
import faulthandler
import math
import os
import sys

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, event, settings
from hypothesis.errors import InvalidArgument
from hypothesis import strategies as st

settings.register_profile(
    "bounded", max_examples=200, deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)
settings.register_profile(
    "long", max_examples=5000, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)
settings.load_profile("long" if os.environ.get("ZLG_FUZZ") == "long" else "bounded")


def examples(bounded: int) -> settings:
    """The example budget of one property: ``bounded`` in CI, twenty-five times that in the long
    run, a quarter of it in the sanitized run (every call there is two to three times slower,
    and what it looks for, a bad memory access, shows on any example that reaches it)."""
    if os.environ.get("ZLG_FUZZ") == "long":
        return settings(max_examples=bounded * 25)
    return settings(max_examples=bounded // 4 if os.environ.get("ZLG_SANITIZED") else bounded)


# Text that only our own C++ layers could have put into a message.
INTERNAL_TEXT = ("std::", "nanobind", "basic_string", "what():", "zlg::", "__cxx11", "nb::")


def assert_no_internal_text(error: BaseException) -> None:
    """A message, and every message it was chained from, tells nothing of the native layer."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        text = repr(error)
        assert not any(word in text for word in INTERNAL_TEXT), f"native detail leaked: {text!r}"
        assert not isinstance(error, SystemError), f"SystemError: {text!r}"
        error = error.__cause__ or error.__context__


def tally(kind: str) -> None:
    """Notes an outcome as a hypothesis event (outside a property there is nothing to note)."""
    try:
        event(kind)
    except InvalidArgument:
        pass


@contextlib.contextmanager
def watchdog(seconds: float = 120.0):
    """Ends the process with every thread's traceback if the block runs longer than ``seconds``:
    a hang, in Python or in native code, fails the run instead of stalling it."""
    faulthandler.dump_traceback_later(seconds, exit=True, file=sys.__stderr__)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def outcome(call, *args, **kwargs):
    """("value", result) or ("raised", type, message) of one call, checked for native detail.

    Each outcome is noted as a hypothesis event, so --hypothesis-show-statistics tells how the
    examples split between results and each kind of error."""
    try:
        with watchdog():
            result = ("value", call(*args, **kwargs))
        tally("value")
        return result
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        assert_no_internal_text(error)
        cause = error.__cause__ or error.__context__
        tally(f"raised {type(error).__name__}" + (f" from {type(cause).__name__}" if cause else ""))
        return ("raised", type(error), str(error))


# ---------------------------------------------------------------- values

# Half of them in the range surrogateescape gives undecodable bytes (file names, environment).
LONE_SURROGATES = st.one_of(st.characters(min_codepoint=0xDC80, max_codepoint=0xDCFF),
                            st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF))
PLAIN_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=40)
WIDE_TEXT = st.sampled_from(["", " ", "café", "日本語のテキスト", "emoji 🧪🚀", "tab\tnew\nline", "quote \" ' {x}",
                             "{", "}", "{0}", "\x00nul", "ﬁ ligature", "RTL \u202e text"])
HUGE_TEXT = st.builds(lambda piece, count: piece * count, st.sampled_from(["a", "é", "語", "🧪 "]),
                      st.integers(10_000, 200_000))
SURROGATE_TEXT = st.builds(lambda head, lone, tail: head + lone + tail, PLAIN_TEXT, LONE_SURROGATES, PLAIN_TEXT)


def texts(surrogates: bool = True, huge: bool = True) -> st.SearchStrategy[str]:
    choices = [PLAIN_TEXT, WIDE_TEXT]
    if huge:
        choices.append(HUGE_TEXT)
    if surrogates:
        choices.append(SURROGATE_TEXT)
    return st.one_of(*choices)


def mostly(common: st.SearchStrategy, rare: st.SearchStrategy, one_in: int) -> st.SearchStrategy:
    """``common``, except one draw in ``one_in`` taken from ``rare``."""
    return st.integers(1, one_in).flatmap(lambda pick: rare if pick == 1 else common)


def cells(surrogates: bool = True, huge: bool = True) -> st.SearchStrategy:
    """Cell values of a record table: mostly text, and everything else a caller might leave there."""
    odd = st.one_of(
        st.none(), st.just(float("nan")), st.just(np.nan), st.just(pd.NA), st.just(pd.NaT),
        st.integers(-(2**70), 2**70), st.floats(allow_nan=True, allow_infinity=True), st.booleans(),
        st.lists(PLAIN_TEXT, max_size=3), st.dictionaries(PLAIN_TEXT, PLAIN_TEXT, max_size=2),
        st.binary(max_size=8),
    )
    # Mostly text, as in a real table; one cell in eight is something else.
    return mostly(texts(surrogates, huge), odd, one_in=8)


COLUMN_NAMES = st.one_of(st.sampled_from(["question", "answer", "contexts", "record_id", "record_timestamp",
                                          "ground_truth"]),
                         PLAIN_TEXT, st.integers(-3, 3), st.none(), st.floats(allow_nan=True), st.just(("a", 1)))


def index_of(length: int) -> st.SearchStrategy:
    return st.one_of(
        st.just(pd.RangeIndex(length)),
        st.just(pd.RangeIndex(start=10, stop=10 + 3 * length, step=3)),
        st.lists(st.one_of(st.integers(-5, 5), PLAIN_TEXT), min_size=length, max_size=length).map(pd.Index),
        st.just(pd.date_range("2026-01-01", periods=length)),
    )


def frame_of(data, **options) -> pd.DataFrame:
    """``pd.DataFrame(data)``; where pandas keeps texts in arrow strings (pandas 3 with
    pyarrow), which cannot hold lone surrogates, such a table is built of objects."""
    try:
        return pd.DataFrame(data, **options)
    except UnicodeEncodeError:
        return pd.DataFrame(data, dtype=object, **options)


@st.composite
def tables(draw, required=(), extra_columns: int = 3, max_rows: int = 4, surrogates: bool = True,
           huge: bool = True, cell_values=None) -> pd.DataFrame:
    """A record table: 0 to ``max_rows`` rows, the ``required`` columns (some may go missing),
    odd extra column names (repeated and non-text ones included) and an odd index."""
    rows = draw(st.integers(0, max_rows))
    values = cell_values or cells(surrogates, huge)
    names = [name for name in required if draw(st.integers(0, 24)) > 0]
    names += draw(st.lists(COLUMN_NAMES, max_size=extra_columns))
    if names and draw(st.integers(0, 4)) == 0:
        names.append(draw(st.sampled_from(names)))  # the same name twice
    columns = [draw(st.lists(values, min_size=rows, max_size=rows)) for _ in names]
    frame = frame_of(dict(enumerate(columns)), index=draw(index_of(rows)))
    frame.columns = names if names else frame.columns
    return frame


def same_values(left, right) -> bool:
    """Equality that takes two NaNs in the same place as equal."""
    if isinstance(left, float) and isinstance(right, float) and math.isnan(left) and math.isnan(right):
        return True
    if isinstance(left, (list, tuple)) and isinstance(right, (list, tuple)):
        return type(left) is type(right) and len(left) == len(right) and all(map(same_values, left, right))
    if isinstance(left, dict) and isinstance(right, dict):
        return left.keys() == right.keys() and all(same_values(left[k], right[k]) for k in left)
    return left == right
