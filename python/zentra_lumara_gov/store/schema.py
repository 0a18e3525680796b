"""The store's tables, documented for whoever audits them with plain SQL.

Every run is one row of ``runs``; its evaluated records, metric aggregates
and per-record metric results hang off it by ``run_id``; reviewers' sign-offs
are rows of ``signoffs``. Nothing in the store's API updates or deletes a
row: runs and sign-offs are only ever added.

runs
    One row per stored run, in the order they were stored (``seq``, 1, 2, ...).

    ``run_id``            the run's id: a version-7 UUID, so ids sort by start time
    ``status``            "completed", "failed" or "interrupted"
    ``started_at``,       UTC times as ISO-8601 text with zone ("...+00:00"), which
    ``finished_at``,      sort and compare as text; ``stored_at`` is when the row
    ``stored_at``         was written
    ``sdk_version``       the SDK's version; ``build_id`` the SHA-256 of its compiled modules
    ``git_commit``        the commit of the caller's work tree, when there was one
    ``data_source``       JSON: {"kind": "file"|"DataFrame", "path", "size", "modified_at"}
    ``data_fingerprint``  SHA-256 of the evaluated table's canonical form
    ``record_count``      evaluated records; ``metric_count`` metrics run
    ``tags``              JSON object of the caller's tags (text to text)
    ``record``            the whole run record as canonical JSON (configuration, metric
                          definitions with thresholds and their direction, services and
                          judge models without secrets, versions, counts, durations)
    ``content_hash``      SHA-256 of the run's canonical serialisation (see ``digest``)
    ``previous_digest``   the digest of the run stored before (64 zeros for the first)
    ``digest``            SHA-256 chaining ``previous_digest`` and ``content_hash``

records
    One row per evaluated record, in table order (``position`` from 0):
    ``record_id``, ``record_hash`` (the record's content hash) and
    ``input_hash`` (the hash of what the evaluated system was given).

metric_aggregates
    One row per metric of a run, in run order (``position`` from 0). The
    metric's key is (``name``, ``provider``, ``method``). ``value`` is the
    aggregate score, or NULL with ``value_text`` holding the text a failed
    metric reports ("Error"); ``min``, ``max``, ``mean`` and
    ``total_records`` as the result gave them; ``thresholds`` a JSON list of
    {"type": "lower_limit"|"upper_limit", "value"}; ``errors`` a JSON list of
    {"code", "message_en"} or NULL.

record_results
    One row per record and metric: ``metric_position`` (the metric's row in
    ``metric_aggregates``), ``position`` (the result's place in that metric's
    list), ``record_id``, the metric's key (``name``, ``provider``,
    ``method``), ``value`` (NULL: the record failed), ``label``,
    ``explanation``, ``errors`` (JSON), ``record_timestamp``, ``evidences``
    and ``additional_info`` (JSON). A record result's display name, group and
    thresholds are its metric's.

signoffs
    A reviewer's approval of one run: ``run_id``, the run ``digest`` that was
    approved, ``signed_by``, ``note``, ``signed_at``, the reviewer's Ed25519
    ``public_key`` (raw, hex) and the ``signature`` (hex) over the canonical
    JSON of {"digest", "note", "run_id", "signed_at", "signed_by"}.

call_cache
    The answers services gave (see :mod:`zentra_lumara_gov.cache`), one row
    per call: ``key`` (SHA-256 of the canonical JSON of everything that
    decides the answer: the kind of service, endpoint, service or model
    identity, request, generation parameters, the asking metric's class,
    name, method, parameters and version, and the repeat index), ``kind``
    ("detection" or "judge"), ``endpoint``, ``model`` (judges), ``answer``
    (the detection service's JSON answer text; for a judge, JSON
    {"prediction", "input_tokens", "output_tokens", "model_name",
    "inference_type"}), the judge's ``input_tokens`` and ``output_tokens``,
    and ``created_at``. Errors are never stored. Unlike runs, cached answers
    can be removed (``zentra-lumara-gov cache clear``, a maximum age or size).

run_inputs
    What a run evaluated, kept when it ran with the cache so that it can be
    resumed or replayed: ``run_id``, ``record`` (the run record as it began,
    canonical JSON), ``data_format`` ("parquet") and ``data`` (the evaluated
    table with its record ids, as Parquet bytes). It is written before the
    run calls anything, so a run whose process dies can be resumed.

``records``, ``metric_aggregates`` and ``record_results`` name their run by
``run_id`` without a declared foreign key: the database would check it row by
row, which triples the time PostgreSQL takes to record a million results;
``RunStore.verify`` reports rows whose run is missing instead.

On SQLite the tables keyed by run and position are WITHOUT ROWID tables
(stored in their primary key's order). Numbers are stored as SQL integers and double-precision floats, texts as
UTF-8 text (a NUL character or a lone surrogate is stored as U+FFFD, which
both databases can hold).
"""

from __future__ import annotations

