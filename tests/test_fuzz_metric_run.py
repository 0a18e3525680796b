"""Property: the compiled metric run and its plain-Python rendering under bench/
give the same outcome on any table (same result, or the same exception type and
message) and leave the caller's table changed in the same way."""

from __future__ import annotations

import asyncio
import pathlib
import sys

import pandas as pd
import pytest
from fuzz_support import PLAIN_TEXT, assert_no_internal_text, cells, examples, tables, tally, watchdog
from hypothesis import given
from hypothesis import strategies as st

import zentra_lumara_gov.evaluators.impl.metric_run_impl as run_impl
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.utils import segment_batch_manager

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import python_metric_run  # noqa: E402

STAMPS = ("record_id", "record_timestamp")


def visible(data: pd.DataFrame) -> str:
    """The table as a metric sees it, less the fresh ids and times (they differ run to run)."""
    kept = data.loc[:, [name not in STAMPS for name in data.columns]]
    stamped = [name for name in STAMPS if name in set(data.columns)]
    return repr((list(data.columns), list(data.index), stamped, kept.astype(object).values.tolist(),
                 [str(dtype) for dtype in kept.dtypes]))


class SummaryMetric:
    """A metric whose result is what it was handed; it may depend on another or fail."""

    def __init__(self, name, dependencies=(), fail=None):
        self.name = name
        self.metric_dependencies = list(dependencies)
        self.fail = fail

    def _summary(self, data, kwargs):
        if self.fail is not None:
            raise self.fail
        return (self.name, visible(data), sorted(kwargs))

    def evaluate(self, data, configuration, **kwargs):
        return self._summary(data, kwargs)

    def evaluate_async(self, data, configuration, **kwargs):
        async def compute():
            await asyncio.sleep(0)
            return self._summary(data, kwargs)

        return compute()


@st.composite
def metric_lists(draw):
    base = SummaryMetric("base")
    chosen = [SummaryMetric("plain")]
    if draw(st.booleans()):
        chosen.append(SummaryMetric("dependent", dependencies=[base]))
    if draw(st.integers(0, 5)) == 0:
        chosen.append(SummaryMetric("failing", fail=draw(st.sampled_from(
            [ValueError("bad value"), KeyError("k"), RuntimeError("caf\u00e9")]))))
    return chosen


def data_forms(draw):
    """The three shapes the run accepts: a table, one record, a list of records."""
    form = draw(st.sampled_from(["table", "record", "records"]))
    if form == "table":
        return draw(tables(required=("question", "answer", "record_id", "record_timestamp")))
    record = st.dictionaries(st.one_of(st.sampled_from(["question", "answer", "record_id"]), PLAIN_TEXT),
                             cells(), max_size=4)
    if form == "record":
        return draw(record)
    return draw(st.lists(record, max_size=3))


def copy_of(data):
    return data.copy() if isinstance(data, pd.DataFrame) else [dict(r) for r in data] if isinstance(data, list) \
        else dict(data)


def run(call, configuration, data, metrics):
    """The outcome of one run, with the caller's table as it is afterwards."""
    segment_batch_manager.clear_recorded_events()
    try:
        with watchdog():
            result = call(configuration, data, metrics, api_client="client", extra="kw")
        value = ("value", [r for r in result.metrics_result])
    except Exception as error:  # noqa: BLE001 - compared below
        assert_no_internal_text(error)
        value = ("raised", type(error), str(error))
    tally(value[0] if value[0] == "value" else f"raised {value[1].__name__}")
    events = [event["custom.metric_name"] for event in segment_batch_manager.recorded_events()]
    after = visible(data) if isinstance(data, pd.DataFrame) else repr(data)
    return value, events, after


@pytest.mark.parametrize("mode", ["blocking", "async"])
@examples(300)
@given(data=st.data())
def test_metric_run_matches_the_python_rendering(monkeypatch, mode, data):
    monkeypatch.delenv("LUMARA_SERVER", raising=False)
    table = data_forms(data.draw)
    metrics = data.draw(metric_lists())
    output_fields = data.draw(st.sampled_from([[], ["answer"], ["nope"], ["question", "answer"]]))
    configuration = GenAIConfiguration(output_fields=output_fields)
    if mode == "blocking":
        native = run(run_impl._evaluate_metrics, configuration, copy_of(table), metrics)
        python = run(python_metric_run.evaluate_metrics, configuration, copy_of(table), metrics)
    else:
        native = run(lambda *a, **k: asyncio.run(run_impl._evaluate_metrics_async(*a, **k)),
                     configuration, copy_of(table), metrics)
        python = run(lambda *a, **k: asyncio.run(python_metric_run.evaluate_metrics_async(*a, **k)),
                     configuration, copy_of(table), metrics)
    assert native == python
