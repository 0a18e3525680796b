"""The metric evaluation run: service client prelude, input preparation,
record stamping, dependency resolution, both run modes and their failures."""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import inspect
import os
import subprocess
import sys
import uuid

import pandas as pd
import pytest

import zentra_lumara_gov.evaluators.impl.metric_run_impl as run_impl
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
from zentra_lumara_gov.utils import segment_batch_manager
from pandas_versions import MISSING_TEXT

EMPTY_MESSAGE = "The provided data is empty for metrics computation."


class RecordingMetric:
    """A metric that records every call and returns a fixed value."""

    def __init__(self, name, dependencies=(), value="result", log=None, fail=None):
        self.name = name
        self.metric_dependencies = list(dependencies)
        self.value = f"{name}-result" if value == "result" else value
        self.calls = []
        self.log = log if log is not None else []
        self.fail = fail

    def evaluate(self, **kwargs):
        self.calls.append(kwargs)
        self.log.append(("evaluate", self.name))
        if self.fail:
            raise self.fail
        return self.value

    def evaluate_async(self, **kwargs):
        self.calls.append(kwargs)
        self.log.append(("created", self.name))

        async def compute():
            self.log.append(("started", self.name))
            await asyncio.sleep(0)
            if self.fail:
                raise self.fail
            return self.value

        return compute()


@pytest.fixture(autouse=True)
def clean_run_state(monkeypatch):
    """Every test starts outside a hosted environment with an empty client cache."""
    monkeypatch.delenv("LUMARA_SERVER", raising=False)
    monkeypatch.setattr(run_impl, "api_client_cache", None)
    segment_batch_manager.clear_recorded_events()


@pytest.fixture
def client_factory(monkeypatch):
    """Replaces APIClient in the run's namespace by a counting factory."""
    created = []

    def factory():
        created.append(object())
        return created[-1]

    monkeypatch.setattr(run_impl, "APIClient", factory)
    return created


@pytest.fixture
def configuration():
    return GenAIConfiguration(output_fields=[])


def records():
    return [{"question": "q1", "answer": 1}, {"question": "q2", "answer": 2}]


def event_names():
    return [event["custom.metric_name"] for event in segment_batch_manager.recorded_events()]


# ---------------------------------------------------------------- interface


def test_module_namespace_and_signatures():
    assert run_impl.os is os
    assert run_impl.datetime is datetime.datetime
    assert run_impl.pd is pd
    assert run_impl.uuid is uuid
    assert run_impl.MetricsEvaluationResult is MetricsEvaluationResult
    for name in ("APIClient", "AgenticAIConfiguration", "GenAIConfiguration", "MetricGroup",
                 "GenAIMetric", "gather_with_concurrency", "run_in_event_loop",
                 "SegmentBatchManager", "track_duration"):
        assert hasattr(run_impl, name), name
    expected = ("(configuration: 'GenAIConfiguration | AgenticAIConfiguration', "
                "data: 'pd.DataFrame | dict | list[dict]', metrics: 'list[GenAIMetric]', "
                "api_client: 'APIClient' = None, metric_groups: 'list[MetricGroup]' = [], "
                "**kwargs) -> 'MetricsEvaluationResult'")
    assert str(inspect.signature(run_impl._evaluate_metrics)) == expected
    assert str(inspect.signature(run_impl._evaluate_metrics_async)) == expected
    assert inspect.iscoroutinefunction(run_impl._evaluate_metrics_async)
    assert not inspect.iscoroutinefunction(run_impl._evaluate_metrics)
    for private in ("__validate_data", "__populate_record_id_timestamp"):
        assert str(inspect.signature(getattr(run_impl, private))) == "(configuration, data) -> 'None'"
    assert run_impl.__file__.endswith(".so")


@pytest.mark.parametrize("entry", ["_evaluate_metrics", "_evaluate_metrics_async"])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, c: f(c, records()), "missing 1 required positional argument: 'metrics'"),
        (lambda f, c: f(c, records(), [], None, [], "extra"),
         "takes from 3 to 5 positional arguments but 6 were given"),
        (lambda f, c: f(c, records(), [], data=records()), "got multiple values for argument 'data'"),
        (lambda f, c: f(c, records(), ()), 'argument "metrics" must be of type list, not tuple'),
        (lambda f, c: f(c, records(), [], metric_groups=()),
         'argument "metric_groups" must be of type list, not tuple'),
        (lambda f, c: f(c, records(), type("L", (list,), {})()),
         'argument "metrics" must be of type list, not L'),
    ],
    ids=["too-few", "too-many", "repeated", "metrics-tuple", "groups-tuple", "list-subclass"],
)
def test_argument_errors_before_any_work(entry, call, message, configuration, client_factory):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(getattr(run_impl, entry), configuration)
    assert client_factory == []


