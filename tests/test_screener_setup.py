"""ScreenerProvider set-up: signatures, constructor checks, endpoints, instance id, headers, detector names."""

from __future__ import annotations

import enum
import inspect
import subprocess
import sys

import pytest
from screener_support import INSTANCE, SECRET, USER, api_client, class_attributes, provider, server  # noqa: F401

from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.enums import MetricGroup
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers import screener_provider
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider
from zentra_lumara_gov.utils.endpoint_table import CLV_ENDPOINT_TABLE
from zentra_vigil_clearview import CLVClient, compute_token


def test_module_constants_and_class_attributes():
    assert screener_provider.ACCURACY_METRICS == ["topic_relevance", "tool_call_accuracy"]
    assert screener_provider.RAG_EVIDENCE_METRICS == ["faithfulness", "context_relevance"]
    assert screener_provider.RAG_SMALL_MODELS == ["faithfulness_model", "context_relevance_model"]
    assert screener_provider.EVIDENCES == ["hap", "pii", "keyword", "regex"]
    assert screener_provider.CLVClient is CLVClient
    assert ScreenerProvider.__bases__ == (object,)
    assert (ScreenerProvider.RETRY_AFTER_STATUS_CODES, ScreenerProvider.RETRY_COUNT,
            ScreenerProvider.BACK_OFF_FACTOR) == ([502, 503, 504], 3, 1)
    assert ScreenerProvider.__module__ == "zentra_lumara_gov.providers.screener_provider"


@pytest.mark.parametrize(
    ("name", "signature", "is_coroutine"),
    [
        ("__init__", "(self, configuration: 'GenAIConfiguration', metric_name: 'str', metric_display_name: 'str', "
                     "metric_method: 'str | None' = None, metric_group: 'MetricGroup' = None, "
                     "thresholds: 'list[MetricThreshold]' = [], **kwargs) -> 'None'", False),
        ("evaluate", "(self, data: 'pd.DataFrame') -> 'AggregateMetricResult'", False),
        ("evaluate_async", "(self, data: 'pd.DataFrame') -> 'AggregateMetricResult'", True),
        ("_ScreenerProvider__compute_metric", "(self, api_payloads: 'list[str]') -> 'list'", True),
        ("send_with_retries", "(self, payload: 'str', session: 'aiohttp.ClientSession') -> 'dict'", True),
        ("get_detector_url", "(self, api_client: 'APIClient') -> 'str'", False),
        ("get_service_instance_id", "(self, api_client: 'APIClient') -> 'str'", False),
        ("set_metric_name", "(self, metric_name: 'str') -> 'str'", False),
        ("_ScreenerProvider__get_base_url", "(self, metric_name: 'str') -> 'str'", False),
        ("_ScreenerProvider__get_headers", "(self) -> 'dict'", False),
        ("_ScreenerProvider__pre_process_data", "(self, data: 'pd.DataFrame') -> 'tuple[list[str], list]'", False),
        ("_ScreenerProvider__get_json_payloads",
         "(self, input_contents: 'list', output_contents: 'list | None', context_contents: 'list | None', "
         "tools_catalog_content: 'list | None', tool_calls_content: 'list | None') -> 'list[str]'", False),
        ("get_tool_calls_content", "(self, data: 'pd.DataFrame') -> 'list'", False),
        ("get_tools_catalog_content", "(self) -> 'list | Any'", False),
        ("_ScreenerProvider__post_process", "(self, results: 'list', record_ids: 'list') -> 'AggregateMetricResult'",
         False),
        ("_ScreenerProvider__get_additional_info", "(self, results: 'list') -> 'list'", False),
    ],
)
def test_method_signatures(name, signature, is_coroutine):
    method = getattr(ScreenerProvider, name)
    assert str(inspect.signature(method)) == signature
    assert inspect.iscoroutinefunction(method) is is_coroutine
    assert method.__qualname__ == "ScreenerProvider." + name.replace("_ScreenerProvider", "")


