"""Client of the governance service: its credentials and its monitoring-service client.

Constructing a client only reads the credentials (from the argument or the
environment) and builds local objects; it never reaches the network.
"""

from __future__ import annotations

import os
from typing import Annotated, Any

from pydantic import Field, StringConstraints, model_validator
from zentra_vigil_clearview import CLVClient, CloudAuthenticator, OnPremAuthenticator

from zentra_lumara_gov.entities.base_classes import StrictModel
from zentra_lumara_gov.errors import SettingsError
from zentra_lumara_gov.utils.environment import parse_flag

# Environment variables read when no credentials are passed.
ENV_API_KEY = "LUMARA_API_KEY"
ENV_URL = "LUMARA_URL"
ENV_VERSION = "LUMARA_VERSION"
ENV_USERNAME = "LUMARA_USERNAME"
ENV_PASSWORD = "LUMARA_PASSWORD"
ENV_DISABLE_SSL = "LUMARA_DISABLE_SSL"
ENV_SERVICE_INSTANCE_ID = "LMG_SERVICE_INSTANCE_ID"

_CREDENTIAL_VARIABLES = (ENV_API_KEY, ENV_URL, ENV_VERSION, ENV_USERNAME, ENV_PASSWORD)

NO_CREDENTIALS_MESSAGE = (
    "No credentials for the governance service: pass APIClient(credentials=Credentials(url=..., api_key=...)) "
    f"or set {ENV_URL} and {ENV_API_KEY} in the environment "
    f"(on premises also {ENV_VERSION} and {ENV_USERNAME}, with {ENV_API_KEY} or {ENV_PASSWORD})."
)

_Text = Annotated[str, StringConstraints(strip_whitespace=True, min_length=1)]


class Credentials(StrictModel):
    """Credentials of the governance service.

    Hosted service: ``url`` and ``api_key``. Installation on premises (told by
    ``version``): ``url``, ``username`` and ``api_key`` or ``password``.
    ``service_instance_id`` names the monitoring-service instance.
    """

    url: _Text
    api_key: str | None = Field(default=None, repr=False)
    version: str | None = None
    username: str | None = None
    password: str | None = Field(default=None, repr=False)
    instance_id: str | None = None
    disable_ssl: bool = False
    service_instance_id: str | None = None

    @model_validator(mode="after")
    def _check_authentication(self) -> "Credentials":
        if self.version:
            if not self.username:
                raise ValueError("username is required on premises (version is set).")
            if not (self.api_key or self.password):
                raise ValueError("api_key or password is required on premises (version is set).")
        elif not self.api_key:
            raise ValueError("api_key is required for the hosted governance service.")
        return self

    @classmethod
    def from_env(cls) -> "Credentials":
        """Credentials from the LUMARA_* variables; SettingsError (a ValueError) when none is set or they are incomplete."""
        if not any(os.environ.get(name) for name in _CREDENTIAL_VARIABLES):
            raise SettingsError(NO_CREDENTIALS_MESSAGE)
        values: dict[str, Any] = {
            "url": os.environ.get(ENV_URL),
            "api_key": os.environ.get(ENV_API_KEY) or None,
            "version": os.environ.get(ENV_VERSION) or None,
            "username": os.environ.get(ENV_USERNAME) or None,
            "password": os.environ.get(ENV_PASSWORD) or None,
            "disable_ssl": parse_flag(ENV_DISABLE_SSL, default=False),
            "service_instance_id": os.environ.get(ENV_SERVICE_INSTANCE_ID) or None,
        }
        if not values["url"]:
            raise SettingsError(f"{ENV_URL} is not set: the governance service address is required. {NO_CREDENTIALS_MESSAGE}")
        return cls(**values)


class APIClient:
    """The governance service client handed to every metric.

    ``credentials``: the given ``Credentials`` (a mapping is accepted too), or
    those of the environment. ``clv_client``: the monitoring-service client,
    or None when no service instance id is known (neither in the credentials
    nor in ``LMG_SERVICE_INSTANCE_ID``). ``is_korp``: an installation on
    premises (``version`` set).
    """

    def __init__(self, credentials: Credentials | None = None) -> None:
        if credentials is None:
            credentials = Credentials.from_env()
        elif isinstance(credentials, dict):
            credentials = Credentials(**credentials)
        elif not isinstance(credentials, Credentials):
            raise TypeError(f"credentials must be a Credentials, got {type(credentials).__name__}.")
        self.credentials = credentials
        self.is_korp = bool(credentials.version)
        self.service_instance_id = credentials.service_instance_id or os.environ.get(ENV_SERVICE_INSTANCE_ID) or None
        self.authenticator = self._make_authenticator(credentials)
        self.clv_client = (
            CLVClient(
                authenticator=self.authenticator,
                service_instance_id=self.service_instance_id,
                service_url=credentials.url,
            )
            if self.service_instance_id
            else None
        )

    @staticmethod
    def _make_authenticator(credentials: Credentials):
        if credentials.version:
            return OnPremAuthenticator(
                username=credentials.username,
                apikey=credentials.api_key,
                password=credentials.password,
                url=credentials.url,
                disable_ssl_verification=credentials.disable_ssl,
            )
        return CloudAuthenticator(
            apikey=credentials.api_key,
            url=credentials.url,
            disable_ssl_verification=credentials.disable_ssl,
        )

    def __repr__(self) -> str:
        return f"APIClient(url={self.credentials.url!r}, is_korp={self.is_korp}, service_instance_id={self.service_instance_id!r})"
