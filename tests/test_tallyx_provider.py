"""TallyxProvider: load-time setup, construction, pre-processing, the library
run and its lock, metric and judge construction, judge engines and their
cache, post-processing, the error wrapping and the tokenizer patch."""

from __future__ import annotations

import asyncio
import inspect
import json
import logging
import math
import subprocess
import sys
import threading
import types
import warnings

import cachetools
import numpy as np
import pandas as pd
import pytest
import tallyx.formats
import tallyx.inference
import tallyx.llm_as_judge
import tallyx.operator
import tallyx.stream
from lazy_imports import LazyModule
from tallyx.catalog import add_to_catalog, remove_from_catalog
from tallyx.metrics import InstanceMetric
from zentra_judge_server import JudgeServer

import zentra_lumara_gov.providers.tallyx_provider as tp
from pandas_versions import as_text
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    LmAICredentials,
    LmoAIGatewayCredentials,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
)
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AWSBedrockModelProvider,
    AzureOpenAIFoundationModel,
    AzureOpenAIModelProvider,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    GoogleAIStudioModelProvider,
    LmAIFoundationModel,
    LmAIModelProvider,
    LmoAIGateway,
    LmoAIGatewayModelProvider,
    OpenAIFoundationModel,
    OpenAIModelProvider,
    PortKeyGateway,
    PortKeyModelProvider,
    VertexAIFoundationModel,
    VertexAIModelProvider,
)
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers.inference_engines.custom_inference_engine import CustomFunctionInferenceEngine
from zentra_lumara_gov.providers.inference_engines.lmo_ai_gateway_inference_engine import LmoAIGatewayInferenceEngine
from zentra_lumara_gov.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine

TallyxProvider = tp.TallyxProvider
PRE = "_TallyxProvider__"
URL = "http://127.0.0.1:9"  # never contacted unless a test says so
WAIT = 5.0  # bound of every wait on another thread


@pytest.fixture(autouse=True)
def empty_engine_cache():
    with tp._inference_engine_cache_lock:
        tp._inference_engine_cache.clear()
    yield
    with tp._inference_engine_cache_lock:
        tp._inference_engine_cache.clear()


@pytest.fixture(scope="module")
def judge_server():
    with JudgeServer() as server:
        yield server


@pytest.fixture
def scripted():
    """Registers catalog metrics "metrics.test.<name>.<method>" scoring each
    instance with a function of the test's own."""
    registered = []

    def register(name, method, score_fn):
        identifier = f"metrics.test.{name}.{method}"
        add_to_catalog(InstanceMetric(name, score_fn), identifier, overwrite=True)
        registered.append(identifier)
        return identifier

    yield register
    for identifier in registered:
        remove_from_catalog(identifier)


def configuration(**changes):
    return GenAIConfiguration(**{"reference_fields": ["ground_truth"], **changes})


def table(**extra):
    frame = pd.DataFrame(
        {
            "question": ["What is the capital of France?", "How many legs does a spider have?"],
            "contexts": [["Paris is the capital of France.", "France is in Europe."], ["Spiders have eight legs."]],
            "answer": ["The capital of France is Paris.", "Six legs."],
            "ground_truth": ["Paris is the capital.", "Eight legs."],
            "record_id": ["r1", "r2"],
        }
    )
    for name, values in extra.items():
        frame[name] = values
    return frame


def provider(name="faithfulness", method="sentence_bert_mini_lm", prefix="metrics.rag_eval", config=None, **kwargs):
    return TallyxProvider(config or configuration(), name, name.replace("_", " ").title(), method, prefix, **kwargs)


def openai_judge(url=URL, api_key="k", model_id="judge"):
    return LLMJudge(
        model=OpenAIFoundationModel(
            model_id=model_id, provider=OpenAIModelProvider(credentials=OpenAICredentials(api_key=api_key, url=url))
        )
    )


def lmai_model(project_id="p", space_id=None, **credentials):
    creds = {"url": URL, "api_key": "k", **credentials}
    return LmAIFoundationModel(
        model_id="lumara-chat",
        project_id=project_id,
        space_id=space_id,
        provider=LmAIModelProvider(credentials=LmAICredentials(**creds)),
    )


def with_judge(model):
    return provider(method="llm_as_judge", llm_judge=LLMJudge(model=model))


# ---------------------------------------------------------------------------


