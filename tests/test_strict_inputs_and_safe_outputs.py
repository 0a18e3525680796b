"""Bad settings, files and outputs are refused with one line before any work;
secrets never reach a message; outputs never lose data; scores of any size
pass through every export; SDK errors survive pickle."""

from __future__ import annotations

import io
import json
import math
import os
import pathlib
import pickle
import signal
import subprocess
import sys

import pandas as pd
import pydantic
import pytest
from click.testing import CliRunner
from hypothesis import given, settings
from hypothesis import strategies as st

import zentra_lumara_gov as zlg
from zentra_lumara_gov import _io, errors
from zentra_lumara_gov._identity import MetricKey, labels
from zentra_lumara_gov.cli import main
from zentra_lumara_gov.entities.evaluation_result import (
    AggregateMetricResult,
    MetricsEvaluationResult,
    RecordMetricResult,
)
from zentra_lumara_gov.metrics import AnswerRelevanceMetric, FaithfulnessMetric, PIIMetric

ROOT = pathlib.Path(__file__).resolve().parent.parent
RECORDS = [json.loads(line) for line in (ROOT / "demo/data/rag_records.jsonl").read_text("utf-8").splitlines()]
SERVICE = '[service]\nurl = "https://governance.example.test"\napi_key = "k"\n'
SECRET = "sk-TOPSECRET-0123456789"


def _jsonl(records):
    return "".join(json.dumps(record) + "\n" for record in records).encode()


# name, data file (name, bytes), settings text, extra arguments, the one line on stderr
BAD_INPUT = [
    ("misspelt table", ("r.jsonl", _jsonl(RECORDS)), "[colums]\ninput_fields = ['question']\n", [],
     "settings: unknown table [colums]; did you mean [columns]?"),
    ("metrics not a list", ("r.jsonl", _jsonl(RECORDS)), "metrics = 5\n", [],
     "settings: 'metrics' must be a list of metric names, not a number (5)."),
    ("metric table not a table", ("r.jsonl", _jsonl(RECORDS)), "[metric]\npii = 5\n", ["--metrics", "pii"],
     "settings: [metric.pii] must be a table, not a number (5)."),
    ("misspelt metric key", ("r.jsonl", _jsonl(RECORDS)),
     "[metric.pii]\nthreshold = [{ type = 'upper_limit', value = 0.1 }]\n", ["--metrics", "pii"],
     "[metric.pii]: unknown key 'threshold'; did you mean 'thresholds'?"),
    ("misspelt column key", ("r.jsonl", _jsonl(RECORDS)), "[columns]\ninput_field = ['question']\n", [],
     "[columns]: unknown key 'input_field'; did you mean 'input_fields'?"),
    ("misspelt judge key", ("r.jsonl", _jsonl(RECORDS)), "[judge]\nmodle_id = 'm'\n", [],
     "[judge]: unknown key 'modle_id'; did you mean 'model_id'?"),
    ("wrong value type", ("r.jsonl", _jsonl(RECORDS)), "[metric.faithfulness]\nmethod = 5\n", [],
     "[metric.faithfulness]: method: Input should be a valid string"),
    ("unknown metric", ("r.jsonl", _jsonl(RECORDS)), "", ["--metrics", "faithfulnes"], "unknown metric 'faithfulnes'"),
    ("settings not UTF-8", ("r.jsonl", _jsonl(RECORDS)), "# caf\xe9\n", [], "not UTF-8 text (byte 0xe9 at offset 5)"),
    ("settings nested deeply", ("r.jsonl", _jsonl(RECORDS)), "x = " + "[" * 5000 + "]" * 5000 + "\n", [],
     "nested too deeply to read."),
    ("broken JSON Lines line", ("r.jsonl", _jsonl(RECORDS[:1]) + b'{"question": \n' + _jsonl(RECORDS[1:])), "", [],
     "r.jsonl, line 2, column 14: not JSON: Expecting value."),
    ("JSON nested deeply", ("r.jsonl", b'{"question": ' + b"[" * 50000 + b"]" * 50000 + b"}\n"), "", [],
     "r.jsonl, line 1: nested too deeply to read."),
    ("JSON line not an object", ("r.jsonl", b"[1, 2]\n"), "", [],
     "r.jsonl, line 1: a record must be a JSON object, not list."),
    ("JSON file not an array", ("r.json", b'{"question": "q"}'), "", [],
     "r.json: a .json file must hold one array of JSON objects (one per record)."),
    ("latin-1 CSV read as UTF-8", ("r.csv", "question,answer\ncaf\xe9,b\n".encode("latin-1")), "", [],
     "cannot be read as UTF-8 (byte 0xe9 at offset 19); name its encoding, e.g. --encoding latin-1."),
    ("unknown data suffix", ("r.txt", b"question\n"), "", [], "cannot tell the format from '.txt'"),
    ("unknown encoding", ("r.jsonl", _jsonl(RECORDS)), "", ["--encoding", "klingon"],
     "--encoding: unknown encoding 'klingon'."),
    ("output is the input", ("r.json", json.dumps(RECORDS).encode()), "", ["--out", "{data}"],
     "is the input file: writing to it would overwrite the records; name another."),
    ("output folder missing", ("r.jsonl", _jsonl(RECORDS)), "", ["--out", "{tmp}/missing/out.json"],
     "the folder {tmp}/missing does not exist."),
    ("output is a folder", ("r.jsonl", _jsonl(RECORDS)), "", ["--out", "{tmp}"], "the output must end in one of"),
    ("output suffix unknown", ("r.jsonl", _jsonl(RECORDS)), "", ["--out", "{tmp}/out.txt"],
     "the output must end in one of .json, .csv, .parquet, .pq, .html."),
    ("service typo keeps the key out", ("r.jsonl", _jsonl(RECORDS)),
     f'[service]\nurl = "https://x.test"\napi_kye = "{SECRET}"\n', [],
     "[service]: unknown key 'api_kye'; did you mean 'api_key'?"),
    ("bad judge keeps the key out", ("r.jsonl", _jsonl(RECORDS)),
     f'[judge]\nprovider = "lmai"\nurl = " "\nmodel_id = "m"\napi_key = "{SECRET}"\n',
     ["--metrics", "answer_relevance"], ""),
]


