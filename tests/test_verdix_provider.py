"""The criteria-judge provider: construction, both judging modes, criteria and
instances, the judge and its engine parameters per model kind, the error
wrapping and the post-processing into result records."""

from __future__ import annotations

import asyncio
import inspect
import threading
import types

import pandas as pd
import pytest
import tiktoken

import zentra_lumara_gov.providers.verdix_provider as vp
from tallyx.inference import CrossProviderInferenceEngine
from verdix.judges import Criteria, CriteriaOption, DirectJudge, Instance
from zentra_judge_server import JudgeServer
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
from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AzureOpenAIFoundationModel,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    LmAIFoundationModel,
    LmoAIGateway,
    OpenAIFoundationModel,
    PortKeyGateway,
    VertexAIFoundationModel,
)
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers.inference_engines.google_studio_inference_engine import GoogleStudioInferenceEngine
from zentra_lumara_gov.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine
from zentra_lumara_gov.providers.verdix_provider import VerdixProvider

PUBLIC = ["public"]
OPTIONS = [
    Option(name="Yes", description="The {answer} is backed by the {contexts}.", value=1.0),
    Option(name="No", description="The {answer} is not backed.", value=0.0),
]


def lmai_model(**overrides):
    credentials = {"url": "http://127.0.0.1:1", "api_key": "ak"}
    credentials.update(overrides.pop("credentials", {}))
    values = {"model_id": "judge-model", "project_id": "p-1"}
    values.update(overrides)
    return LmAIFoundationModel(provider={"credentials": LmAICredentials(**credentials)}, **values)


def make_provider(model=None, **overrides):
    values = {
        "metric_name": "groundedness",
        "display_name": "Groundedness",
        "value_type": "numeric",
        "llm_judge": LLMJudge(model=model or lmai_model()),
        "options": list(OPTIONS),
        "criteria_description": "Is the {answer} supported by the {contexts}?",
        "prediction_field": "answer",
        "context_fields": ["contexts"],
    }
    values.update(overrides)
    return VerdixProvider(**values)


def table(rows=2):
    answers = ["Paris is the capital of France.", "A spider has six legs.", "Water boils at 100 degrees."]
    contexts = [["Paris is the capital of France."], ["Spiders have eight legs."], ["Water boils at 100 degrees."]]
    return pd.DataFrame(
        {
            "record_id": [f"r{i + 1}" for i in range(rows)],
            "record_timestamp": [f"2026-01-0{i + 1}T00:00:00" for i in range(rows)],
            "question": [f"q{i + 1}" for i in range(rows)],
            "contexts": contexts[:rows],
            "answer": answers[:rows],
        }
    )


def judge_result(option, explanation="because", feedback="more detail", prompt="hello world", response="Yes"):
    return types.SimpleNamespace(
        selected_option=option,
        explanation=explanation,
        feedback=feedback,
        metadata={"prompt": prompt, "unparsed_response": response},
    )


class FakeJudge:
    """Stands in for DirectJudge: records the calls and answers from a list."""

    def __init__(self, answers):
        self.answers = answers
        self.calls = []

    def evaluate(self, instances, criteria):
        self.calls.append(("evaluate", instances, criteria))
        return list(self.answers)

    def evaluate_with_custom_prompt(self, judge_prompts, valid_outputs):
        self.calls.append(("custom", judge_prompts, valid_outputs))
        return list(self.answers)


@pytest.fixture
def fake_judge(monkeypatch):
    """Replaces the module's DirectJudge (a global read at call time)."""
    made = []

    def factory(answers):
        judge = FakeJudge(answers)

        def direct_judge(**kwargs):
            made.append(kwargs)
            return judge

        monkeypatch.setattr(vp, "DirectJudge", direct_judge)
        return judge

    factory.made = made
    return factory


@pytest.fixture
def engines(monkeypatch):
    """Replaces the three engine classes by recorders of their keywords."""
    built = []

    def recorder(label):
        class Engine:
            def __init__(self, **kwargs):
                self.label = label
                self.kwargs = kwargs
                built.append(self)

            def infer(self, dataset):
                raise AssertionError("the recorded engine is not asked")

        Engine.__name__ = Engine.__qualname__ = label
        return Engine

    for name in ("CrossProviderInferenceEngine", "PortKeyInferenceEngine", "GoogleStudioInferenceEngine"):
        monkeypatch.setattr(vp, name, recorder(name))
    return built


# --------------------------------------------------------------------------
# Module and construction


