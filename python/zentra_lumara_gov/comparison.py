"""Did it regress? Two evaluation results compared record by record, metric by metric.

Records are paired by record id; when the two runs share no record id (ids
made afresh for each run), by the hash of each record's inputs (question,
contexts, reference: what the evaluated system was given, not its answer),
which the runs' records carry. Per metric, over the records valued in both:

* both means and their paired difference (candidate minus baseline) with a
  paired bootstrap 95% interval (seeded, so a comparison is reproducible);
* the pass rates under the candidate's thresholds and an exact McNemar test
  on the paired pass/fail outcomes, with the records that flipped either way;
* the records found in one run only.

A metric's direction comes from its thresholds: a lower limit means higher
is better, an upper limit lower is better (both, or none: no direction). A
regression is a change of the mean in the bad direction by more than
``tolerance`` whose interval excludes zero, or whose McNemar p-value is
below ``alpha`` with more records passing before than after. A metric without
a direction is reported as "changed" when its change is significant, never
as a regression.
"""

from __future__ import annotations

import dataclasses
import html
import math
import os
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

BOOTSTRAP_RESAMPLES = 2000
# Resampled values held at once: bounds the memory of a bootstrap on a million records.
_BOOTSTRAP_CELLS = 4_000_000


class MetricKey(NamedTuple):
    """A metric's identity across runs: what tells metrics of a run apart (name, provider, method, display name)."""

    name: str
    provider: str | None
    method: str | None
    display_name: str | None = None

    def __str__(self) -> str:
        return "/".join(part for part in (self.name, self.provider, self.method) if part)


@dataclasses.dataclass(frozen=True)
class MetricComparison:
    """One metric in both runs (see the module docstring for each statistic)."""

    key: MetricKey
    direction: str | None  # "higher_is_better", "lower_is_better" or None
    status: str  # "regression", "improvement", "changed", "unchanged", "only_in_baseline", "only_in_candidate"
    paired: int
    baseline_mean: float | None
    candidate_mean: float | None
    difference: float | None
    interval: tuple[float, float] | None
    baseline_pass_rate: float | None
    candidate_pass_rate: float | None
    pass_to_fail: int
    fail_to_pass: int
    mcnemar_p: float | None
    only_in_baseline: int
    only_in_candidate: int
    flips: pd.DataFrame = dataclasses.field(repr=False, compare=False, default_factory=pd.DataFrame)


def direction_of(thresholds: Sequence[Any]) -> str | None:
    """"higher_is_better" for lower limits, "lower_is_better" for upper limits, None for none or both."""
    kinds = {getattr(threshold, "type", None) for threshold in thresholds or []}
    if kinds == {"lower_limit"}:
        return "higher_is_better"
    if kinds == {"upper_limit"}:
        return "lower_is_better"
    return None


def passes(values: np.ndarray, thresholds: Sequence[Any]) -> np.ndarray:
    """Whether each value keeps within every threshold (NaN values fail; callers leave them out)."""
    verdict = ~np.isnan(values)
    for threshold in thresholds or []:
        if threshold.type == "lower_limit":
            verdict &= values >= threshold.value
        elif threshold.type == "upper_limit":
            verdict &= values <= threshold.value
    return verdict