from sqlalchemy import (
    Column,
    LargeBinary,
    Float,
    ForeignKey,
    Index,
    Integer,
    MetaData,
    PrimaryKeyConstraint,
    String,
    Table,
    Text,
)

metadata = MetaData()

# Every hashed column of a run's row, in the order the digest serialises them.
RUN_HASHED_COLUMNS = (
    "run_id", "status", "started_at", "finished_at", "stored_at", "sdk_version", "build_id", "git_commit",
    "data_source", "data_fingerprint", "record_count", "metric_count", "tags", "record",
)
RECORD_COLUMNS = ("position", "record_id", "record_hash", "input_hash")
AGGREGATE_COLUMNS = (
    "position", "name", "provider", "method", "display_name", "metric_group", "value", "value_text",
    "total_records", "min", "max", "mean", "thresholds", "errors",
)
RECORD_RESULT_COLUMNS = (
    "metric_position", "position", "record_id", "name", "provider", "method", "value", "label",
    "explanation", "errors", "record_timestamp", "evidences", "additional_info",
)
SIGNOFF_COLUMNS = ("run_id", "digest", "signed_by", "note", "signed_at", "public_key", "signature")

runs = Table(
    "runs",
    metadata,
    Column("seq", Integer, primary_key=True, autoincrement=False),
    Column("run_id", String(36), nullable=False, unique=True),
    Column("status", String(16), nullable=False),
    Column("started_at", String(32), nullable=False),
    Column("finished_at", String(32)),
    Column("stored_at", String(32), nullable=False),
    Column("sdk_version", String(64), nullable=False),
    Column("build_id", String(64), nullable=False),
    Column("git_commit", String(64)),
    Column("data_source", Text, nullable=False),
    Column("data_fingerprint", String(64)),
    Column("record_count", Integer, nullable=False),
    Column("metric_count", Integer, nullable=False),
    Column("tags", Text, nullable=False),
    Column("record", Text, nullable=False),
    Column("content_hash", String(64), nullable=False),
    Column("previous_digest", String(64), nullable=False),
    Column("digest", String(64), nullable=False, unique=True),
    Index("ix_runs_started_at", "started_at"),
)

records = Table(
    "records",
    metadata,
    Column("run_id", String(36), nullable=False),
    Column("position", Integer, nullable=False),
    Column("record_id", Text, nullable=False),
    Column("record_hash", String(32), nullable=False),
    Column("input_hash", String(32), nullable=False),
    PrimaryKeyConstraint("run_id", "position"),
    sqlite_with_rowid=False,
)

metric_aggregates = Table(
    "metric_aggregates",
    metadata,
    Column("run_id", String(36), nullable=False),
    Column("position", Integer, nullable=False),
    Column("name", Text, nullable=False),
    Column("provider", Text),
    Column("method", Text),
    Column("display_name", Text),
    Column("metric_group", Text),
    Column("value", Float),
    Column("value_text", Text),
    Column("total_records", Integer, nullable=False),
    Column("min", Float),
    Column("max", Float),
    Column("mean", Float),
    Column("thresholds", Text, nullable=False),
    Column("errors", Text),
    PrimaryKeyConstraint("run_id", "position"),
    sqlite_with_rowid=False,
)

record_results = Table(
    "record_results",
    metadata,
    Column("run_id", String(36), nullable=False),
    Column("metric_position", Integer, nullable=False),
    Column("position", Integer, nullable=False),
    Column("record_id", Text, nullable=False),
    Column("name", Text, nullable=False),
    Column("provider", Text),
    Column("method", Text),
    Column("value", Float),
    Column("label", Text),
    Column("explanation", Text),
    Column("errors", Text),
    Column("record_timestamp", Text),
    Column("evidences", Text),
    Column("additional_info", Text),
    PrimaryKeyConstraint("run_id", "metric_position", "position"),
    sqlite_with_rowid=False,
)

signoffs = Table(
    "signoffs",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("run_id", String(36), ForeignKey("runs.run_id"), nullable=False),
    Column("digest", String(64), nullable=False),
    Column("signed_by", Text, nullable=False),
    Column("note", Text),
    Column("signed_at", String(32), nullable=False),
    Column("public_key", String(64), nullable=False),
    Column("signature", String(128), nullable=False),
    Index("ix_signoffs_run_id", "run_id"),
)

call_cache = Table(
    "call_cache",
    metadata,
    Column("key", String(64), primary_key=True),
    Column("kind", String(16), nullable=False),
    Column("endpoint", Text),
    Column("model", Text),
    Column("answer", Text, nullable=False),
    Column("input_tokens", Integer),
    Column("output_tokens", Integer),
    Column("created_at", String(32), nullable=False),
    Index("ix_call_cache_created_at", "created_at"),
)

run_inputs = Table(
    "run_inputs",
    metadata,
    Column("run_id", String(36), primary_key=True),
    Column("record", Text, nullable=False),
    Column("data_format", String(16), nullable=False),
    Column("data", LargeBinary, nullable=False),
    Column("stored_at", String(32), nullable=False),
)