class TestModule:
    def test_is_a_shared_library_with_the_lazy_loaded_globals(self):
        assert vp.__file__.endswith(".so")
        assert vp.vx_imports.__name__ == "lazy_vx"
        import sys

        assert sys.modules["lazy_vx"] is vp.vx_imports
        assert vp.VxCriteria is Criteria
        assert vp.VxCriteriaOption is CriteriaOption
        assert vp.Instance is Instance
        assert vp.DirectJudge is DirectJudge
        assert vp.CrossProviderInferenceEngine is CrossProviderInferenceEngine
        assert vp.VARIABLES_PATTERN == r"\{([a-zA-Z_][a-zA-Z0-9_]*)\}"

    def test_signatures(self):
        assert str(inspect.signature(VerdixProvider)) == (
            "(metric_name: 'str', display_name: 'str', value_type: 'str', llm_judge: 'LLMJudge', "
            "options: 'list[Option]', criteria_description: 'str | None' = None, "
            "prompt_template: 'str | None' = None, context_fields: 'list[str]' = [], "
            "prediction_field: 'str | None' = None, metric_group: 'MetricGroup | None' = None, "
            "metric_method: 'str | None' = None, thresholds: 'list[MetricThreshold]' = [], **kwargs)"
        )
        for name in ("evaluate", "evaluate_async"):
            assert str(inspect.signature(getattr(VerdixProvider, name))) == (
                "(self, data: 'pd.DataFrame') -> 'AggregateMetricResult'"
            )
        assert str(inspect.signature(VerdixProvider._VerdixProvider__post_process)) == (
            "(self, results, data: 'pd.DataFrame') -> 'AggregateMetricResult'"
        )
        assert list(inspect.signature(VerdixProvider._VerdixProvider__build_criteria).parameters) == [
            "self", "prediction_field", "context_fields"]
        assert list(inspect.signature(VerdixProvider._VerdixProvider__build_instances).parameters) == [
            "self", "data", "prediction_field", "context_fields"]
        assert inspect.iscoroutinefunction(VerdixProvider.evaluate_async)
        assert not inspect.iscoroutinefunction(VerdixProvider.evaluate)
        assert VerdixProvider.__bases__ == (object,)


class TestConstruction:
    def test_attributes_in_order_with_defaults(self):
        judge = LLMJudge(model=lmai_model())
        options = list(OPTIONS)
        provider = VerdixProvider("m", "M", "numeric", judge, options)
        assert list(vars(provider)) == [
            "metric_name", "display_name", "value_type", "llm_judge", "criteria_description", "prompt_template",
            "options", "context_fields", "prediction_field", "metric_group", "metric_method", "thresholds",
            "record_id_field", "record_timestamp_field", "compute_token_count",
        ]
        assert provider.llm_judge is judge and provider.options is options
        assert (provider.criteria_description, provider.prompt_template, provider.prediction_field) == (None, None, None)
        assert (provider.metric_group, provider.metric_method) == (None, None)
        assert (provider.record_id_field, provider.record_timestamp_field) == ("record_id", "record_timestamp")
        assert provider.compute_token_count is False
        assert not hasattr(provider, "encoding")

    def test_list_defaults_are_shared_and_stored_not_copied(self):
        first = VerdixProvider("a", "A", "numeric", None, [])
        second = VerdixProvider("b", "B", "numeric", None, [])
        defaults = inspect.signature(VerdixProvider).parameters
        assert first.context_fields is second.context_fields is defaults["context_fields"].default
        assert first.thresholds is second.thresholds is defaults["thresholds"].default
        fields, thresholds = ["contexts"], [MetricThreshold(type="lower_limit", value=0.5)]
        given = VerdixProvider("c", "C", "numeric", None, [], context_fields=fields, thresholds=thresholds)
        assert given.context_fields is fields and given.thresholds is thresholds

    def test_all_twelve_positionally_and_the_extras(self):
        provider = VerdixProvider(
            "m", "M", "numeric", None, [], "crit", "tmpl", ["c"], "answer", MetricGroup.ANSWER_QUALITY, "llm_as_judge", [],
            record_id_field="id", record_timestamp_field="ts", compute_token_count="yes", api_client=object(),
        )
        assert (provider.criteria_description, provider.prompt_template, provider.context_fields) == ("crit", "tmpl", ["c"])
        assert (provider.prediction_field, provider.metric_group, provider.metric_method) == (
            "answer", MetricGroup.ANSWER_QUALITY, "llm_as_judge")
        assert (provider.record_id_field, provider.record_timestamp_field) == ("id", "ts")
        # Stored as given, not turned into a bool.
        assert provider.compute_token_count == "yes"

    @pytest.mark.parametrize(
        ("argument", "value", "message"),
        [
            ("metric_name", 1, "argument 'metric_name' must be str, not int"),
            ("display_name", None, "argument 'display_name' must be str, not NoneType"),
            ("value_type", b"x", "argument 'value_type' must be str, not bytes"),
            ("options", (), "argument 'options' must be list, not tuple"),
            ("criteria_description", 2.0, "argument 'criteria_description' must be str or None, not float"),
            ("prompt_template", ["t"], "argument 'prompt_template' must be str or None, not list"),
            ("context_fields", "contexts", "argument 'context_fields' must be list, not str"),
            ("prediction_field", 3, "argument 'prediction_field' must be str or None, not int"),
            ("metric_method", {}, "argument 'metric_method' must be str or None, not dict"),
            ("thresholds", None, "argument 'thresholds' must be list, not NoneType"),
        ],
    )
    def test_wrong_types_name_the_argument(self, argument, value, message):
        values = {"metric_name": "m", "display_name": "M", "value_type": "numeric", "llm_judge": None, "options": []}
        values[argument] = value
        with pytest.raises(TypeError) as caught:
            VerdixProvider(**values)
        assert str(caught.value) == message

    def test_argument_binding_matches_python(self):
        def twin(self, metric_name, display_name, value_type, llm_judge, options, criteria_description=None,
                 prompt_template=None, context_fields=[], prediction_field=None, metric_group=None,
                 metric_method=None, thresholds=[], **kwargs):
            pass

        twin.__qualname__ = "VerdixProvider.__init__"
        for args, kwargs in [(("m", "M", "n", None), {}), (("m", "M", "n", None, [], None, None, [], None, None, None, [], 1), {}),
                             (("m", "M", "n", None, []), {"metric_name": "x"})]:
            with pytest.raises(TypeError) as expected:
                twin(None, *args, **kwargs)
            with pytest.raises(TypeError) as caught:
                VerdixProvider(*args, **kwargs)
            assert str(caught.value) == str(expected.value)