def bootstrap_interval(differences: np.ndarray, *, seed: int = 0, resamples: int = BOOTSTRAP_RESAMPLES,
                       level: float = 0.95) -> tuple[float, float]:
    """Percentile bootstrap interval of the mean of ``differences`` (resampled with replacement)."""
    count = len(differences)
    if count == 0:
        return (math.nan, math.nan)
    rng = np.random.default_rng(seed)
    means = np.empty(resamples)
    batch = max(1, _BOOTSTRAP_CELLS // count)
    for start in range(0, resamples, batch):
        stop = min(resamples, start + batch)
        picks = rng.integers(0, count, size=(stop - start, count))
        means[start:stop] = differences[picks].mean(axis=1)
    tail = (1 - level) / 2
    low, high = np.quantile(means, [tail, 1 - tail])
    return (float(low), float(high))


def mcnemar_exact(pass_to_fail: int, fail_to_pass: int) -> float:
    """Two-sided exact McNemar p-value: the discordant pairs against a fair coin."""
    flips = pass_to_fail + fail_to_pass
    if flips == 0:
        return 1.0
    fewer = min(pass_to_fail, fail_to_pass)
    # log C(n, k) / 2^n for k = 0..fewer, built by the ratio of neighbours to stay exact in floats.
    steps = np.log(np.arange(flips, flips - fewer, -1, dtype=float)) - np.log(np.arange(1, fewer + 1, dtype=float))
    log_terms = np.concatenate([[0.0], np.cumsum(steps)]) - flips * math.log(2)
    top = log_terms.max()
    tail = math.exp(top) * float(np.exp(log_terms - top).sum())
    return min(1.0, 2 * tail)


def compare_values(
    key: MetricKey | tuple,
    baseline: np.ndarray,
    candidate: np.ndarray,
    thresholds: Sequence[Any] = (),
    *,
    alpha: float = 0.05,
    tolerance: float = 0.0,
    seed: int = 0,
    record_ids: Sequence[str] | None = None,
    baseline_record_ids: Sequence[str] | None = None,
    only_in_baseline: int = 0,
    only_in_candidate: int = 0,
) -> MetricComparison:
    """One metric's comparison from its paired values (NaN: the record failed in that run)."""
    key = MetricKey(*key)
    baseline = np.asarray(baseline, dtype=float)
    candidate = np.asarray(candidate, dtype=float)
    both = ~np.isnan(baseline) & ~np.isnan(candidate)
    before, after = baseline[both], candidate[both]
    paired = int(both.sum())
    direction = direction_of(thresholds)
    if paired:
        differences = after - before
        difference = float(differences.mean())
        interval = bootstrap_interval(differences, seed=seed)
    else:
        difference, interval = None, None
    passed_before, passed_after = passes(before, thresholds), passes(after, thresholds)
    judged = bool(thresholds) and paired > 0
    pass_to_fail = int((passed_before & ~passed_after).sum()) if judged else 0
    fail_to_pass = int((~passed_before & passed_after).sum()) if judged else 0
    p_value = mcnemar_exact(pass_to_fail, fail_to_pass) if judged else None
    excludes_zero = interval is not None and (interval[0] > 0 or interval[1] < 0)
    status = "unchanged"
    if difference is not None and direction is not None:
        sign = 1 if direction == "higher_is_better" else -1
        gain = sign * difference
        worse_flips = p_value is not None and p_value < alpha and pass_to_fail > fail_to_pass
        better_flips = p_value is not None and p_value < alpha and fail_to_pass > pass_to_fail
        if -gain > tolerance and (excludes_zero or worse_flips):
            status = "regression"
        elif gain > tolerance and (excludes_zero or better_flips):
            status = "improvement"
    elif difference is not None and abs(difference) > tolerance and excludes_zero:
        status = "changed"
    flips = _flips(key, direction, both, baseline, candidate, passed_before, passed_after, judged,
                   record_ids, baseline_record_ids)
    return MetricComparison(
        key=key, direction=direction, status=status, paired=paired,
        baseline_mean=float(before.mean()) if paired else None,
        candidate_mean=float(after.mean()) if paired else None,
        difference=difference, interval=interval,
        baseline_pass_rate=float(passed_before.mean()) if judged else None,
        candidate_pass_rate=float(passed_after.mean()) if judged else None,
        pass_to_fail=pass_to_fail, fail_to_pass=fail_to_pass, mcnemar_p=p_value,
        only_in_baseline=only_in_baseline, only_in_candidate=only_in_candidate, flips=flips,
    )


FLIP_COLUMNS = ["metric", "record_id", "baseline_record_id", "baseline_value", "candidate_value", "change", "flip"]


def _flips(key, direction, both, baseline, candidate, passed_before, passed_after, judged, record_ids,
           baseline_record_ids) -> pd.DataFrame:
    if not judged:
        return pd.DataFrame(columns=FLIP_COLUMNS)
    positions = np.flatnonzero(both)
    flipped = passed_before != passed_after
    chosen = positions[flipped]
    ids = np.asarray(record_ids if record_ids is not None else np.arange(len(both)).astype(str), dtype=object)
    before_ids = np.asarray(baseline_record_ids if baseline_record_ids is not None else ids, dtype=object)
    change = candidate[chosen] - baseline[chosen]
    frame = pd.DataFrame({
        "metric": str(key),
        "record_id": ids[chosen],
        "baseline_record_id": before_ids[chosen],
        "baseline_value": baseline[chosen],
        "candidate_value": candidate[chosen],
        "change": change,
        "flip": np.where(passed_before[flipped], "pass_to_fail", "fail_to_pass"),
    }, columns=FLIP_COLUMNS)
    # The worst first: records that now fail, the largest move in the bad direction leading.
    badness = -change if direction == "higher_is_better" else change if direction == "lower_is_better" else abs(change)
    order = np.lexsort((-badness, frame["flip"] != "pass_to_fail"))
    return frame.iloc[order].reset_index(drop=True)


def _metric_frames(result: Any) -> dict[MetricKey, tuple[list[str], np.ndarray, list[Any]]]:
    """Per metric of a result: its record ids, values (NaN: failed) and thresholds."""
    metrics: dict[MetricKey, tuple[list[str], np.ndarray, list[Any]]] = {}
    for aggregate in getattr(result, "aggregates", None) or []:
        columns = aggregate.record_columns()
        ids, values = columns.record_id, columns.values()
        key = MetricKey(aggregate.name, _text(aggregate.provider), aggregate.method,
                        aggregate.display_name or aggregate.name)
        metrics.setdefault(key, (ids, values, list(aggregate.thresholds)))
    return metrics


def _text(value: Any) -> str | None:
    return None if value is None else str(getattr(value, "value", value))


def _input_hashes(result: Any) -> dict[str, str] | None:
    run = getattr(result, "run", None)
    if run is None or not getattr(run, "input_hashes", None):
        return None
    return {record_id: pair[1] for record_id, pair in run.record_hash_table().items()}


def _pairing_keys(ids: list[str], hashes: dict[str, str] | None) -> pd.DataFrame:
    keys = ids if hashes is None else [hashes.get(record_id, "id:" + record_id) for record_id in ids]
    frame = pd.DataFrame({"key": keys, "position": np.arange(len(ids))})
    # Two records with the same inputs pair in the order they appear.
    frame["occurrence"] = frame.groupby("key").cumcount()
    return frame


class Comparison:
    """The comparison of a candidate run with its baseline (see the module docstring)."""

    def __init__(self, metrics: list[MetricComparison], *, pairing: str, alpha: float, tolerance: float,
                 baseline_run_id: str | None, candidate_run_id: str | None) -> None:
        self.metrics = metrics
        self.pairing = pairing
        self.alpha = alpha
        self.tolerance = tolerance
        self.baseline_run_id = baseline_run_id
        self.candidate_run_id = candidate_run_id

    @property
    def regressions(self) -> list[MetricKey]:
        """The keys of the metrics that got worse."""
        return [metric.key for metric in self.metrics if metric.status == "regression"]

    def __repr__(self) -> str:
        return (f"<Comparison {self.baseline_run_id} -> {self.candidate_run_id}: {len(self.metrics)} metrics, "
                f"{len(self.regressions)} regressions, paired by {self.pairing}>")

    def to_df(self) -> pd.DataFrame:
        """One row per metric: its key, direction, status, means, difference with interval, pass rates and flips."""
        rows = []
        for metric in self.metrics:
            low, high = metric.interval if metric.interval else (None, None)
            rows.append({
                "name": metric.key.name, "provider": metric.key.provider, "method": metric.key.method,
                "direction": metric.direction, "status": metric.status, "paired": metric.paired,
                "baseline_mean": metric.baseline_mean, "candidate_mean": metric.candidate_mean,
                "difference": metric.difference, "ci_low": low, "ci_high": high,
                "baseline_pass_rate": metric.baseline_pass_rate, "candidate_pass_rate": metric.candidate_pass_rate,
                "pass_to_fail": metric.pass_to_fail, "fail_to_pass": metric.fail_to_pass,
                "mcnemar_p": metric.mcnemar_p, "only_in_baseline": metric.only_in_baseline,
                "only_in_candidate": metric.only_in_candidate,
            })
        frame = pd.DataFrame(rows, columns=COMPARISON_COLUMNS)
        for column in ("baseline_mean", "candidate_mean", "difference", "ci_low", "ci_high", "baseline_pass_rate",
                       "candidate_pass_rate", "mcnemar_p"):
            frame[column] = frame[column].astype(float)
        return frame

    def flips(self) -> pd.DataFrame:
        """Every record that flipped between pass and fail, per metric, the worst first."""
        frames = [metric.flips for metric in self.metrics if len(metric.flips)]
        return pd.concat(frames, ignore_index=True) if frames else pd.DataFrame(columns=FLIP_COLUMNS)

    def to_html(self, path: str | os.PathLike[str] | None = None, *, flips_shown: int = 50) -> str | None:
        """A self-contained HTML page of the comparison; written to ``path`` (UTF-8) or returned."""
        text = _html(self, flips_shown)
        if path is None:
            return text
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
        return None


COMPARISON_COLUMNS = [
    "name", "provider", "method", "direction", "status", "paired", "baseline_mean", "candidate_mean", "difference",
    "ci_low", "ci_high", "baseline_pass_rate", "candidate_pass_rate", "pass_to_fail", "fail_to_pass", "mcnemar_p",
    "only_in_baseline", "only_in_candidate",
]


def compare(baseline: Any, candidate: Any, *, alpha: float = 0.05, tolerance: float = 0.0,
            seed: int = 0) -> Comparison:
    """Compare ``candidate`` with ``baseline`` (two evaluation results, fresh or loaded from a store)."""
    if not 0 < alpha < 1:
        raise ValueError(f"alpha must lie between 0 and 1, not {alpha}")
    if tolerance < 0:
        raise ValueError(f"tolerance cannot be negative ({tolerance})")
    before, after = _metric_frames(baseline), _metric_frames(candidate)
    ids_before = {record_id for ids, _, _ in before.values() for record_id in ids}
    ids_after = {record_id for ids, _, _ in after.values() for record_id in ids}
    hashes_before, hashes_after = _input_hashes(baseline), _input_hashes(candidate)
    by_inputs = not (ids_before & ids_after) and hashes_before is not None and hashes_after is not None
    pairing = "input_hash" if by_inputs else "record_id"
    comparisons = []
    for key in [*before, *(key for key in after if key not in before)]:
        if key not in after or key not in before:
            ids, _, thresholds = before[key] if key in before else after[key]
            comparisons.append(MetricComparison(
                key=key, direction=direction_of(thresholds),
                status="only_in_baseline" if key in before else "only_in_candidate", paired=0,
                baseline_mean=None, candidate_mean=None, difference=None, interval=None,
                baseline_pass_rate=None, candidate_pass_rate=None, pass_to_fail=0, fail_to_pass=0, mcnemar_p=None,
                only_in_baseline=len(ids) if key in before else 0, only_in_candidate=len(ids) if key in after else 0,
            ))
            continue
        (ids_b, values_b, thresholds_b), (ids_c, values_c, thresholds_c) = before[key], after[key]
        left = _pairing_keys(ids_b, hashes_before if by_inputs else None)
        right = _pairing_keys(ids_c, hashes_after if by_inputs else None)
        joined = left.merge(right, on=["key", "occurrence"], how="outer", suffixes=("_b", "_c"), indicator=True)
        matched = joined[joined["_merge"] == "both"]
        position_b = matched["position_b"].to_numpy(dtype=np.int64)
        position_c = matched["position_c"].to_numpy(dtype=np.int64)
        comparisons.append(compare_values(
            key, values_b[position_b], values_c[position_c], thresholds_c or thresholds_b,
            alpha=alpha, tolerance=tolerance, seed=seed,
            record_ids=[ids_c[position] for position in position_c],
            baseline_record_ids=[ids_b[position] for position in position_b],
            only_in_baseline=int((joined["_merge"] == "left_only").sum()),
            only_in_candidate=int((joined["_merge"] == "right_only").sum()),
        ))
    return Comparison(comparisons, pairing=pairing, alpha=alpha, tolerance=tolerance,
                      baseline_run_id=getattr(getattr(baseline, "run", None), "run_id", None),
                      candidate_run_id=getattr(getattr(candidate, "run", None), "run_id", None))


def _number(value: Any, digits: int = 4) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, float):
        return f"{value:.{digits}g}" if abs(value) < 1e-3 and value else f"{value:.{digits}f}"
    return str(value)


