"""The command line: exit codes and messages, the data formats it reads, and a
whole run against the local stand-ins it starts itself."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pandas as pd
import pytest
from click.testing import CliRunner

from zentra_lumara_gov._io import read_table as load_table
from zentra_lumara_gov.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "demo" / "data" / "rag_records.jsonl"
CONFIG = ROOT / "demo" / "config" / "eval.toml"
RECORDS = [json.loads(line) for line in DATA.read_text(encoding="utf-8").splitlines() if line.strip()]


# The run needs a service client; the library's metrics never call it.
SERVICE = '[service]\nurl = "https://governance.example.test"\napi_key = "k"\n'


def settings(tmp_path, text):
    path = tmp_path / "eval.toml"
    path.write_text(text + SERVICE, encoding="utf-8")
    return str(path)


SIMILARITY = '[metric.faithfulness]\nmethod = "sentence_bert_mini_lm"\n'
CASES = [
    # name, arguments (after "evaluate"), settings text, exit code, text on stderr
    ("success", ["--metrics", "faithfulness"], SIMILARITY, 0, "faithfulness sentence_bert_mini_lm"),
    ("metrics from the settings", [], 'metrics = ["faithfulness"]\n' + SIMILARITY, 0, "faithfulness"),
    ("threshold broken", ["--metrics", "faithfulness", "--fail-on-threshold"],
     SIMILARITY + 'thresholds = [{ type = "lower_limit", value = 0.7 }]\n', 1,
     "records below a threshold in: faithfulness"),
    ("threshold kept", ["--metrics", "faithfulness", "--fail-on-threshold"],
     SIMILARITY + 'thresholds = [{ type = "lower_limit", value = 0.1 }]\n', 0, "faithfulness"),
    ("metric failed", ["--metrics", "answer_relevance"], '[metric.answer_relevance]\nmethod = "llm_as_judge"\n', 1,
     "metric answer_relevance failed: ValueError: The method llm_as_judge of answer_relevance needs a judge model: "
     "add a [judge] table (url, model_id) to the --config file, or run with --local.\n"),
    ("unknown metric", ["--metrics", "faithfulnes"], "", 2, "Error: unknown metric 'faithfulnes'; known: "),
    ("no metrics", [], "", 2,
     "Error: no metrics: give --metrics NAME[,NAME...] or a 'metrics' list in the --config file."),
    ("bad metric setting", ["--metrics", "faithfulness"], '[metric.faithfulness]\nmethod = "guess"\n', 2,
     "Error: [metric.faithfulness]: The method 'guess' is not available for faithfulness; use one of "
     "sentence_bert_mini_lm, sentence_bert_bge, bert_score_recall, llm_as_judge.\n"),
    ("judge metric without options", ["--metrics", "support", "--local"],
     '[metric.support]\nkind = "llm_as_judge"\ncriteria_description = "Backed?"\n', 2,
     "Error: [metric.support]: options: Field required\n"),
    ("bad column setting", ["--metrics", "faithfulness"], '[columns]\nrecord_id_field = ""\n', 2,
     "Error: [columns]: record_id_field: String should have at least 1 character\n"),
    ("missing column", ["--metrics", "faithfulness"], '[columns]\noutput_fields = ["response"]\n', 2,
     "Error: configuration.output_fields names the column 'response', which the data does not have; "
     "the data's columns are: 'question', 'contexts', 'answer', 'ground_truth'."),
    ("bad settings file", ["--metrics", "faithfulness"], "metrics = [", 2, "Error: cannot read the settings "),
    ("bad output suffix", ["--metrics", "faithfulness", "--out", "r.txt"], "", 2,
     "Error: r.txt: the output must end in one of .json, .csv, .parquet, .pq, .html.\n"),
    ("worker bound without a cluster", ["--metrics", "faithfulness", "--worker-concurrency", "4"], "", 2,
     "Error: --worker-concurrency sets each cluster worker's bound: give it with --scheduler or --workers.\n"),
]


@pytest.mark.parametrize("arguments, text, code, message", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_exit_codes_and_messages(tmp_path, arguments, text, code, message):
    outcome = CliRunner().invoke(main, ["evaluate", str(DATA), "--config", settings(tmp_path, text), *arguments])
    assert outcome.exit_code == code, outcome.output
    assert message in outcome.stderr
    assert "Traceback" not in outcome.stderr
    if code != 2:  # the results, as JSON on standard output
        names = [aggregate["name"] for aggregate in json.loads(outcome.stdout)["metrics_result"]]
        assert names == [arguments[1] if arguments else "faithfulness"]


@pytest.mark.parametrize("arguments", [["evaluate"], ["evaluate", "missing.jsonl", "--metrics", "pii"], ["score"]])
def test_bad_usage_exits_with_2(arguments):
    assert CliRunner().invoke(main, arguments).exit_code == 2


def write(table, path):
    if path.suffix == ".jsonl":
        table.to_json(path, orient="records", lines=True)
    elif path.suffix == ".csv":
        table.assign(contexts=table["contexts"].map(json.dumps)).to_csv(path, index=False)
    else:
        table.to_parquet(path)


@pytest.mark.parametrize("suffix", [".jsonl", ".csv", ".parquet"])
def test_every_data_format_reads_back_the_records(tmp_path, suffix):
    path = tmp_path / f"records{suffix}"
    write(pd.DataFrame(RECORDS), path)
    assert load_table(path).to_dict("records") == RECORDS


def test_local_run_of_every_family_writes_the_results_and_gates_on_thresholds(tmp_path):
    out = tmp_path / "results.json"
    done = subprocess.run(
        [sys.executable, "-m", "zentra_lumara_gov", "evaluate", str(DATA), "--config", str(CONFIG), "--local",
         "--out", str(out), "--fail-on-threshold"],
        capture_output=True, text=True, timeout=180, stdin=subprocess.DEVNULL,
    )
    assert done.stdout == ""  # results go to the file
    assert "local judge at http://127.0.0.1:" in done.stderr and f"wrote {out}" in done.stderr
    results = json.loads(out.read_text(encoding="utf-8"))["metrics_result"]
    assert [(item["name"], item["provider"], item["total_records"], item["errors"]) for item in results] == [
        ("faithfulness", "tallyx", 6, None), ("answer_relevance", "tallyx", 6, None), ("pii", "detectors", 6, None),
        ("hap", "detectors", 6, None), ("keyword", "detectors", 6, None), ("regex", "detectors", 6, None),
        ("prompt_safety_risk", "detectors", 6, None), ("topic_relevance", "detectors", 6, None),
        ("context_support", "tallyx", 6, None),
    ]
    assert all(record["value"] is not None for item in results for record in item["record_level_metrics"])
    # One faithfulness record is below its limit of 0.5, so the gate closes.
    assert done.returncode == 1 and "records below a threshold in: faithfulness" in done.stderr