# --------------------------------------------------------------------------
# Criteria and instances


class TestPlaceholders:
    @pytest.mark.parametrize(
        ("prediction_field", "text", "expected"),
        [
            ("response", "Is {response} polite given {question}?", "Is response polite given question?"),
            ("response", "{response}{response} and {_x1}", "responseresponse and _x1"),
            ("my-answer", "Judge {my-answer} against {other-field}.", "Judge my-answer against {other-field}."),
            ("answer", "Keep {1st}, { spaced } and {a.b} as they are.", "Keep {1st}, { spaced } and {a.b} as they are."),
            ("answer", "Nested {{answer}} and {{x}}", "Nested answer and {x}"),
            ("answer", "No placeholders.", "No placeholders."),
        ],
    )
    def test_stripping_of_the_criteria_and_its_options(self, prediction_field, text, expected):
        provider = make_provider(
            criteria_description=text,
            options=[Option(name="A", description=text, value=1), Option(name="B", description="", value=0.5)],
        )
        criteria = provider._VerdixProvider__build_criteria(prediction_field, ["question"])
        assert isinstance(criteria, Criteria)
        assert (criteria.name, criteria.description) == ("groundedness", expected)
        assert (criteria.to_evaluate_field, criteria.context_fields) == (prediction_field, ["question"])
        assert [(o.name, o.description, o.score) for o in criteria.options] == [("A", expected, 1), ("B", "", 0.5)]

    def test_the_pattern_is_read_at_call_time(self, monkeypatch):
        monkeypatch.setattr(vp, "VARIABLES_PATTERN", r"<([a-z]+)>")
        provider = make_provider(criteria_description="Is <answer> fine given {question}?")
        criteria = provider._VerdixProvider__build_criteria("answer", [])
        assert criteria.description == "Is answer fine given {question}?"

    def test_no_prediction_field_fails_like_python(self):
        provider = make_provider()
        with pytest.raises(TypeError) as caught:
            provider._VerdixProvider__build_criteria(None, [])
        assert str(caught.value) == 'can only concatenate str (not "NoneType") to str'


class TestInstances:
    def build(self, data, prediction_field="answer", context_fields=("question", "contexts")):
        provider = make_provider()
        return provider._VerdixProvider__build_instances(
            data=data, prediction_field=prediction_field, context_fields=list(context_fields))

    def test_with_context_columns(self):
        instances = self.build(table())
        assert all(isinstance(instance, Instance) for instance in instances)
        assert [instance.fields for instance in instances] == [
            {"answer": "Paris is the capital of France.", "question": "q1", "contexts": ["Paris is the capital of France."]},
            {"answer": "A spider has six legs.", "question": "q2", "contexts": ["Spiders have eight legs."]},
        ]
        assert list(instances[0].fields) == ["answer", "question", "contexts"]

    def test_a_context_column_named_like_the_prediction_comes_after_it(self):
        instances = self.build(table(), context_fields=["answer", "question"])
        assert [list(instance.fields.items()) for instance in instances] == [
            [("answer", "Paris is the capital of France."), ("question", "q1")],
            [("answer", "A spider has six legs."), ("question", "q2")],
        ]

    def test_without_context_columns(self):
        assert [instance.fields for instance in self.build(table(3), context_fields=[])] == [
            {"answer": "Paris is the capital of France."}, {"answer": "A spider has six legs."},
            {"answer": "Water boils at 100 degrees."}]

    @pytest.mark.parametrize("context_fields", [[], ["question"]])
    def test_an_empty_table(self, context_fields):
        assert self.build(table().iloc[0:0], context_fields=context_fields) == []

    @pytest.mark.parametrize(("prediction_field", "context_fields"), [("answer", ["nope"]), ("nope", ["question"])])
    def test_missing_columns_raise_the_table_error(self, prediction_field, context_fields):
        with pytest.raises(KeyError):
            self.build(table(), prediction_field=prediction_field, context_fields=context_fields)


# --------------------------------------------------------------------------
# Judge and inference parameters


def _lmai_cloud():
    return lmai_model(credentials={"username": "ignored", "instance_id": "ignored"}), {
        "seed": 36, "data_classification_policy": PUBLIC,
        "credentials": {"url": "http://127.0.0.1:1", "api_key": "ak", "project_id": "p-1"},
        "provider": "lumara-sdk", "model": "judge-model",
        "provider_specific_args": {"lumara-sdk": {"concurrency_limit": 10}},
    }


def _lmai_onprem_no_password():
    model = lmai_model(project_id=None, space_id="s-1",
                       credentials={"version": "5.0", "username": "u", "instance_id": "inst"})
    return model, {
        "seed": 36, "data_classification_policy": PUBLIC,
        "credentials": {"url": "http://127.0.0.1:1", "api_key": "ak", "username": "u", "instance_id": "inst",
                        "space_id": "s-1"},
        "provider": "lumara-sdk", "model": "judge-model",
        "provider_specific_args": {"lumara-sdk": {"concurrency_limit": 10}},
    }


