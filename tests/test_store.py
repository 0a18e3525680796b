"""The run store on SQLite and on a real PostgreSQL server: round trips, the chain, tampering, sign-offs."""

from __future__ import annotations

import datetime as dt
import math
import multiprocessing

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from sqlalchemy import create_engine, text

from store_support import make_result, store_url  # noqa: F401 - a fixture
from zentra_lumara_gov.store import RunStore, resolve_url
from zentra_lumara_gov.store import signing

@pytest.fixture
def store(store_url):
    with RunStore(store_url) as opened:
        yield opened


def _execute(url, *statements):
    engine = create_engine(url)
    try:
        with engine.begin() as connection:
            for statement in statements:
                connection.execute(text(statement))
    finally:
        engine.dispose()


def test_a_stored_run_loads_back_as_it_was(store):
    result = make_result(records=20, metrics=3, tags={"model": "m1"})
    digest = store.add(result)
    loaded = store.load(result.run.run_id)
    assert loaded.metrics_result == result.metrics_result
    assert loaded.run == result.run
    assert loaded.digest == digest == store.digest(result.run.run_id[:13])
    assert loaded.to_df().equals(result.to_df())
    frame = store.record_results(result.run.run_id)
    assert len(frame) == 60 and frame["value"].isna().sum() == 9
    assert store.aggregates(result.run.run_id)["name"].tolist() == ["metric_0", "metric_1", "metric_2"]


def test_an_interrupted_run_is_stored_with_the_records_it_finished(store):
    result = make_result(records=10, metrics=2, status="interrupted")
    del result.metrics_result[1]  # the second metric never ran
    store.add(result)
    loaded = store.load(result.run.run_id)
    assert (loaded.run.status, len(loaded.metrics_result)) == ("interrupted", 1)
    assert store.list_runs()[["status", "metrics", "records"]].values.tolist() == [["interrupted", 1, 10]]
    assert store.verify().ok


def test_runs_are_listed_newest_first_and_filtered(store):
    results = [make_result(records=3, seed=seed, tags={"model": f"m{seed % 2}", "team": "a"}) for seed in range(4)]
    for result in results:
        store.add(result)
    listed = store.list_runs()
    assert listed["run_id"].tolist() == [result.run.run_id for result in reversed(results)]
    assert listed.columns.tolist() == ["run_id", "status", "started_at", "finished_at", "records", "metrics", "tags",
                                       "sdk_version", "build_id", "git_commit", "data_fingerprint", "digest",
                                       "signoffs"]
    assert (listed["records"] == 3).all() and str(listed["started_at"].dt.tz) == "UTC"
    second = results[1].run.started_at
    cases = [
        ({"tags": {"model": "m1"}}, [3, 1]),
        ({"tags": {"model": "m1", "team": "b"}}, []),
        ({"since": second}, [3, 2, 1]),
        ({"until": second}, [1, 0]),
        ({"since": second, "until": second, "tags": {"team": "a"}}, [1]),
        ({"since": second.replace(tzinfo=None)}, [3, 2, 1]),
        ({"since": dt.datetime.now(dt.timezone.utc) + dt.timedelta(days=1)}, []),
    ]
    for filters, expected in cases:
        assert store.list_runs(**filters)["run_id"].tolist() == [results[i].run.run_id for i in expected], filters


def test_a_result_must_carry_an_ended_run_record(store):
    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentra_lumara_gov.run_record import with_run

    with pytest.raises(TypeError, match="result.run"):
        store.add(MetricsEvaluationResult())
    running = make_result()
    with pytest.raises(ValueError, match="has not ended"):
        store.add(with_run(running, running.run.model_copy(update={"status": "running"})))
    with pytest.raises(KeyError, match="no run"):
        store.load("0000")
    assert store.list_runs().empty and store.verify().ok


