"""Properties of the model-risk entry points and of the endpoint tables as the
providers use them, on odd ids, addresses and plugin results."""

from __future__ import annotations

import pathlib
import sys
import types

import pytest
from fuzz_support import PLAIN_TEXT, SURROGATE_TEXT, examples, mostly, outcome, texts
from hypothesis import given
from hypothesis import strategies as st

import zentra_lumara_gov.evaluators.impl.model_risk_run_impl as impl
from zentra_lumara_gov.clients.api_client import APIClient
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.model_risk_result import Benchmark, ModelRiskResult, Risk, RiskMetric
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider
from zentra_lumara_gov.utils.endpoint_table import CLV_ENDPOINT_TABLE, LUMARA_REGION_URLS

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from python_screener_provider import PyScreenerProvider  # noqa: E402

from test_model_risk_run import NOT_SUPPORTED, cloud, custom_config  # noqa: E402

MODEL_IDS = st.one_of(texts(surrogates=False), st.sampled_from(["zentra/lumen-8b-instruct", "a", ""]))


class Manager:
    """A model manager offering the models it is given."""

    available: list = []

    def __init__(self, client):
        pass

    def get_model_specs(self, model_id=None, get_all=False):
        if get_all:
            return {"resources": [{"model_id": name} for name in self.available]}
        return {"model_id": model_id} if model_id in self.available else None


@pytest.mark.parametrize("ids", [pytest.param(MODEL_IDS, id="text"),
                                 pytest.param(SURROGATE_TEXT, id="lone-surrogate")])
def test_model_id_check_accepts_the_offered_ids_and_lists_them_otherwise(monkeypatch, ids):
    monkeypatch.setattr(impl, "FoundationModelsManager", Manager)

    @examples(200)
    @given(model_id=ids, available=st.lists(st.one_of(PLAIN_TEXT, ids), max_size=4))
    def check(model_id, available):
        Manager.available = available
        expected = ("value", None) if model_id in available else ("raised", ValueError, NOT_SUPPORTED + str(available))
        assert outcome(impl.check_if_model_id_is_valid, model_id, "client") == expected

    check()


NUMBERS = st.one_of(st.floats(allow_nan=False), st.integers(-(2**53), 2**53))
ODD = st.one_of(st.none(), PLAIN_TEXT, st.booleans(), st.lists(NUMBERS, max_size=2), st.just(float("nan")))


# Risk -> benchmark -> metric -> number, as the plugin answers, with an odd value at any level.
PLUGIN_RESULTS = mostly(st.dictionaries(PLAIN_TEXT, mostly(st.dictionaries(
    PLAIN_TEXT, mostly(st.dictionaries(PLAIN_TEXT, mostly(NUMBERS, ODD, 12), max_size=3), ODD, 12), max_size=2), ODD, 12), max_size=3), ODD, 12)


def converted(mr_result):
    """The run's conversion of a plugin result, written out in Python."""
    try:
        return ("value", ModelRiskResult(risks=[
            Risk(name=risk, benchmarks=[
                Benchmark(name=bench, metrics=[RiskMetric(name=m, value=v) for m, v in metrics.items()])
                for bench, metrics in benchmarks.items()])
            for risk, benchmarks in mr_result.items()]))
    except Exception as error:  # noqa: BLE001 - the expected outcome
        return ("raised", Exception, "Failed to parse model risk result. " + str(error))


@examples(300)
@given(mr_result=PLUGIN_RESULTS)
def test_any_plugin_result_is_converted_or_refused_with_the_parse_message(monkeypatch, capsys, mr_result):
    class Plugin:
        def __init__(self, **kwargs):
            pass

        def evaluate_fm_risks(self):
            return mr_result

    monkeypatch.setattr(impl, "EvaluateFMRisk", Plugin)
    assert outcome(impl._evaluate_model_risk, custom_config(), APIClient(cloud())) == converted(mr_result)
    assert capsys.readouterr().out == f"{mr_result}\n"


# ---------------------------------------------------------------- endpoint tables

KNOWN = list(CLV_ENDPOINT_TABLE) + [row.lmg_url for row in LUMARA_REGION_URLS.values()]
ADDRESSES = st.one_of(st.sampled_from(KNOWN), st.sampled_from(KNOWN).map(lambda url: url + "/"),
                      st.sampled_from(KNOWN).map(str.upper), texts(huge=False))


@examples(300)
@given(url=ADDRESSES, version=st.sampled_from([None, "", "5.0"]))
def test_detection_address_from_the_governance_address_as_the_python_rendering(url, version):
    real = APIClient(cloud())
    client = types.SimpleNamespace(clv_client=real.clv_client, credentials=types.SimpleNamespace(
        url=url, version=version, disable_ssl=False))
    native, python = (outcome(lambda cls=cls: cls(configuration=GenAIConfiguration(), metric_name="pii",
                                                  metric_display_name="PII", api_client=client).base_url)
                      for cls in (ScreenerProvider, PyScreenerProvider))
    assert native == python
    if native[0] == "value" and not version:
        assert url in CLV_ENDPOINT_TABLE and native[1].startswith(CLV_ENDPOINT_TABLE[url].vml_url + "/ml/v1/")
