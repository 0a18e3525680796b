"""Foundation-model risk evaluation: credentials, model-id check and the plugin run."""

from __future__ import annotations

import importlib.machinery
import inspect
import pathlib
import re
from types import SimpleNamespace

import pytest
import zentra_lumara_ai
import zentra_lumara_ai.foundation_models_manager as fm_manager
from zentra_metrics_plugin.mra import evaluate_fm_risk

from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.entities.credentials import LmAICredentials, OpenAICredentials
from zentra_lumara_gov.entities.foundation_model import (
    CustomFoundationModel,
    LmAIFoundationModel,
    LmAIModelProvider,
    OpenAIFoundationModel,
    OpenAIModelProvider,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.entities.model_risk_configuration import (
    LmGcConfiguration,
    LmGcCredentials,
    ModelRiskConfiguration,
)
from zentra_lumara_gov.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric
from zentra_lumara_gov.evaluators.impl import model_risk_run_impl as impl
from zentra_lumara_gov.utils.endpoint_table import LUMARA_REGION_URLS

GOV_URL = LUMARA_REGION_URLS["eu-de"].lmg_url
ML_URL = LUMARA_REGION_URLS["eu-de"].vml_url
ONPREM_URL = "https://onprem.zentra-lumara.example"
MODEL_ID = "zentra/lumen-8b-instruct"
AVAILABLE = ["zentra/lumen-8b-instruct", "zentra/lumen-guard-3b", "community/brisk-7b-chat"]
NOT_SUPPORTED = (
    "The Model ID provided is not supported for your environment. "
    "Here is a list of the available models: "
)


def cloud() -> Credentials:
    return Credentials(url=GOV_URL, api_key="gov-key", service_instance_id="sid-1")


def onprem(**extra) -> Credentials:
    return Credentials(url=ONPREM_URL, version="5.1", username="admin", api_key="op-key", **extra)


def lmai_model(credentials: LmAICredentials | None = None) -> LmAIFoundationModel:
    return LmAIFoundationModel(model_id=MODEL_ID, project_id="project-7",
                               provider=LmAIModelProvider(credentials=credentials))


def judge(url: str) -> LmGcConfiguration:
    return LmGcConfiguration(model_id="judge-70b", credentials=LmGcCredentials(
        url=url, username="judge-user", password="judge-pw", api_key="judge-key"))


def echo_model(prompts):
    """A deterministic local model: refuses anything about weapons, poison or locks, else echoes."""
    return ["I cannot help with that." if re.search(r"weapon|poison|lock", p) else f"You said: {p}"
            for p in prompts]


class Recorder:
    """Stands in for a callable and remembers its calls."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


# --- the module ----------------------------------------------------------


def test_module_is_an_extension_with_true_signatures():
    assert isinstance(impl.__loader__, importlib.machinery.ExtensionFileLoader)
    signatures = {name: str(inspect.signature(getattr(impl, name))) for name in
                  ("get_xai_credentials", "check_if_model_id_is_valid", "build_system_credentials",
                   "_evaluate_model_risk")}
    assert signatures == {
        "get_xai_credentials": "(lmgov_credentials) -> 'LumaraAIAPIClient'",
        "check_if_model_id_is_valid": "(model_id: 'str', lmai_client: 'LumaraAIAPIClient') -> 'None'",
        "build_system_credentials": "(configuration: 'ModelRiskConfiguration', credentials) -> 'tuple'",
        "_evaluate_model_risk":
            "(configuration: 'ModelRiskConfiguration', api_client: 'APIClient' = None) -> 'ModelRiskResult'",
    }
    assert impl._evaluate_model_risk.__module__ == "zentra_lumara_gov.evaluators.impl.model_risk_run_impl"
    assert not inspect.iscoroutinefunction(impl._evaluate_model_risk)
    assert impl.LumaraAICredentials is zentra_lumara_ai.Credentials
    assert impl.EvaluateFMRisk is evaluate_fm_risk.EvaluateFMRisk


# --- get_xai_credentials -------------------------------------------------


class TestXaiCredentials:
    def test_cloud_credentials_point_at_the_ml_service_of_the_same_deployment(self):
        client = impl.get_xai_credentials(cloud())
        assert type(client) is zentra_lumara_ai.APIClient
        assert client.credentials.to_dict() == {"url": ML_URL, "api_key": "gov-key"}

    def test_versioned_credentials_keep_their_url_and_name_the_tessera_instance(self):
        client = impl.get_xai_credentials(onprem(instance_id="own-instance", password="pw"))
        assert client.credentials.to_dict() == {
            "url": ONPREM_URL, "api_key": "op-key", "username": "admin", "password": "pw",
            "instance_id": "tessera", "version": "5.1",
        }

    def test_only_the_fields_the_sdk_credentials_take_are_copied_in_signature_order(self, monkeypatch):
        class Fields:
            def __init__(self, *, url=None, api_key=None, token=None, version=None):
                pass

        made, client_class = [], Recorder(result="client")
        # The field names come from the signature of the class's __init__; the
        # call goes to the module global, both looked up at call time.
        monkeypatch.setattr(impl, "LumaraAICredentials", Fields)
        monkeypatch.setattr(Fields, "__new__", lambda cls, **kw: made.append(kw) or "credentials", raising=False)
        monkeypatch.setattr(impl, "LumaraAIAPIClient", client_class)
        given = SimpleNamespace(version=None, url=GOV_URL, token="t-1", api_key="k-1", disable_ssl=True)
        assert impl.get_xai_credentials(given) == "client"
        assert made == [{"url": ML_URL, "api_key": "k-1", "token": "t-1", "version": None}]
        assert list(made[0]) == ["url", "api_key", "token", "version"]
        assert client_class.calls == [(("credentials",), {})]

    def test_attribute_errors_mean_absent_other_errors_propagate(self):
        class Tricky:
            version = None
            url = GOV_URL
            api_key = "k"

            @property
            def username(self):
                raise AttributeError("no user here")

            @property
            def token(self):
                raise RuntimeError("token store is down")

        with pytest.raises(RuntimeError, match="^token store is down$"):
            impl.get_xai_credentials(Tricky())
        del Tricky.token
        assert impl.get_xai_credentials(Tricky()).credentials.to_dict() == {"url": ML_URL, "api_key": "k"}

    def test_unknown_governance_url_fails_on_the_lookup(self):
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'vml_url'$"):
            impl.get_xai_credentials(Credentials(url="https://elsewhere.example", api_key="k"))

    def test_endpoint_table_is_read_at_call_time(self, monkeypatch):
        monkeypatch.setattr(impl, "CLV_ENDPOINT_TABLE", {GOV_URL: SimpleNamespace(vml_url="https://ml.replaced.example")})
        assert impl.get_xai_credentials(cloud()).credentials.url == "https://ml.replaced.example"


# --- check_if_model_id_is_valid -----------------------------------------


class TestModelIdCheck:
    @pytest.mark.parametrize("model_id", AVAILABLE)
    def test_available_models_pass(self, model_id):
        assert impl.check_if_model_id_is_valid(model_id, impl.get_xai_credentials(cloud())) is None

    def test_unknown_model_lists_the_available_ids(self):
        with pytest.raises(ValueError) as error:
            impl.check_if_model_id_is_valid("zentra/unknown-1b", impl.get_xai_credentials(cloud()))
        assert str(error.value) == NOT_SUPPORTED + str(AVAILABLE)
        assert error.value.__context__ is None

    def test_the_environment_list_is_the_one_configured(self, monkeypatch):
        monkeypatch.setattr(fm_manager, "AVAILABLE_MODELS", [{"model_id": "only/one"}])
        client = impl.get_xai_credentials(cloud())
        assert impl.check_if_model_id_is_valid("only/one", client) is None
        with pytest.raises(ValueError, match=re.escape(NOT_SUPPORTED + "['only/one']")):
            impl.check_if_model_id_is_valid(MODEL_ID, client)

    def test_the_manager_is_built_on_the_given_client(self, monkeypatch):
        built = []

        class Manager:
            def __init__(self, client):
                built.append(client)

            def get_model_specs(self, model_id=None, get_all=False):
                return None if model_id else {"resources": [{"model_id": "a"}, {"model_id": "b"}]}

        monkeypatch.setattr(impl, "FoundationModelsManager", Manager)
        with pytest.raises(ValueError, match=re.escape(NOT_SUPPORTED + "['a', 'b']")):
            impl.check_if_model_id_is_valid("x", "the-client")
        assert built == ["the-client"]


# --- build_system_credentials -------------------------------------------


class TestSystemCredentials:
    def test_model_with_own_cloud_credentials(self):
        creds = LmAICredentials(url="https://ml.own.example", api_key="model-key")
        config = ModelRiskConfiguration(model_details=lmai_model(creds))
        system, scoring = impl.build_system_credentials(config, cloud())
        assert scoring is None
        assert list(system.items()) == [
            ("lumara_ai_project_id", "project-7"), ("lumara_ai_model_id", MODEL_ID),
            ("lumara_ai_endpoint_url", "https://ml.own.example"), ("lumara_ai_cloud_apikey", "model-key"),
        ]

    def test_model_with_own_versioned_credentials(self):
        creds = LmAICredentials(url="https://ml.onprem.example", version="5.1", username="me", api_key="mk")
        system, _ = impl.build_system_credentials(ModelRiskConfiguration(model_details=lmai_model(creds)), cloud())
        assert list(system.items())[2:] == [
            ("lumara_ai_endpoint_url", "https://ml.onprem.example"),
            ("lumara_ai_korp_username", "me"), ("lumara_ai_korp_apikey", "mk"),
        ]

    def test_model_without_credentials_on_the_hosted_service(self):
        system, _ = impl.build_system_credentials(ModelRiskConfiguration(model_details=lmai_model()), cloud())
        assert list(system.items())[2:] == [
            ("lumara_ai_cloud_apikey", "gov-key"), ("lumara_ai_endpoint_url", ML_URL),
        ]

    def test_model_without_credentials_on_premises(self):
        system, _ = impl.build_system_credentials(ModelRiskConfiguration(model_details=lmai_model()), onprem())
        assert list(system.items())[2:] == [
            ("lumara_ai_endpoint_url", ONPREM_URL), ("lumara_ai_korp_username", "admin"),
            ("lumara_ai_korp_apikey", "op-key"),
        ]

    def test_model_is_validated_with_a_client_of_the_governance_credentials(self, monkeypatch):
        made, checked = Recorder(result="xai-client"), Recorder()
        monkeypatch.setattr(impl, "get_xai_credentials", made)
        monkeypatch.setattr(impl, "check_if_model_id_is_valid", checked)
        given = cloud()
        impl.build_system_credentials(ModelRiskConfiguration(model_details=lmai_model()), given)
        assert made.calls == [((given,), {})]
        assert checked.calls == [((MODEL_ID, "xai-client"), {})]

    def test_invalid_model_id_propagates_unchanged(self):
        model = LmAIFoundationModel(model_id="zentra/unknown-1b", project_id="p")
        with pytest.raises(ValueError) as error:
            impl.build_system_credentials(ModelRiskConfiguration(model_details=model), cloud())
        assert str(error.value) == NOT_SUPPORTED + str(AVAILABLE)

    def test_custom_model_gives_its_scoring_function_and_no_service_keys(self):
        model = CustomFoundationModel(scoring_fn=echo_model, model_id="mine")
        system, scoring = impl.build_system_credentials(ModelRiskConfiguration(model_details=model), cloud())
        assert system == {} and scoring is echo_model

    def test_other_model_kinds_give_nothing(self):
        model = OpenAIFoundationModel(model_id="gpt", provider=OpenAIModelProvider(
            credentials=OpenAICredentials(api_key="k")))
        config = SimpleNamespace(model_details=model, lm_gc_configuration=None)
        assert impl.build_system_credentials(config, cloud()) == ({}, None)

    @pytest.mark.parametrize(
        "url, korp_keys",
        [
            ("https://judge.onprem.zentra-lumara.example", []),
            ("https://judge.korp.zentra-lumara.example:9443/v1",
             [("op_korp_apikey", "judge-key"), ("op_korp_host", "judge.korp.zentra-lumara.example:9443")]),
        ],
    )
    def test_on_premises_judge_keys(self, url, korp_keys):
        model = CustomFoundationModel(scoring_fn=echo_model)
        config = ModelRiskConfiguration(model_details=model, lm_gc_configuration=judge(url))
        system, _ = impl.build_system_credentials(config, cloud())
        assert list(system.items()) == [
            ("op_url", url), ("op_username", "judge-user"), ("op_password", "judge-pw"),
            ("op_model_id", "judge-70b"), ("op_apikey", "judge-key"), *korp_keys,
        ]

    def test_judge_keys_follow_the_model_keys(self):
        config = ModelRiskConfiguration(model_details=lmai_model(),
                                        lm_gc_configuration=judge("https://korp.example"))
        system, _ = impl.build_system_credentials(config, cloud())
        assert list(system)[:4] == ["lumara_ai_project_id", "lumara_ai_model_id", "lumara_ai_cloud_apikey",
                                    "lumara_ai_endpoint_url"]
        assert system["op_korp_host"] == "korp.example"


# --- _evaluate_model_risk ------------------------------------------------


ECHO_RESULT = {
    "hallucination": {
        "factual_recall": {"accuracy": 0.0, "hallucination_rate": 1.0},
        "unanswerable_questions": {"abstention_rate": 0.0, "fabrication_rate": 1.0},
    },
    "harmful_content": {"harmful_requests": {"refusal_rate": 0.6, "compliance_rate": 0.4}},
    "jailbreak": {"role_play_attacks": {"attack_success_rate": 0.25, "refusal_rate": 0.75}},
    "prompt_injection": {"embedded_instructions": {"injection_success_rate": 1.0, "resistance_rate": 0.0}},
    # The echo repeats "the nurse" of the first question only.
    "social_bias": {"ambiguous_attribution": {"unbiased_rate": 0.0, "stereotyped_rate": 0.25}},
}


def custom_config(**kwargs) -> ModelRiskConfiguration:
    return ModelRiskConfiguration(model_details=CustomFoundationModel(scoring_fn=echo_model, model_id="echo-1"),
                                  **kwargs)


class FakePlugin:
    """An EvaluateFMRisk that returns what it is told and remembers how it was made."""

    made: list = []
    reports: list = []
    result: object = None
    report: object = None

    def __init__(self, **kwargs):
        FakePlugin.made.append(kwargs)

    def evaluate_fm_risks(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def get_pdf_report(self, mr_result, output_path, thresholds):
        FakePlugin.reports.append((mr_result, output_path, thresholds))
        if isinstance(self.report, BaseException):
            raise self.report
        return self.report


@pytest.fixture
def fake_plugin(monkeypatch):
    monkeypatch.setattr(FakePlugin, "made", [])
    monkeypatch.setattr(FakePlugin, "reports", [])
    monkeypatch.setattr(impl, "EvaluateFMRisk", FakePlugin)
    return FakePlugin


class TestRun:
    def test_custom_model_is_scored_and_converted(self, capsys):
        result = impl._evaluate_model_risk(custom_config(), APIClient(cloud()))
        assert type(result) is ModelRiskResult
        assert result.output_file_path is None
        assert capsys.readouterr().out == f"{ECHO_RESULT}\n"
        assert result == ModelRiskResult(risks=[
            Risk(name=risk, benchmarks=[
                Benchmark(name=bench, metrics=[RiskMetric(name=m, value=v) for m, v in metrics.items()])
                for bench, metrics in benchmarks.items()])
            for risk, benchmarks in ECHO_RESULT.items()])
        assert all(type(r) is Risk for r in result.risks)

    def test_plugin_is_built_with_the_configuration(self, fake_plugin):
        fake_plugin.result = {}
        config = custom_config(risk_dimensions=["jailbreak"], max_sample_size=2)
        assert impl._evaluate_model_risk(config, APIClient(cloud())) == ModelRiskResult(risks=[])
        assert fake_plugin.made == [{
            "system_credentials": {}, "foundation_model_name": "echo-1", "risk_dimensions": ["jailbreak"],
            "scoring_function": echo_model, "max_sample_size": 2,
        }]

    def test_without_a_client_one_is_made_from_the_environment(self, fake_plugin, monkeypatch):
        fake_plugin.result = {"r": {"b": {"m": 1}}}
        monkeypatch.setenv("LUMARA_URL", GOV_URL)
        monkeypatch.setenv("LUMARA_API_KEY", "env-key")
        seen = []
        monkeypatch.setattr(impl, "build_system_credentials",
                            lambda configuration, credentials: seen.append(credentials) or ({}, None))
        result = impl._evaluate_model_risk(custom_config())
        assert [(c.url, c.api_key) for c in seen] == [(GOV_URL, "env-key")]
        assert result.risks[0].benchmarks[0].metrics == [RiskMetric(name="m", value=1.0)]

    def test_without_a_client_or_environment_the_client_error_is_raised_as_is(self, monkeypatch, fake_plugin):
        for name in ("LUMARA_URL", "LUMARA_API_KEY", "LUMARA_VERSION", "LUMARA_USERNAME", "LUMARA_PASSWORD"):
            monkeypatch.delenv(name, raising=False)
        with pytest.raises(ValueError, match="^No credentials for the governance service"):
            impl._evaluate_model_risk(custom_config(), None)
        assert fake_plugin.made == []

    def test_report_path_is_returned_as_text(self, fake_plugin, tmp_path):
        fake_plugin.result = {"r": {"b": {"m": 0.5}}}
        fake_plugin.report = tmp_path / "r.pdf"
        thresholds = {"m": MetricThreshold(type="upper_limit", value=0.2)}
        config = custom_config(pdf_report_output_path=str(tmp_path), thresholds=thresholds)
        result = impl._evaluate_model_risk(config, APIClient(cloud()))
        assert result.output_file_path == str(tmp_path / "r.pdf")
        assert fake_plugin.reports == [({"r": {"b": {"m": 0.5}}}, str(tmp_path), thresholds)]

    @pytest.mark.parametrize("path", [None, ""])
    def test_no_report_without_a_path(self, fake_plugin, path):
        fake_plugin.result = {}
        fake_plugin.report = "never.pdf"
        result = impl._evaluate_model_risk(custom_config(pdf_report_output_path=path), APIClient(cloud()))
        assert result.output_file_path is None and fake_plugin.reports == []

    def test_empty_report_path_from_the_plugin_gives_none(self, fake_plugin):
        fake_plugin.result = {}
        fake_plugin.report = ""
        result = impl._evaluate_model_risk(custom_config(pdf_report_output_path="out"), APIClient(cloud()))
        assert result.output_file_path is None

    @pytest.mark.parametrize("stage", ["evaluate", "report"])
    def test_plugin_failures_are_wrapped_with_their_reason(self, fake_plugin, stage, capsys):
        failure = RuntimeError("probe store unreachable")
        fake_plugin.result = failure if stage == "evaluate" else {}
        fake_plugin.report = failure
        with pytest.raises(Exception) as error:
            impl._evaluate_model_risk(custom_config(pdf_report_output_path="out"), APIClient(cloud()))
        assert type(error.value) is Exception
        assert str(error.value) == "Error while evaluating FM risks. Reason: probe store unreachable"
        assert error.value.__context__ is failure and error.value.__cause__ is None
        assert capsys.readouterr().out == ("" if stage == "evaluate" else "{}\n")

    def test_real_plugin_errors_are_wrapped_too(self):
        with pytest.raises(Exception) as error:
            impl._evaluate_model_risk(custom_config(risk_dimensions=["weather"]), APIClient(cloud()))
        assert str(error.value) == (
            "Error while evaluating FM risks. Reason: Unknown risk dimensions ['weather']. Supported: "
            "['hallucination', 'harmful_content', 'jailbreak', 'prompt_injection', 'social_bias']")
        assert type(error.value.__context__) is ValueError

    def test_exceptions_outside_the_exception_family_pass_through(self, fake_plugin):
        class Stop(BaseException):
            pass

        fake_plugin.result = Stop("stop")
        with pytest.raises(Stop):
            impl._evaluate_model_risk(custom_config(), APIClient(cloud()))

    @pytest.mark.parametrize(
        "mr_result, reason",
        [
            (["hallucination"], "'list' object has no attribute 'items'"),
            ({"hallucination": 0.5}, "'float' object has no attribute 'items'"),
            ({"hallucination": {"factual_recall": [0.5]}}, "'list' object has no attribute 'items'"),
            (None, "'NoneType' object has no attribute 'items'"),
        ],
    )
    def test_results_of_unexpected_shape(self, fake_plugin, mr_result, reason):
        fake_plugin.result = mr_result
        with pytest.raises(Exception) as error:
            impl._evaluate_model_risk(custom_config(), APIClient(cloud()))
        assert type(error.value) is Exception
        assert str(error.value) == "Failed to parse model risk result. " + reason
        assert type(error.value.__context__) is AttributeError

    def test_metric_value_that_is_no_number(self, fake_plugin):
        fake_plugin.result = {"r": {"b": {"m": "high"}}}
        with pytest.raises(Exception) as error:
            impl._evaluate_model_risk(custom_config(), APIClient(cloud()))
        assert str(error.value).startswith("Failed to parse model risk result. 1 validation error for RiskMetric")
        assert type(error.value.__context__).__name__ == "ValidationError"

    def test_replaced_credentials_builder_must_give_a_pair(self, monkeypatch):
        monkeypatch.setattr(impl, "build_system_credentials", lambda configuration, credentials: ({}, None, 1))
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            impl._evaluate_model_risk(custom_config(), APIClient(cloud()))

    def test_served_model_unknown_to_the_environment_fails_before_the_plugin(self, fake_plugin):
        config = ModelRiskConfiguration(model_details=LmAIFoundationModel(model_id="nope", project_id="p"))
        with pytest.raises(ValueError, match="^" + re.escape(NOT_SUPPORTED)):
            impl._evaluate_model_risk(config, APIClient(cloud()))
        assert fake_plugin.made == []


PAGE = re.compile(rb"/Type\s*/Page(?![s\w])")


def test_report_is_a_pdf_with_a_summary_and_a_page_per_risk(tmp_path, capsys):
    config = custom_config(
        risk_dimensions=["jailbreak", "hallucination"],
        pdf_report_output_path=str(tmp_path / "reports"),
        thresholds={"accuracy": MetricThreshold(type="lower_limit", value=0.8)},
    )
    result = impl._evaluate_model_risk(config, APIClient(cloud()))
    assert result.output_file_path == str(tmp_path / "reports" / "echo-1_risk_report.pdf")
    data = pathlib.Path(result.output_file_path).read_bytes()
    assert data.startswith(b"%PDF-")
    assert data.rstrip().endswith(b"%%EOF")
    assert len(PAGE.findall(data)) == 1 + 2
    assert b"Model risk report: echo-1" in data
    assert [risk.name for risk in result.risks] == ["jailbreak", "hallucination"]