# Each case: SQL run after three runs (and one sign-off of the second) are stored;
# {1}, {2}, {3} are the runs' ids; then the run verify names (index) and its words.
TAMPERING = [
    ("a record's value", ["UPDATE record_results SET value = 0.99 WHERE run_id = '{2}' AND position = 0 "
                          "AND metric_position = 0"], 2, "content differs"),
    ("a failed record given a value", ["UPDATE record_results SET value = 0.5 WHERE run_id = '{1}' "
                                       "AND value IS NULL AND metric_position = 1"], 1, "content differs"),
    ("an aggregate's mean", ["UPDATE metric_aggregates SET mean = 0.9 WHERE run_id = '{1}'"], 1, "content differs"),
    ("a threshold", ["UPDATE metric_aggregates SET thresholds = '[]' WHERE run_id = '{3}'"], 3, "content differs"),
    ("a run's tags", ['UPDATE runs SET tags = \'{{"model":"m9"}}\' WHERE run_id = \'{3}\''], 3, "content differs"),
    ("a run's status", ["UPDATE runs SET status = 'failed' WHERE run_id = '{2}'"], 2, "content differs"),
    ("a record's input hash", ["UPDATE records SET input_hash = 'x' WHERE run_id = '{2}' AND position = 1"], 2,
     "content differs"),
    ("an explanation", ["UPDATE record_results SET explanation = 'fine' WHERE run_id = '{1}' AND position = 1"], 1,
     "content differs"),
    ("a record result removed", ["DELETE FROM record_results WHERE run_id = '{2}' AND position = 4"], 2,
     "content differs"),
    ("a digest rewritten", ["UPDATE runs SET digest = 'f' WHERE run_id = '{2}'"], 2, "content differs"),
    ("a run deleted", ["DELETE FROM signoffs", "DELETE FROM record_results WHERE run_id = '{2}'",
                       "DELETE FROM records WHERE run_id = '{2}'", "DELETE FROM metric_aggregates WHERE run_id = '{2}'",
                       "DELETE FROM runs WHERE run_id = '{2}'"], 3, "order or neighbour differs"),
    ("two runs swapped", ["UPDATE runs SET seq = 100 WHERE run_id = '{2}'",
                          "UPDATE runs SET seq = 2 WHERE run_id = '{3}'",
                          "UPDATE runs SET seq = 3 WHERE run_id = '{2}'"], 3, "order or neighbour differs"),
    ("a run's row removed, its records left", ["DELETE FROM runs WHERE run_id = '{3}'"], 3, "missing from the chain"),
    ("a sign-off's note", ["UPDATE signoffs SET note = 'approved, mostly'"], 2, "does not hold"),
    ("a sign-off moved to another run", ["UPDATE signoffs SET run_id = '{3}'"], 3, "another digest"),
]


@pytest.mark.parametrize(("change", "statements", "named", "problem"), TAMPERING, ids=[case[0] for case in TAMPERING])
def test_verify_names_the_first_altered_run(store_url, tmp_path, change, statements, named, problem):
    key, _ = signing.keygen(tmp_path / "reviewer.pem")
    with RunStore(store_url) as store:
        results = [make_result(records=12, seed=seed) for seed in range(3)]
        for result in results:
            store.add(result)
        store.sign(results[1].run.run_id, key, by="Ada", note="approved")
        assert store.verify().ok
        ids = {number: result.run.run_id for number, result in enumerate(results, start=1)}
        _execute(store_url, *(statement.format(None, ids[1], ids[2], ids[3]) for statement in statements))
        verdict = store.verify()
    assert (verdict.ok, verdict.first_bad_run) == (False, ids[named])
    assert problem in verdict.problem and str(verdict).startswith(f"run {ids[named]}: ")


def test_sign_offs_bind_a_reviewer_to_a_digest(store, tmp_path):
    key, public = signing.keygen(tmp_path / "key.pem")
    assert public.read_text().startswith("-----BEGIN PUBLIC KEY-----")
    assert (key.stat().st_mode & 0o777) == 0o600
    with pytest.raises(FileExistsError):
        signing.keygen(key)
    result = make_result()
    digest = store.add(result)
    signoff = store.sign(result.run.run_id, key, by="Grace", note="looks right")
    assert (signoff.digest, signoff.signed_by, signoff.note) == (digest, "Grace", "looks right")
    message = signing.signoff_message(signoff.run_id, digest, "Grace", "looks right", signoff.signed_at)
    assert signing.signature_holds(signoff.public_key, signoff.signature, message)
    assert not signing.signature_holds(signoff.public_key, signoff.signature, message + b" ")
    assert store.signoffs(result.run.run_id)[["signed_by", "note"]].values.tolist() == [["Grace", "looks right"]]
    assert store.list_runs()["signoffs"].tolist() == [1]
    verdict = store.verify()
    assert (verdict.ok, verdict.runs_checked, verdict.signoffs_checked) == (True, 1, 1)
    with pytest.raises(ValueError, match="names who signs"):
        store.sign(result.run.run_id, key, by=" ")


