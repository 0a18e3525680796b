"""A library metric that costs nothing, as a metric object workers can unpickle.

Importing this module registers the free catalog metric of
``bench_tallyx_provider`` ("metrics.bench.faithfulness.free", every instance
the same score), so each Dask worker that unpickles the metric registers it in
its own catalog.
"""

from __future__ import annotations

from typing import ClassVar

from bench_tallyx_provider import METHOD, PREFIX

from zentra_lumara_gov.metrics import TallyxMetric


class FreeFaithfulnessMetric(TallyxMetric):
    """"faithfulness" scored by the free catalog metric: only the provider's own work is measured."""

    METRIC_PREFIX: ClassVar[str] = PREFIX
    METHODS: ClassVar[tuple[str, ...]] = (METHOD,)

    name: str = "faithfulness"
    method: str = METHOD
