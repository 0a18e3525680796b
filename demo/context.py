"""What every section of the main job shares: the dataset and the printing."""

from __future__ import annotations

import dataclasses
import json
import pathlib

import pandas as pd


@dataclasses.dataclass
class DemoContext:
    records: list[dict]

    @classmethod
    def load(cls, path: pathlib.Path) -> "DemoContext":
        with path.open(encoding="utf-8") as handle:
            return cls([json.loads(line) for line in handle if line.strip()])

    def table(self) -> pd.DataFrame:
        """A fresh table of the records (runs add id and timestamp columns)."""
        return pd.DataFrame([dict(record) for record in self.records])

    @staticmethod
    def print_result(result) -> None:
        """One line per metric: name, method, mean, min, max, records."""
        for aggregate in result.metrics_result:
            print(
                f"   {aggregate.name:<22} {str(aggregate.method):<24} "
                f"mean={_fmt(aggregate.mean)} min={_fmt(aggregate.min)} "
                f"max={_fmt(aggregate.max)} records={aggregate.total_records}"
            )


def _fmt(value) -> str:
    return "None" if value is None else f"{value:.4f}"
