"""Metrics of the user's own: a decorated function through every door, plugins, and the CI gates."""

from __future__ import annotations

import asyncio
import json
import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pandas as pd
import pytest
from click.testing import CliRunner

import zentra_lumara_gov as zlg
from distributed_support import answer_length, answer_words, question_length
from zentra_lumara_gov.cli import main
from zentra_lumara_gov.testing import assert_passes, junit_xml

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "demo" / "data" / "rag_records.jsonl"
CLIENT = zlg.APIClient(zlg.Credentials(url="https://governance.example", api_key="key"))
TABLE = pd.DataFrame({"record_id": ["a", "b"], "question": ["q1", "q2"], "answer": ["short", "x" * 50]})


def per_record(outcome):
    @zlg.metric(name="m")
    def scored(record):
        if isinstance(outcome, Exception):
            raise outcome
        return outcome
    return scored


async def awaited(record):
    await asyncio.sleep(0)
    return zlg.Score(len(record.answer) / 10, label=record.record_id)


# what the function gives -> (value, label, explanation, error code) of each record
OUTCOMES = [
    (per_record(0.25), (0.25, None, None, None)),
    (per_record(3), (3.0, None, None, None)),
    (per_record(True), (1.0, None, None, None)),
    (per_record(None), (None, None, None, None)),
    (per_record(zlg.Score(0.5, label="ok", explanation="fine")), (0.5, "ok", "fine", None)),
    (per_record(ValueError("bad row")), (None, None, None, "ValueError")),
    (per_record("text"), (None, None, None, "TypeError")),
    (zlg.metric(lambda table: [1.0] * len(table), name="m", batch=True), (1.0, None, None, None)),
    (zlg.metric(lambda table: [1.0], name="m", batch=True), (None, None, None, "ValueError")),
    (zlg.metric(awaited, name="m"), ("len/10", "id", None, None)),
]


@pytest.mark.parametrize("metric, expected", OUTCOMES, ids=[str(i) for i in range(len(OUTCOMES))])
@pytest.mark.parametrize("mode", ["blocking", "async"])
def test_what_a_function_returns_becomes_each_records_result(metric, expected, mode):
    run = zlg.evaluate if mode == "blocking" else (lambda *a, **k: asyncio.run(zlg.aevaluate(*a, **k)))
    result = run(TABLE, [metric], api_client=CLIENT)
    for record, answer, record_id in zip(result.aggregates[0].record_level_metrics, TABLE["answer"], TABLE["record_id"]):
        value, label, explanation, error = expected
        value = len(answer) / 10 if value == "len/10" else value
        label = record_id if label == "id" else label
        assert (record.value, record.label, record.explanation) == (value, label, explanation)
        assert (record.errors[0].code if record.errors else None) == error
        assert record.provider == "custom" and record.record_id == record_id


def test_a_decorated_metric_runs_the_same_on_a_cluster_and_from_the_command_line(tmp_path):
    import distributed

    from zentra_lumara_gov.distributed import evaluate_partitioned

    table = pd.read_json(DATA, lines=True).assign(record_id=[f"r{i}" for i in range(6)])
    # Per record, batch, async, and one told to read the questions as its answers.
    every_kind = [answer_length, answer_words, question_length,
                  answer_length.with_options(columns={"answer": "question"}, display_name="question_length_chars")]
    here = zlg.evaluate(table, every_kind, api_client=CLIENT)
    awaited = asyncio.run(zlg.aevaluate(table, every_kind, api_client=CLIENT))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        import dask.dataframe as dd

        spread = evaluate_partitioned(dd.from_pandas(table.drop(columns="contexts"), npartitions=2), every_kind,
                                      api_client=CLIENT, client=client, worker_concurrency=2)
    pd.testing.assert_frame_equal(spread.summary(), here.summary())
    pd.testing.assert_frame_equal(awaited.summary(), here.summary())
    assert here.summary()["mean"].tolist() == [
        table["answer"].str.len().mean(), table["answer"].str.split().str.len().mean(),
        table["question"].str.len().mean(), table["question"].str.len().mean()]
    data = tmp_path / "records.jsonl"
    table.to_json(data, orient="records", lines=True)
    config = tmp_path / "eval.toml"
    config.write_text('[metric."distributed_support:answer_length"]\nthresholds = [{ type = "upper_limit", '
                      'value = 10 }]\n[service]\nurl = "https://x.test"\napi_key = "k"\n', encoding="utf-8")
    junit = tmp_path / "junit.xml"
    outcome = CliRunner().invoke(main, ["evaluate", str(data), "--metrics", "distributed_support:answer_length",
                                        "--config", str(config), "--fail-on-threshold", "--junit", str(junit)])
    assert outcome.exit_code == 1, outcome.output
    printed = json.loads(outcome.stdout)["metrics_result"][0]
    assert [r["value"] for r in printed["record_level_metrics"]] == [r.value for r in here.aggregates[0].record_level_metrics]
    case = ElementTree.parse(junit).getroot().find("testsuite/testcase")
    assert case.get("name") == "answer_length" and case.find("failure").get("type") == "threshold"


