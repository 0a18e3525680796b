"""The front door: evaluate and aevaluate, the package's public names, its
docstrings (the examples in them run here) and its cheap import."""

from __future__ import annotations

import asyncio
import doctest
import importlib
import importlib.metadata
import inspect
import re
import subprocess
import sys

import pandas as pd
import pytest

import zentra_lumara_gov as zlg
import zentra_lumara_gov._api as api
import zentra_lumara_gov.evaluators.impl.metric_run_impl as run_impl
from zentra_lumara_gov.clients.api_client import NO_CREDENTIALS_MESSAGE
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.enums import MetricGroup
from test_metric_run import RecordingMetric

RECORDS = [{"question": "q1", "answer": "a1"}, {"question": "q2", "answer": "a2"}]
EXTENSION_MODULES = [
    "zentra_lumara_gov.evaluators.impl.metric_run_impl",
    "zentra_lumara_gov.evaluators.impl.model_risk_run_impl",
    "zentra_lumara_gov.providers.screener_provider",
    "zentra_lumara_gov.providers.tallyx_provider",
    "zentra_lumara_gov.providers.verdix_provider",
    "zentra_lumara_gov.tools.utils.platform_endpoint_table",
    "zentra_lumara_gov.utils.endpoint_table",
]
CREDENTIAL_VARIABLES = ["LUMARA_SERVER", "LUMARA_URL", "LUMARA_API_KEY", "LUMARA_VERSION", "LUMARA_USERNAME",
                        "LUMARA_PASSWORD", "LMG_SERVICE_INSTANCE_ID"]


@pytest.fixture(autouse=True)
def no_environment_client(monkeypatch):
    for name in CREDENTIAL_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(run_impl, "api_client_cache", None)


def run(entry, *args, **kwargs):
    """evaluate, or aevaluate driven to its end."""
    if entry == "aevaluate":
        return asyncio.run(zlg.aevaluate(*args, **kwargs))
    return zlg.evaluate(*args, **kwargs)


@pytest.fixture(params=["evaluate", "aevaluate"])
def entry(request):
    return request.param


def test_defaults_reach_the_metric(entry):
    metric = RecordingMetric("m", value=None)
    client = object()
    result = run(entry, RECORDS, [metric], api_client=client, metric_options={"seed": 7})
    assert result.metrics_result == []
    (call,) = metric.calls
    assert call["configuration"] == GenAIConfiguration()
    assert call["api_client"] is client and call["seed"] == 7
    assert list(call["data"]["question"]) == ["q1", "q2"]


def test_client_from_the_environment(entry, monkeypatch):
    metric = RecordingMetric("m")
    with pytest.raises(ValueError, match=f"^{re.escape(NO_CREDENTIALS_MESSAGE)}$"):
        run(entry, RECORDS, [metric])
    assert metric.calls == []
    monkeypatch.setenv("LUMARA_URL", "https://governance.example")
    monkeypatch.setenv("LUMARA_API_KEY", "key")
    run(entry, RECORDS, [metric])
    assert metric.calls[0]["api_client"].credentials.url == "https://governance.example"


def test_the_run_receives_exactly_what_the_front_door_builds(entry, monkeypatch):
    seen = []

    def fake_run(*args, **kwargs):
        seen.append((args, kwargs))
        return "result"

    async def fake_async_run(*args, **kwargs):
        return fake_run(*args, **kwargs)

    monkeypatch.setattr(run_impl, "_evaluate_metrics", fake_run)
    monkeypatch.setattr(run_impl, "_evaluate_metrics_async", fake_async_run)
    configuration, table, client = GenAIConfiguration(output_fields=None), pd.DataFrame(RECORDS), object()
    metrics = (RecordingMetric("a"),)
    groups = (MetricGroup.ANSWER_QUALITY,)
    assert run(entry, table, metrics, configuration=configuration, metric_groups=groups, api_client=client,
               metric_options={"k": 1}) == "result"
    (args, kwargs), = seen
    # The run gets a stamped copy of the table; the caller's stays as it was.
    assert args[0] is configuration and args[1] is not table and args[3] is client
    assert args[1][list(table.columns)].equals(table) and list(table.columns) == ["question", "answer"]
    assert args[1]["record_id"].nunique() == len(table)
    # The groups are resolved at the front door; the run gets stand-ins of the resolved metrics.
    resolved = run_impl._resolve_metric_dependencies(metrics=list(metrics), metric_groups=list(groups))
    assert type(args[2]) is list and [guarded.metric for guarded in args[2]] == resolved
    assert kwargs == {"k": 1}


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"metrics_options": {}}, TypeError, "unexpected keyword argument 'metrics_options'"),
        ({"seed": 1}, TypeError, "unexpected keyword argument 'seed'"),
        ({"metric_options": [("seed", 1)]}, TypeError, "metric_options must be a mapping"),
        ({"metric_options": {1: "x"}}, TypeError, "metric_options keys must be strings"),
        ({"metric_options": {"metric_groups": []}}, TypeError, "metric_groups is an argument of its own"),
        ({"metric_groups": "group"}, TypeError, "metric_groups must be a list, not str"),
    ],
)
def test_argument_errors_before_any_work(entry, kwargs, error, message):
    metric = RecordingMetric("m")
    with pytest.raises(error, match=message):
        run(entry, RECORDS, [metric], api_client=object(), **kwargs)
    assert metric.calls == []