@pytest.mark.parametrize("data, text, arguments, line", [case[1:] for case in BAD_INPUT],
                         ids=[case[0] for case in BAD_INPUT])
def test_bad_settings_data_and_outputs_exit_2_with_one_line_before_any_work(tmp_path, data, text, arguments, line):
    name, content = data
    path = tmp_path / name
    path.write_bytes(content)
    config = tmp_path / "eval.toml"
    config.write_bytes((text + ("" if "[service]" in text else SERVICE)).encode("latin-1" if "\xe9" in text else "utf-8"))
    if "judge" in text and "answer_relevance" in arguments:
        config.write_text(text.replace("[judge]", "[metric.answer_relevance]\nmethod = 'llm_as_judge'\n[judge]")
                          + SERVICE, encoding="utf-8")
    arguments = [argument.format(data=path, tmp=tmp_path) for argument in arguments]
    before = sorted(tmp_path.iterdir())
    outcome = CliRunner().invoke(main, ["evaluate", str(path), "--config", str(config),
                                        *(arguments if "--metrics" in arguments else ["--metrics", "faithfulness",
                                                                                      *arguments])])
    assert outcome.exit_code == 2, outcome.output
    assert line.format(tmp=tmp_path) in outcome.stderr and outcome.stderr.count("\n") == 1, outcome.stderr
    assert "Traceback" not in outcome.stderr and SECRET not in outcome.output
    assert path.read_bytes() == content and sorted(tmp_path.iterdir()) == before


@pytest.mark.parametrize("build", [
    lambda: zlg.Credentials(url="https://x.test", api_key=SECRET, versoin="5"),
    lambda: zlg.Credentials(url="https://x.test", api_key=SECRET, version="5"),
    lambda: zlg.Credentials(url=" ", api_key=SECRET),
    lambda: zlg.APIClient({"url": "https://x.test", "apikey": SECRET}),
    lambda: zlg.GenAIConfiguration(llm_judge={"model": {"model_id": "m", "api_key": SECRET}}),
    lambda: FaithfulnessMetric(method="llm_as_judge", llm_judge={"model": SECRET}),
    lambda: FaithfulnessMetric(threshhold=[{"type": "lower_limit", "value": SECRET}]),
], ids=["typo", "on premises without user", "blank url", "client mapping", "configuration judge", "metric judge",
        "misspelt field"])
