"""APIClient: credentials from arguments or the environment, the monitoring client, no network."""

from __future__ import annotations

import re
import socket

import pytest
from pydantic import ValidationError
from zentra_vigil_clearview import CLVClient, CloudAuthenticator, OnPremAuthenticator, compute_token, verify_token

from zentra_lumara_gov.clients.api_client import NO_CREDENTIALS_MESSAGE, APIClient, Credentials
from zentra_lumara_gov.utils.python_utils import get_authenticator_token

ENV_NAMES = [
    "LUMARA_API_KEY",
    "LUMARA_URL",
    "LUMARA_VERSION",
    "LUMARA_USERNAME",
    "LUMARA_PASSWORD",
    "LUMARA_DISABLE_SSL",
    "LMG_SERVICE_INSTANCE_ID",
]


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture(autouse=True)
def no_network(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("APIClient construction must not touch the network")

    monkeypatch.setattr(socket.socket, "connect", refuse)
    monkeypatch.setattr(socket, "create_connection", refuse)
    monkeypatch.setattr(socket, "getaddrinfo", refuse)


class TestFromArguments:
    def test_cloud_credentials_with_service_instance(self):
        creds = Credentials(url="https://lmg.example.test", api_key="key-1", service_instance_id="sid-1")
        client = APIClient(credentials=creds)
        assert client.credentials is creds
        assert client.is_korp is False
        assert isinstance(client.clv_client, CLVClient)
        assert client.clv_client.service_instance_id == "sid-1"
        assert isinstance(client.clv_client.authenticator, CloudAuthenticator)
        token = get_authenticator_token(client.clv_client.authenticator)
        assert token == compute_token("key-1")
        assert verify_token(token, "key-1") and not verify_token(token, "key-2")

    def test_on_prem_credentials_are_korp_and_authenticate_with_password(self):
        client = APIClient(
            Credentials(url="https://onprem.example", version="5.1", username="admin", password="pw", service_instance_id="instance-7")
        )
        assert client.is_korp is True
        authenticator = client.clv_client.authenticator
        assert isinstance(authenticator, OnPremAuthenticator)
        assert verify_token(get_authenticator_token(authenticator), "pw", "admin")
        assert not verify_token(get_authenticator_token(authenticator), "pw", "other")

    def test_a_mapping_is_accepted(self):
        client = APIClient({"url": "https://lmg.example.test", "api_key": "k", "disable_ssl": True})
        assert client.credentials == Credentials(url="https://lmg.example.test", api_key="k", disable_ssl=True)
        assert client.clv_client is None

    def test_other_types_are_rejected(self):
        with pytest.raises(TypeError, match=r"^credentials must be a Credentials, got str\.$"):
            APIClient("https://lmg.example.test")

    def test_service_instance_id_from_the_environment_completes_given_credentials(self, clean_env):
        clean_env.setenv("LMG_SERVICE_INSTANCE_ID", "env-sid")
        client = APIClient(Credentials(url="https://lmg.example.test", api_key="k"))
        assert client.clv_client.service_instance_id == "env-sid"
        own = APIClient(Credentials(url="https://lmg.example.test", api_key="k", service_instance_id="own"))
        assert own.clv_client.service_instance_id == "own"

    def test_no_service_instance_id_means_no_monitoring_client(self):
        assert APIClient(Credentials(url="https://lmg.example.test", api_key="k")).clv_client is None

    @pytest.mark.parametrize(
        ("values", "message"),
        [
            ({"api_key": "k"}, "url"),
            ({"url": "   ", "api_key": "k"}, "url"),
            ({"url": "https://x"}, "api_key is required for the hosted governance service."),
            ({"url": "https://x", "version": "5.1", "api_key": "k"}, "username is required on premises (version is set)."),
            ({"url": "https://x", "version": "5.1", "username": "u"}, "api_key or password is required on premises (version is set)."),
            ({"url": "https://x", "api_key": "k", "region": "us"}, "region"),
        ],
    )
    def test_incomplete_credentials_are_value_errors(self, values, message):
        with pytest.raises(ValidationError, match=re.escape(message)):
            Credentials(**values)
        assert issubclass(ValidationError, ValueError)

    def test_secrets_stay_out_of_repr(self):
        creds = Credentials(url="https://x", version="5", username="u", api_key="SECRET-KEY", password="SECRET-PW")
        assert "SECRET" not in repr(creds)
        assert "SECRET" not in repr(APIClient(creds))


class TestFromEnvironment:
    def test_cloud(self, clean_env):
        clean_env.setenv("LUMARA_URL", "https://lmg.example.test")
        clean_env.setenv("LUMARA_API_KEY", "env-key")
        clean_env.setenv("LMG_SERVICE_INSTANCE_ID", "env-sid")
        client = APIClient()
        assert client.credentials == Credentials(
            url="https://lmg.example.test", api_key="env-key", service_instance_id="env-sid"
        )
        assert client.is_korp is False
        assert get_authenticator_token(client.clv_client.authenticator) == compute_token("env-key")

    def test_on_prem_with_ssl_disabled(self, clean_env):
        for name, value in {
            "LUMARA_URL": "https://onprem.example",
            "LUMARA_VERSION": "5.0",
            "LUMARA_USERNAME": "admin",
            "LUMARA_PASSWORD": "pw",
            "LUMARA_DISABLE_SSL": "True",
        }.items():
            clean_env.setenv(name, value)
        client = APIClient()
        assert client.credentials.model_dump() == {
            "url": "https://onprem.example",
            "api_key": None,
            "version": "5.0",
            "username": "admin",
            "password": "pw",
            "instance_id": None,
            "disable_ssl": True,
            "service_instance_id": None,
        }
        assert client.is_korp is True
        assert client.clv_client is None

    def test_neither_arguments_nor_environment_is_a_clear_error(self):
        with pytest.raises(ValueError) as info:
            APIClient()
        assert str(info.value) == NO_CREDENTIALS_MESSAGE
        assert str(info.value) == (
            "No credentials for the governance service: pass APIClient(credentials=Credentials(url=..., api_key=...)) "
            "or set LUMARA_URL and LUMARA_API_KEY in the environment "
            "(on premises also LUMARA_VERSION and LUMARA_USERNAME, with LUMARA_API_KEY or LUMARA_PASSWORD)."
        )

    def test_only_a_service_instance_id_is_not_credentials(self, clean_env):
        clean_env.setenv("LMG_SERVICE_INSTANCE_ID", "sid")
        with pytest.raises(ValueError, match=re.escape(NO_CREDENTIALS_MESSAGE)):
            APIClient()

    def test_api_key_without_url_names_the_missing_variable(self, clean_env):
        clean_env.setenv("LUMARA_API_KEY", "k")
        with pytest.raises(ValueError, match=r"^LUMARA_URL is not set: the governance service address is required\. "):
            APIClient()

    def test_bad_ssl_flag_is_rejected(self, clean_env):
        clean_env.setenv("LUMARA_URL", "https://x")
        clean_env.setenv("LUMARA_API_KEY", "k")
        clean_env.setenv("LUMARA_DISABLE_SSL", "maybe")
        with pytest.raises(ValueError, match=r"^LUMARA_DISABLE_SSL must be one of true, false"):
            APIClient()


class TestAuthenticatorToken:
    def test_token_is_fetched_from_the_authenticator_each_time(self):
        class Counting:
            calls = 0

            def get_token(self):
                Counting.calls += 1
                return f"t{Counting.calls}"

        auth = Counting()
        assert [get_authenticator_token(auth), get_authenticator_token(auth)] == ["t1", "t2"]

    def test_missing_authenticator_is_a_clear_error(self):
        with pytest.raises(ValueError, match=r"^No authenticator is configured"):
            get_authenticator_token(None)
        with pytest.raises(TypeError, match=r"^object cannot issue tokens \(it has no get_token method\)\.$"):
            get_authenticator_token(object())

    def test_stand_in_authenticators_refuse_missing_secrets(self):
        with pytest.raises(ValueError, match=r"^The apikey must not be empty\.$"):
            CloudAuthenticator(apikey="")
        with pytest.raises(ValueError, match=r"^An apikey or a password is required\.$"):
            OnPremAuthenticator(username="u")
        assert verify_token(None, "k") is False
