"""Foundation models that can serve as judges of judge-model metrics.

Each kind carries a ``model_id`` (``model_name`` is its display name and
defaults to it) and a ``provider`` whose ``type`` is the kind's
``ModelProviderType`` member and whose ``credentials`` the inference engine
uses.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Literal

from pydantic import Field, PrivateAttr, model_validator

from zentra_lumara_gov.entities.base_classes import BaseEntity
from zentra_lumara_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    LmAICredentials,
    LmoAIGatewayCredentials,
    NonEmptyText,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
)
from zentra_lumara_gov.entities.enums import ModelProviderType


class ModelProvider(BaseEntity):
    """Where a model is served: the provider kind and the credentials to reach it."""

    type: ModelProviderType
    credentials: Any = None


class LmAIModelProvider(ModelProvider):
    """The AI service. Without credentials, the governance client's are used where a run allows it."""

    type: Literal[ModelProviderType.LUMARA_AI] = ModelProviderType.LUMARA_AI
    credentials: LmAICredentials | None = None


class OpenAIModelProvider(ModelProvider):
    """The OpenAI service (or any service speaking its chat-completions protocol at the credentials' url)."""

    type: Literal[ModelProviderType.OPENAI] = ModelProviderType.OPENAI
    credentials: OpenAICredentials


class AzureOpenAIModelProvider(ModelProvider):
    """The Azure OpenAI service."""

    type: Literal[ModelProviderType.AZURE_OPENAI] = ModelProviderType.AZURE_OPENAI
    credentials: AzureOpenAICredentials


class VertexAIModelProvider(ModelProvider):
    """Google's Vertex AI service."""

    type: Literal[ModelProviderType.VERTEX_AI] = ModelProviderType.VERTEX_AI
    credentials: VertexAICredentials


class GoogleAIStudioModelProvider(ModelProvider):
    """Google AI Studio."""

    type: Literal[ModelProviderType.GOOGLE_AI_STUDIO] = ModelProviderType.GOOGLE_AI_STUDIO
    credentials: GoogleAIStudioCredentials


class AWSBedrockModelProvider(ModelProvider):
    """The AWS Bedrock service."""

    type: Literal[ModelProviderType.AWS_BEDROCK] = ModelProviderType.AWS_BEDROCK
    credentials: AWSBedrockCredentials


class CustomModelProvider(ModelProvider):
    """A user's own scoring function; it needs no credentials."""

    type: Literal[ModelProviderType.CUSTOM] = ModelProviderType.CUSTOM
    credentials: None = None


class PortKeyModelProvider(ModelProvider):
    """The PortKey AI gateway."""

    type: Literal[ModelProviderType.PORTKEY] = ModelProviderType.PORTKEY
    credentials: PortKeyCredentials


class LmoAIGatewayModelProvider(ModelProvider):
    """The LMO AI gateway."""

    type: Literal[ModelProviderType.LMO_AI_GATEWAY] = ModelProviderType.LMO_AI_GATEWAY
    credentials: LmoAIGatewayCredentials


class FoundationModel(BaseEntity):
    """Base of the judge-model kinds."""

    model_id: NonEmptyText
    model_name: str | None = None
    provider: ModelProvider

    @model_validator(mode="after")
    def _default_model_name(self) -> "FoundationModel":
        if self.model_name is None:
            self.model_name = self.model_id
        return self


class LmAIFoundationModel(FoundationModel):
    """A model of the AI service, used within a project or a space."""

    provider: LmAIModelProvider = Field(default_factory=LmAIModelProvider)
    project_id: str | None = None
    space_id: str | None = None


class OpenAIFoundationModel(FoundationModel):
    """A model served by OpenAI (or a service speaking its protocol); ``parameters`` go to every request."""

    provider: OpenAIModelProvider
    parameters: dict[str, Any] | None = None


class AzureOpenAIFoundationModel(FoundationModel):
    """A model deployed on Azure OpenAI."""

    provider: AzureOpenAIModelProvider


class VertexAIFoundationModel(FoundationModel):
    """A model served by Vertex AI."""

    provider: VertexAIModelProvider


class GoogleAIStudioFoundationModel(FoundationModel):
    """A model served by Google AI Studio."""

    provider: GoogleAIStudioModelProvider


class AWSBedrockFoundationModel(FoundationModel):
    """A model served by AWS Bedrock; ``parameters`` go to every request."""

    provider: AWSBedrockModelProvider
    parameters: dict[str, Any] | None = None


class PortKeyGateway(FoundationModel):
    """A model reached through the PortKey gateway."""

    provider: PortKeyModelProvider


class LmoAIGateway(FoundationModel):
    """The AI gateway; the gateway routes by its own configuration, ``model_id`` names it for display."""

    provider: LmoAIGatewayModelProvider


class CustomFoundationModel(FoundationModel):
    """A judge backed by the user's own function.

    ``CustomFoundationModel(scoring_fn=fn, model_id=..., context=..., num_parallel_requests=...)``:
    the engine calls ``fn`` with the prompts (and ``context`` when given) and
    runs at most ``num_parallel_requests`` calls at a time. The function is kept
    as ``_scoring_fn``.
    """

    model_id: NonEmptyText = "custom_fn"
    provider: CustomModelProvider = Field(default_factory=CustomModelProvider)
    context: Any = None
    num_parallel_requests: int = Field(default=20, ge=1)

    _scoring_fn: Callable[..., Any] = PrivateAttr()

    def __init__(self, scoring_fn: Callable[..., Any], **data: Any) -> None:
        if not callable(scoring_fn):
            raise TypeError(f"scoring_fn must be callable, got {type(scoring_fn).__name__}.")
        super().__init__(**data)
        self._scoring_fn = scoring_fn
