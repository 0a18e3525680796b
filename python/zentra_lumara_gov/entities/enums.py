"""Enumerations shared by the SDK's entities, metrics and providers."""

from __future__ import annotations

from enum import Enum


class Region(str, Enum):
    """Regions of the hosted governance platform."""

    US_SOUTH = "us-south"
    AU_SYD = "au-syd"
    CA_TOR = "ca-tor"
    EU_DE = "eu-de"
    JP_TOK = "jp-tok"
    EU_GB = "eu-gb"
    AP_SOUTH = "ap-south-1"
    US_GOV_EAST1 = "us-gov-east1"


class EvaluationProvider(str, Enum):
    """Which engine computed a metric result."""

    TALLYX = "tallyx"
    DETECTORS = "detectors"


class ModelProviderType(str, Enum):
    """Kinds of foundation-model providers a judge model can come from."""

    LUMARA_AI = "lumara_ai"
    OPENAI = "openai"
    AZURE_OPENAI = "azure_openai"
    VERTEX_AI = "vertex_ai"
    GOOGLE_AI_STUDIO = "google_ai_studio"
    AWS_BEDROCK = "aws_bedrock"
    CUSTOM = "custom"
    PORTKEY = "portkey"
    LMO_AI_GATEWAY = "lmo_ai_gateway"


class BasaltGuardianRisks(str, Enum):
    """Risks the guardian detection model scores; all share one detector."""

    HARM = "harm"
    SOCIAL_BIAS = "social_bias"
    JAILBREAK = "jailbreak"
    VIOLENCE = "violence"
    PROFANITY = "profanity"
    UNETHICAL_BEHAVIOR = "unethical_behavior"
    SEXUAL_CONTENT = "sexual_content"
    EVASIVENESS = "evasiveness"
    GROUNDEDNESS = "groundedness"
    ANSWER_RELEVANCE = "answer_relevance"
    CONTEXT_RELEVANCE = "context_relevance"


class MetricGroup(str, Enum):
    """Named groups of metrics a caller can request as a whole."""

    RETRIEVAL_QUALITY = "retrieval_quality"
    ANSWER_QUALITY = "answer_quality"
    CONTENT_SAFETY = "content_safety"
    TOOL_CALL_QUALITY = "tool_call_quality"

    def get_metrics(self) -> list:
        """Return fresh metric objects of this group.

        Metric classes register themselves per group with
        :func:`register_group_metric`, so the group table grows with the
        metric modules that are imported.
        """
        return [factory() for factory in _GROUP_METRIC_FACTORIES.get(self, [])]


_GROUP_METRIC_FACTORIES: dict[MetricGroup, list] = {}


def register_group_metric(group: MetricGroup, factory) -> None:
    """Make ``factory()`` one of the metrics ``group.get_metrics()`` returns."""
    _GROUP_METRIC_FACTORIES.setdefault(group, []).append(factory)
