"""Record results held as columns: the record objects made from them equal the providers' own,
every view reads the same values before and after they are made, and the bulk helpers
(rounding, hashing, exact sums, list contexts) agree with the plain Python they stand for."""

from __future__ import annotations

import gc
import hashlib
import json
import math
import os
import pickle
import random
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import zentra_lumara_gov as zlg
import zentra_lumara_gov.providers.tallyx_provider as tp
from zentra_lumara_gov.distributed import exact_sum
from zentra_lumara_gov.entities.evaluation_result import RECORD_COLUMNS, AggregateMetricResult, MetricsEvaluationResult
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.metrics import AnswerRelevanceMetric
from zentra_lumara_gov.run_record import _canonical_json, _normalised, digest_table
from zentra_lumara_gov.testing import failing_metrics
from zentra_lumara_gov.utils.python_utils import transform_str_to_list

RNG = random.Random(20261208)
TIES = [k / 32 for k in range(-40, 40)]  # exactly halfway between two 4-place decimals


def _scores(count: int) -> list[float]:
    special = [0.0, -0.0, math.nan, math.inf, -math.inf, 0.123456, 0.00005, 1e300, -1e-300, 5e-324]
    spread = [RNG.uniform(-1, 1) * 10.0 ** RNG.randrange(-8, 8) for _ in range(count)]
    return [RNG.choice(special + TIES) if RNG.random() < 0.3 else value for value in spread]


def _provider(method: str, thresholds: list) -> tp.TallyxProvider:
    configuration = zlg.GenAIConfiguration()
    return tp.TallyxProvider(configuration=configuration, metric_name="context_relevance",
                             metric_display_name="Context relevance", metric_method=method,
                             metric_prefix="metrics.x", thresholds=thresholds)


# Scores of both infinities make pandas' mean warn, in either way of making the records.
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize("method", ["sentence_bert_bge", "bert_score_recall"])  # clipped, not clipped
@pytest.mark.parametrize("trial", range(6))
def test_record_objects_made_from_columns_equal_the_providers_own(monkeypatch, method, trial):
    scores = _scores(RNG.randrange(1, 400))
    ids = [RNG.choice([f"r{i}", i, 7.5]) for i in range(len(scores))]
    thresholds = [MetricThreshold(type="lower_limit", value=0.2)] if trial % 2 else []
    table = pd.DataFrame({"context_relevance": scores, "record_id": ids})
    provider = _provider(method, thresholds)
    lazy = provider._TallyxProvider__post_process(result=table)
    assert lazy.records_are_columns
    # Any other AggregateMetricResult callable makes the provider build each record object itself.
    monkeypatch.setattr(tp, "AggregateMetricResult", lambda **fields: AggregateMetricResult(**fields))
    built = provider._TallyxProvider__post_process(result=table)
    assert not built.records_are_columns
    assert lazy.model_dump_json() == built.model_dump_json()
    for made, own in zip(lazy.record_level_metrics, built.record_level_metrics, strict=True):
        # (== holds too where the value is not NaN, which equals nothing)
        assert made == own or math.isnan(own.value)
        assert (type(made), made.model_dump_json(), made.model_fields_set) == (
            type(own), own.model_dump_json(), own.model_fields_set)
        assert made.thresholds is not own.thresholds and made.thresholds is not lazy.thresholds
    assert [lazy.min, lazy.max, lazy.failed_records] == [built.min, built.max, built.failed_records] or (
        math.isnan(lazy.min) and math.isnan(built.min))


def test_rounding_and_hashing_agree_with_the_interpreter_and_hashlib(native_probe):
    values = _scores(20000) + TIES + [RNG.uniform(-1e6, 1e6) for _ in range(5000)]
    for value in values:
        rounded = native_probe.round_float(value, 4)
        expected = round(value, 4)
        assert rounded == expected or (math.isnan(rounded) and math.isnan(expected)), value
        assert math.copysign(1, rounded) == math.copysign(1, expected), value
    data = os.urandom(4096)
    for size in [*range(0, 200), 4096]:
        digest = hashlib.sha256(data[:size]).hexdigest()
        assert native_probe.sha256_hex(data[:size], False) == digest == native_probe.sha256_hex(data[:size], True)


ALPHABET = ["a", "é", "\x00", "\x1f", '"', "\\", "\ud800", "\U0001F600", "\n", "\t", " ", "\x7f"]