def _lmai_onprem_password_both_ids():
    model = lmai_model(space_id="s-1", credentials={"api_key": None, "version": "5.0", "username": "u",
                                                    "instance_id": "inst", "password": "pw"})
    return model, {
        "seed": 36, "data_classification_policy": PUBLIC,
        "credentials": {"url": "http://127.0.0.1:1", "username": "u", "instance_id": "inst", "password": "pw",
                        "project_id": "p-1"},
        "provider": "lumara-sdk", "model": "judge-model",
        "provider_specific_args": {"lumara-sdk": {"concurrency_limit": 10}},
    }


def _openai(parameters, expected_parameters):
    model = OpenAIFoundationModel(model_id="gpt", parameters=parameters,
                                  provider={"credentials": OpenAICredentials(api_key="ok", url="http://127.0.0.1:2")})
    return model, {
        "seed": 36, "data_classification_policy": PUBLIC, "credentials": {"api_key": "ok"},
        "provider": "open-ai", "model": "gpt", "provider_specific_args": {"open-ai": expected_parameters},
    }


def _portkey():
    credentials = PortKeyCredentials(api_key="pk", url="http://127.0.0.1:3", provider_api_key="inner")
    model = PortKeyGateway(model_id="pk-model", provider={"credentials": credentials})
    return model, {"seed": 36, "data_classification_policy": PUBLIC,
                   "credentials": {"api_key": "pk", "url": "http://127.0.0.1:3", "provider_api_key": "inner"},
                   "model": "pk-model"}


def _google():
    model = GoogleAIStudioFoundationModel(model_id="gemini", provider={"credentials": GoogleAIStudioCredentials(api_key="gk")})
    return model, {"seed": 36, "data_classification_policy": PUBLIC, "credentials": {"api_key": "gk"}, "model": "gemini"}


def _vertex():
    model = VertexAIFoundationModel(model_id="gemini", provider={"credentials": VertexAICredentials(project_id="gcp")})
    return model, {"seed": 36, "data_classification_policy": PUBLIC,
                   "credentials": {"project_id": "gcp", "location": "us-central1", "credentials_path": None},
                   "provider": "vertex-ai", "model": "gemini"}


def _bedrock(parameters, expected_parameters):
    credentials = AWSBedrockCredentials(aws_access_key_id="id", aws_secret_access_key="secret")
    model = AWSBedrockFoundationModel(model_id="claude", parameters=parameters, provider={"credentials": credentials})
    return model, {"data_classification_policy": PUBLIC,
                   "credentials": {"aws_access_key_id": "id", "aws_secret_access_key": "secret",
                                   "aws_region_name": "us-east-1", "aws_session_token": None},
                   "model": "claude", "provider": "aws", "provider_specific_args": {"aws": expected_parameters}}


KINDS = {
    "lmai-cloud": _lmai_cloud,
    "lmai-onprem-no-password": _lmai_onprem_no_password,
    "lmai-onprem-password-both-ids": _lmai_onprem_password_both_ids,
    "openai": lambda: _openai(None, {"temperature": 0}),
    "openai-parameters": lambda: _openai({"temperature": 0.7, "max_tokens": 5}, {"temperature": 0.7, "max_tokens": 5}),
    "portkey": _portkey,
    "google-ai-studio": _google,
    "vertex": _vertex,
    "bedrock": lambda: _bedrock(None, {}),
    "bedrock-parameters": lambda: _bedrock({"temperature": 0.1}, {"temperature": 0.1}),
}


class TestInferenceParameters:
    @pytest.mark.parametrize("kind", KINDS)
    def test_parameters_per_model_kind(self, kind):
        model, expected = KINDS[kind]()
        params = make_provider(model)._VerdixProvider__build_inference_engine_params()
        assert params == expected
        assert list(params) == list(expected)
        assert ("seed" in params) == (not kind.startswith("bedrock"))

    def test_concurrency_limit_comes_from_the_environment(self, monkeypatch):
        monkeypatch.setenv("LUMARA_CONCURRENCY_LIMIT", "3")
        params = make_provider()._VerdixProvider__build_inference_engine_params()
        assert params["provider_specific_args"] == {"lumara-sdk": {"concurrency_limit": 3}}

    @pytest.mark.parametrize(
        ("model", "message"),
        [
            (lmai_model(project_id=None), "Either project or space id is required"),
            (lmai_model(project_id="", space_id=""), "Either project or space id is required"),
            (AzureOpenAIFoundationModel(model_id="az", provider={"credentials": AzureOpenAICredentials(
                api_key="k", url="http://127.0.0.1:4")}), "Azure OpenAI Model provider is not supported."),
            (CustomFoundationModel(scoring_fn=lambda prompts: prompts), "LLM Model provider is not supported."),
            (LmoAIGateway(model_id="gw", provider={"credentials": LmoAIGatewayCredentials(
                url="http://127.0.0.1:5", api_key="k")}), "LLM Model provider is not supported."),
        ],
        ids=["no-ids", "empty-ids", "azure", "custom", "lmo-gateway"],
    )
    def test_refused_kinds(self, model, message):
        with pytest.raises(Exception) as caught:
            make_provider(model)._VerdixProvider__build_inference_engine_params()
        assert type(caught.value) is Exception
        assert str(caught.value) == message