def test_a_tampered_run_cannot_be_signed(store_url, tmp_path):
    key, _ = signing.keygen(tmp_path / "key.pem")
    with RunStore(store_url) as store:
        result = make_result()
        store.add(result)
        _execute(store_url, f"UPDATE record_results SET value = 0.1 WHERE run_id = '{result.run.run_id}'")
        with pytest.raises(ValueError, match="does not match its digest"):
            store.sign(result.run.run_id, key, by="Ada")
        assert store.signoffs().empty


def test_reopening_keeps_the_runs_and_the_schema_version(store_url):
    result = make_result()
    with RunStore(store_url) as store:
        digest = store.add(result)
    with RunStore(store_url) as store:
        assert store.list_runs()["digest"].tolist() == [digest]
        assert store.verify().ok
    engine = create_engine(store_url)
    try:
        with engine.connect() as connection:
            assert connection.execute(text("SELECT version_num FROM store_schema_version")).scalar() == "0002"
    finally:
        engine.dispose()


def _write_runs(url, writer, count):
    with RunStore(url) as store:
        for number in range(count):
            store.add(make_result(records=4, metrics=1, seed=writer * 1000 + number, tags={"writer": str(writer)}))


def test_concurrent_writers_leave_one_unbroken_chain(store_url):
    writers, runs_each = 8, 20
    context = multiprocessing.get_context("spawn")
    processes = [context.Process(target=_write_runs, args=(store_url, writer, runs_each)) for writer in range(writers)]
    for process in processes:
        process.start()
    for process in processes:
        process.join(300)
    assert [process.exitcode for process in processes] == [0] * writers
    with RunStore(store_url) as store:
        verdict = store.verify()
        listed = store.list_runs()
    assert (verdict.ok, verdict.runs_checked) == (True, writers * runs_each)
    assert sorted(listed["tags"].map(lambda tags: tags["writer"]).value_counts().tolist()) == [runs_each] * writers


@pytest.mark.parametrize(("given", "environment", "expected"), [
    (None, None, "sqlite:///{cwd}/zentra-runs.db"),
    (None, "sqlite:///x.db", "sqlite:///x.db"),
    ("runs/my.db", "sqlite:///x.db", "sqlite:///{cwd}/runs/my.db"),
    ("postgresql://u@h/db", None, "postgresql+psycopg://u@h/db"),
    ("postgres://u@h/db", None, "postgresql+psycopg://u@h/db"),
    ("postgresql+psycopg://u@h/db", None, "postgresql+psycopg://u@h/db"),
])
def test_store_urls(monkeypatch, tmp_path, given, environment, expected):
    monkeypatch.chdir(tmp_path)
    if environment is None:
        monkeypatch.delenv("ZLG_STORE_URL", raising=False)
    else:
        monkeypatch.setenv("ZLG_STORE_URL", environment)
    assert resolve_url(given) == expected.format(cwd=tmp_path.resolve())


@pytest.fixture(scope="module")
def shared_sqlite(tmp_path_factory):
    with RunStore(tmp_path_factory.mktemp("fuzz") / "runs.db") as store:
        yield store


texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12) | st.none()
values = st.floats(allow_nan=True, allow_infinity=True, width=64) | st.none()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(values, texts, texts), min_size=1, max_size=6))
def test_any_record_content_survives_the_round_trip_and_verifies(shared_sqlite, cells):
    import numpy as np

    numbers = np.array([[math.nan if value is None else value for value, _, _ in cells]])
    result = make_result(records=len(cells), metrics=1, values=numbers)
    for record, (_, label, explanation) in zip(result.metrics_result[0].record_level_metrics, cells):
        record.label, record.explanation = label, explanation
    shared_sqlite.add(result)
    loaded = shared_sqlite.load(result.run.run_id)
    stored = [(r.value, r.label, r.explanation) for r in loaded.metrics_result[0].record_level_metrics]
    expected = [(None if value is None or math.isnan(value) else value, label,
                 None if explanation is None else explanation.replace("\x00", "\ufffd"))
                for value, label, explanation in cells]
    expected = [(v, None if label is None else label.replace("\x00", "\ufffd"), e) for v, label, e in expected]
    assert stored == expected
    assert shared_sqlite.verify().ok