class TestModuleLoad:
    def test_lazy_module_and_the_nine_names(self):
        assert isinstance(tp.tallyx_imports, LazyModule)
        assert tp.tallyx_imports.__name__ == "lazy_tallyx"
        assert sys.modules["lazy_tallyx"] is tp.tallyx_imports
        expected = {
            "ChatAPIFormat": tallyx.formats.ChatAPIFormat,
            "Format": tallyx.formats.Format,
            "VMLInferenceEngineGeneration": tallyx.inference.VMLInferenceEngineGeneration,
            "OpenAiInferenceEngine": tallyx.inference.OpenAiInferenceEngine,
            "AzureOpenAIInferenceEngine": tallyx.inference.AzureOpenAIInferenceEngine,
            "TaskBasedLLMasJudge": tallyx.llm_as_judge.TaskBasedLLMasJudge,
            "SequentialOperator": tallyx.operator.SequentialOperator,
            "MultiStream": tallyx.stream.MultiStream,
            "LiteLLMInferenceEngine": tallyx.inference.LiteLLMInferenceEngine,
        }
        for name, value in expected.items():
            assert getattr(tp, name) is value
            assert vars(tp.tallyx_imports)[name] is value  # resolved at load, not later

    def test_library_verbosity_is_warning(self):
        assert logging.getLogger("tallyx").level == logging.WARNING

    def test_templates_and_cache(self):
        assert list(tp.METRIC_TO_TEMPLATE.items()) == [
            ("faithfulness", "judge_with_question_simplified"),
            ("context_relevance", "judge_context_relevance_ares"),
            ("answer_correctness", "judge_loose_match_no_context"),
            ("answer_relevance", "judge_answer_relevance"),
        ]
        cache = tp._inference_engine_cache
        assert type(cache) is cachetools.TTLCache
        assert (cache.maxsize, cache.ttl) == (128, 3600)
        assert type(tp._inference_engine_cache_lock) is type(threading.Lock())
        factory = TallyxProvider._create_inference_engine_impl
        assert isinstance(vars(TallyxProvider)["_create_inference_engine_impl"], staticmethod)
        assert factory.cache is cache and factory.cache_lock is tp._inference_engine_cache_lock
        assert factory.cache_key is cachetools.keys.hashkey
        assert factory.__qualname__ == "TallyxProvider._create_inference_engine_impl"

    def test_failing_import_aborts_the_load(self):
        code = (
            "import sys; sys.modules['tallyx.llm_as_judge'] = None\n"
            "try:\n    import zentra_lumara_gov.providers.tallyx_provider\n"
            "except ImportError as e:\n    print(type(e.__cause__).__name__, e.__cause__)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.stdout.strip() == "ModuleNotFoundError import of tallyx.llm_as_judge halted; None in sys.modules"

    def test_signatures(self):
        assert str(inspect.signature(TallyxProvider)) == (
            "(configuration: 'GenAIConfiguration', metric_name: 'str', metric_display_name: 'str', "
            "metric_method: 'str', metric_prefix: 'str', metric_alias: 'str | None' = None, "
            "metric_group: 'MetricGroup | None' = None, column_mapping: 'TallyxColumnMapping | None' = None, "
            "llm_judge: 'LLMJudge | None' = None, thresholds: 'list[MetricThreshold]' = [], **kwargs) -> 'None'"
        )
        assert str(inspect.signature(TallyxProvider.evaluate)) == "(self, data: 'pd.DataFrame') -> 'AggregateMetricResult'"
        assert inspect.iscoroutinefunction(TallyxProvider.evaluate_async)
        assert not inspect.iscoroutinefunction(TallyxProvider.evaluate)
        assert str(inspect.signature(TallyxProvider._create_inference_engine_impl)) == (
            "(provider: 'str', model_id: 'str', use_cache: 'bool', credentials_json: 'str', parameters_json: 'str' = '')"
        )
        assert str(inspect.signature(tp.patch_bertscore_overflow)) == "() -> 'None'"
        privates = {
            "pre_process_data": "(self, data: 'pd.DataFrame') -> 'pd.DataFrame'",
            "compute_metric": "(self, data: 'pd.DataFrame') -> 'pd.DataFrame'",
            "generate_tallyx_metric": "(self, metric_name: 'str', metric_prefix: 'str') -> 'str | TaskBasedLLMasJudge'",
            "get_llmaj_metric": "(self, metric_name: 'str') -> 'TaskBasedLLMasJudge'",
            "get_llmaj_template": "(self, metric_name: 'str') -> 'str'",
            "get_llmaj_format": "(self) -> 'Format | None'",
            "get_ai_evaluator_inference_engine": "(self)",
            "post_process": "(self, result: 'pd.DataFrame') -> 'AggregateMetricResult'",
        }
        for name, signature in privates.items():
            method = vars(TallyxProvider)[PRE + name]
            assert str(inspect.signature(method)) == signature
            assert method.__qualname__ == f"TallyxProvider.__{name}"

    def test_class_attributes(self):
        assert TallyxProvider.__bases__ == (object,)
        assert TallyxProvider.CLIP_METRIC_METHODS == {
            "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
            "faithfulness": {"sentence_bert_mini_lm"},
            "answer_correctness": {"sentence_bert_mini_lm"},
        }
        assert list(TallyxProvider.CLIP_METRIC_METHODS) == ["context_relevance", "faithfulness", "answer_correctness"]
        assert TallyxProvider.METRIC_METHODS_WITH_LOCKS == {"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}
        assert type(TallyxProvider._lock) is type(threading.Lock())
        assert TallyxProvider.__annotations__ == {
            "CLIP_METRIC_METHODS": "ClassVar[dict[str, set[str]]]",
            "METRIC_METHODS_WITH_LOCKS": "ClassVar[set[str]]",
        }

    def test_column_mapping_model(self):
        mapping = tp.TallyxColumnMapping
        assert issubclass(mapping, tp.BaseModel) and mapping.__doc__ == "Column mapping expected by tallyx"
        assert [(n, f.default, f.description) for n, f in mapping.model_fields.items()] == [
            ("question", "question", "Expected question column name by tallyx"),
            ("answer", "answer", "Expected answer column name by tallyx"),
            ("contexts", "contexts", "Expected contexts column name by tallyx"),
            ("ground_truths", "ground_truths", "Expected ground_truths column name by tallyx"),
        ]
        assert mapping(question="query").model_dump() == {
            "question": "query", "answer": "answer", "contexts": "contexts", "ground_truths": "ground_truths",
        }


class TestConstructor:
    def test_attributes(self):
        config = configuration()
        thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
        mapping = tp.TallyxColumnMapping(answer="reply")
        p = TallyxProvider(config, "faithfulness", "Faithfulness", "sentence_bert_bge", "P", "alias",
                           MetricGroup.ANSWER_QUALITY, mapping, None, thresholds, api_client=object(), other=1)
        assert vars(p) == {
            "configuration": config, "configuration_": {}, "metric_name": "faithfulness",
            "metric_display_name": "Faithfulness", "metric_method": "sentence_bert_bge",
            "metric_group": MetricGroup.ANSWER_QUALITY, "column_mapping": mapping, "llm_judge": None,
            "metric_alias": "alias", "metric_prefix": "P", "thresholds": thresholds,
        }
        assert list(vars(p)) == ["configuration", "configuration_", "metric_name", "metric_display_name",
                                 "metric_method", "metric_group", "column_mapping", "llm_judge",
                                 "metric_alias", "metric_prefix", "thresholds"]
        assert p.column_mapping is mapping and p.thresholds is thresholds

    def test_defaults(self):
        first, second = provider(), provider()
        assert first.column_mapping.model_dump() == tp.TallyxColumnMapping().model_dump()
        assert first.column_mapping is not second.column_mapping
        assert first.configuration_ == {} and first.configuration_ is not second.configuration_
        shared = inspect.signature(TallyxProvider).parameters["thresholds"].default
        assert first.thresholds is shared and second.thresholds is shared and shared == []
        assert (first.metric_alias, first.metric_group, first.llm_judge) == (None, None, None)

    def test_judge_from_configuration_unless_given(self):
        from_config, given = openai_judge(model_id="a"), openai_judge(model_id="b")
        assert provider(config=configuration(llm_judge=from_config)).llm_judge is from_config
        assert provider(config=configuration(llm_judge=from_config), llm_judge=given).llm_judge is given

    @pytest.mark.parametrize(
        ("position", "value", "message"),
        [
            (1, 5, "metric_name must be of type str, got int"),
            (2, None, "metric_display_name must be of type str, got NoneType"),
            (3, b"x", "metric_method must be of type str, got bytes"),
            (4, type("Text", (str,), {})("P"), "metric_prefix must be of type str, got Text"),
            (5, 1.5, "metric_alias must be of type str or None, got float"),
            (9, (), "thresholds must be of type list, got tuple"),
        ],
    )
    def test_type_errors_before_anything_is_set(self, position, value, message):
        args = [configuration(), "faithfulness", "Faithfulness", "sentence_bert_mini_lm", "P", None, None, None, None, []]
        args[position] = value
        blank = TallyxProvider.__new__(TallyxProvider)
        with pytest.raises(TypeError, match=f"^{message}$"):
            blank.__init__(*args)
        assert vars(blank) == {}


class TestPreProcess:
    def run(self, p, data):
        return getattr(p, PRE + "pre_process_data")(data=data)

    def test_default_mapping(self, monkeypatch):
        out = self.run(provider(), table())
        assert list(out.columns) == ["question", "answer", "contexts", "ground_truths", "record_id"]
        assert out.to_dict("list") == {
            "question": ["What is the capital of France?", "How many legs does a spider have?"],
            "answer": ["The capital of France is Paris.", "Six legs."],
            "contexts": [["Paris is the capital of France.", "France is in Europe."], ["Spiders have eight legs."]],
            "ground_truths": [["Paris is the capital."], ["Eight legs."]],
            "record_id": ["r1", "r2"],
        }

    def test_two_context_columns_in_configured_order(self):
        data = table(c1=["a1", "b1"], c2=[7, None])
        out = self.run(provider(config=configuration(context_fields=["c2", "c1"])), data)
        assert out["contexts"].tolist() == [["7.0", "a1"], [as_text("nan"), "b1"]]

    def test_single_context_column_goes_through_transform(self, monkeypatch):
        seen = []

        def splitter(text):
            seen.append(text)
            return text.split("|")

        monkeypatch.setattr(tp, "transform_str_to_list", splitter)
        data = table(joined=["x|y", "z"])
        out = self.run(provider(config=configuration(context_fields=["joined"], reference_fields=[])), data)
        assert out["contexts"].tolist() == [["x", "y"], ["z"]]
        assert seen == ["x|y", "z"]
        assert "ground_truths" not in out.columns

    def test_missing_columns_give_no_column(self):
        config = configuration(input_fields=["nope", "question"], output_fields=["answer", "missing"],
                               context_fields=["contexts", "gone"], reference_fields=[])
        out = self.run(provider(config=config), table())
        assert list(out.columns) == ["record_id"]

    def test_only_the_first_input_column_is_used(self):
        out = self.run(provider(config=configuration(input_fields=["answer", "question"])), table())
        assert out["question"].tolist() == ["The capital of France is Paris.", "Six legs."]

    def test_empty_or_absent_field_lists(self):
        config = configuration(input_fields=None, output_fields=[], context_fields=None, reference_fields=[])
        assert list(self.run(provider(config=config), table()).columns) == ["record_id"]

    def test_texts_numeric_ids_and_custom_mapping(self):
        data = pd.DataFrame({"q": [1.5, None], "answer": ["a", "b"], "record_id": [7, 8]})
        mapping = tp.TallyxColumnMapping(question="query", answer="reply")
        config = configuration(input_fields=["q"], context_fields=[], reference_fields=[])
        out = self.run(provider(config=config, column_mapping=mapping), data)
        assert out.to_dict("list") == {"query": ["1.5", as_text("nan")], "reply": ["a", "b"], "record_id": ["7", "8"]}

    def test_rows_keep_their_labels(self):
        # Contexts first (two columns, given by position) then record ids (by
        # label): both must describe the same rows.
        data = table(c2=["x", "y"]).set_axis([10, 20])
        config = configuration(input_fields=[], output_fields=[], context_fields=["contexts", "c2"], reference_fields=[])
        out = self.run(provider(config=config), data)
        assert out["record_id"].tolist() == ["r1", "r2"]
        assert [row[1] for row in out["contexts"]] == ["x", "y"]

    def test_missing_record_id_column_is_a_key_error(self):
        with pytest.raises(KeyError, match="record_id"):
            self.run(provider(), table().drop(columns=["record_id"]))


class RecordingStreams:
    """Stands in for MultiStream and SequentialOperator, recording their use."""

    def __init__(self, scores):
        self.scores = scores
        self.calls = []
        self.lock_held = []

    def install(self, monkeypatch, lock=None):
        outer = self

        class FakeMultiStream:
            @staticmethod
            def from_iterables(iterables, **kwargs):
                outer.calls.append(("from_iterables", iterables, kwargs))
                return iterables

        class FakeOperator:
            def __init__(self, **kwargs):
                outer.calls.append(("operator", kwargs))
                self.steps = kwargs["steps"]

            def __call__(self, multi_stream):
                outer.lock_held.append(lock.held if lock else None)
                return {"test": [{"score": {"instance": {"score": s}}} for s in outer.scores]}

        monkeypatch.setattr(tp, "MultiStream", FakeMultiStream)
        monkeypatch.setattr(tp, "SequentialOperator", FakeOperator)
        return self


class RecordingLock:
    def __init__(self):
        self.held = False
        self.events = []

    def __enter__(self):
        self.held = True
        self.events.append("enter")

    def __exit__(self, *exc):
        self.held = False
        self.events.append(("exit", exc[0]))
        return None


class TestComputeMetric:
    def test_library_calls_and_score_table(self, monkeypatch):
        streams = RecordingStreams([0.25, 0.5]).install(monkeypatch)
        p = provider(name="y", method="m1", prefix="P", metric_alias="x")
        data = getattr(p, PRE + "pre_process_data")(data=table())
        out = getattr(p, PRE + "compute_metric")(data=data)
        (_, iterables, kwargs), (_, operator_kwargs) = streams.calls
        assert kwargs == {"copying": True} and list(iterables) == ["test"]
        records = iterables["test"]
        assert records[0]["record_id"] == "r1" and records[1]["question"] == "How many legs does a spider have?"
        assert [r["metadata"] for r in records] == [{"data_classification_policy": ["public"]}] * 2
        assert records[0]["metadata"] is not records[1]["metadata"]
        assert operator_kwargs == {"steps": ["P.x.m1"]}  # built for the alias
        assert list(out.columns) == ["y", "record_id"]  # named by the metric
        assert out.to_dict("list") == {"y": [0.25, 0.5], "record_id": ["r1", "r2"]}

    @pytest.mark.parametrize(
        "data",
        [
            pd.DataFrame({"a": ["x", "y"], "b": [["1"], ["2", "3"]], "record_id": ["r1", "r2"]}),
            pd.DataFrame({"a": [1.5, 2.0], "b": [1, 2], "record_id": ["r1", "r2"]}),
            pd.DataFrame({"a": pd.Series([np.int64(4), "t"], dtype=object), "record_id": ["r1", "r2"]}),
            pd.DataFrame({"a": [pd.NA, "t"], "record_id": ["r1", "r2"]}),
            pd.DataFrame([["x", "y", "r1"], ["z", "w", "r2"]], columns=["a", "a", "record_id"]),
            pd.DataFrame({"a": pd.Series(["x", "y"], dtype="string"), "record_id": ["r1", "r2"]}),
        ],
    )
    def test_records_are_the_tables_rows(self, monkeypatch, data):
        streams = RecordingStreams([0.25, 0.5]).install(monkeypatch)
        with warnings.catch_warnings(record=True) as ours:
            warnings.simplefilter("always")
            getattr(provider(method="m1"), PRE + "compute_metric")(data=data)
        records = streams.calls[0][1]["test"]
        with warnings.catch_warnings(record=True) as theirs:
            warnings.simplefilter("always")  # pandas warns about a repeated column name
            expected = data.to_dict(orient="records")
        assert [str(w.message) for w in ours] == [str(w.message) for w in theirs]
        assert [{k: v for k, v in r.items() if k != "metadata"} for r in records] == expected
        assert [list(r) for r in records] == [[*e, "metadata"] for e in expected]
        assert [type(v) for r in records for k, v in r.items() if k != "metadata"] == [type(v) for e in expected for v in e.values()]

    def test_scores_line_up_with_labelled_rows(self, monkeypatch):
        RecordingStreams([0.1, 0.9]).install(monkeypatch)
        result = provider(method="m1").evaluate(table().set_axis([5, 3]))
        assert [(r.record_id, r.value) for r in result.record_level_metrics] == [("r1", 0.1), ("r2", 0.9)]

    def test_fewer_instances_than_records_is_an_error(self, monkeypatch):
        RecordingStreams([0.1]).install(monkeypatch)
        with pytest.raises(Exception, match=r"Reason: Length of values \(1\) does not match length of index \(2\)$"):
            provider(method="m1").evaluate(table())

    def test_instances_without_a_score(self, monkeypatch):
        RecordingStreams([0.1, 0.2]).install(monkeypatch)

        class NoScore(tp.SequentialOperator):
            def __call__(self, multi_stream):
                return {"test": [{"score": {"global": {}}}, {}]}

        monkeypatch.setattr(tp, "SequentialOperator", NoScore)
        with pytest.raises(Exception, match="Reason: 'instance'$") as info:
            provider(method="m1").evaluate(table())
        assert type(info.value.__context__) is KeyError


class TestLock:
    @pytest.mark.parametrize(
        ("method", "judge", "locked"),
        [
            ("bert_score_recall", False, True),
            ("sentence_bert_mini_lm", False, True),
            ("sentence_bert_bge", False, True),
            ("plain", False, False),
            ("plain", True, True),
        ],
    )
    def test_which_runs_are_locked(self, monkeypatch, method, judge, locked):
        lock = RecordingLock()
        monkeypatch.setattr(TallyxProvider, "_lock", lock)
        streams = RecordingStreams([0.1, 0.2]).install(monkeypatch, lock)
        kwargs = {"llm_judge": openai_judge()} if judge else {}
        p = provider(method=method, **kwargs)
        monkeypatch.setattr(p, PRE + "generate_tallyx_metric", lambda **kw: "a step")
        p.evaluate(table())
        assert streams.lock_held == [locked]
        assert lock.events == ([("enter"), ("exit", None)] if locked else [])

    def test_lock_released_when_the_run_fails(self, scripted):
        def boom(instance):
            raise RuntimeError("library failure")

        scripted("faithfulness", "sentence_bert_bge", boom)
        with pytest.raises(Exception, match="Reason: library failure$"):
            provider(method="sentence_bert_bge", prefix="metrics.test").evaluate(table())
        assert not TallyxProvider._lock.locked()

    def test_lock_released_when_a_step_fails_without_a_traceback(self, monkeypatch):
        # The interpreter's own C code raises this one outside any frame: the
        # lock's __exit__ still gets it (with None for the traceback).
        monkeypatch.setattr(tp, "MultiStream", object())
        with pytest.raises(Exception) as caught:
            provider(method="sentence_bert_bge").evaluate(table())
        assert str(caught.value).endswith("Reason: 'object' object has no attribute 'from_iterables'")
        assert type(caught.value.__context__) is AttributeError
        assert not TallyxProvider._lock.locked()

    def test_suppressing_lock_leaves_no_instances(self, monkeypatch):
        class Swallowing(RecordingLock):
            def __exit__(self, *exc):
                super().__exit__(*exc)
                return True

        lock = Swallowing()
        monkeypatch.setattr(TallyxProvider, "_lock", lock)
        RecordingStreams([0.1, 0.2]).install(monkeypatch)
        monkeypatch.setattr(tp, "SequentialOperator", lambda **kw: (lambda stream: 1 / 0))
        with pytest.raises(Exception, match="Reason: cannot access local variable 'instances' where it is not associated with a value$"):
            provider(method="sentence_bert_bge").evaluate(table())
        assert lock.events == ["enter", ("exit", ZeroDivisionError)]

    def test_locked_runs_take_turns_and_unlocked_runs_do_not_wait(self, scripted):
        log = []
        entered = {name: threading.Event() for name in ("first", "second", "free")}
        release_first = threading.Event()

        def blocking(name, release=None):
            def score(instance):
                if instance["record_id"] == "r1":
                    log.append(f"{name} start")
                    entered[name].set()
                    if release is not None:
                        assert release.wait(WAIT)
                    log.append(f"{name} end")
                return 0.5

            return score

        scripted("first", "sentence_bert_mini_lm", blocking("first", release_first))
        scripted("second", "bert_score_recall", blocking("second"))
        scripted("free", "plain", blocking("free"))
        errors = []

        def run(name, method):
            try:
                provider(name=name, method=method, prefix="metrics.test").evaluate(table())
            except Exception as error:  # surfaced below
                errors.append(error)

        threads = {
            "first": threading.Thread(target=run, args=("first", "sentence_bert_mini_lm")),
            "second": threading.Thread(target=run, args=("second", "bert_score_recall")),
            "free": threading.Thread(target=run, args=("free", "plain")),
        }
        threads["first"].start()
        assert entered["first"].wait(WAIT)
        threads["second"].start()
        threads["free"].start()
        assert entered["free"].wait(WAIT), "an unlocked run waited for the lock"
        assert not entered["second"].wait(0.2), "a locked run did not wait for the lock"
        release_first.set()
        for thread in threads.values():
            thread.join(WAIT)
            assert not thread.is_alive()
        assert errors == []
        assert log.index("second start") > log.index("first end")
        assert log.index("free end") < log.index("first end")

    def test_one_lock_for_every_provider(self):
        assert provider()._lock is provider(name="answer_relevance")._lock is TallyxProvider._lock


class TestMetricConstruction:
    def generate(self, p, name, prefix):
        return getattr(p, PRE + "generate_tallyx_metric")(metric_name=name, metric_prefix=prefix)

    def test_catalog_identifier(self):
        assert self.generate(provider(), "faithfulness", "P") == "P.faithfulness.sentence_bert_mini_lm"

    @pytest.mark.parametrize(
        ("name", "prefix", "message"),
        [(5, "P", "metric_name must be of type str, got int"), ("x", None, "metric_prefix must be of type str, got NoneType")],
    )
    def test_non_text_name_or_prefix(self, name, prefix, message):
        with pytest.raises(TypeError, match=f"^{message}$"):
            self.generate(provider(), name, prefix)

    def test_non_text_prefix_is_wrapped_in_evaluate(self):
        p = provider()
        p.metric_prefix = 3
        with pytest.raises(Exception, match="^Error while computing metrics: faithfulness with the method sentence_bert_mini_lm using tallyx library. Reason: metric_prefix must be of type str, got int$"):
            p.evaluate(table())

    @pytest.mark.parametrize(
        ("name", "identifier"),
        [
            ("faithfulness", "templates.rag_eval.faithfulness.judge_with_question_simplified_verbal"),
            ("context_relevance", "templates.rag_eval.context_relevance.judge_context_relevance_ares_numeric"),
            ("answer_correctness", "templates.rag_eval.answer_correctness.judge_loose_match_no_context_numeric"),
            ("answer_relevance", "templates.rag_eval.answer_relevance.judge_answer_relevance_numeric"),
        ],
    )
    def test_template_identifiers(self, name, identifier):
        assert getattr(provider(), PRE + "get_llmaj_template")(metric_name=name) == identifier

    def test_template_table_read_at_call_time(self, monkeypatch):
        monkeypatch.setitem(tp.METRIC_TO_TEMPLATE, "tone", "judge_tone")
        assert getattr(provider(), PRE + "get_llmaj_template")(metric_name="tone") == "templates.rag_eval.tone.judge_tone_numeric"
        with pytest.raises(KeyError, match="'fluency'"):
            getattr(provider(), PRE + "get_llmaj_template")(metric_name="fluency")

    @pytest.mark.parametrize(
        ("model", "chat"),
        [
            (lambda: openai_judge().model, True),
            (lambda: AzureOpenAIFoundationModel(model_id="d", provider=AzureOpenAIModelProvider(credentials=AzureOpenAICredentials(api_key="k", url=URL))), False),
            (lambda: lmai_model(), False),
            (lambda: PortKeyGateway(model_id="m", provider=PortKeyModelProvider(credentials=PortKeyCredentials(api_key="k", url=URL))), False),
        ],
    )
    def test_chat_format_for_openai_only(self, model, chat):
        found = getattr(with_judge(model()), PRE + "get_llmaj_format")()
        assert (type(found) is tallyx.formats.ChatAPIFormat) if chat else found is None

    @pytest.mark.parametrize(
        ("name", "field"),
        [("answer_relevance", "reply"), ("context_relevance", "passages"), ("faithfulness", "reply"), ("answer_correctness", "reply")],
    )
    def test_judge_keywords(self, monkeypatch, name, field):
        calls = []
        monkeypatch.setattr(tp, "TaskBasedLLMasJudge", lambda **kwargs: calls.append(kwargs) or "judge")
        p = provider(name=name, method="llm_as_judge", llm_judge=openai_judge(),
                     column_mapping=tp.TallyxColumnMapping(answer="reply", contexts="passages"))
        assert self.generate(p, name, "ignored") == "judge"
        (kwargs,) = calls
        assert list(kwargs) == ["inference_model", "format", "template", "task", "main_score",
                                "prediction_field", "infer_log_probs", "judge_to_generator_fields_mapping"]
        assert type(kwargs["inference_model"]) is tallyx.inference.OpenAiInferenceEngine
        assert type(kwargs["format"]) is tallyx.formats.ChatAPIFormat
        assert kwargs["template"] == getattr(p, PRE + "get_llmaj_template")(metric_name=name)
        assert (kwargs["task"], kwargs["main_score"], kwargs["prediction_field"]) == (
            f"tasks.rag_eval.{name}.binary", f"{name}_judge", field,
        )
        assert kwargs["infer_log_probs"] is False and kwargs["judge_to_generator_fields_mapping"] == {}

    def test_unknown_judge_metric_fails_after_the_engine(self):
        p = provider(name="fluency", method="llm_as_judge", llm_judge=openai_judge())
        with pytest.raises(Exception, match="^Error while computing metrics: fluency with the method llm_as_judge using tallyx library. Reason: 'fluency'$") as info:
            p.evaluate(table())
        assert type(info.value.__context__) is KeyError
        assert len(tp._inference_engine_cache) == 1  # the engine was obtained first

    def test_unsupported_model_fails_before_the_template(self):
        judge = types.SimpleNamespace(model=types.SimpleNamespace())
        p = provider(name="fluency", method="llm_as_judge", llm_judge=judge)
        with pytest.raises(Exception, match="Reason: LLM Model provider is not supported.$"):
            p.evaluate(table())


class FactoryRecorder:
    def __init__(self, monkeypatch):
        self.calls = []
        monkeypatch.setattr(TallyxProvider, "_create_inference_engine_impl", staticmethod(self))

    def __call__(self, *args, **kwargs):
        assert args == ()  # always keywords
        self.calls.append(kwargs)
        return "engine"


JUDGE_CASES = {
    "lmai": (
        lambda: lmai_model(),
        {"provider": "lmai", "model_id": "lumara-chat", "credentials_json": json.dumps({"api_key": "k", "project_id": "p", "url": URL})},
    ),
    "lmai on premises": (
        lambda: lmai_model(project_id=None, space_id="s", version="5.0", username="u", instance_id="i"),
        {"provider": "lmai", "model_id": "lumara-chat",
         "credentials_json": json.dumps({"api_key": "k", "instance_id": "i", "space_id": "s", "url": URL, "username": "u"})},
    ),
    "lmai with password": (
        lambda: lmai_model(project_id="p", space_id="s", api_key=None, version="5.0", username="u", password="pw"),
        {"provider": "lmai", "model_id": "lumara-chat",
         "credentials_json": json.dumps({"instance_id": None, "password": "pw", "project_id": "p", "url": URL, "username": "u"})},
    ),
    "openai": (
        lambda: openai_judge().model,
        {"provider": "openai", "model_id": "judge", "credentials_json": json.dumps({"api_key": "k", "url": URL})},
    ),
    "azure": (
        lambda: AzureOpenAIFoundationModel(model_id="dep", provider=AzureOpenAIModelProvider(credentials=AzureOpenAICredentials(api_key="k", url=URL))),
        {"provider": "azure_openai", "model_id": "dep",
         "credentials_json": json.dumps({"api_base": URL, "api_key": "k", "api_version": "2024-08-01-preview"})},
    ),
    "vertex": (
        lambda: VertexAIFoundationModel(model_id="gem", provider=VertexAIModelProvider(credentials=VertexAICredentials(project_id="gp"))),
        {"provider": "vertexai", "model_id": "gem",
         "credentials_json": json.dumps({"credentials_path": None, "location": "us-central1", "project_id": "gp"})},
    ),
    "google": (
        lambda: GoogleAIStudioFoundationModel(model_id="gem", provider=GoogleAIStudioModelProvider(credentials=GoogleAIStudioCredentials(api_key="g"))),
        {"provider": "google_ai_studio", "model_id": "gem", "credentials_json": json.dumps({"api_key": "g"})},
    ),
    "bedrock": (
        lambda: AWSBedrockFoundationModel(
            model_id="claude", parameters={"temperature": 0.5, "max_tokens": 9},
            provider=AWSBedrockModelProvider(credentials=AWSBedrockCredentials(aws_access_key_id="a", aws_secret_access_key="s")),
        ),
        {"provider": "aws_bedrock", "model_id": "claude",
         "credentials_json": json.dumps({"aws_access_key_id": "a", "aws_region_name": "us-east-1", "aws_secret_access_key": "s", "aws_session_token": None}),
         "parameters_json": json.dumps({"max_tokens": 9, "temperature": 0.5})},
    ),
    "bedrock without parameters": (
        lambda: AWSBedrockFoundationModel(
            model_id="claude", provider=AWSBedrockModelProvider(credentials=AWSBedrockCredentials(aws_access_key_id="a", aws_secret_access_key="s")),
        ),
        {"provider": "aws_bedrock", "model_id": "claude",
         "credentials_json": json.dumps({"aws_access_key_id": "a", "aws_region_name": "us-east-1", "aws_secret_access_key": "s", "aws_session_token": None}),
         "parameters_json": "{}"},
    ),
    "portkey": (
        lambda: PortKeyGateway(model_id="gpt", provider=PortKeyModelProvider(credentials=PortKeyCredentials(api_key="k", url=URL))),
        {"provider": "portkey", "model_id": "gpt", "credentials_json": json.dumps({"api_key": "k", "provider_api_key": None, "url": URL})},
    ),
    "lmo gateway": (
        lambda: LmoAIGateway(model_id="routed", provider=LmoAIGatewayModelProvider(credentials=LmoAIGatewayCredentials(url=URL, api_key="k"))),
        {"provider": "lmo_gateway", "model_id": "", "credentials_json": json.dumps({"api_key": "k", "url": URL})},
    ),
}


class TestJudgeEngines:
    def engine_of(self, model):
        return getattr(with_judge(model), PRE + "get_ai_evaluator_inference_engine")()

    @pytest.mark.parametrize("case", list(JUDGE_CASES))
    @pytest.mark.parametrize("cache_flag", [True, False])
    def test_factory_keywords(self, monkeypatch, case, cache_flag):
        factory = FactoryRecorder(monkeypatch)
        monkeypatch.setattr(tp, "get_talyx_enable_inference_cache", lambda: cache_flag)
        make_model, expected = JUDGE_CASES[case]
        assert self.engine_of(make_model()) == "engine"
        assert factory.calls == [{**expected, "use_cache": cache_flag}]

    @pytest.mark.parametrize(
        ("case", "engine_class", "attributes"),
        [
            ("lmai", tallyx.inference.VMLInferenceEngineGeneration, {"model_name": "lumara-chat", "credentials": {"api_key": "k", "project_id": "p", "url": URL}}),
            ("openai", tallyx.inference.OpenAiInferenceEngine, {"model_name": "judge", "credentials": {"api_key": "k", "url": URL}}),
            ("azure", tallyx.inference.AzureOpenAIInferenceEngine, {"model_name": "dep"}),
            ("vertex", tallyx.inference.LiteLLMInferenceEngine, {"model": "gem", "parameters": {}}),
            ("google", tallyx.inference.LiteLLMInferenceEngine, {"model": "gem", "credentials": {"api_key": "g"}}),
            ("bedrock", tallyx.inference.LiteLLMInferenceEngine, {"model": "claude", "parameters": {"max_tokens": 9, "temperature": 0.5}}),
            ("bedrock without parameters", tallyx.inference.LiteLLMInferenceEngine, {"parameters": {}}),
            ("portkey", PortKeyInferenceEngine, {"model": "gpt", "credentials": {"api_key": "k", "provider_api_key": None, "url": URL}}),
            ("lmo gateway", LmoAIGatewayInferenceEngine, {"model_name": None, "credentials": {"api_key": "k", "url": URL}}),
        ],
    )
    def test_engines_built(self, monkeypatch, case, engine_class, attributes):
        monkeypatch.setenv("TALYX_ENABLE_INFERENCE_CACHE", "true")
        engine = self.engine_of(JUDGE_CASES[case][0]())
        assert type(engine) is engine_class and engine.use_cache is True
        for name, value in attributes.items():
            assert getattr(engine, name) == value
        assert self.engine_of(JUDGE_CASES[case][0]()) is engine  # from the cache
        assert len(tp._inference_engine_cache) == 1

    def test_lmai_needs_project_or_space(self, monkeypatch):
        FactoryRecorder(monkeypatch)
        with pytest.raises(Exception, match="^Either project or space id is required$"):
            self.engine_of(lmai_model(project_id=None))

    def test_unsupported_model(self):
        p = provider(method="llm_as_judge", llm_judge=types.SimpleNamespace(model=object()))
        with pytest.raises(Exception, match=r"^LLM Model provider is not supported\.$"):
            getattr(p, PRE + "get_ai_evaluator_inference_engine")()

    def test_custom_models_are_never_cached(self, monkeypatch):
        monkeypatch.setenv("TALYX_ENABLE_INFERENCE_CACHE", "false")
        model = CustomFoundationModel(scoring_fn=str.upper, model_id="mine", context={"c": 1}, num_parallel_requests=3)
        first, second = self.engine_of(model), self.engine_of(model)
        assert type(first) is CustomFunctionInferenceEngine and first is not second
        assert (first.scoring_fn, first.model_name, first.context, first.num_parallel_requests, first.use_cache) == (
            str.upper, "mine", {"c": 1}, 3, False,
        )
        assert len(tp._inference_engine_cache) == 0

    def test_custom_model_without_optional_attributes(self, monkeypatch):
        class Bare:
            _scoring_fn = staticmethod(str.lower)

        monkeypatch.setattr(tp, "CustomFoundationModel", Bare)
        engine = getattr(provider(method="llm_as_judge", llm_judge=types.SimpleNamespace(model=Bare())),
                         PRE + "get_ai_evaluator_inference_engine")()
        assert (engine.model_name, engine.context, engine.num_parallel_requests) == ("custom_fn", None, 20)

    def test_same_settings_share_an_engine(self):
        first = self.engine_of(openai_judge().model)
        assert self.engine_of(openai_judge().model) is first
        assert self.engine_of(openai_judge(api_key="other").model) is not first
        assert len(tp._inference_engine_cache) == 2

    def test_key_order_of_credentials_does_not_matter(self):
        def model(dumped):
            creds = types.SimpleNamespace(model_dump=lambda: dumped)
            return OpenAIFoundationModel.model_construct(model_id="m", provider=types.SimpleNamespace(credentials=creds))

        first = self.engine_of(model({"url": URL, "api_key": "k"}))
        assert self.engine_of(model({"api_key": "k", "url": URL})) is first

    def test_engines_expire_after_an_hour(self, monkeypatch):
        now = [1000.0]
        monkeypatch.setattr(tp._inference_engine_cache.timer, "_Timer__timer", lambda: now[0])
        first = self.engine_of(openai_judge().model)
        now[0] += 3599.9
        assert self.engine_of(openai_judge().model) is first
        now[0] = 1000.0 + 3600
        second = self.engine_of(openai_judge().model)
        assert second is not first and self.engine_of(openai_judge().model) is second

    def test_least_recently_used_engine_is_pushed_out(self, judge_server):
        make = TallyxProvider._create_inference_engine_impl
        creds = json.dumps({"url": judge_server.url})
        engines = [make(provider="openai", model_id=f"m{i}", use_cache=False, credentials_json=creds) for i in range(128)]
        assert make(provider="openai", model_id="m0", use_cache=False, credentials_json=creds) is engines[0]  # now the newest
        make(provider="openai", model_id="m128", use_cache=False, credentials_json=creds)
        assert len(tp._inference_engine_cache) == 128
        assert make(provider="openai", model_id="m0", use_cache=False, credentials_json=creds) is engines[0]
        assert make(provider="openai", model_id="m1", use_cache=False, credentials_json=creds) is not engines[1]
        assert engines[1].infer(["still usable"]) == ["0.0000"]  # an evicted engine keeps working

    @pytest.mark.parametrize(
        ("kwargs", "error", "message"),
        [
            ({"provider": "mystery"}, Exception, "^LLM Model provider 'mystery' is not supported.$"),
            ({"provider": 1}, TypeError, "^provider must be of type str, got int$"),
            ({"model_id": None}, TypeError, "^model_id must be of type str, got NoneType$"),
            ({"credentials_json": 5}, TypeError, "^credentials_json must be of type str, got int$"),
            # The cache key is made first: an unhashable argument fails there.
            ({"credentials_json": {}}, TypeError, "^unhashable type: 'dict'$"),
            ({"parameters_json": b"{}"}, TypeError, "^parameters_json must be of type str, got bytes$"),
            ({"parameters_json": '{"model": "x"}'}, TypeError,
             r"^tallyx\.inference\.LiteLLMInferenceEngine\(\) got multiple values for keyword argument 'model'$"),
            ({"parameters_json": '{"credentials": {}}'}, TypeError, "got multiple values for keyword argument 'credentials'$"),
            ({"parameters_json": '{"use_cache": true}'}, TypeError, "got multiple values for keyword argument 'use_cache'$"),
            ({"parameters_json": "[1]"}, TypeError,
             r"^tallyx\.inference\.LiteLLMInferenceEngine\(\) argument after \*\* must be a mapping, not list$"),
        ],
    )
    def test_factory_failures_store_nothing(self, kwargs, error, message):
        call = {"provider": "aws_bedrock", "model_id": "m", "use_cache": True, "credentials_json": "", **kwargs}
        with pytest.raises(error, match=message):
            TallyxProvider._create_inference_engine_impl(**call)
        assert len(tp._inference_engine_cache) == 0

    @pytest.mark.parametrize(("flag", "expected"), [(0, False), ("yes", True), ("", False)])
    def test_use_cache_by_truth_and_empty_texts(self, flag, expected):
        engine = TallyxProvider._create_inference_engine_impl(provider="vertexai", model_id="m", use_cache=flag, credentials_json="")
        assert (engine.use_cache, engine.credentials, engine.parameters) == (expected, {}, {})


class TestPostProcess:
    def post(self, p, scores, ids=None):
        frame = pd.DataFrame({p.metric_name: scores, "record_id": ids or [f"r{i}" for i in range(len(scores))]})
        return getattr(p, PRE + "post_process")(result=frame)

    @pytest.mark.parametrize(
        ("name", "method", "values", "low"),
        [
            ("context_relevance", "sentence_bert_bge", [0.0, 0.6], 0.0),
            ("context_relevance", "sentence_bert_mini_lm", [0.0, 0.6], 0.0),
            ("context_relevance", "bert_score_recall", [-0.2, 0.6], -0.2),
            ("faithfulness", "sentence_bert_mini_lm", [0.0, 0.6], 0.0),
            ("faithfulness", "sentence_bert_bge", [-0.2, 0.6], -0.2),
            ("answer_correctness", "sentence_bert_mini_lm", [0.0, 0.6], 0.0),
            ("answer_relevance", "sentence_bert_mini_lm", [-0.2, 0.6], -0.2),
            ("answer_relevance", "llm_as_judge", [-0.2, 0.6], -0.2),
        ],
    )
    def test_clipping(self, name, method, values, low):
        result = self.post(provider(name=name, method=method), [-0.2, 0.6])
        assert [r.value for r in result.record_level_metrics] == values
        assert (result.min, result.max, result.value, result.mean) == (low, 0.6, 0.2, 0.2)

    def test_rounding_and_not_a_number(self):
        result = self.post(provider(name="answer_relevance"), [0.123456, float("nan"), 0.99995])
        values = [r.value for r in result.record_level_metrics]
        assert values[0] == 0.1235 and math.isnan(values[1]) and values[2] == 1.0
        assert result.mean == round((0.123456 + 0.99995) / 2, 4)  # NaN skipped
        clipped = self.post(provider(name="faithfulness"), [float("nan"), 0.5])
        assert [r.value for r in clipped.record_level_metrics] == [0.0, 0.5]

    def test_records_and_aggregate_fields(self, monkeypatch):
        thresholds = [MetricThreshold(type="lower_limit", value=0.3)]
        made = []

        def recording(**kwargs):
            made.append(kwargs)
            return RecordMetricResult(**kwargs)

        monkeypatch.setattr(tp, "RecordMetricResult", recording)
        p = provider(name="answer_relevance", method="sentence_bert_bge", metric_group=MetricGroup.ANSWER_QUALITY,
                     thresholds=thresholds, metric_alias="ignored")
        result = self.post(p, [0.5, 0.25], ids=[7, 8])
        assert [list(kw) for kw in made] == [["name", "display_name", "method", "group", "provider", "value", "record_id", "thresholds"]] * 2
        assert made[0] == {"name": "answer_relevance", "display_name": "Answer Relevance", "method": "sentence_bert_bge",
                           "group": MetricGroup.ANSWER_QUALITY, "provider": "tallyx", "value": 0.5, "record_id": "7",
                           "thresholds": thresholds}
        assert made[0]["thresholds"] is thresholds
        assert isinstance(result, AggregateMetricResult)
        assert result.model_dump(exclude={"record_level_metrics"}) == {
            "name": "answer_relevance", "display_name": "Answer Relevance", "method": "sentence_bert_bge",
            "group": MetricGroup.ANSWER_QUALITY, "provider": "tallyx", "value": 0.375, "thresholds": [{"type": "lower_limit", "value": 0.3}],
            "errors": None, "total_records": 2, "min": 0.25, "max": 0.5, "mean": 0.375,
        }

    def test_numeric_record_ids_in_a_numeric_table(self):
        result = self.post(provider(name="answer_relevance"), [0.5, 0.25], ids=[7, 12])
        assert [r.record_id for r in result.record_level_metrics] == ["7", "12"]

    def test_clip_table_read_at_call_time_by_name_not_alias(self, monkeypatch):
        monkeypatch.setattr(TallyxProvider, "CLIP_METRIC_METHODS", {"tone": {"plain"}})
        assert self.post(provider(name="tone", method="plain", metric_alias="faithfulness"), [-1.0]).min == 0.0
        assert self.post(provider(name="faithfulness", method="sentence_bert_mini_lm"), [-1.0]).min == -1.0

    def test_empty_and_missing_scores(self):
        with pytest.raises(ValueError, match="^min\\(\\) iterable argument is empty$"):
            self.post(provider(name="answer_relevance"), [])
        with pytest.raises(TypeError, match="^type NoneType doesn't define __round__ method$"):
            self.post(provider(name="answer_relevance"), [None, None])


class TestEvaluate:
    def test_similarity_metric_end_to_end(self):
        result = provider(name="answer_correctness", method="bert_score_recall").evaluate(table())
        assert [(r.record_id, r.value) for r in result.record_level_metrics] == [("r1", 1.0), ("r2", 0.5)]
        assert (result.value, result.total_records, result.provider) == (0.75, 2, "tallyx")

    def test_alias_builds_the_library_metric(self, scripted):
        scripted("x", "plain", lambda instance: 0.4)
        result = provider(name="y", method="plain", prefix="metrics.test", metric_alias="x").evaluate(table())
        assert {r.name for r in result.record_level_metrics} == {"y"} and result.name == "y" and result.value == 0.4

    @pytest.mark.parametrize(
        ("change", "reason", "context_type"),
        [
            (lambda p, d: d.drop(columns=["record_id"]), "'record_id'", KeyError),
            (lambda p, d: setattr(p, "metric_method", "nope") or d,
             "Artifact 'metrics.rag_eval.faithfulness.nope' does not exist in the catalog", LookupError),
            (lambda p, d: d.iloc[0:0], "min() iterable argument is empty", ValueError),
        ],
    )
    def test_failures_are_wrapped_with_context(self, change, reason, context_type):
        p = provider()
        data = change(p, table())
        with pytest.raises(Exception) as info:
            p.evaluate(data)
        error = info.value
        assert type(error) is Exception
        assert str(error) == (f"Error while computing metrics: faithfulness with the method {p.metric_method} "
                              f"using tallyx library. Reason: {reason}")
        assert isinstance(error.__context__, context_type)
        assert error.__cause__ is None and error.__suppress_context__ is False

    def test_patch_runs_first_on_every_call_and_base_exceptions_pass(self, monkeypatch):
        calls = []
        monkeypatch.setattr(tp, "patch_bertscore_overflow", lambda: calls.append(1))
        p = provider()
        p.evaluate(table())
        p.evaluate(table())
        assert calls == [1, 1]

        class Stop(BaseException):
            pass

        def stop():
            raise Stop()

        monkeypatch.setattr(tp, "patch_bertscore_overflow", stop)
        with pytest.raises(Stop):
            p.evaluate(table())

    def test_replaced_stream_class_is_used(self, monkeypatch):
        streams = RecordingStreams([0.3, 0.7]).install(monkeypatch)
        assert provider().evaluate(table()).value == 0.5
        assert streams.calls[0][0] == "from_iterables"

    def test_evaluate_async_runs_evaluate_in_the_executor(self, monkeypatch):
        seen = []
        original = tp.start_event_loop_run_func

        def recording(fn, **kwargs):
            seen.append((fn.__name__, list(kwargs), threading.current_thread() is threading.main_thread()))
            return original(fn, **kwargs)

        monkeypatch.setattr(tp, "start_event_loop_run_func", recording)
        data = table()
        result = asyncio.run(provider(name="answer_correctness", method="bert_score_recall").evaluate_async(data))
        assert result.value == 0.75
        assert seen == [("evaluate", ["data"], False)]

    def test_evaluate_async_errors_arrive_as_raised(self):
        p = provider()
        p.metric_method = "nope"
        with pytest.raises(Exception, match="^Error while computing metrics: faithfulness with the method nope using tallyx library. Reason: Artifact") as info:
            asyncio.run(p.evaluate_async(table()))
        assert isinstance(info.value.__context__, LookupError)


class TestJudgeEndToEnd:
    @pytest.mark.parametrize(
        ("name", "scores"),
        [
            ("faithfulness", [1.0, 0.5]),
            ("answer_relevance", [1.0, 0.3]),
            ("context_relevance", [1.0, 0.3]),
            ("answer_correctness", [1.0, 0.5]),
        ],
    )
    def test_openai_judge(self, judge_server, name, scores):
        before = len(judge_server.requests)
        p = provider(name=name, method="llm_as_judge", llm_judge=openai_judge(url=judge_server.url))
        result = p.evaluate(table())
        assert [r.value for r in result.record_level_metrics] == scores
        assert result.mean == round(sum(scores) / 2, 4)
        bodies = [r["body"] for r in judge_server.requests[before:]]
        assert [[m["role"] for m in b["messages"]] for b in bodies] == [["system", "user"]] * 2  # chat format
        assert {b["model"] for b in bodies} == {"judge"}

    def test_ai_service_judge_uses_the_default_format(self, judge_server):
        before = len(judge_server.requests)
        model = lmai_model(url=judge_server.url)
        result = provider(name="faithfulness", method="llm_as_judge", llm_judge=LLMJudge(model=model)).evaluate(table())
        assert [r.value for r in result.record_level_metrics] == [1.0, 0.5]
        bodies = [r["body"] for r in judge_server.requests[before:]]
        assert [[m["role"] for m in b["messages"]] for b in bodies] == [["user"]] * 2
        assert {b["project_id"] for b in bodies} == {"p"}

    def test_judge_configured_on_similarity_method_locks_but_scores_by_catalog(self, monkeypatch, judge_server):
        lock = RecordingLock()
        monkeypatch.setattr(TallyxProvider, "_lock", lock)
        config = configuration(llm_judge=openai_judge(url=judge_server.url))
        result = provider(name="answer_correctness", method="bert_score_recall", config=config).evaluate(table())
        assert result.value == 0.75 and lock.events == ["enter", ("exit", None)]


@pytest.fixture
def fake_bert_score(tmp_path, monkeypatch):
    """A small bert_score package of the tests' own: get_tokenizer returns
    a tokenizer whose model_max_length is given by the model type."""
    package = tmp_path / "bert_score"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "utils.py").write_text(
        "calls = []\n"
        "class Tokenizer:\n"
        "    def __init__(self, length):\n"
        "        if length is not None:\n"
        "            self.model_max_length = length\n"
        "def get_tokenizer(model_type, use_fast=False):\n"
        "    calls.append((model_type, use_fast))\n"
        "    return Tokenizer(model_type)\n"
    )
    (package / "scorer.py").write_text("from bert_score.utils import get_tokenizer\n")
    for name in [m for m in sys.modules if m == "bert_score" or m.startswith("bert_score.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.syspath_prepend(str(tmp_path))
    import bert_score.scorer
    import bert_score.utils

    yield bert_score.utils, bert_score.scorer
    for name in [m for m in sys.modules if m == "bert_score" or m.startswith("bert_score.")]:
        del sys.modules[name]


class TestBertScorePatch:
    @pytest.mark.parametrize(("length", "after"), [(10**30, 512), (100001, 512), (100000, 100000), (512, 512), (None, None)])
    def test_clamps_oversized_lengths(self, fake_bert_score, length, after):
        utils, scorer = fake_bert_score
        assert tp.patch_bertscore_overflow() is None
        tokenizer = utils.get_tokenizer(length)
        assert getattr(tokenizer, "model_max_length", None) == after
        assert scorer.get_tokenizer is utils.get_tokenizer
        assert utils.calls == [(length, False)]

    def test_wrapper_shape_and_once_only(self, fake_bert_score):
        utils, scorer = fake_bert_score
        original = utils.get_tokenizer
        tp.patch_bertscore_overflow()
        patched = utils.get_tokenizer
        assert utils._is_patched_for_overflow is True
        assert patched.__name__ == "patched_get_tokenizer"
        assert str(inspect.signature(patched)) == "(model_type, use_fast=False)"
        tp.patch_bertscore_overflow()
        assert utils.get_tokenizer is patched  # not wrapped again
        assert patched(50, True).model_max_length == 50
        assert utils.calls == [(50, True)] and original is not patched

    def test_marker_presence_is_enough(self, fake_bert_score):
        utils, _ = fake_bert_score
        utils._is_patched_for_overflow = False
        original = utils.get_tokenizer
        tp.patch_bertscore_overflow()
        assert utils.get_tokenizer is original

    def test_scorer_without_its_own_reference(self, fake_bert_score):
        utils, scorer = fake_bert_score
        del scorer.get_tokenizer
        tp.patch_bertscore_overflow()
        assert not hasattr(scorer, "get_tokenizer") and utils._is_patched_for_overflow

    def test_evaluate_applies_the_patch(self, fake_bert_score):
        utils, _ = fake_bert_score
        provider().evaluate(table())
        assert utils._is_patched_for_overflow is True

    def test_other_errors_propagate(self, fake_bert_score):
        utils, _ = fake_bert_score
        del utils.get_tokenizer
        with pytest.raises(AttributeError, match="get_tokenizer"):
            tp.patch_bertscore_overflow()
        assert not hasattr(utils, "_is_patched_for_overflow")

    def test_absent_package_is_quietly_skipped(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "bert_score", None)
        assert tp.patch_bertscore_overflow() is None

    def test_real_package_when_installed(self):
        utils = pytest.importorskip("bert_score.utils")
        tp.patch_bertscore_overflow()
        assert hasattr(utils, "_is_patched_for_overflow")
        assert utils.get_tokenizer.__name__ == "patched_get_tokenizer"