def test_fields_in_order_and_the_shared_default_thresholds(api_client):
    configuration = GenAIConfiguration()
    first = provider(api_client, "hap", configuration=configuration, metric_method="m",
                     metric_group=MetricGroup.CONTENT_SAFETY, detector_params={"threshold": 0.5})
    assert list(vars(first)) == [
        "clv_client", "verify", "base_url", "configuration", "configuration_", "metric_name", "metric_display_name",
        "metric_method", "metric_group", "service_instance_id", "thresholds", "detector_params",
    ]
    assert first.configuration is configuration
    assert first.configuration_ == {}
    assert (first.metric_name, first.metric_display_name, first.metric_method, first.metric_group) == (
        "hap", "Hap", "m", MetricGroup.CONTENT_SAFETY)
    assert first.clv_client is api_client.clv_client
    assert first.service_instance_id == INSTANCE
    assert first.detector_params == {"threshold": 0.5}
    second = provider(api_client, "pii")
    default = inspect.signature(ScreenerProvider.__init__).parameters["thresholds"].default
    assert first.thresholds is default and second.thresholds is default
    assert second.detector_params is None
    thresholds = [MetricThreshold(type="lower_limit", value=0.7)]
    assert provider(api_client, thresholds=thresholds).thresholds is thresholds


@pytest.mark.parametrize(
    ("metric_name", "template"),
    [
        ("answer_relevance", "{}/ml/v1/text/detection/generated?version=2023-10-25"),
        ("context_relevance", "{}/ml/v1/text/detection/context?version=2023-10-25"),
        ("faithfulness", "{}/ml/v1/text/detection/context?version=2023-10-25"),
        ("tool_call_accuracy", "{}/ml/v1/text/detection/chat?version=2023-10-25"),
        ("pii", "{}/ml/v1/text/detection?version=2023-10-25"),
        ("prompt_safety_risk", "{}/ml/v1/text/detection?version=2023-10-25"),
    ],
)
def test_endpoint_per_metric_on_premises(api_client, server, metric_name, template):
    made = provider(api_client, metric_name)
    assert made._ScreenerProvider__get_base_url(metric_name) == template
    # On premises the credentials' url is the service address itself.
    assert made.base_url == template.format(server.url)
    assert made.verify is True


@pytest.mark.parametrize("disable_ssl", [False, True])
def test_hosted_endpoint_comes_from_the_endpoint_table(disable_ssl):
    row = list(CLV_ENDPOINT_TABLE.values())[3]
    client = APIClient(Credentials(url=row.lmg_url, api_key=SECRET, disable_ssl=disable_ssl,
                                   service_instance_id=INSTANCE))
    made = provider(client, "faithfulness")
    assert made.base_url == f"{row.vml_url}/ml/v1/text/detection/context?version=2023-10-25"
    assert made.verify is (not disable_ssl)
    assert made.get_detector_url(client) == row.vml_url


def test_hosted_address_missing_from_the_table_fails_in_the_constructor():
    client = APIClient(Credentials(url="https://unknown.example", api_key=SECRET, service_instance_id=INSTANCE))
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'vml_url'"):
        provider(client, "pii")


NO_CLIENT = ("Zentra Lumara Governance SDK must be initialized to compute {} using {}. Please initialize the client "
             "to proceed, or remove this metric from the evaluation.")
NO_INSTANCE = ("lumara.governance service instance id is required to compute {} using {}. You can set the service "
               "instance ID using the `LMG_SERVICE_INSTANCE_ID` environment variable in the notebook and retry.")


@pytest.mark.parametrize("method", [None, "basalt_guardian"])
@pytest.mark.parametrize("given", ["missing", None, 0, ""])
def test_a_service_client_is_required(method, given):
    made = ScreenerProvider.__new__(ScreenerProvider)
    kwargs = {} if given == "missing" else {"api_client": given}
    with pytest.raises(ValueError) as raised:
        made.__init__(GenAIConfiguration(), "pii", "PII", method, **kwargs)
    assert str(raised.value) == NO_CLIENT.format("pii", method)
    assert vars(made) == {}  # nothing stored


def test_the_monitoring_client_is_required():
    client = APIClient(Credentials(url="http://127.0.0.1:9", version="5.0", username=USER, api_key=SECRET))
    assert client.clv_client is None
    made = ScreenerProvider.__new__(ScreenerProvider)
    with pytest.raises(ValueError) as raised:
        made.__init__(GenAIConfiguration(), "hap", "HAP", api_client=client)
    assert str(raised.value) == NO_INSTANCE.format("hap", None)
    assert vars(made) == {}

