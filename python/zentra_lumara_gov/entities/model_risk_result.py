"""Result of a foundation-model risk assessment: risks, their benchmarks and metric values."""

from __future__ import annotations

from typing import Any

import pandas as pd

from zentra_lumara_gov.entities.base_classes import BaseEntity


class RiskMetric(BaseEntity):
    """One metric of a benchmark and its value (None: the metric could not be computed)."""

    name: str
    value: float | None


class Benchmark(BaseEntity):
    """One benchmark (probe set) of a risk, with the metrics it produced."""

    name: str
    metrics: list[RiskMetric] = []


class Risk(BaseEntity):
    """One risk dimension and the benchmarks that measured it."""

    name: str
    benchmarks: list[Benchmark] = []


# Columns of ModelRiskResult.to_df, one row per metric.
RISK_COLUMNS = ["risk", "benchmark", "metric", "value"]


class ModelRiskResult(BaseEntity):
    """Every risk assessed, and the path of the PDF report when one was written."""

    risks: list[Risk] = []
    output_file_path: str | None = None

    def to_df(self) -> pd.DataFrame:
        """One row per metric of every benchmark of every risk, columns ``RISK_COLUMNS``."""
        rows = [
            (risk.name, benchmark.name, metric.name, metric.value)
            for risk in self.risks
            for benchmark in risk.benchmarks
            for metric in benchmark.metrics
        ]
        return pd.DataFrame(rows, columns=RISK_COLUMNS)

    def to_json(self, **kwargs: Any) -> str:
        """The whole result as JSON text (keywords go to pydantic's ``model_dump_json``)."""
        return self.model_dump_json(**kwargs)