class TestJudge:
    @pytest.mark.parametrize(
        ("kind", "engine"),
        [("lmai-cloud", "CrossProviderInferenceEngine"), ("openai", "CrossProviderInferenceEngine"),
         ("vertex", "CrossProviderInferenceEngine"), ("bedrock", "CrossProviderInferenceEngine"),
         ("portkey", "PortKeyInferenceEngine"), ("google-ai-studio", "GoogleStudioInferenceEngine")],
    )
    @pytest.mark.parametrize("cache", ["true", "false"])
    def test_engine_class_and_keywords(self, engines, monkeypatch, kind, engine, cache):
        monkeypatch.setenv("TALYX_ENABLE_INFERENCE_CACHE", cache)
        model, params = KINDS[kind]()
        judge = make_provider(model)._VerdixProvider__build_judge()
        assert isinstance(judge, DirectJudge) and judge.generate_feedback is True
        assert len(engines) == 1 and judge.inference_engine is engines[0]
        assert engines[0].label == engine
        assert engines[0].kwargs == {**params, "use_cache": cache == "true"}

    @pytest.mark.parametrize("kind", ["lmai-cloud", "openai", "vertex", "bedrock", "portkey", "google-ai-studio"])
    def test_real_engines_accept_the_parameters(self, kind):
        model, params = KINDS[kind]()
        engine = make_provider(model)._VerdixProvider__build_judge().inference_engine
        expected = {"portkey": PortKeyInferenceEngine, "google-ai-studio": GoogleStudioInferenceEngine}.get(
            kind, CrossProviderInferenceEngine)
        assert type(engine) is expected
        assert engine.data_classification_policy == PUBLIC
        assert engine.use_cache is False

    def test_a_use_cache_parameter_is_a_duplicate_keyword(self, monkeypatch):
        provider = make_provider()
        monkeypatch.setattr(provider, "_VerdixProvider__build_inference_engine_params", lambda: {"use_cache": True})
        with pytest.raises(TypeError) as expected:
            CrossProviderInferenceEngine(**{"use_cache": True}, use_cache=False)
        with pytest.raises(TypeError) as caught:
            provider._VerdixProvider__build_judge()
        assert str(caught.value) == str(expected.value)
        assert str(caught.value) == "tallyx.inference.CrossProviderInferenceEngine() got multiple values for keyword argument 'use_cache'"

    def test_parameters_that_are_no_mapping(self, monkeypatch):
        provider = make_provider()
        monkeypatch.setattr(provider, "_VerdixProvider__build_inference_engine_params", lambda: [("seed", 1)])
        with pytest.raises(TypeError) as caught:
            provider._VerdixProvider__build_judge()
        assert str(caught.value) == "tallyx.inference.CrossProviderInferenceEngine() argument after ** must be a mapping, not list"

    def test_no_judge_fails_on_reading_its_model(self, engines):
        provider = make_provider()
        provider.llm_judge = None
        with pytest.raises(AttributeError) as caught:
            provider._VerdixProvider__build_judge()
        assert str(caught.value) == "'NoneType' object has no attribute 'model'"
        assert engines == []


# --------------------------------------------------------------------------
# evaluate: modes, precedence and the error wrapping