def _cell():
    kind = RNG.randrange(9)
    text = "".join(RNG.choice(ALPHABET) for _ in range(RNG.randrange(6)))
    return [None, RNG.randrange(-10**20, 10**20), RNG.choice([1.5, math.nan, math.inf, 3.0, -0.0]),
            [text, text[::-1]][: RNG.randrange(3)], {"x": RNG.randrange(5), "y": [1, "z"]},
            RNG.choice([True, False]), ("t", 1), np.int64(3), text][kind]


def _plain_digest(table, inputs):
    names = sorted(map(str, table.columns))

    def hashed(record):
        text = json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
        return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]

    rows = [{name: _normalised(table[name].iloc[i]) for name in names} for i in range(len(table))]
    return [hashed(row) for row in rows], [hashed({k: v for k, v in row.items() if k in inputs}) for row in rows]


def test_record_hashes_follow_the_documented_canonical_form():
    for trial in range(150):
        rows = RNG.randrange(0, 6)
        # (Column names without lone surrogates: pandas 3 keeps names as Arrow text, which cannot hold them.)
        names = [f"c{j}{RNG.choice(ALPHABET[:6] + ALPHABET[7:])}" for j in range(RNG.randrange(5))]
        columns = {name: [_cell() for _ in range(rows)] for name in names}
        table = pd.DataFrame(columns, dtype=object) if columns else pd.DataFrame(index=range(rows))
        inputs = [name for name in columns if RNG.random() < 0.5]
        digest = digest_table(table, inputs)
        assert (digest.record_hashes, digest.input_hashes) == _plain_digest(table, inputs), trial
    assert _canonical_json("é") == '"é"'


def test_exact_sums_of_floats_of_any_size():
    for trial in range(200):
        size = RNG.randrange(0, 2000)
        bits = np.frombuffer(np.random.default_rng(trial).integers(0, 2**63, size, dtype=np.uint64).tobytes(), float)
        values = bits[np.isfinite(bits)] if trial % 2 else np.array(_scores(size))
        values = values[np.isfinite(values)]
        assert Fraction(exact_sum(values), 2**1074) == sum(map(Fraction, values.tolist()), Fraction(0)), trial


SURROGATE_PAIR = "\ud83d\ude00"  # two code points a JSON reader would join into one
LIST_CELLS = [
    [["Paris is the capital.", "France is in Europe."]],
    [[]],
    [["it's"], ['say "hi"'], ["back\\slash"]],
    [["é", "\u2028", "\x00\x7f"]],
    [["'" + SURROGATE_PAIR]],
    [["a"], "['b', 'c']"],  # lists and texts mixed
    [["a", 1]],
    [None, ["a"]],
    [("a", "b")],
    ["plain text"],
]


@pytest.mark.parametrize("cells", LIST_CELLS)
def test_list_contexts_give_what_their_text_round_trip_gives(cells):
    table = pd.DataFrame({"record_id": [str(i) for i in range(len(cells))], "question": "q",
                          "contexts": pd.Series(cells, dtype=object)})
    provider = _provider("sentence_bert_bge", [])
    provider.configuration = zlg.GenAIConfiguration(context_fields=["contexts"])
    made = provider._TallyxProvider__pre_process_data(data=table)
    expected = table.astype(str)["contexts"].apply(transform_str_to_list)
    assert made["contexts"].tolist() == expected.tolist()
    assert all(made_list is not cell for made_list, cell in zip(made["contexts"], cells))


@zlg.metric(thresholds=[MetricThreshold(type="upper_limit", value=3)])
def remainder(record):
    number = int(record.answer[1:])
    if number % 7 == 0:
        raise ValueError("seven")
    return zlg.Score(number % 5, label="odd" if number % 2 else None)


def _reference_frame(result):
    """The record table as it was made before results were columns: one row per record object."""
    rows = []
    for aggregate in result.aggregates:
        for record in aggregate.record_level_metrics:
            row = {column: getattr(record, column) for column in RECORD_COLUMNS}
            row["group"] = getattr(row["group"], "value", row["group"])
            row["errors"] = None if record.errors is None else [error.model_dump() for error in record.errors]
            rows.append(row)
    frame = pd.DataFrame(rows, columns=RECORD_COLUMNS)
    frame["value"] = frame["value"].astype(float)
    return frame