def _html(comparison: Comparison, flips_shown: int) -> str:
    escape = html.escape
    frame = comparison.to_df()
    header = "".join(f"<th>{escape(column)}</th>" for column in frame.columns)
    body = []
    for row in frame.itertuples(index=False):
        cells = "".join(f"<td>{escape(_number(value))}</td>" for value in row)
        body.append(f'<tr class="{escape(row.status)}">{cells}</tr>')
    sections = []
    for metric in comparison.metrics:
        if not len(metric.flips):
            continue
        shown = metric.flips.head(flips_shown)
        rows = "".join(
            "<tr>" + "".join(f"<td>{escape(_number(value))}</td>" for value in row) + "</tr>"
            for row in shown.itertuples(index=False))
        more = len(metric.flips) - len(shown)
        note = f"<p>{more} more not shown (Comparison.flips() has them all).</p>" if more > 0 else ""
        sections.append(
            f"<h2>{escape(str(metric.key))}: records that flipped</h2><table><tr>"
            + "".join(f"<th>{escape(column)}</th>" for column in shown.columns) + f"</tr>{rows}</table>{note}")
    regressions = ", ".join(str(key) for key in comparison.regressions) or "none"
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Run comparison</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 2em; }}
table {{ border-collapse: collapse; margin-bottom: 1.5em; }}
th, td {{ border: 1px solid #ccc; padding: 0.25em 0.5em; text-align: right; }}
th {{ background: #f3f3f3; }}
tr.regression td {{ background: #fde2e2; }}
tr.improvement td {{ background: #e2f5e2; }}
tr.changed td {{ background: #fff5d6; }}
</style></head><body>
<h1>Run comparison</h1>
<p>Baseline: <code>{escape(str(comparison.baseline_run_id))}</code><br>
Candidate: <code>{escape(str(comparison.candidate_run_id))}</code><br>
Records paired by {escape(comparison.pairing.replace("_", " "))}; alpha {comparison.alpha}; tolerance {comparison.tolerance};
difference = candidate - baseline, with a paired bootstrap 95% interval; McNemar exact test on pass/fail.</p>
<p><strong>Regressions: {escape(regressions)}</strong></p>
<table><tr>{header}</tr>{"".join(body)}</table>
{"".join(sections)}
</body></html>
"""
