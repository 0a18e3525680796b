"""The AI SDK and model-risk plugin stand-ins, and the risk entities."""

from __future__ import annotations

import json
import pathlib
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pandas as pd
import pytest
from pydantic import ValidationError
from zentra_lumara_ai import APIClient, Credentials
from zentra_lumara_ai import foundation_models_manager as fmm
from zentra_lumara_ai.foundation_models_manager import FoundationModelsManager
from zentra_metrics_plugin.mra import report
from zentra_metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk
from zentra_metrics_plugin.mra.probes import RISKS

from zentra_lumara_gov.entities.credentials import OpenAICredentials
from zentra_lumara_gov.entities.foundation_model import (
    CustomFoundationModel,
    OpenAIFoundationModel,
    OpenAIModelProvider,
)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.entities.model_risk_configuration import LmGcCredentials, ModelRiskConfiguration
from zentra_lumara_gov.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric

# --- AI SDK --------------------------------------------------------------


class TestAISDK:
    @pytest.mark.parametrize(
        "fields, message",
        [
            ({}, "The credentials have no 'url'."),
            ({"url": "https://ml"}, "The credentials of the hosted service need 'api_key' or 'token'."),
            ({"url": "https://ml", "version": "5", "api_key": "k"},
             "The credentials of a software installation need 'username'."),
            ({"url": "https://ml", "version": "5", "username": "u"},
             "The credentials of a software installation need 'api_key' or 'password'."),
            ({"url": "https://ml", "version": "5", "username": "u", "password": "p"},
             "The credentials of a software installation need 'instance_id'."),
        ],
    )
    def test_client_refuses_incomplete_credentials(self, fields, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            APIClient(Credentials(**fields))

    def test_client_needs_credentials_object(self):
        with pytest.raises(TypeError, match="^credentials must be a Credentials, got dict.$"):
            APIClient({"url": "https://ml", "api_key": "k"})

    def test_credentials_hide_secrets_in_repr(self):
        creds = Credentials(url="https://ml", api_key="secret", username="u")
        assert repr(creds) == "Credentials(url='https://ml', username='u')"
        assert creds.to_dict() == {"url": "https://ml", "api_key": "secret", "username": "u"}

    def test_model_specs(self, monkeypatch):
        monkeypatch.setattr(fmm, "AVAILABLE_MODELS", [{"model_id": f"m{i}"} for i in range(120)])
        manager = FoundationModelsManager(APIClient(Credentials(url="https://ml", api_key="k")))
        assert manager.get_model_specs(model_id="m7") == {"model_id": "m7"}
        assert manager.get_model_specs(model_id="m999") is None
        everything = manager.get_model_specs(get_all=True)
        assert everything["total_count"] == 120 and len(everything["resources"]) == 120
        assert len(manager.get_model_specs()["resources"]) == 100
        assert [r["model_id"] for r in manager.get_model_specs(limit=2)["resources"]] == ["m0", "m1"]
        everything["resources"][0]["model_id"] = "changed"
        assert fmm.AVAILABLE_MODELS[0] == {"model_id": "m0"}
        with pytest.raises(ValueError, match=r"^limit must be a positive integer, got 0\.$"):
            manager.get_model_specs(limit=0)


# --- plugin: scoring -----------------------------------------------------


class CountingModel:
    """Always the same answer; remembers the prompts of every call."""

    def __init__(self, answer="I don't know."):
        self.answer = answer
        self.calls: list[list[str]] = []

    def __call__(self, prompts):
        self.calls.append(prompts)
        return [self.answer] * len(prompts)


class TestPluginScoring:
    def test_every_risk_and_benchmark_in_order_when_none_named(self):
        model = CountingModel()
        result = EvaluateFMRisk(scoring_function=model).evaluate_fm_risks()
        assert {risk: list(benchmarks) for risk, benchmarks in result.items()} == {
            risk: [b.name for b in benchmarks] for risk, benchmarks in RISKS.items()}
        assert [len(c) for c in model.calls] == [len(b.probes) for bs in RISKS.values() for b in bs]

    def test_abstaining_model(self):
        result = EvaluateFMRisk(scoring_function=CountingModel("I don't know."),
                                risk_dimensions=["hallucination", "social_bias"]).evaluate_fm_risks()
        assert result == {
            "hallucination": {"factual_recall": {"accuracy": 0.0, "hallucination_rate": 0.0},
                              "unanswerable_questions": {"abstention_rate": 1.0, "fabrication_rate": 0.0}},
            "social_bias": {"ambiguous_attribution": {"unbiased_rate": 1.0, "stereotyped_rate": 0.0}},
        }

    def test_answers_are_read_for_their_content(self):
        answers = {"gold": "Au.", "leap": "366 days", "Red Planet": "Jupiter", "boil": "100",
                   "ocean": "The Pacific", "hexagon": "I cannot say."}

        def scored(prompts):
            return [next(a for k, a in answers.items() if k in p) if "?" in p and any(k in p for k in answers)
                    else "No reliable record exists." for p in prompts]

        result = EvaluateFMRisk(scoring_function=scored, risk_dimensions=["hallucination"]).evaluate_fm_risks()
        # 4 right of 6; Jupiter is invented, declining to answer is not.
        assert result == {"hallucination": {
            "factual_recall": {"accuracy": 0.6667, "hallucination_rate": 0.1667},
            "unanswerable_questions": {"abstention_rate": 1.0, "fabrication_rate": 0.0}}}

    def test_injection_and_refusal(self):
        def model(prompts):
            return ["PELICAN" if "PELICAN" in p else "I won't do that." for p in prompts]

        result = EvaluateFMRisk(scoring_function=model,
                                risk_dimensions=["prompt_injection", "jailbreak", "prompt_injection"]
                                ).evaluate_fm_risks()
        assert result == {
            "prompt_injection": {"embedded_instructions": {"injection_success_rate": 0.3333,
                                                           "resistance_rate": 0.6667}},
            "jailbreak": {"role_play_attacks": {"attack_success_rate": 0.0, "refusal_rate": 1.0}},
        }

    def test_sample_size_caps_every_benchmark(self):
        model = CountingModel()
        EvaluateFMRisk(scoring_function=model, max_sample_size=2).evaluate_fm_risks()
        assert all(len(call) <= 2 for call in model.calls)
        assert [len(c) for c in model.calls] == [2] * len(model.calls)

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"risk_dimensions": ["weather", "jailbreak"]}, ValueError, "Unknown risk dimensions ['weather']."),
            ({"risk_dimensions": []}, ValueError, "No risk dimension given."),
            ({"max_sample_size": 0}, ValueError, "max_sample_size must be a positive integer, got 0."),
            ({"max_sample_size": True}, ValueError, "max_sample_size must be a positive integer, got True."),
            ({"scoring_function": None}, ValueError, "Nothing to assess: give a scoring function"),
            ({"scoring_function": lambda prompts: "text"}, TypeError,
             "The scoring function must return a list of texts, got str."),
            ({"scoring_function": lambda prompts: prompts[1:]}, ValueError,
             "The scoring function returned 5 texts for the 6 prompts of benchmark 'factual_recall'."),
            ({"scoring_function": lambda prompts: [None] * len(prompts)}, TypeError,
             "The scoring function returned a NoneType for prompt 0 of benchmark 'factual_recall', not a text."),
        ],
    )
    def test_bad_input_is_refused_with_a_clear_message(self, kwargs, error, message):
        kwargs = {"scoring_function": CountingModel(), **kwargs}
        with pytest.raises(error) as raised:
            EvaluateFMRisk(**kwargs).evaluate_fm_risks()
        assert str(raised.value).startswith(message)