def test_every_view_reads_the_same_results_before_and_after_the_objects_are_made(tmp_path):
    count = 60
    data = pd.DataFrame({"record_id": [f"r{i}" for i in range(count)], "question": "q",
                         "contexts": [["a", "b"]] * count, "answer": [f"a{i}" for i in range(count)]})
    client = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))
    result = zlg.evaluate(data, [AnswerRelevanceMetric(), remainder], api_client=client,
                          configuration=zlg.GenAIConfiguration(context_fields=["contexts"]))
    assert all(aggregate.records_are_columns for aggregate in result.aggregates)
    gated = failing_metrics(result)
    views = [result.to_df(), result.to_df(wide=True), result.summary(), result.to_csv(), str(result),
             [aggregate.failed_records for aggregate in result.aggregates]]
    result.to_parquet(tmp_path / "columns.parquet")
    result.to_html(tmp_path / "report.html")
    copied = pickle.loads(pickle.dumps(result))
    assert all(aggregate.records_are_columns for aggregate in [*result.aggregates, *copied.aggregates])
    assert copied == result
    views.append(result.to_json())  # made as JSON from the record objects

    reference = _reference_frame(result)  # reads every record_level_metrics: the objects are made
    pd.testing.assert_frame_equal(views[0], reference)
    again = [result.to_df(), result.to_df(wide=True), result.summary(), result.to_csv(), str(result),
             [aggregate.failed_records for aggregate in result.aggregates], result.to_json()]
    for before, after in zip(views, again, strict=True):
        if isinstance(before, pd.DataFrame):
            pd.testing.assert_frame_equal(before, after)
        else:
            assert before == after
    assert failing_metrics(result) == gated
    assert gated["remainder"] == ("9 of 60 records have no value (ValueError: seven); 10 of 51 records break ≤ 3 "
                                  "(pass rate 80%); worst: r4 = 4, r9 = 4, r19 = 4, r24 = 4, r29 = 4")
    result.to_parquet(tmp_path / "objects.parquet", compression="snappy")  # through pandas, as before
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "columns.parquet"),
                                  pd.read_parquet(tmp_path / "objects.parquet"))


@pytest.mark.parametrize("enabled_before", [True, False])
def test_the_collector_is_left_as_it_was(enabled_before):
    data = pd.DataFrame({"record_id": ["a", "b"], "question": "q", "contexts": [["x"], ["y"]], "answer": "z"})
    client = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))
    (gc.enable if enabled_before else gc.disable)()
    try:
        result = zlg.evaluate(data, [AnswerRelevanceMetric()], api_client=client,
                              configuration=zlg.GenAIConfiguration(context_fields=["contexts"]))
        assert len(result.aggregates[0].record_level_metrics) == 2
        assert gc.isenabled() is enabled_before
    finally:
        gc.enable()


@zlg.metric(name="answer")  # a metric named like a column of the data
def answer_chars(record):
    return float(len(record.answer))


WIDE_TABLES = [
    ("text ids", pd.DataFrame({"record_id": ["b", "a", "c"], "question": "q", "answer": ["a1", "a22", "a3"]})),
    ("number ids", pd.DataFrame({"record_id": [3, 1, 2], "question": "q", "answer": ["a1", "a22", "a3"]})),
    ("repeated ids", pd.DataFrame({"record_id": ["a", "a", "b"], "question": "q", "answer": ["a1", "a22", "a3"]})),
    ("missing id", pd.DataFrame({"record_id": ["a", None, "b"], "question": "q", "answer": ["a1", "a22", "a3"]})),
]


@pytest.mark.parametrize("kept", [True, False])
@pytest.mark.parametrize("case, data", WIDE_TABLES, ids=[case for case, _ in WIDE_TABLES])
def test_the_wide_table_from_columns_equals_the_one_pivoted_from_the_long_table(case, data, kept):
    client = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))
    namesake = remainder.with_options(display_name="remainder twice")
    result = zlg.evaluate(data, [answer_chars, remainder, namesake], api_client=client)
    if not kept:
        result = MetricsEvaluationResult(metrics_result=result.metrics_result)
    kept_data = result._input.data
    pd.testing.assert_frame_equal(result.to_df(wide=True), result._wide(result.to_df(), kept_data))