def test_the_monitoring_client_class_is_read_at_call_time(api_client, monkeypatch):
    monkeypatch.setattr(screener_provider, "CLVClient", type("OtherClient", (), {}))
    with pytest.raises(ValueError) as raised:
        provider(api_client, "pii", metric_method="x")
    assert str(raised.value) == NO_INSTANCE.format("pii", "x")


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"metric_name": 3}, 'argument "metric_name" must be str, not int'),
        ({"metric_display_name": None}, 'argument "metric_display_name" must be str, not NoneType'),
        ({"metric_method": 1.5}, 'argument "metric_method" must be str or None, not float'),
        ({"thresholds": ()}, 'argument "thresholds" must be a list, not tuple'),
        ({"thresholds": None}, 'argument "thresholds" must be a list, not NoneType'),
    ],
)
def test_argument_types(arguments, message):
    values = {"configuration": GenAIConfiguration(), "metric_name": "pii", "metric_display_name": "PII",
              "api_client": None, **arguments}
    with pytest.raises(TypeError) as raised:
        ScreenerProvider(**values)
    assert str(raised.value) == message


def test_headers_fetch_a_token_for_every_call(api_client, monkeypatch):
    made = provider(api_client, "pii")
    authenticator = api_client.clv_client.authenticator
    issued = []

    def get_token():
        issued.append(f"token-{len(issued)}")
        return issued[-1]

    monkeypatch.setattr(authenticator, "get_token", get_token)
    first = made._ScreenerProvider__get_headers()
    second = made._ScreenerProvider__get_headers()
    assert list(first.items()) == [("Content-Type", "application/json"), ("Authorization", "Bearer token-0"),
                                   ("x-governance-instance-id", INSTANCE), ("origin", "sdk")]
    assert second["Authorization"] == "Bearer token-1"
    assert first is not second


def test_headers_carry_the_authenticator_token(api_client):
    headers = provider(api_client, "pii")._ScreenerProvider__get_headers()
    assert headers["Authorization"] == "Bearer " + compute_token(SECRET, USER)


def made_client(made):
    return type("Client", (), {"clv_client": made.clv_client, "credentials": Credentials(
        url="http://127.0.0.1:9", version="5.0", username=USER, api_key=SECRET)})()


class _RisksWithoutHarm(str, enum.Enum):
    JAILBREAK = "jailbreak"


@pytest.mark.parametrize(
    ("metric_name", "method", "asked", "detector"),
    [
        ("pii", None, "pii", "pii"),
        ("prompt_safety_risk", "basalt_guardian", "prompt_safety_risk", "basalt_guardian"),
        ("prompt_safety_risk", "basalt_guardian", "anything", "basalt_guardian"),
        ("prompt_safety_risk", None, "prompt_safety_risk", "prompt_safety_risk"),
        ("hap", "basalt_guardian", "jailbreak", "basalt_guardian"),
        ("answer_relevance", None, "answer_relevance", "basalt_guardian"),
        ("faithfulness", None, "faithfulness", "faithfulness"),
    ],
)
def test_detector_names(api_client, metric_name, method, asked, detector):
    assert provider(api_client, metric_name, metric_method=method).set_metric_name(asked) == detector


def test_detector_names_read_the_risks_at_call_time(api_client, monkeypatch):
    made = provider(api_client, "prompt_safety_risk", metric_method="basalt_guardian")
    monkeypatch.setattr(screener_provider, "BasaltGuardianRisks", _RisksWithoutHarm)
    # Every name becomes "harm" for this metric, and "harm" is no longer a risk.
    assert made.set_metric_name("prompt_safety_risk") == "harm"
    assert made.set_metric_name("jailbreak") == "harm"
    assert provider(made_client(made), "hap").set_metric_name("jailbreak") == "basalt_guardian"


def test_service_instance_id_comes_from_the_monitoring_client(api_client):
    made = provider(api_client, "pii")
    other = CLVClient(api_client.clv_client.authenticator, service_instance_id="other")
    client = type("Client", (), {"clv_client": other})()
    assert made.get_service_instance_id(client) == "other"
    assert made.clv_client is other


def test_no_leak_report_at_exit():
    """The module leaves nothing behind that the native runtime reports at exit."""
    code = ("from zentra_lumara_gov.providers.screener_provider import ScreenerProvider as P\n"
            "p = P.__new__(P)\n"
            "p.metric_name, p.metric_method, p.metric_display_name = 'pii', None, 'PII'\n"
            "p.metric_group, p.thresholds, p.detector_params = None, [], None\n"
            "print(p._ScreenerProvider__get_json_payloads(['a'], None, None, None, None))\n"
            "detections = [{'text': 'a', 'score': 0.5, 'start': 0, 'end': 1}]\n"
            "print(p._ScreenerProvider__post_process([{'detections': detections}], ['r']).value)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (
        0, "['{\"detectors\": {\"pii\": {}}, \"input\": \"a\"}']\n0.5\n", "")
