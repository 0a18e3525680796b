"""The HTML views of an evaluation result.

:func:`render` makes one self-contained page (inline CSS and SVG, no script,
nothing fetched): the summary table, a histogram per metric, the failed
records and each metric's worst records with their explanations or evidence.
:func:`summary_html` is the summary table alone, what a notebook shows.
"""

from __future__ import annotations

import datetime as _dt
import html
import json
import math
from typing import Any

import numpy as np

# How many of a metric's worst records the report lists, how many failed records in all, and how many
# threshold-breaking records per metric the page holds (beyond that, the CSV written beside it).
WORST_RECORDS = 5
FAILED_RECORDS = 50
BREAKING_RECORDS = 2000
BINS = 10
# Detection metrics whose value measures a harm: without thresholds, higher is worse.
HIGHER_IS_WORSE = frozenset({"pii", "hap", "keyword", "regex", "prompt_safety_risk"})

STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 72em; color: #1b1f24; padding: 0 1em; }
h1 { font-size: 1.6em; } h2 { font-size: 1.25em; margin-top: 2em; } h3 { font-size: 1.05em; }
table { border-collapse: collapse; margin: .5em 0 1em; }
th, td { border: 1px solid #c9d1d9; padding: .3em .6em; text-align: left; vertical-align: top; }
th { background: #eef2f6; } td.num { text-align: right; font-variant-numeric: tabular-nums; }
tr.failed td { background: #fde8e8; }
.charts { display: flex; flex-wrap: wrap; gap: 1.5em; }
figure { margin: 0; } figcaption { font-weight: 600; margin-bottom: .3em; }
.note { color: #57606a; } .error { color: #b42318; } code { font-size: .92em; }
"""


def render(result: Any, title: str = "Evaluation report", breaking_export: str | None = None) -> str:
    """The whole report as one HTML document.

    ``breaking_export``: the name of a CSV file beside the page that holds
    every threshold-breaking record, linked when a metric has more than the
    page lists.
    """
    aggregates = result.aggregates
    generated = _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")
    failed_metrics = result.failed_metrics
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_text(title)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{_text(title)}</h1>",
        f'<p class="note">{len(aggregates)} metrics over {result.record_count} records, made {generated}.'
        + (f' <span class="error">Failed: {_text(", ".join(failed_metrics))}.</span>' if failed_metrics else "")
        + "</p>",
        _run_section(getattr(result, "run", None), getattr(result, "digest", None)),
        "<h2>Summary</h2>",
        summary_html(result, with_caption=False),
        "<h2>Distributions</h2>",
        '<div class="charts">',
        *(_histogram_figure(aggregate, result.label_of(aggregate)) for aggregate in aggregates),
        "</div>",
        _failed_section(aggregates, result.label_of),
        _breaking_section(aggregates, result.record_texts(), result.label_of, breaking_export),
        _worst_section(aggregates, result.record_texts(), result.label_of),
        "</body></html>",
    ]
    return "\n".join(part for part in parts if part)


def _run_section(run: Any, digest: str | None) -> str:
    """The run's record as evidence: what was evaluated, when, by which build, and its digest once stored."""
    if run is None:
        return ""
    source = run.data_source
    where = "a DataFrame" if source.kind == "DataFrame" else f"{source.path} ({source.size} bytes, modified " \
        f"{source.modified_at.isoformat() if source.modified_at else 'unknown'})"
    rows = [
        ("run", run.run_id),
        ("status", run.status),
        ("started", run.started_at.isoformat()),
        ("finished", run.finished_at.isoformat() if run.finished_at else ""),
        ("data", where),
        ("data fingerprint (SHA-256)", run.data_fingerprint or ""),
        ("records", str(run.counts.get("records", ""))),
        ("SDK", f"{run.sdk_version} (build {run.build_id})"),
        ("Python, pandas", f"{run.python_version}, {run.pandas_version}"),
        ("platform", run.platform),
        ("git commit", run.git_commit or ""),
        ("tags", ", ".join(f"{key}={value}" for key, value in sorted(run.tags.items()))),
        ("digest in the run store", digest or "not stored"),
    ]
    body = "".join(f"<tr><th>{_text(name)}</th><td><code>{_text(value)}</code></td></tr>" for name, value in rows)
    return f'<h2>Run</h2><table class="run" id="run">{body}</table>'


def summary_html(result: Any, with_caption: bool = True) -> str:
    """The summary table (one row per metric); failed metrics stand out."""
    header = "".join(f"<th>{_text(column)}</th>" for column in
                     ("metric", "method", "provider", "records", "failed", "mean", "min", "max", "thresholds",
                      "pass rate", "breaking", "error"))
    rows = []
    failures = result.failures()
    aggregates = {result.label_of(aggregate): aggregate for aggregate in result.aggregates}
    for row in result.summary().itertuples(index=False):
        aggregate = aggregates.get(row.metric)
        thresholds = list(getattr(aggregate, "thresholds", None) or [])
        breaking = int(aggregate.record_columns().breaking().sum()) if aggregate else 0
        reason = failures.get(row.metric)
        cells = [
            f"<td>{_text(row.metric)}</td>",
            f"<td>{_text(row.method)}</td>",
            f"<td>{_text(row.provider)}</td>",
            f'<td class="num">{row.records}</td>',
            f'<td class="num">{row.failed}</td>',
            *(f'<td class="num">{_number(value)}</td>' for value in (row.mean, row.min, row.max)),
            f"<td>{_text(threshold_text(thresholds))}</td>",
            f'<td class="num">{_percent(row.pass_rate)}</td>',
            f'<td class="num">{breaking if thresholds else ""}</td>',
            f'<td class="error">{_text(reason)}</td>',
        ]
        css = ' class="failed"' if reason else ""
        rows.append(f"<tr{css}>{''.join(cells)}</tr>")
    caption = f"<caption>{_text(repr(result))}</caption>" if with_caption else ""
    return (f'<table class="summary" id="summary">{caption}<thead><tr>{header}</tr></thead>'
            f"<tbody>{''.join(rows)}</tbody></table>")


def histogram(values: list[float], bins: int = BINS) -> tuple[float, float, list[int]]:
    """Counts of the finite ``values`` in ``bins`` equal bins over [low, high]: [0, 1] when every value lies there.

    The last bin includes ``high``. Infinite values are left out (the caller
    counts them apart); a range wider than the largest float is binned
    without overflowing.
    """
    finite = [value for value in values if math.isfinite(value)]
    if not finite:
        return 0.0, 1.0, [0] * bins
    low, high = (0.0, 1.0) if all(0.0 <= value <= 1.0 for value in finite) else (min(finite), max(finite))
    counts = [0] * bins
    # Halved, so that high - low cannot overflow to infinity.
    half_span = high / 2 - low / 2
    for value in finite:
        share = 1.0 if half_span == 0 else (value / 2 - low / 2) / half_span
        counts[min(int(share * bins), bins - 1)] += 1
    return low, high, counts


def _histogram_figure(aggregate: Any, label: str) -> str:
    values = aggregate.record_columns().values()
    values = values[~np.isnan(values)]
    infinite = int(np.isinf(values).sum())
    values = values[np.isfinite(values)].tolist()
    width, height, left, bottom = 320, 180, 34, 26
    plot_width, plot_height = width - left - 10, height - bottom - 10
    shapes = [
        f'<line x1="{left}" y1="{10 + plot_height}" x2="{left + plot_width}" y2="{10 + plot_height}" stroke="#57606a"/>',
        f'<line x1="{left}" y1="10" x2="{left}" y2="{10 + plot_height}" stroke="#57606a"/>',
    ]
    if values:
        low, high, counts = histogram(values)
        tallest = max(counts)
        for threshold in aggregate.thresholds or []:
            if low <= threshold.value <= high and high > low:
                x = left + plot_width * (threshold.value / 2 - low / 2) / (high / 2 - low / 2)
                shapes.append(f'<line class="threshold" x1="{x:.1f}" y1="10" x2="{x:.1f}" y2="{10 + plot_height}" '
                              f'stroke="#b42318" stroke-dasharray="4 3"><title>{_text(threshold_text([threshold]))}'
                              "</title></line>")
        bar_width = plot_width / len(counts)
        for index, count in enumerate(counts):
            bar_height = plot_height * count / tallest
            x = left + index * bar_width
            start = low + (high - low) * index / len(counts)
            shapes.append(
                f'<rect class="bar" x="{x + 1:.1f}" y="{10 + plot_height - bar_height:.1f}" '
                f'width="{bar_width - 2:.1f}" height="{bar_height:.1f}" fill="#3b82c4">'
                f"<title>{count} records from {start:.3g}</title></rect>"
            )
        shapes += [
            f'<text x="{left}" y="{height - 8}" font-size="11">{low:.3g}</text>',
            f'<text x="{left + plot_width}" y="{height - 8}" font-size="11" text-anchor="end">{high:.3g}</text>',
            f'<text x="{left - 4}" y="18" font-size="11" text-anchor="end">{tallest}</text>',
            f'<text x="{left - 4}" y="{10 + plot_height}" font-size="11" text-anchor="end">0</text>',
        ]
    else:
        shapes.append(
            f'<text x="{left + plot_width / 2}" y="{10 + plot_height / 2}" font-size="13" text-anchor="middle" '
            f'fill="#b42318">no values</text>'
        )
    if infinite:
        shapes.append(f'<text x="{left + plot_width}" y="18" font-size="11" text-anchor="end">'
                      f"{infinite} infinite, not drawn</text>")
    caption = _caption(aggregate, label)
    return (
        f'<figure class="histogram" data-metric="{_text(label)}">'
        f"<figcaption>{_text(caption)}</figcaption>"
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" role="img" '
        f'aria-label="{_text(f"{label}: {len(values)} values")}">{"".join(shapes)}</svg></figure>'
    )


def _caption(aggregate: Any, label: str) -> str:
    caption = aggregate.display_name or aggregate.name
    return caption if label == aggregate.name else f"{caption} ({label})"  # a namesake: say which one


def threshold_text(thresholds: list[Any]) -> str:
    """"≥ 0.7" for a lower limit, "≤ 0.5" for an upper one."""
    return ", ".join(("≥ " if threshold.type == "lower_limit" else "≤ ") + f"{threshold.value:g}"
                     for threshold in thresholds)


def worse_is_higher(aggregate: Any) -> bool:
    """The metric's direction: from its thresholds (upper limits alone: higher is worse), else from its kind."""
    thresholds = aggregate.thresholds or []
    if thresholds:
        return all(threshold.type == "upper_limit" for threshold in thresholds)
    return aggregate.provider == "detectors" and aggregate.name in HIGHER_IS_WORSE


def _breaking_section(aggregates: list[Any], texts: dict[str, str], label_of: Any, export: str | None) -> str:
    """Every record with a value that breaks a threshold, worst first, per metric (apart from errored records)."""
    parts = []
    for aggregate in aggregates:
        columns = aggregate.record_columns()
        positions = np.flatnonzero(columns.breaking())
        if not len(positions):
            continue
        sign = -1 if worse_is_higher(aggregate) else 1
        positions = positions[np.argsort(sign * columns.values()[positions], kind="stable")]
        breaking = [columns.row(position) for position in positions[:BREAKING_RECORDS]]
        rows = "".join(
            f"<tr><td><code>{_text(record.record_id)}</code></td><td>{_text(texts.get(record.record_id))}</td>"
            f'<td class="num">{_number(record.value)}</td></tr>'
            for record in breaking
        )
        more = ""
        if len(positions) > BREAKING_RECORDS:
            where = f'<a href="{_text(export)}">{_text(export)}</a>' if export else "result.to_df()"
            more = f'<p class="note">{len(positions) - BREAKING_RECORDS} more in {where}.</p>'
        parts.append(
            f'<details><summary>{_text(_caption(aggregate, label_of(aggregate)))}: {len(positions)} records break '
            f"{_text(threshold_text(aggregate.thresholds))}</summary><table class=\"breaking\"><thead><tr>"
            f"<th>record</th><th>text</th><th>value</th></tr></thead><tbody>{rows}</tbody></table>{more}</details>"
        )
    if not parts:
        return ('<h2>Records that break a threshold</h2><p class="note">None: every valued record keeps within its '
                "metric's thresholds.</p>")
    return "<h2>Records that break a threshold</h2>" + "".join(parts)


def _failed_section(aggregates: list[Any], label_of: Any) -> str:
    rows = []
    failed = 0
    for aggregate in aggregates:
        columns = aggregate.record_columns()
        positions = np.flatnonzero(columns.missing())
        failed += len(positions)
        for position in positions[:FAILED_RECORDS - len(rows)]:
            record = columns.row(position)
            errors = record.errors or aggregate.errors or []
            reason = "; ".join(f"{error.code}: {error.message_en}" for error in errors) or "no value"
            rows.append(f"<tr><td>{_text(label_of(aggregate))}</td><td><code>{_text(record.record_id)}</code></td>"
                        f'<td class="error">{_text(reason)}</td></tr>')
    if not rows:
        return ('<h2>Errored records</h2><p class="note">None: every record of every metric has a value '
                "(records that break a threshold are listed below).</p>")
    more = f'<p class="note">{failed - len(rows)} more not shown.</p>' if failed > len(rows) else ""
    return ('<h2>Errored records</h2><table class="failed-records"><thead><tr><th>metric</th><th>record</th>'
            f"<th>error</th></tr></thead><tbody>{''.join(rows)}</tbody></table>{more}")


def _worst_section(aggregates: list[Any], texts: dict[str, str], label_of: Any) -> str:
    parts = ["<h2>Worst records</h2>"]
    for aggregate in aggregates:
        columns = aggregate.record_columns()
        values = columns.values()
        positions = np.flatnonzero(~np.isnan(values))
        if not len(positions):
            continue
        # Threshold breaches first, then the worst values in the metric's direction.
        sign = -1 if worse_is_higher(aggregate) else 1
        keeping = ~columns.breaking()[positions]
        positions = positions[np.lexsort((sign * values[positions], keeping))]
        rows = []
        for record in map(columns.row, positions[:WORST_RECORDS]):
            verdict = {True: "passed", False: "failed", None: ""}[record.passed]
            rows.append(
                f"<tr><td><code>{_text(record.record_id)}</code></td><td>{_text(texts.get(record.record_id))}</td>"
                f"<td class=\"num\">{_number(record.value)}</td><td>{verdict}</td><td>{_text(record.label)}</td>"
                f"<td>{_text(_evidence(record))}</td></tr>"
            )
        parts.append(
            f"<h3>{_text(_caption(aggregate, label_of(aggregate)))}</h3><table class=\"worst\"><thead><tr>"
            "<th>record</th><th>text</th><th>value</th><th>threshold</th><th>label</th>"
            f"<th>explanation or evidence</th></tr></thead><tbody>{''.join(rows)}</tbody></table>"
        )
    return "".join(parts) if len(parts) > 1 else ""


def _evidence(record: Any) -> str:
    if record.explanation:
        return str(record.explanation)
    if record.evidences:
        return json.dumps(record.evidences, default=str, ensure_ascii=False)[:500]
    return ""


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and not math.isnan(value)


def _text(value: Any) -> str:
    # A blank for what is missing: None, and the NaN or NA a table cell holds instead (pandas 3 text columns).
    if value is None or (isinstance(value, float) and math.isnan(value)) or type(value).__name__ == "NAType":
        return ""
    return html.escape(str(value))


def _number(value: Any) -> str:
    return "" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.4g}"


def _percent(value: Any) -> str:
    return "" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.0%}"