def test_no_validation_error_echoes_a_secret(build):
    with pytest.raises(ValueError) as info:
        build()
    assert SECRET not in str(info.value) and SECRET not in repr(info.value)


def test_a_misspelt_field_names_the_closest_valid_one():
    with pytest.raises(pydantic.ValidationError, match="FaithfulnessMetric has no field 'threshhold'; did you mean "
                                                       "'thresholds'?"):
        FaithfulnessMetric(threshhold=[])


def test_evaluate_leaves_the_callers_table_alone_and_refuses_indistinguishable_metrics():
    table = pd.DataFrame(RECORDS)
    before = table.copy()
    client = zlg.APIClient(zlg.Credentials(url="https://x.test", api_key="k"))
    result = zlg.evaluate(table, [AnswerRelevanceMetric()], api_client=client)
    assert table.equals(before) and result.to_df()["record_id"].nunique() == len(table)
    with pytest.raises(errors.MetricIdentityError, match=r"PIIMetric\(name='pii'\) and PIIMetric\(name='pii'\)"):
        zlg.evaluate(table, [PIIMetric(), PIIMetric()], api_client=client)


def scores(*values):
    records = [RecordMetricResult(name="m", display_name="M", value=value, record_id=f"r{i}",
                                  thresholds=[zlg.MetricThreshold(type="upper_limit", value=1.0)])
               for i, value in enumerate(values)]
    return MetricsEvaluationResult(metrics_result=[AggregateMetricResult.create(records)])


def test_infinite_nan_and_huge_scores_pass_every_export(tmp_path):
    result = scores(math.inf, -math.inf, 1.7e308, -1.7e308, math.nan, 0.5)
    back = MetricsEvaluationResult.model_validate_json(result.to_json())
    assert [r.value for r in back.metrics_result[0].record_level_metrics][:4] == [math.inf, -math.inf, 1.7e308,
                                                                                  -1.7e308]
    assert json.loads(result.to_json())["metrics_result"][0]["record_level_metrics"][0]["value"] == "Infinity"
    read = pd.read_csv(io.StringIO(result.to_csv()))
    assert read["value"].tolist()[:4] == [math.inf, -math.inf, 1.7e308, -1.7e308] and math.isnan(read["value"][4])
    row = result.summary().iloc[0]
    assert (row["min"], row["max"], row["failed"], row["pass_rate"]) == (-math.inf, math.inf, 1, 0.6)
    assert "2 infinite, not drawn" in result.to_html()


def test_csv_quotes_carriage_returns_and_guards_formulas():
    frame = scores(0.5).to_df().assign(record_id=["=HYPERLINK(\"x\")"], label=["a\rb"])

    class Fixed(MetricsEvaluationResult):
        def to_df(self, wide=False, data=None):
            return frame

    guarded, plain = Fixed().to_csv(), Fixed().to_csv(guard_formulas=False)
    assert pd.read_csv(io.StringIO(guarded), keep_default_na=False)[["record_id", "label", "value"]].values.tolist() \
        == [["'=HYPERLINK(\"x\")", "a\rb", 0.5]]
    assert pd.read_csv(io.StringIO(plain))["record_id"].tolist() == ["=HYPERLINK(\"x\")"]


def test_a_failed_write_leaves_the_previous_file_whole(tmp_path):
    out = tmp_path / "results.csv"
    scores(0.5).to_csv(out)
    previous = out.read_bytes()
    broken = scores(0.25)
    broken.metrics_result[0].record_level_metrics[0].record_id = "\udc80"  # a lone surrogate: cannot be encoded
    with pytest.raises(UnicodeEncodeError):
        broken.to_csv(out)
    assert out.read_bytes() == previous and [p.name for p in tmp_path.iterdir()] == ["results.csv"]