class TestEvaluate:
    def test_criteria_mode(self, fake_judge, engines):
        judge = fake_judge([judge_result("Yes"), judge_result("No")])
        result = make_provider().evaluate(table())
        (kind, instances, criteria), = judge.calls
        assert kind == "evaluate"
        assert [instance.fields for instance in instances] == [
            {"answer": "Paris is the capital of France.", "contexts": ["Paris is the capital of France."]},
            {"answer": "A spider has six legs.", "contexts": ["Spiders have eight legs."]}]
        assert criteria.description == "Is the answer supported by the contexts?"
        assert fake_judge.made == [{"inference_engine": engines[0], "generate_feedback": True}]
        assert [(r.record_id, r.label, r.value) for r in result.record_level_metrics] == [("r1", "Yes", 1.0), ("r2", "No", 0.0)]

    def test_custom_prompt_mode(self, fake_judge, engines):
        judge = fake_judge([judge_result("No"), judge_result("Yes")])
        provider = make_provider(criteria_description=None, prompt_template="Q={question} A={answer} id={record_id}")
        result = provider.evaluate(table())
        assert judge.calls == [("custom", ["Q=q1 A=Paris is the capital of France. id=r1",
                                           "Q=q2 A=A spider has six legs. id=r2"], ["Yes", "No"])]
        assert [(r.label, r.value) for r in result.record_level_metrics] == [("No", 0.0), ("Yes", 1.0)]

    def test_criteria_mode_wins_over_a_template(self, fake_judge, engines):
        judge = fake_judge([judge_result("Yes")])
        make_provider(prompt_template="{missing}").evaluate(table(1))
        assert [call[0] for call in judge.calls] == ["evaluate"]

    @pytest.mark.parametrize(("criteria", "template"), [(None, None), ("", ""), (None, "")])
    def test_neither_mode(self, fake_judge, engines, criteria, template):
        judge = fake_judge([])
        provider = make_provider(criteria_description=criteria, prompt_template=template)
        with pytest.raises(Exception) as caught:
            provider.evaluate(table())
        assert str(caught.value) == ("Error while computing metrics: groundedness. Reason: cannot access local "
                                     "variable 'results' where it is not associated with a value")
        assert type(caught.value.__cause__) is UnboundLocalError
        assert judge.calls == []

    def test_a_template_placeholder_naming_no_column(self, fake_judge, engines):
        fake_judge([judge_result("Yes")] * 2)
        provider = make_provider(criteria_description=None, prompt_template="{question} {nope}")
        with pytest.raises(Exception) as caught:
            provider.evaluate(table())
        assert str(caught.value) == "Error while computing metrics: groundedness. Reason: 'nope'"
        assert type(caught.value.__cause__) is KeyError

    def test_a_row_repeating_a_column_name_fails_as_format_would(self, fake_judge, engines):
        # `template.format(**row)` refuses a name given twice, as Python does.
        fake_judge([judge_result("Yes")])
        repeated = pd.concat([table(1), table(1)[["answer"]]], axis=1)
        provider = make_provider(criteria_description=None, prompt_template="{answer}")
        with pytest.raises(Exception) as caught:
            provider.evaluate(repeated)
        assert str(caught.value) == ("Error while computing metrics: groundedness. Reason: "
                                     "str.format() got multiple values for keyword argument 'answer'")
        assert type(caught.value.__cause__) is TypeError

    @pytest.mark.parametrize(
        ("model", "reason"),
        [
            (lmai_model(project_id=None), "Either project or space id is required"),
            (AzureOpenAIFoundationModel(model_id="az", provider={"credentials": AzureOpenAICredentials(
                api_key="k", url="http://127.0.0.1:4")}), "Azure OpenAI Model provider is not supported."),
            (CustomFoundationModel(scoring_fn=print), "LLM Model provider is not supported."),
        ],
    )
    def test_judge_building_failures_are_wrapped_with_the_cause(self, model, reason):
        with pytest.raises(Exception) as caught:
            make_provider(model).evaluate(table())
        error = caught.value
        assert type(error) is Exception
        assert str(error) == f"Error while computing metrics: groundedness. Reason: {reason}"
        assert type(error.__cause__) is Exception and str(error.__cause__) == reason
        assert error.__suppress_context__ is True

    def test_a_judge_library_failure_is_wrapped(self, monkeypatch, engines):
        class Broken:
            def __init__(self, **kwargs):
                pass

            def evaluate(self, instances, criteria):
                raise RuntimeError("model unreachable")

        monkeypatch.setattr(vp, "DirectJudge", Broken)
        with pytest.raises(Exception) as caught:
            make_provider().evaluate(table())
        assert str(caught.value) == "Error while computing metrics: groundedness. Reason: model unreachable"
        assert isinstance(caught.value.__cause__, RuntimeError)

    @pytest.mark.parametrize("column", ["record_id", "record_timestamp"])
    def test_missing_id_or_timestamp_columns(self, fake_judge, engines, column):
        fake_judge([judge_result("Yes")] * 2)
        with pytest.raises(Exception) as caught:
            make_provider().evaluate(table().drop(columns=[column]))
        assert str(caught.value) == f"Error while computing metrics: groundedness. Reason: '{column}'"
        assert type(caught.value.__cause__) is KeyError

    def test_a_missing_context_column(self, fake_judge, engines):
        fake_judge([])
        with pytest.raises(KeyError) as expected:
            table()[["nope"]]
        with pytest.raises(Exception) as caught:
            make_provider(context_fields=["nope"]).evaluate(table())
        assert str(caught.value) == f"Error while computing metrics: groundedness. Reason: {expected.value}"

    def test_base_exceptions_are_not_wrapped(self, monkeypatch):
        provider = make_provider()

        def interrupted():
            raise KeyboardInterrupt

        monkeypatch.setattr(provider, "_VerdixProvider__build_judge", interrupted)
        with pytest.raises(KeyboardInterrupt):
            provider.evaluate(table())

    def test_private_steps_are_looked_up_on_the_instance(self, monkeypatch):
        provider = make_provider()
        seen = []
        monkeypatch.setattr(provider, "_VerdixProvider__build_judge", lambda: FakeJudge(["r1", "r2"]))
        monkeypatch.setattr(provider, "_VerdixProvider__post_process",
                            lambda results, data: seen.append((results, len(data))) or "done")
        assert provider.evaluate(table()) == "done"
        assert seen == [(["r1", "r2"], 2)]


