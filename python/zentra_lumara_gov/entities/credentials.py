"""Credentials of the judge-model providers.

Providers read ``LmAICredentials`` attribute by attribute; every other kind is
read whole through ``model_dump()`` and handed to the inference engine, so the
field names (or, for Azure, the aliases) are the engine's credential keys.
"""

from __future__ import annotations

from typing import Annotated

from pydantic import ConfigDict, Field, StringConstraints, model_validator

from zentra_lumara_gov.entities.base_classes import BaseEntity

# A text that must hold something besides blanks.
NonEmptyText = Annotated[str, StringConstraints(strip_whitespace=True, min_length=1)]
# Secrets stay readable (engines need them) but out of reprs and logs.
SecretText = Annotated[NonEmptyText, Field(repr=False)]
OptionalSecret = Annotated[str | None, Field(repr=False)]


class LmAICredentials(BaseEntity):
    """Credentials of the AI service, hosted (``api_key``) or installed on premises.

    An installation on premises is told by ``version``; it authenticates with
    ``username`` and an ``api_key`` or a ``password``. ``instance_id`` names the
    installation's instance.
    """

    url: NonEmptyText
    api_key: OptionalSecret = None
    version: str | None = None
    username: str | None = None
    instance_id: str | None = None
    password: OptionalSecret = None

    @model_validator(mode="after")
    def _check_authentication(self) -> "LmAICredentials":
        if self.version:
            if not self.username:
                raise ValueError("username is required for an on-premises installation (version is set).")
            if not (self.api_key or self.password):
                raise ValueError(
                    "api_key or password is required for an on-premises installation (version is set)."
                )
        elif not self.api_key:
            raise ValueError("api_key is required for the hosted AI service.")
        return self


class OpenAICredentials(BaseEntity):
    """API key of the OpenAI-compatible service and, optionally, its base URL."""

    api_key: SecretText
    url: str | None = None


class AzureOpenAICredentials(BaseEntity):
    """Credentials of an Azure OpenAI deployment.

    Dumped by alias, the keys are the engine's: ``api_key``, ``api_base`` and
    ``api_version``. By name, ``url`` stands for ``api_base``.
    """

    model_config = ConfigDict(validate_by_name=True, validate_by_alias=True)

    api_key: SecretText
    url: NonEmptyText = Field(alias="api_base")
    api_version: NonEmptyText = "2024-08-01-preview"


class VertexAICredentials(BaseEntity):
    """A Google Cloud project and location, with an optional service-account key file."""

    project_id: NonEmptyText
    location: NonEmptyText = "us-central1"
    credentials_path: str | None = None


class GoogleAIStudioCredentials(BaseEntity):
    """API key of the Google AI Studio service."""

    api_key: SecretText


class AWSBedrockCredentials(BaseEntity):
    """AWS access keys and region of a Bedrock account."""

    aws_access_key_id: NonEmptyText
    aws_secret_access_key: SecretText
    aws_region_name: NonEmptyText = "us-east-1"
    aws_session_token: OptionalSecret = None


class PortKeyCredentials(BaseEntity):
    """API key of the gateway, its URL (None: the gateway's own default) and the key of the provider behind it."""

    api_key: SecretText
    url: str | None = None
    provider_api_key: OptionalSecret = None


class LmoAIGatewayCredentials(BaseEntity):
    """URL and API key of the AI gateway."""

    url: NonEmptyText
    api_key: SecretText
