"""Options of criteria-based judge metrics."""

from __future__ import annotations

from pydantic import Field

from zentra_lumara_gov.entities.base_classes import BaseEntity


class Option(BaseEntity):
    """One answer the judge may choose for a record, and the score it is worth.

    ``name`` is what the judge answers (and the record result's label),
    ``description`` tells the judge when to choose it; placeholders such as
    ``{response}`` in it name the record's columns and are shown as bare
    names. ``value`` is the record's metric value when the judge chooses it.
    """

    name: str = Field(min_length=1)
    description: str = ""
    value: float | None = None
