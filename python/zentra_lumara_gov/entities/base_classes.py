"""Small records shared by the other entities."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict


class BaseEntity(BaseModel):
    """Base of the SDK's records: no unknown keywords, values kept as given."""

    # Fields such as ``model_id`` are the SDK's own names, not pydantic's.
    model_config = ConfigDict(extra="forbid", arbitrary_types_allowed=True, protected_namespaces=())


class Error(BaseEntity):
    """One error reported for a record or a metric: a code and an English message."""

    code: str
    message_en: str
