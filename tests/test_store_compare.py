"""Comparing two runs: pairing, direction from thresholds, bootstrap and McNemar, checked by simulation."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from store_support import make_result
from zentra_lumara_gov.comparison import (
    COMPARISON_COLUMNS, MetricKey, bootstrap_interval, compare, compare_values, direction_of, mcnemar_exact)
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

LOWER = [MetricThreshold(type="lower_limit", value=0.7)]
UPPER = [MetricThreshold(type="upper_limit", value=0.3)]
KEY = MetricKey("faithfulness", "tallyx", "m")


@pytest.mark.parametrize(("pass_to_fail", "fail_to_pass", "expected"), [
    (0, 0, 1.0), (0, 5, 2 / 32), (5, 0, 2 / 32), (1, 9, 2 * 11 / 1024), (3, 3, 1.0), (0, 1, 1.0),
    (10, 30, 2 * sum(math.comb(40, k) for k in range(11)) / 2**40),
])
def test_mcnemar_exact_p_values(pass_to_fail, fail_to_pass, expected):
    assert mcnemar_exact(pass_to_fail, fail_to_pass) == pytest.approx(expected, rel=1e-9)


def test_mcnemar_stays_finite_for_a_hundred_thousand_flips():
    assert mcnemar_exact(50_000, 50_000) == pytest.approx(1.0)
    assert 0 < mcnemar_exact(49_000, 51_000) < 1e-9


@pytest.mark.parametrize(("thresholds", "direction"), [
    (LOWER, "higher_is_better"), (UPPER, "lower_is_better"), ([], None), ([*LOWER, *UPPER], None),
])
def test_direction_comes_from_the_thresholds(thresholds, direction):
    assert direction_of(thresholds) == direction


def test_bootstrap_is_seeded_and_brackets_the_mean():
    differences = np.random.default_rng(1).normal(0.1, 0.2, 500)
    first = bootstrap_interval(differences, seed=3)
    assert first == bootstrap_interval(differences, seed=3) != bootstrap_interval(differences, seed=4)
    assert first[0] < differences.mean() < first[1]
    half_width = 1.96 * differences.std() / math.sqrt(500)
    assert (first[1] - first[0]) / 2 == pytest.approx(half_width, rel=0.1)


# (shift of the candidate, thresholds, tolerance) -> status, one row per situation.
STATUSES = [
    (-0.05, LOWER, 0.0, "regression"),
    (0.05, LOWER, 0.0, "improvement"),
    (0.05, UPPER, 0.0, "regression"),
    (-0.05, UPPER, 0.0, "improvement"),
    (-0.05, [], 0.0, "changed"),
    (0.05, [], 0.0, "changed"),
    (-0.05, LOWER, 0.1, "unchanged"),
    (-0.05, [*LOWER, *UPPER], 0.0, "changed"),
    (0.0, LOWER, 0.0, "unchanged"),
]


@pytest.mark.parametrize(("shift", "thresholds", "tolerance", "status"), STATUSES)
def test_status_of_a_shift(shift, thresholds, tolerance, status):
    rng = np.random.default_rng(7)
    baseline = rng.uniform(0.2, 1.0, 2000)
    candidate = baseline + (shift if shift else 0.0)
    if shift == 0.0:
        candidate = baseline.copy()
    outcome = compare_values(KEY, baseline, candidate, thresholds, tolerance=tolerance)
    assert outcome.status == status
    assert outcome.paired == 2000 and outcome.difference == pytest.approx(shift)


def _trials(shift, thresholds, trials=200, records=2000):
    """How many of ``trials`` seeded simulations report a regression.

    Each record has a true score that both runs measure with noise of the
    same spread, so without a shift the runs are exchangeable (pass rates
    included). Scores are left unclipped: clipping would itself move the mean.
    """
    found = 0
    for trial in range(trials):
        rng = np.random.default_rng(10_000 + trial)
        truth = rng.normal(0.75, 0.15, records)
        baseline = truth + rng.normal(0, 0.25, records)
        candidate = truth + shift + rng.normal(0, 0.25, records)
        found += compare_values(KEY, baseline, candidate, thresholds, seed=trial).status == "regression"
    return found


def test_simulation_finds_a_planted_shift_and_few_false_regressions():
    planted, null = _trials(-0.05, LOWER), _trials(0.0, LOWER)
    print(f"regressions in 200 trials: shift of 0.05 found {planted}, no shift {null}")
    assert planted >= 190
    assert null <= 10


def _with_values(result, changes):
    for aggregate, change in zip(result.metrics_result, changes):
        for record in aggregate.record_level_metrics:
            if record.value is not None:
                record.value = min(1.0, max(0.0, record.value + change))
    return result


def test_compare_pairs_by_record_id_and_names_regressions(tmp_path):
    baseline = make_result(records=400, metrics=2, seed=1)
    candidate = _with_values(make_result(records=400, metrics=2, seed=1), [-0.2, 0.0])
    comparison = compare(baseline, candidate)
    assert comparison.pairing == "record_id"
    assert comparison.regressions == [MetricKey("metric_0", "tallyx", "m", "Metric 0")]
    frame = comparison.to_df()
    assert frame.columns.tolist() == COMPARISON_COLUMNS
    assert frame["status"].tolist() == ["regression", "unchanged"]
    assert frame["paired"].tolist() == [343, 343]  # records 3, 10, 17, ... failed in both
    flips = comparison.flips()
    assert set(flips["flip"]) == {"pass_to_fail"} and len(flips) == frame.loc[0, "pass_to_fail"]
    assert flips["change"].is_monotonic_increasing  # the largest drop first
    page = tmp_path / "comparison.html"
    comparison.to_html(page)
    text = page.read_text()
    assert "Regressions: metric_0/tallyx/m" in text and text.count('<tr class="regression">') == 1


def test_compare_pairs_by_inputs_when_record_ids_differ():
    baseline = make_result(records=50, metrics=1, seed=2)
    candidate = make_result(records=50, metrics=1, seed=2)
    renamed = {f"r{n}": f"new-{49 - n}" for n in range(50)}
    run = candidate.run
    candidate.run.__dict__["record_ids"] = [renamed[record_id] for record_id in run.record_ids]
    for record in candidate.metrics_result[0].record_level_metrics:
        record.record_id = renamed[record.record_id]
    comparison = compare(baseline, candidate)
    assert comparison.pairing == "input_hash"
    row = comparison.to_df().iloc[0]
    assert (row["paired"], row["difference"], row["status"]) == (43, 0.0, "unchanged")


def test_records_and_metrics_in_one_run_only():
    baseline = make_result(records=30, metrics=2, seed=3)
    candidate = make_result(records=30, metrics=1, seed=3)
    del candidate.metrics_result[0].record_level_metrics[-5:]
    frame = compare(baseline, candidate).to_df().set_index("name")
    assert frame.loc["metric_0", ["only_in_baseline", "only_in_candidate", "status"]].tolist() == [5, 0, "unchanged"]
    assert frame.loc["metric_1", ["only_in_baseline", "status"]].tolist() == [30, "only_in_baseline"]
    with pytest.raises(ValueError, match="alpha"):
        compare(baseline, candidate, alpha=1.5)
    assert isinstance(compare(baseline, baseline).flips(), pd.DataFrame)


def test_the_package_exports_the_function():
    import zentra_lumara_gov

    baseline = make_result(records=20, metrics=1, seed=9)
    assert zentra_lumara_gov.compare(baseline, baseline).to_df()["status"].tolist() == ["unchanged"]