def test_assert_passes_names_each_broken_metric_with_its_worst_records():
    result = zlg.evaluate(TABLE, [answer_length, per_record(ValueError("down"))], api_client=CLIENT)
    with pytest.raises(AssertionError) as info:
        assert_passes(result)
    assert str(info.value) == (
        "2 of 2 metrics did not pass:\n"
        "  answer_length: 1 of 2 records break ≤ 40 (pass rate 50%); worst: b = 50\n"
        "  m: 2 of 2 records have no value (ValueError: down)")
    assert_passes(result, metrics=["nothing of this run"])
    suite = ElementTree.fromstring(junit_xml(result).split("\n", 1)[1]).find("testsuite")
    assert (suite.get("tests"), suite.get("failures"), suite.get("errors")) == ("2", "2", "0")


PLUGIN = {
    "pyproject.toml": '[build-system]\nrequires = ["setuptools"]\nbuild-backend = "setuptools.build_meta"\n'
                      '[project]\nname = "shout-metric"\nversion = "1.0"\n'
                      '[project.entry-points."zentra_lumara_gov.metrics"]\nshout = "shout_metric:shout"\n',
    "shout_metric.py": "import zentra_lumara_gov as zlg\n\n\n@zlg.metric\ndef shout(record):\n"
                       "    return sum(c.isupper() for c in record.answer)\n",
}


def test_an_installed_plugin_metric_is_listed_and_evaluated(tmp_path):
    source = tmp_path / "plugin"
    source.mkdir()
    for name, text in PLUGIN.items():
        (source / name).write_text(text, encoding="utf-8")
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation",
                    "--target", str(target), str(source)], check=True, capture_output=True, timeout=300)
    # This environment (a sanitized run preloads its runtime), with the plugin's folder on the path.
    environment = {**os.environ, "PYTHONPATH": str(target), "ZLG_STORE_URL": str(tmp_path / "runs.db")}

    def cli(*arguments):
        return subprocess.run([sys.executable, "-m", "zentra_lumara_gov", *arguments], capture_output=True,
                              text=True, env=environment, timeout=120, cwd=tmp_path)

    listed = cli("metrics", "list")
    shout = next(line.split() for line in listed.stdout.splitlines() if line.split()[:1] == ["shout"])
    assert shout == ["shout", "plugin", "shout_metric:shout", "custom", "nothing"], listed.stdout
    config = tmp_path / "eval.toml"
    config.write_text('[service]\nurl = "https://x.test"\napi_key = "k"\n', encoding="utf-8")
    done = cli("evaluate", str(DATA), "--metrics", "shout", "--config", str(config))
    assert done.returncode == 0, done.stderr
    values = [r["value"] for r in json.loads(done.stdout)["metrics_result"][0]["record_level_metrics"]]
    answers = pd.read_json(DATA, lines=True)["answer"]
    assert values == [float(sum(c.isupper() for c in answer)) for answer in answers]


def test_the_pytest_plugin_writes_a_report_per_evaluation(tmp_path):
    (tmp_path / "test_gate.py").write_text(
        "import pandas as pd\nimport zentra_lumara_gov as zlg\nfrom zentra_lumara_gov.testing import assert_passes\n"
        "@zlg.metric\ndef one(record):\n    return 1.0\n"
        "def test_gate():\n    client = zlg.APIClient(zlg.Credentials(url='https://x.test', api_key='k'))\n"
        "    assert_passes(zlg.evaluate(pd.DataFrame({'answer': ['a']}), [one], api_client=client))\n",
        encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_gate.py",
                           "--zlg-report", "reports"], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stdout
    assert [p.name for p in (tmp_path / "reports").iterdir()] == ["test_gate.py_test_gate-1.html"]


def test_a_metric_reads_the_columns_it_is_told_to_apart_from_the_run(tmp_path):
    from detection_service import DetectionService, ServiceThread

    from zentra_lumara_gov.metrics import PIIMetric

    table = pd.DataFrame({"question": ["mail me at ann@example.com", "hello"],
                          "answer": ["fine", "write to bob@example.org"]})
    with ServiceThread(DetectionService("s", username="u", instance_id="i")) as service:
        client = zlg.APIClient(zlg.Credentials(url=service.url, version="5.0", username="u", api_key="s",
                                               service_instance_id="i"))
        result = zlg.evaluate(table, [PIIMetric(), PIIMetric(columns={"question": "answer"})], api_client=client)
        data, config = tmp_path / "r.jsonl", tmp_path / "eval.toml"
        table.to_json(data, orient="records", lines=True)
        config.write_text(f'[metric.pii_answers]\nkind = "pii"\ncolumns = {{ question = "answer" }}\n[service]\n'
                          f'url = "{service.url}"\nversion = "5.0"\nusername = "u"\napi_key = "s"\n'
                          'service_instance_id = "i"\n', encoding="utf-8")
        outcome = CliRunner().invoke(main, ["evaluate", str(data), "--metrics", "pii,pii_answers", "--config",
                                            str(config), "--no-store"])
    wide = result.to_df(wide=True)
    assert wide[["pii[PII]", "pii[PII (question=answer)]"]].values.tolist() == [[0.9, 0.0], [0.0, 0.9]]
    printed = json.loads(outcome.stdout)["metrics_result"]
    assert [[r["value"] for r in m["record_level_metrics"]] for m in printed] == [[0.9, 0.0], [0.0, 0.9]]
    with pytest.raises(zlg.InputValueError, match="reads the column 'reply' as its question"):
        zlg.evaluate(table, [PIIMetric(columns={"question": "reply"})], api_client=client)
    with pytest.raises(ValueError, match="columns: unknown role 'questoin'"):
        PIIMetric(columns={"questoin": "answer"})