def test_metrics_must_be_a_sequence(entry):
    with pytest.raises(TypeError, match="metrics must be a list, not RecordingMetric"):
        run(entry, RECORDS, RecordingMetric("m"), api_client=object())


@pytest.mark.parametrize(
    "kwargs, bound",
    [({}, 10), ({"max_concurrency": 3}, 3), ({"metric_options": {"max_concurrency": 2}}, 2)],
)
def test_max_concurrency_bounds_the_gather_and_reaches_every_metric(monkeypatch, kwargs, bound):
    bounds = []
    gather = run_impl.gather_with_concurrency

    async def recording_gather(coros, max_concurrency):
        bounds.append(max_concurrency)
        return await gather(coros=coros, max_concurrency=max_concurrency)

    monkeypatch.setattr(run_impl, "gather_with_concurrency", recording_gather)
    metric = RecordingMetric("m")
    asyncio.run(zlg.aevaluate(RECORDS, [metric], api_client=object(), **kwargs))
    assert bounds == [bound]
    assert metric.calls[0].get("max_concurrency") == (None if not kwargs else bound)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"max_concurrency": 0}, ValueError, "max_concurrency must be a positive integer, not 0"),
        ({"max_concurrency": True}, ValueError, "max_concurrency must be a positive integer, not True"),
        ({"max_concurrency": 2.0}, ValueError, "max_concurrency must be a positive integer, not 2.0"),
        ({"max_concurrency": 2, "metric_options": {"max_concurrency": 3}}, TypeError, "given both"),
    ],
)
def test_max_concurrency_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        asyncio.run(zlg.aevaluate(RECORDS, [RecordingMetric("m")], api_client=object(), **kwargs))


def test_signatures_have_no_catch_all_keywords():
    evaluate, aevaluate = inspect.signature(zlg.evaluate), inspect.signature(zlg.aevaluate)
    keywords = ["configuration", "metric_groups", "api_client", "metric_options"]
    run_keywords = ["raise_exceptions", "show_progress", "progress", "tags", "store", "cache", "prices"]
    assert list(evaluate.parameters) == ["data", "metrics", *keywords, *run_keywords]
    assert list(aevaluate.parameters) == ["data", "metrics", *keywords, "max_concurrency", *run_keywords]
    assert all(evaluate.parameters[name].kind is inspect.Parameter.KEYWORD_ONLY for name in keywords)
    assert inspect.iscoroutinefunction(zlg.aevaluate) and not inspect.iscoroutinefunction(zlg.evaluate)


def test_public_names_version_and_docstrings():
    assert zlg.__version__ == importlib.metadata.version("zentra_lumara_gov")
    assert set(zlg.__all__) <= set(dir(zlg))
    public = [(zlg, name) for name in zlg.__all__ if name != "__version__"]
    for module_name in ("zentra_lumara_gov.metrics", "zentra_lumara_gov.results"):
        module = importlib.import_module(module_name)
        public += [(module, name) for name in module.__all__]
    public += [(importlib.import_module("zentra_lumara_gov.config"), name)
               for name in ("GenAIConfiguration", "AgenticAIConfiguration")]
    undocumented = [f"{module.__name__}.{name}" for module, name in public
                    if not (getattr(module, name).__doc__ or "").strip()]
    undocumented += [name for name in EXTENSION_MODULES if not (importlib.import_module(name).__doc__ or "").strip()]
    assert undocumented == []
    with pytest.raises(AttributeError, match="has no attribute 'evaluat'"):
        zlg.evaluat  # noqa: B018


def test_metric_classes_from_the_short_path():
    from zentra_lumara_gov import metrics
    from zentra_lumara_gov.entities.metric import GenAIMetric

    assert all(issubclass(getattr(metrics, name), GenAIMetric) for name in metrics.__all__)
    assert metrics.AnswerRelevanceMetric().name == "answer_relevance"


@pytest.mark.parametrize("module_name", ["zentra_lumara_gov", "zentra_lumara_gov._api", "zentra_lumara_gov.config"])
def test_docstring_examples_run(module_name):
    result = doctest.testmod(importlib.import_module(module_name), optionflags=doctest.ELLIPSIS, verbose=False)
    assert result.attempted > 0 and result.failed == 0


def test_importing_the_package_stays_cheap():
    code = ("import sys, zentra_lumara_gov; "
            "print(sorted(m for m in ('pandas', 'numpy', 'pydantic', 'typing') if m in sys.modules)); "
            "print(sorted(m for m in sys.modules if m.startswith('zentra_lumara_gov')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["[]", "['zentra_lumara_gov']"]