@pytest.mark.parametrize("cause", [ValueError("bad"), KeyError("k"), OSError(2, "gone"), TimeoutError("slow"),
                                   UnicodeError("u"), pydantic.ValidationError.from_exception_data("M", [])])
def test_sdk_errors_pickle_as_the_cause_they_stand_for(cause):
    error = errors._metric_error("faithfulness", cause)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.metric_name) == (type(error), str(cause), "faithfulness")
    assert isinstance(copy, errors.MetricEvaluationError) and isinstance(copy, type(cause) if type(cause).__init__
                                                                         is not pydantic.ValidationError.__init__
                                                                         else Exception)


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_local_run_stops_its_servers(tmp_path, signum, code):
    slow = tmp_path / "many.jsonl"
    slow.write_bytes(_jsonl(RECORDS * 2000))
    process = subprocess.Popen(
        [sys.executable, "-m", "zentra_lumara_gov", "evaluate", str(slow), "--metrics", "pii,hap", "--local"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
    try:
        first = process.stderr.readline()
        assert first.startswith("local judge at http://127.0.0.1:"), first
        urls = [part.split()[-1].rstrip(",") for part in first.strip().split(", ")]
        process.send_signal(signum)
        rest = process.communicate(timeout=60)[1]
    finally:
        process.kill()
    assert process.returncode == code, rest
    import urllib.request

    for url in urls:
        with pytest.raises(OSError):
            urllib.request.urlopen(url, timeout=2)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["pii", "faithfulness"]), st.sampled_from(["tallyx", "detectors", None]),
                          st.sampled_from(["a", "b", None]), st.sampled_from(["A", "B"])), unique=True, max_size=8))
def test_labels_tell_every_distinct_metric_apart(fields):
    keys = [MetricKey(*item) for item in fields]
    named = labels(keys)
    assert len(set(named.values())) == len(keys)
    assert all(named[key] == key.name or named[key].startswith(key.name + "[") for key in keys)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.text(alphabet=st.characters(exclude_categories=["Cs"], exclude_characters="\x00")), min_size=1,
                max_size=5),
       st.lists(st.lists(st.text(max_size=5), max_size=3), min_size=1, max_size=5))
def test_text_and_list_cells_survive_a_csv_round_trip(tmp_path_factory, texts, lists):
    rows = min(len(texts), len(lists))
    table = pd.DataFrame({"question": texts[:rows], "contexts": lists[:rows]})
    path = tmp_path_factory.mktemp("csv") / "t.csv"
    _io.write_atomically(path, lambda target: _io.csv_ready(table, guard_formulas=False).to_csv(
        target, index=False, lineterminator="\r\n"))
    back = _io.read_table(path)
    expected = [_io.decode_cell(text) for text in texts[:rows]]  # a text that is itself JSON reads back decoded
    assert back["question"].tolist() == expected and back["contexts"].tolist() == lists[:rows]
    assert os.listdir(path.parent) == ["t.csv"]


@pytest.mark.parametrize("name, write, encoding", [
    ("r.jsonl", lambda t, p: p.write_bytes(b"\xef\xbb\xbf" + _jsonl(t.to_dict("records"))), None),
    ("r.ndjson", lambda t, p: p.write_bytes(_jsonl(t.to_dict("records"))), None),
    ("r.json", lambda t, p: p.write_text(json.dumps(t.to_dict("records")), encoding="utf-8"), None),
    ("r.csv", lambda t, p: p.write_bytes(t.assign(contexts=t["contexts"].map(json.dumps)).to_csv(index=False)
                                         .encode("latin-1")), "latin-1"),
    ("r.csv", lambda t, p: p.write_bytes(b"\xef\xbb\xbf" + t.assign(contexts=t["contexts"].map(json.dumps))
                                         .to_csv(index=False).encode()), None),
    ("r.pq", lambda t, p: t.to_parquet(p), None),
])
def test_every_format_and_encoding_reads_the_same_records(tmp_path, name, write, encoding):
    table = pd.DataFrame(RECORDS).assign(question=lambda t: t["question"] + " caf\xe9")
    write(table, tmp_path / name)
    assert _io.read_table(tmp_path / name, encoding).to_dict("records") == table.to_dict("records")