# ---------------------------------------------------------------- service client prelude


def run_both(configuration, data, metrics, **kwargs):
    blocking = run_impl._evaluate_metrics(configuration, data, metrics, **kwargs)
    concurrent = asyncio.run(run_impl._evaluate_metrics_async(configuration, data, metrics, **kwargs))
    return blocking, concurrent


def test_missing_client_is_created_once_per_process(configuration, client_factory):
    metric = RecordingMetric("m")
    run_both(configuration, records(), [metric])
    run_both(configuration, records(), [metric])
    assert len(client_factory) == 1
    assert all(call["api_client"] is client_factory[0] for call in metric.calls)
    assert run_impl.api_client_cache is client_factory[0]


@pytest.mark.parametrize("server", ["LMO", "LMAI", "LMGOV"])
def test_hosted_environments_keep_the_callers_client(monkeypatch, configuration, client_factory,
                                                     server):
    monkeypatch.setenv("LUMARA_SERVER", server)
    metric = RecordingMetric("m")
    run_both(configuration, records(), [metric])
    assert client_factory == []
    assert [call["api_client"] for call in metric.calls] == [None, None]


def test_environment_name_is_compared_exactly(monkeypatch, configuration, client_factory):
    monkeypatch.setenv("LUMARA_SERVER", "lmai")
    metric = RecordingMetric("m")
    run_impl._evaluate_metrics(configuration, records(), [metric])
    assert metric.calls[0]["api_client"] is client_factory[0]


def test_given_client_is_used(configuration, client_factory):
    client = object()
    metric = RecordingMetric("m")
    run_both(configuration, records(), [metric], api_client=client)
    assert client_factory == []
    assert [call["api_client"] for call in metric.calls] == [client, client]


def test_client_construction_failure_ends_the_run_before_the_table(monkeypatch, configuration):
    def failing():
        raise ValueError("no credentials")

    monkeypatch.setattr(run_impl, "APIClient", failing)
    with pytest.raises(ValueError, match="no credentials"):
        run_impl._evaluate_metrics(configuration, [], [RecordingMetric("m")])


# ---------------------------------------------------------------- input preparation


@pytest.mark.parametrize(
    "data", [[], pd.DataFrame(), pd.DataFrame({"question": []})], ids=["list", "frame", "no-rows"]
)
def test_empty_input_is_refused(configuration, client_factory, data):
    metric = RecordingMetric("m")
    for entry in (run_impl._evaluate_metrics,
                  lambda *a: asyncio.run(run_impl._evaluate_metrics_async(*a))):
        with pytest.raises(ValueError, match=f"^{EMPTY_MESSAGE}$"):
            entry(configuration, data, [metric])
    assert metric.calls == []
    if isinstance(data, pd.DataFrame):
        assert "record_id" not in data.columns


def test_one_record_as_a_dict(configuration, client_factory):
    metric = RecordingMetric("m")
    run_impl._evaluate_metrics(configuration, {"question": "q"}, [metric])
    table = metric.calls[0]["data"]
    assert list(table.columns) == ["question", "record_id", "record_timestamp"]
    assert len(table) == 1
    assert uuid.UUID(table["record_id"][0]).version == 4


def test_stamping_fills_missing_columns_on_the_callers_table(configuration, client_factory):
    table = pd.DataFrame(records())
    before = datetime.datetime.now()
    run_impl._evaluate_metrics(configuration, table, [RecordingMetric("m")])
    ids = table["record_id"].tolist()
    assert len(set(ids)) == 2
    assert all(str(uuid.UUID(text)) == text and uuid.UUID(text).version == 4 for text in ids)
    stamps = table["record_timestamp"].tolist()
    assert stamps[0] == stamps[1]
    assert before <= datetime.datetime.fromisoformat(stamps[0]) <= datetime.datetime.now()


def test_partially_filled_columns_are_left_alone_and_all_null_ones_replaced(configuration,
                                                                           client_factory):
    table = pd.DataFrame({"question": ["q1", "q2"], "record_id": ["a", None],
                          "record_timestamp": [None, None]})
    run_impl._evaluate_metrics(configuration, table, [RecordingMetric("m")])
    assert table["record_id"].tolist() == ["a", MISSING_TEXT]
    assert table["record_timestamp"].notna().all()

    all_null = pd.DataFrame({"question": ["q1", "q2"], "record_id": [None, None],
                             "record_timestamp": ["t", None]})
    run_impl._evaluate_metrics(configuration, all_null, [RecordingMetric("m")])
    assert all(uuid.UUID(text).version == 4 for text in all_null["record_id"])
    assert all_null["record_timestamp"].tolist() == ["t", MISSING_TEXT]