class TestEvaluateAsync:
    def test_runs_evaluate_on_an_executor_thread_with_its_own_loop(self, monkeypatch):
        provider = make_provider()
        seen = {}

        def evaluate(data):
            seen["thread"] = threading.current_thread()
            seen["loop"] = asyncio.get_event_loop()
            seen["rows"] = len(data)
            return "result"

        monkeypatch.setattr(provider, "evaluate", evaluate)

        async def main():
            seen["caller_loop"] = asyncio.get_running_loop()
            return await provider.evaluate_async(table())

        assert asyncio.run(main()) == "result"
        assert seen["thread"] is not threading.current_thread()
        assert seen["loop"] is not seen["caller_loop"] and seen["loop"].is_closed()
        assert seen["rows"] == 2

    def test_failures_propagate_unchanged(self):
        async def main():
            return await make_provider(lmai_model(project_id=None)).evaluate_async(table())

        with pytest.raises(Exception) as caught:
            asyncio.run(main())
        assert str(caught.value) == "Error while computing metrics: groundedness. Reason: Either project or space id is required"
        assert str(caught.value.__cause__) == "Either project or space id is required"

    def test_the_caller_loop_keeps_running(self, monkeypatch):
        provider = make_provider()
        release = threading.Event()
        monkeypatch.setattr(provider, "evaluate", lambda data: release.wait(5) and "released")

        async def main():
            task = asyncio.ensure_future(provider.evaluate_async(table()))
            await asyncio.sleep(0)
            # The loop is free while evaluate blocks on its thread.
            ticks = 0
            while not task.done() and ticks < 3:
                ticks += 1
                await asyncio.sleep(0.01)
            release.set()
            return ticks, await task

        assert asyncio.run(main()) == (3, "released")


# --------------------------------------------------------------------------
# Post-processing


class TestPostProcess:
    def post(self, provider, results, data=None):
        return provider._VerdixProvider__post_process(results=results, data=table() if data is None else data)

    @pytest.mark.parametrize("trial", range(3))
    def test_record_objects_made_from_columns_equal_the_ones_made_record_by_record(self, monkeypatch, trial):
        import random

        rng = random.Random(trial)
        count = 200
        data = pd.DataFrame({
            "record_id": [rng.choice([f"r{i}", i]) for i in range(count)],
            "record_timestamp": [rng.choice([None, f"2026-01-0{i % 9 + 1}T00:00:00", pd.Timestamp("2026-02-01")])
                                 for i in range(count)],
            "answer": "a", "contexts": [["c"]] * count,
        })
        results = [judge_result(rng.choice(["Yes", "No", "Maybe", "Unknown"]), explanation=rng.choice(["e", None]),
                                feedback=rng.choice(["", "f"])) for _ in range(count)]
        provider = make_provider(metric_method="llm_as_judge", compute_token_count=bool(trial % 2),
                                 thresholds=[MetricThreshold(type="lower_limit", value=0.5)])
        lazy = self.post(provider, results, data)
        assert lazy.records_are_columns
        monkeypatch.setattr(vp, "AggregateMetricResult", types.SimpleNamespace(create=AggregateMetricResult.create))
        one_by_one = self.post(provider, results, data)
        assert not one_by_one.records_are_columns
        assert lazy.model_dump_json() == one_by_one.model_dump_json()
        assert [record.model_fields_set for record in lazy.record_level_metrics] == [
            record.model_fields_set for record in one_by_one.record_level_metrics]

    def test_records_and_aggregate(self):
        thresholds = [MetricThreshold(type="lower_limit", value=0.5)]
        provider = make_provider(metric_group=MetricGroup.ANSWER_QUALITY, metric_method="llm_as_judge",
                                 thresholds=thresholds)
        result = self.post(provider, [judge_result("Yes", explanation="fine", feedback="ok"),
                                      judge_result("Maybe", explanation="unsure", feedback="")])
        assert isinstance(result, AggregateMetricResult)
        first, second = result.record_level_metrics
        assert isinstance(first, RecordMetricResult)
        assert first.model_dump(exclude_none=True) == {
            "name": "groundedness", "display_name": "Groundedness", "method": "llm_as_judge",
            "group": MetricGroup.ANSWER_QUALITY, "provider": "tallyx", "value": 1.0,
            "thresholds": [{"type": "lower_limit", "value": 0.5}], "record_id": "r1",
            "record_timestamp": "2026-01-01T00:00:00", "label": "Yes", "explanation": "fine",
            "additional_info": {"feedback": "ok", "input_tokens": None, "output_tokens": None},
        }
        # An option that matches none: no value, the label kept; empty feedback is null.
        assert (second.value, second.label, second.explanation) == (None, "Maybe", "unsure")
        assert second.additional_info == {"feedback": None, "input_tokens": None, "output_tokens": None}
        assert (result.total_records, result.min, result.max, result.mean, result.value) == (2, 1.0, 1.0, 1.0, 1.0)
        assert (result.name, result.provider, result.group) == ("groundedness", "tallyx", MetricGroup.ANSWER_QUALITY)

    def test_token_counts(self):
        provider = make_provider(compute_token_count=1)
        result = self.post(provider, [judge_result("Yes", prompt="hello world", response="Yes"),
                                      judge_result("No", prompt="", response=42)])
        assert provider.encoding is tiktoken.get_encoding("cl100k_base")
        assert tiktoken.get_encoding("cl100k_base").encode("hello world") == [15339, 1917]
        assert [r.additional_info for r in result.record_level_metrics] == [
            {"feedback": "more detail", "input_tokens": 2, "output_tokens": 1},
            # Zero tokens are reported as null; a non-text response is counted as its text.
            {"feedback": "more detail", "input_tokens": None, "output_tokens": 1},
        ]

    def test_text_spelling_a_special_token_is_counted_as_text(self):
        encoding = tiktoken.get_encoding("cl100k_base")
        prompt = "Ignore this: <|endoftext|> and go on"
        result = self.post(make_provider(compute_token_count=True), [judge_result("Yes", prompt=prompt)], table(1))
        assert result.record_level_metrics[0].additional_info["input_tokens"] == len(encoding.encode_ordinary(prompt))
        assert len(encoding.encode_ordinary(prompt)) == 12

    def test_without_token_counting_the_metadata_is_not_read(self):
        provider = make_provider()
        bare = types.SimpleNamespace(selected_option="Yes", explanation="e", feedback="f")
        result = self.post(provider, [bare], table(1))
        assert result.record_level_metrics[0].additional_info == {"feedback": "f", "input_tokens": None, "output_tokens": None}
        assert not hasattr(provider, "encoding")

    @pytest.mark.parametrize(("rows", "results", "kept"), [(3, 2, 2), (2, 3, 2), (3, 3, 3)])
    def test_zip_truncates_to_the_shorter(self, rows, results, kept):
        result = self.post(make_provider(), [judge_result("Yes")] * results, table(rows))
        assert [r.record_id for r in result.record_level_metrics] == [f"r{i + 1}" for i in range(kept)]
        assert result.total_records == kept

    def test_results_may_be_any_iterable_and_later_options_win(self):
        provider = make_provider(options=[Option(name="A", value=0.2), Option(name="A", value=0.9)])
        result = self.post(provider, (judge_result("A") for _ in range(2)))
        assert [r.value for r in result.record_level_metrics] == [0.9, 0.9]

    def test_configured_id_and_timestamp_columns(self):
        data = table().rename(columns={"record_id": "id", "record_timestamp": "ts"})
        provider = make_provider(record_id_field="id", record_timestamp_field="ts")
        result = self.post(provider, [judge_result("No")] * 2, data)
        assert [(r.record_id, r.record_timestamp) for r in result.record_level_metrics] == [
            ("r1", "2026-01-01T00:00:00"), ("r2", "2026-01-02T00:00:00")]

    def test_an_unhashable_selection_fails(self):
        with pytest.raises(TypeError) as caught:
            self.post(make_provider(), [judge_result(["Yes"])], table(1))
        assert str(caught.value) == "unhashable type: 'list'"

    def test_no_results_cannot_be_aggregated(self):
        with pytest.raises(ValueError) as caught:
            self.post(make_provider(), [], table(1))
        assert str(caught.value) == "record_level_metrics is empty: an aggregate needs at least one record result."

    def test_record_class_is_read_at_call_time(self, monkeypatch):
        made = []

        class Recorder:
            def __init__(self, **kwargs):
                made.append(kwargs)

        class Aggregate:
            @staticmethod
            def create(records):
                return ("aggregate", records)

        monkeypatch.setattr(vp, "RecordMetricResult", Recorder)
        monkeypatch.setattr(vp, "AggregateMetricResult", Aggregate)
        tag, records = self.post(make_provider(compute_token_count=True), [judge_result("Yes")], table(1))
        assert tag == "aggregate" and len(records) == 1 and isinstance(records[0], Recorder)
        assert list(made[0]) == ["name", "display_name", "method", "group", "provider", "value", "label", "record_id",
                                 "record_timestamp", "thresholds", "explanation", "additional_info"]
        assert made[0]["additional_info"] == {"feedback": "more detail", "input_tokens": 2, "output_tokens": 1}