def test_a_third_party_recomputes_a_digest_from_the_documented_form(tmp_path):
    """Only the standard library and the documented serialisation: no code of the store."""
    import hashlib
    import json
    import sqlite3

    path = tmp_path / "runs.db"
    with RunStore(path) as store:
        results = [make_result(records=9, seed=seed) for seed in range(2)]
        digests = [store.add(result) for result in results]
    columns = {  # as schema.RUN_HASHED_COLUMNS and the others document them
        "run": "run_id, status, started_at, finished_at, stored_at, sdk_version, build_id, git_commit, "
               "data_source, data_fingerprint, record_count, metric_count, tags, record",
        "record": "position, record_id, record_hash, input_hash",
        "metric": "position, name, provider, method, display_name, metric_group, value, value_text, "
                  "total_records, min, max, mean, thresholds, errors",
        "result": "metric_position, position, record_id, name, provider, method, value, label, explanation, "
                  "errors, record_timestamp, evidences, additional_info",
    }
    queries = [
        ("records", f"SELECT {columns['record']} FROM records WHERE run_id = ? ORDER BY position"),
        ("metrics", f"SELECT {columns['metric']} FROM metric_aggregates WHERE run_id = ? ORDER BY position"),
        ("results", f"SELECT {columns['result']} FROM record_results WHERE run_id = ? "
                    "ORDER BY metric_position, position"),
    ]
    connection = sqlite3.connect(path)
    try:
        previous = "0" * 64
        for result, expected in zip(results, digests):
            def line(kind, value):
                return kind + " " + json.dumps(value, separators=(",", ":"), ensure_ascii=False) + "\n"

            run_row = connection.execute(f"SELECT {columns['run']} FROM runs WHERE run_id = ?",
                                         (result.run.run_id,)).fetchone()
            text_form = line("run", list(run_row)) + "".join(
                line(kind, [list(row) for row in connection.execute(query, (result.run.run_id,))])
                for kind, query in queries)
            content = hashlib.sha256(text_form.encode("utf-8"))
            chained = f"zentra-run-chain/1\n{previous}\n{content.hexdigest()}\n"
            previous = hashlib.sha256(chained.encode()).hexdigest()
            assert previous == expected
    finally:
        connection.close()


def test_record_tables_store_the_same_rows_as_the_records(store):
    """A partitioned run hands its records over as tables, read once per metric, one at a time."""
    from zentra_lumara_gov.entities.evaluation_result import MetricsEvaluationResult
    from zentra_lumara_gov.run_record import TableDigest, digest_table, with_run

    whole = make_result(records=30, metrics=2, seed=4)
    store.add(whole)
    table = whole.to_df()
    parts = [table[table["record_id"].isin([f"r{n}" for n in range(start, start + 10)])] for start in (0, 10, 20)]
    reads = []

    def record_tables():
        reads.append(1)
        return iter(parts)

    rerun = whole.run.model_copy(update={"run_id": "partitioned"})
    aggregates_only = MetricsEvaluationResult.model_construct(metrics_result=[
        aggregate.model_copy(update={"record_level_metrics": []}) for aggregate in whole.metrics_result])
    store.add(aggregates_only, run=rerun, record_tables=record_tables)
    assert len(reads) == 2
    assert store.load("partitioned").metrics_result == whole.metrics_result
    mine, theirs = store.record_results("partitioned"), store.record_results(whole.run.run_id)
    assert mine.drop(columns="run_id").equals(theirs.drop(columns="run_id"))
    assert store.verify().ok
    frame = pd.DataFrame({"record_id": [f"r{n}" for n in range(6)], "question": list("abcdef")})
    halves = TableDigest.concat([digest_table(frame.iloc[:3], ["question"], "record_id"),
                                 digest_table(frame.iloc[3:], ["question"], "record_id")])
    assert halves == digest_table(frame, ["question"], "record_id")
    assert with_run(aggregates_only, rerun).run.run_id == "partitioned"