def test_custom_id_and_timestamp_columns(client_factory):
    configuration = GenAIConfiguration(record_id_field="rid", record_timestamp_field="ts",
                                       output_fields=[])
    table = pd.DataFrame(records())
    run_impl._evaluate_metrics(configuration, table, [RecordingMetric("m")])
    assert {"rid", "ts"} <= set(table.columns) and "record_id" not in table.columns


def test_output_fields_are_cast_to_text_for_metrics_only(client_factory):
    configuration = GenAIConfiguration(output_fields=["answer"])
    table = pd.DataFrame(records())
    metric = RecordingMetric("m")
    run_impl._evaluate_metrics(configuration, table, [metric])
    assert metric.calls[0]["data"]["answer"].tolist() == ["1", "2"]
    assert table["answer"].tolist() == [1, 2]
    assert metric.calls[0]["data"] is not table


def test_output_field_that_is_not_a_column_fails_in_the_cast(client_factory):
    configuration = GenAIConfiguration(output_fields=["missing"])
    with pytest.raises(KeyError):
        run_impl._evaluate_metrics(configuration, records(), [RecordingMetric("m")])


# ---------------------------------------------------------------- blocking run


def test_blocking_keywords_order_and_none_dropped(configuration, client_factory):
    log = []
    first = RecordingMetric("first", log=log, value=None)
    dependent = RecordingMetric("dependent", dependencies=[first], log=log)
    result = run_impl._evaluate_metrics(configuration, records(), [first, dependent],
                                        extra="x")
    assert isinstance(result, MetricsEvaluationResult)
    assert result.metrics_result == ["dependent-result"]
    assert set(first.calls[0]) == {"data", "configuration", "api_client", "extra"}
    assert set(dependent.calls[0]) == {"data", "configuration", "metrics_result", "api_client",
                                       "extra"}
    # The live list the run appends to, not a copy (None kept until the end).
    assert dependent.calls[0]["metrics_result"] == [None, "dependent-result"]
    assert event_names() == ["first", "dependent"]


def test_repeated_keyword_in_kwargs_is_a_type_error(configuration, client_factory):
    dependent = RecordingMetric("dependent", dependencies=[RecordingMetric("first")])
    message = (r"^test_metric_run\.RecordingMetric\.evaluate\(\) got multiple values for "
               r"keyword argument 'metrics_result'$")
    with pytest.raises(TypeError, match=message):
        run_impl._evaluate_metrics(configuration, records(), [dependent], metrics_result=[])
    with pytest.raises(TypeError, match=message.replace("evaluate", "evaluate_async")):
        asyncio.run(run_impl._evaluate_metrics_async(configuration, records(),
                                                     [RecordingMetric("m")], metrics_result=[]))


def test_failing_metric_ends_the_run_without_its_event(configuration, client_factory):
    metrics = [RecordingMetric("ok"), RecordingMetric("bad", fail=LookupError("broken"))]
    with pytest.raises(LookupError, match="broken"):
        run_impl._evaluate_metrics(configuration, records(), metrics)
    assert event_names() == ["ok"]


def test_context_manager_that_swallows_lets_the_run_go_on(monkeypatch, configuration,
                                                          client_factory):
    seen = []

    class Swallowing:
        def __init__(self, label):
            self.label = label

        def __enter__(self):
            return self

        def __exit__(self, exc_type, exc, tb):
            seen.append((self.label, exc_type, str(exc) if exc else None, tb is not None))
            return True

    monkeypatch.setattr(run_impl, "track_duration", Swallowing)
    metrics = [RecordingMetric("bad", fail=LookupError("broken")), RecordingMetric("ok")]
    result = run_impl._evaluate_metrics(configuration, records(), metrics)
    assert result.metrics_result == ["ok-result"]
    assert seen == [("Metric Evaluation - bad", LookupError, "broken", True),
                    ("Metric Evaluation - ok", None, None, False)]
    assert event_names() == ["bad", "ok"]


def test_blocking_run_works_inside_a_running_loop(configuration, client_factory):
    async def notebook_cell():
        return run_impl._evaluate_metrics(configuration, records(), [RecordingMetric("m")])

    assert asyncio.run(notebook_cell()).metrics_result == ["m-result"]
    assert event_names() == ["m"]


# ---------------------------------------------------------------- asynchronous run


def test_async_dependency_is_awaited_before_the_dependent_is_created(configuration,
                                                                    client_factory):
    log = []
    a = RecordingMetric("A", log=log)
    b = RecordingMetric("B", dependencies=[a], log=log)
    c = RecordingMetric("C", log=log)
    result = asyncio.run(run_impl._evaluate_metrics_async(configuration, records(), [a, b, c]))
    assert result.metrics_result == ["A-result", "C-result", "B-result"]
    assert log.index(("started", "A")) < log.index(("created", "B"))
    for metric in (a, b, c):
        assert set(metric.calls[0]) == {"data", "configuration", "metrics_result", "api_client"}
        assert metric.calls[0]["metrics_result"] is a.calls[0]["metrics_result"]
    assert event_names() == ["A", "C", "B"]


