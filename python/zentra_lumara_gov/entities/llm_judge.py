"""The judge model of judge-model metrics."""

from __future__ import annotations

from pydantic import SerializeAsAny

from zentra_lumara_gov.entities.base_classes import BaseEntity
from zentra_lumara_gov.entities.foundation_model import FoundationModel


class LLMJudge(BaseEntity):
    """Wraps the foundation model that judges records (any of the judge-model kinds)."""

    model: SerializeAsAny[FoundationModel]
