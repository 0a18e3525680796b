"""Thresholds a metric value is judged against."""

from __future__ import annotations

from typing import Literal

from zentra_lumara_gov.entities.base_classes import BaseEntity


class MetricThreshold(BaseEntity):
    """A bound on a metric's value.

    ``lower_limit``: values below ``value`` are a violation; ``upper_limit``:
    values above ``value`` are.
    """

    type: Literal["lower_limit", "upper_limit"]
    value: float