# --- plugin: served model on the loopback interface ----------------------


class GenerationHandler(BaseHTTPRequestHandler):
    requests: list = []
    status = 200

    def do_POST(self):  # noqa: N802 (http.server's name)
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        GenerationHandler.requests.append((self.path, dict(self.headers), body))
        if self.status != 200:
            payload = b'{"error": "model overloaded"}'
        else:
            payload = json.dumps({"results": [{"generated_text": "I cannot help with that."}
                                              for _ in body["inputs"]]}).encode()
        self.send_response(self.status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


@pytest.fixture
def generation_server(monkeypatch):
    monkeypatch.setattr(GenerationHandler, "requests", [])
    server = ThreadingHTTPServer(("127.0.0.1", 0), GenerationHandler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=5)


SERVED = {"lumara_ai_project_id": "p-1", "lumara_ai_model_id": "zentra/lumen-8b-instruct",
          "lumara_ai_cloud_apikey": "cloud-key"}


class TestServedModel:
    def test_prompts_go_to_the_service_once_per_benchmark(self, generation_server):
        credentials = {**SERVED, "lumara_ai_endpoint_url": generation_server + "/"}
        result = EvaluateFMRisk(credentials, "lumen", ["harmful_content"]).evaluate_fm_risks()
        assert result == {"harmful_content": {"harmful_requests": {"refusal_rate": 1.0, "compliance_rate": 0.0}}}
        [(path, headers, body)] = GenerationHandler.requests
        assert path == "/ml/v1/text/generation"
        assert headers["Authorization"] == "Bearer cloud-key"
        assert body == {"model_id": "zentra/lumen-8b-instruct", "project_id": "p-1",
                        "inputs": [p.prompt for p in RISKS["harmful_content"][0].probes]}

    def test_service_errors_are_reported(self, generation_server, monkeypatch):
        monkeypatch.setattr(GenerationHandler, "status", 503)
        credentials = {**SERVED, "lumara_ai_endpoint_url": generation_server}
        with pytest.raises(ConnectionError, match=r'^The AI service answered 503: \{"error": "model overloaded"\}$'):
            EvaluateFMRisk(credentials, "lumen", ["jailbreak"]).evaluate_fm_risks()

    def test_only_the_loopback_interface_is_reached(self):
        credentials = {**SERVED, "lumara_ai_endpoint_url": "https://eu-de.ml.zentra-lumara.example"}
        with pytest.raises(ConnectionError, match="only on the loopback interface"):
            EvaluateFMRisk(credentials, "lumen", ["jailbreak"]).evaluate_fm_risks()


# --- plugin: report ------------------------------------------------------


PAGE = re.compile(rb"/Type\s*/Page(?![s\w])")


class TestReport:
    def test_rows_carry_thresholds_and_verdicts(self):
        rows = report._rows(
            {"r": {"b": {"accuracy": 0.5, "hallucination_rate": 0.1, "other": "n/a"}}},
            report._threshold_table({"accuracy": MetricThreshold(type="lower_limit", value=0.8),
                                     "hallucination_rate": {"type": "upper_limit", "value": 0.2},
                                     "other": {"type": "upper_limit", "value": 1}}),
        )
        assert rows == [["r", "b", "accuracy", "0.5000", ">= 0.8", "fail"],
                        ["r", "b", "hallucination_rate", "0.1000", "<= 0.2", "pass"],
                        ["r", "b", "other", "n/a", "<= 1", "-"]]

    @pytest.mark.parametrize(
        "thresholds, error, message",
        [
            ([0.5], TypeError, "thresholds must map metric names to thresholds, got list."),
            ({"accuracy": {"type": "between", "value": 1}}, ValueError, "The threshold of 'accuracy' needs"),
        ],
    )
    def test_bad_thresholds(self, thresholds, error, message, tmp_path):
        with pytest.raises(error, match="^" + re.escape(message)):
            EvaluateFMRisk(foundation_model_name="m").get_pdf_report({}, str(tmp_path), thresholds)
        assert list(tmp_path.iterdir()) == []

    def test_long_summaries_continue_on_more_pages_and_file_paths_are_kept(self, tmp_path):
        result = {f"risk{i}": {"bench": {f"metric{j}": j / 10 for j in range(8)}} for i in range(4)}
        target = tmp_path / "deep" / "named.pdf"
        path = EvaluateFMRisk(foundation_model_name="a/b c").get_pdf_report(result, str(target))
        assert path == str(target)
        data = target.read_bytes()
        assert data.startswith(b"%PDF-")
        # 32 rows: two summary pages, then one page per risk.
        assert len(PAGE.findall(data)) == 2 + 4

    def test_folder_target_gets_a_file_named_after_the_model(self, tmp_path):
        path = EvaluateFMRisk(foundation_model_name="zentra/lumen 8b").get_pdf_report(
            {"r": {"b": {"m": 1.0}}}, str(tmp_path))
        assert path == str(tmp_path / "zentra_lumen_8b_risk_report.pdf")
        assert pathlib.Path(path).read_bytes()[:5] == b"%PDF-"

    def test_result_of_unexpected_shape_writes_nothing(self, tmp_path):
        with pytest.raises(ValueError, match="^Benchmark 'b' must map metrics to values, got float.$"):
            EvaluateFMRisk(foundation_model_name="m").get_pdf_report({"r": {"b": 0.5}}, str(tmp_path))
        assert list(tmp_path.iterdir()) == []


# --- entities ------------------------------------------------------------


RESULT = ModelRiskResult(
    risks=[Risk(name="jailbreak", benchmarks=[
        Benchmark(name="role_play", metrics=[RiskMetric(name="attack_success_rate", value=0.25),
                                             RiskMetric(name="refusal_rate", value=0.75)])]),
        Risk(name="bias", benchmarks=[Benchmark(name="ambiguous", metrics=[RiskMetric(name="x", value=None)])])],
    output_file_path="/tmp/report.pdf",
)


class TestEntities:
    def test_result_as_a_table(self):
        expected = pd.DataFrame(
            [("jailbreak", "role_play", "attack_success_rate", 0.25), ("jailbreak", "role_play", "refusal_rate", 0.75),
             ("bias", "ambiguous", "x", None)],
            columns=["risk", "benchmark", "metric", "value"])
        pd.testing.assert_frame_equal(RESULT.to_df(), expected)
        assert list(ModelRiskResult().to_df().columns) == ["risk", "benchmark", "metric", "value"]

    def test_result_as_json_round_trips(self):
        text = RESULT.to_json()
        assert json.loads(text)["risks"][0]["benchmarks"][0]["metrics"][1] == {"name": "refusal_rate", "value": 0.75}
        assert ModelRiskResult.model_validate_json(text) == RESULT

    def test_configuration_accepts_only_models_it_can_assess(self):
        openai = OpenAIFoundationModel(model_id="gpt", provider=OpenAIModelProvider(
            credentials=OpenAICredentials(api_key="k")))
        with pytest.raises(ValidationError, match="model_details must be an LmAIFoundationModel or "
                                                  "CustomFoundationModel, got OpenAIFoundationModel."):
            ModelRiskConfiguration(model_details=openai)

    @pytest.mark.parametrize(
        "kwargs, fragment",
        [
            ({"max_sample_size": 0}, "greater than or equal to 1"),
            ({"risk_dimensions": [""]}, "at least 1 character"),
            ({"unknown": 1}, "ModelRiskConfiguration has no field 'unknown'"),
        ],
    )
    def test_configuration_refuses_bad_values(self, kwargs, fragment):
        with pytest.raises(ValidationError, match=fragment):
            ModelRiskConfiguration(model_details=CustomFoundationModel(scoring_fn=len), **kwargs)

    def test_judge_credentials_need_a_secret(self):
        with pytest.raises(ValidationError, match="api_key or password is required"):
            LmGcCredentials(url="https://judge", username="u")
        assert "pw" not in repr(LmGcCredentials(url="https://judge", password="pw"))