@pytest.mark.parametrize("given, bound", [({}, 10), ({"max_concurrency": 3}, 3)])
def test_async_concurrency_bound(monkeypatch, configuration, client_factory, given, bound):
    seen = []
    real_gather = run_impl.gather_with_concurrency

    async def recording_gather(coros, max_concurrency):
        seen.append((len(coros), max_concurrency))
        return await real_gather(coros=coros, max_concurrency=max_concurrency)

    monkeypatch.setattr(run_impl, "gather_with_concurrency", recording_gather)
    metric = RecordingMetric("m", value=None)
    result = asyncio.run(run_impl._evaluate_metrics_async(configuration, records(), [metric],
                                                          **given))
    assert result.metrics_result == []
    assert seen == [(1, bound)]
    assert metric.calls[0].get("max_concurrency") == given.get("max_concurrency")


def test_async_failure_closes_the_coroutines_never_started(configuration, client_factory):
    failing = RecordingMetric("A", fail=LookupError("dependency failed"))
    dependent = RecordingMetric("B", dependencies=[failing])
    later = RecordingMetric("C")
    with pytest.raises(LookupError, match="dependency failed"):
        asyncio.run(run_impl._evaluate_metrics_async(configuration, records(),
                                                     [failing, later, dependent]))
    # C's coroutine was created but never awaited: closed, so no warning.
    assert ("started", "C") not in later.log


# ---------------------------------------------------------------- dependency resolution


def names(metrics):
    return [metric.name for metric in metrics]


@pytest.mark.parametrize(
    "requested, expected",
    [
        ("", ""),
        ("C", "BAC"),
        ("AC", "AC"),
        ("CD", "ACD"),
    ],
)
def test_dependencies_are_inserted_in_front(requested, expected):
    a, b = RecordingMetric("A"), RecordingMetric("B")
    metrics = {
        "A": a,
        "C": RecordingMetric("C", dependencies=[a, b] if requested == "C" else [a]),
        "D": RecordingMetric("D", dependencies=[a]),
    }
    given = [metrics[name] for name in requested]
    resolved = run_impl._resolve_metric_dependencies(metrics=given, metric_groups=[])
    assert "".join(names(resolved)) == expected
    assert resolved is not given and names(given) == list(requested)


def test_one_level_of_dependencies_and_groups_appended():
    deep = RecordingMetric("deep")
    middle = RecordingMetric("middle", dependencies=[deep])
    top = RecordingMetric("top", dependencies=[middle])

    class Group:
        def get_metrics(self):
            return [RecordingMetric("top"), RecordingMetric("g1"), RecordingMetric("g2")]

    resolved = run_impl._resolve_metric_dependencies([top], [Group()])
    assert names(resolved) == ["middle", "top", "g1", "g2"]


def test_resolution_defaults_are_shared_and_untouched():
    first = run_impl._resolve_metric_dependencies()
    assert first == [] and run_impl._resolve_metric_dependencies() is not first
    defaults = [p.default for p in inspect.signature(run_impl._resolve_metric_dependencies)
                .parameters.values()]
    assert defaults == [[], []]
    with pytest.raises(TypeError, match='argument "metrics" must be of type list'):
        run_impl._resolve_metric_dependencies(metrics=(RecordingMetric("x"),))
    with pytest.raises(TypeError, match="unexpected keyword argument 'groups'"):
        run_impl._resolve_metric_dependencies(groups=[])


def test_missing_attributes_propagate():
    class Nameless:
        metric_dependencies = [object()]
        name = "x"

    with pytest.raises(AttributeError):
        run_impl._resolve_metric_dependencies([Nameless()])


def test_functions_keep_reading_globals_after_the_module_is_dropped():
    # A function kept by a caller outlives its module: the namespace it reads
    # at call time must stay alive with it (run apart: a freed namespace may
    # crash the interpreter).
    code = """
import gc, sys, types
import pandas as pd
import zentra_lumara_gov.evaluators.impl as package
import zentra_lumara_gov.evaluators.impl.metric_run_impl as module
populate = getattr(module, "__populate_record_id_timestamp")
del sys.modules[module.__name__], package.metric_run_impl, module
gc.collect()
churn = [{"key": index} for index in range(10000)]  # reuses freed dicts, if any
table = pd.DataFrame({"id": ["r1"]})
populate(types.SimpleNamespace(record_id_field="id", record_timestamp_field="at"), table)
print(table.columns.to_list(), type(table["at"][0]).__name__)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "['id', 'at'] str\n"