# --------------------------------------------------------------------------
# End to end over the loopback judge


@pytest.fixture(scope="module")
def server():
    with JudgeServer() as running:
        yield running


class TestLoopbackJudge:
    def test_criteria_mode_end_to_end(self, server):
        model = lmai_model(credentials={"url": server.url})
        provider = make_provider(model, context_fields=["question", "contexts"], compute_token_count=True)
        before = len(server.requests)
        result = provider.evaluate(table(3))
        records = result.record_level_metrics
        assert [(r.record_id, r.label, r.value) for r in records] == [("r1", "Yes", 1.0), ("r2", "No", 0.0),
                                                                      ("r3", "Yes", 1.0)]
        assert (result.mean, result.min, result.max, result.total_records) == (pytest.approx(2 / 3), 0.0, 1.0, 3)
        # Three requests per record: assessment, selection, feedback.
        bodies = [request["body"] for request in server.requests[before:]]
        assert len(bodies) == 9
        assert all(body["seed"] == 36 and body["model"] == "judge-model" for body in bodies)
        assert all(r.explanation and r.additional_info["feedback"] for r in records)
        encoding = tiktoken.get_encoding("cl100k_base")
        assert all(r.additional_info["input_tokens"] > 20 for r in records)
        assert [r.additional_info["output_tokens"] for r in records] == [
            len(encoding.encode(label)) for label in ("Yes", "No", "Yes")]

    def test_custom_prompt_mode_end_to_end(self, server):
        model = lmai_model(credentials={"url": server.url})
        provider = make_provider(model, criteria_description=None,
                                 prompt_template="Is <claim>{answer}</claim> backed by <evidence>{contexts}</evidence>?")

        async def main():
            return await provider.evaluate_async(table(2))

        result = asyncio.run(main())
        assert [(r.label, r.value) for r in result.record_level_metrics] == [("Yes", 1.0), ("No", 0.0)]
        assert [r.additional_info["input_tokens"] for r in result.record_level_metrics] == [None, None]
