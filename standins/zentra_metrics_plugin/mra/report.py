"""The PDF report of a risk assessment.

Layout: summary pages (every risk, benchmark and metric with its value,
threshold and verdict, at most SUMMARY_ROWS_PER_PAGE rows a page), then one
page per risk with its table and a bar chart of its metric values. Figures
are drawn with matplotlib's object interface (no pyplot state, no display).
"""

from __future__ import annotations

import math
import numbers
import os
import pathlib
import re
from collections.abc import Mapping
from typing import Any

from matplotlib.backends.backend_pdf import PdfPages
from matplotlib.figure import Figure

SUMMARY_ROWS_PER_PAGE = 30
PAGE_SIZE = (8.27, 11.69)  # A4 portrait, inches
COLUMNS = ["Risk", "Benchmark", "Metric", "Value", "Threshold", "Verdict"]


def write_report(mr_result: Any, output_path: str | os.PathLike, thresholds: Any, *, model_name: str,
                 judge: str | None = None) -> str:
    rows = _rows(mr_result, _threshold_table(thresholds))
    path = _target(output_path, model_name)
    path.parent.mkdir(parents=True, exist_ok=True)
    # Deterministic file: no creation date, fixed producer.
    metadata = {"Title": f"Model risk report: {model_name}", "Subject": f"{len(mr_result)} risks",
                "Creator": "zentra_metrics_plugin.mra", "CreationDate": None}
    with PdfPages(path, metadata=metadata) as pdf:
        chunks = [rows[i:i + SUMMARY_ROWS_PER_PAGE] for i in range(0, len(rows), SUMMARY_ROWS_PER_PAGE)] or [[]]
        for number, chunk in enumerate(chunks, start=1):
            pdf.savefig(_summary_page(model_name, judge, chunk, number, len(chunks)))
        for risk in mr_result:
            pdf.savefig(_risk_page(model_name, risk, [row for row in rows if row[0] == risk]))
    return str(path)


def _target(output_path: str | os.PathLike, model_name: str) -> pathlib.Path:
    if not isinstance(output_path, (str, os.PathLike)) or not str(output_path):
        raise ValueError(f"The report path must be a non-empty path, got {output_path!r}.")
    path = pathlib.Path(output_path)
    if path.suffix.lower() == ".pdf":
        return path
    safe = re.sub(r"[^A-Za-z0-9._-]+", "_", model_name).strip("._") or "model"
    return path / f"{safe}_risk_report.pdf"


def _threshold_table(thresholds: Any) -> dict[str, tuple[str, float]]:
    if not thresholds:
        return {}
    if not isinstance(thresholds, Mapping):
        raise TypeError(f"thresholds must map metric names to thresholds, got {type(thresholds).__name__}.")
    table = {}
    for metric, threshold in thresholds.items():
        if isinstance(threshold, Mapping):
            kind, value = threshold.get("type"), threshold.get("value")
        else:
            kind, value = getattr(threshold, "type", None), getattr(threshold, "value", None)
        if kind not in ("lower_limit", "upper_limit") or not isinstance(value, numbers.Real):
            raise ValueError(f"The threshold of '{metric}' needs a type 'lower_limit' or 'upper_limit' "
                             f"and a number value, got {threshold!r}.")
        table[metric] = (kind, float(value))
    return table


def _rows(mr_result: Any, thresholds: dict[str, tuple[str, float]]) -> list[list[str]]:
    if not isinstance(mr_result, Mapping):
        raise ValueError(f"The risk result must map risks to benchmarks, got {type(mr_result).__name__}.")
    rows = []
    for risk, benchmarks in mr_result.items():
        if not isinstance(benchmarks, Mapping):
            raise ValueError(f"Risk '{risk}' must map benchmarks to metrics, got {type(benchmarks).__name__}.")
        for benchmark, metrics in benchmarks.items():
            if not isinstance(metrics, Mapping):
                raise ValueError(f"Benchmark '{benchmark}' must map metrics to values, "
                                 f"got {type(metrics).__name__}.")
            for metric, value in metrics.items():
                threshold, verdict = "-", "-"
                if metric in thresholds:
                    kind, limit = thresholds[metric]
                    threshold = f"{'>=' if kind == 'lower_limit' else '<='} {limit:g}"
                    if _number(value) is not None:
                        ok = value >= limit if kind == "lower_limit" else value <= limit
                        verdict = "pass" if ok else "fail"
                rows.append([str(risk), str(benchmark), str(metric), _text(value), threshold, verdict])
    return rows


def _number(value: Any) -> float | None:
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and not math.isnan(value):
        return float(value)
    return None


def _text(value: Any) -> str:
    number = _number(value)
    return f"{number:.4f}" if number is not None else str(value)


def _table(axes, rows: list[list[str]], columns: list[str]) -> None:
    axes.axis("off")
    if not rows:
        axes.text(0.5, 0.9, "No metrics.", ha="center", va="top")
        return
    table = axes.table(cellText=rows, colLabels=columns, loc="upper center", cellLoc="left")
    table.auto_set_font_size(False)
    table.set_fontsize(8)
    table.scale(1.0, 1.3)
    table.auto_set_column_width(list(range(len(columns))))  # fit the longest names
    for (row, column), cell in table.get_celld().items():
        if row == 0:
            cell.set_text_props(weight="bold")
            cell.set_facecolor("#dde3ea")
        elif columns[column] == "Verdict" and cell.get_text().get_text() == "fail":
            cell.set_facecolor("#f6c9c4")


def _summary_page(model_name: str, judge: str | None, rows: list[list[str]], number: int, total: int) -> Figure:
    figure = Figure(figsize=PAGE_SIZE)
    figure.text(0.08, 0.95, f"Model risk report: {model_name}", fontsize=16, weight="bold")
    subtitle = f"Summary ({number}/{total})" + (f" - judge model: {judge}" if judge else "")
    figure.text(0.08, 0.925, subtitle, fontsize=10)
    _table(figure.add_axes((0.05, 0.05, 0.9, 0.85)), rows, COLUMNS)
    return figure


def _risk_page(model_name: str, risk: str, rows: list[list[str]]) -> Figure:
    figure = Figure(figsize=PAGE_SIZE)
    figure.text(0.08, 0.95, f"Risk: {risk}", fontsize=16, weight="bold")
    figure.text(0.08, 0.925, model_name, fontsize=10)
    _table(figure.add_axes((0.05, 0.55, 0.9, 0.35)), [row[1:] for row in rows], COLUMNS[1:])
    chart = figure.add_axes((0.3, 0.08, 0.62, 0.4))
    plotted = [(f"{row[1]}\n{row[2]}", float(row[3])) for row in rows if _is_float(row[3])]
    if plotted:
        labels, values = zip(*plotted)
        positions = range(len(values))
        colours = ["#c0392b" if row[5] == "fail" else "#2e86c1" for row in rows if _is_float(row[3])]
        chart.barh(list(positions), values, color=colours)
        chart.set_yticks(list(positions), labels=list(labels), fontsize=7)
        chart.invert_yaxis()
        chart.set_xlim(min(0.0, min(values)), max(1.0, max(values)))
        chart.set_xlabel("value")
    else:
        chart.axis("off")
        chart.text(0.5, 0.5, "No numeric metrics to chart.", ha="center")
    chart.set_title(f"Metrics of {risk}", fontsize=11)
    return figure


def _is_float(text: str) -> bool:
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False
