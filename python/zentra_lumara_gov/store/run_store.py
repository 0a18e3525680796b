"""The run store: every evaluation run kept in SQLite or PostgreSQL, append-only and chained."""

from __future__ import annotations

import dataclasses
import datetime as _dt
import itertools
import json
import math
import numbers
import os
import pathlib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import pandas as pd
from sqlalchemy import Connection, Engine, create_engine, event, func, insert, select, text
from sqlalchemy.engine import make_url

from zentra_lumara_gov.run_record import RunRecord, canonical_json, with_run
from zentra_lumara_gov.store import digest as _digest
from zentra_lumara_gov.store import schema, signing

STORE_URL_VARIABLE = "ZLG_STORE_URL"
DEFAULT_FILE = "zentra-runs.db"
MIGRATIONS = pathlib.Path(__file__).resolve().parent / "migrations"
# Any constant both sides agree on: PostgreSQL writers queue on this advisory lock.
_CHAIN_LOCK = 0x7A6C6753746F7265
_FETCH_BATCH = 50_000


def resolve_url(url: str | os.PathLike[str] | None = None) -> str:
    """The database a store opens: ``url``, else ``$ZLG_STORE_URL``, else ``zentra-runs.db`` in the working directory.

    A plain path names an SQLite file; ``postgresql://`` is read as
    ``postgresql+psycopg://``.
    """
    chosen = os.fspath(url) if url is not None else os.environ.get(STORE_URL_VARIABLE) or DEFAULT_FILE
    if "://" not in chosen:
        return "sqlite:///" + str(pathlib.Path(chosen).resolve())
    if chosen.startswith("postgresql://") or chosen.startswith("postgres://"):
        return "postgresql+psycopg://" + chosen.split("://", 1)[1]
    return chosen


def _iso(moment: _dt.datetime | None) -> str | None:
    if moment is None:
        return None
    return moment.astimezone(_dt.timezone.utc).isoformat(timespec="microseconds")


def _moment(value: Any) -> str | None:
    """A bound of a time filter as stored text (naive times are taken as UTC)."""
    if value is None:
        return None
    moment = pd.Timestamp(value)
    moment = moment.tz_localize("UTC") if moment.tzinfo is None else moment.tz_convert("UTC")
    return _iso(moment.to_pydatetime())


def _safe_text(value: Any) -> str | None:
    """Text both databases can hold: NUL and lone surrogates become U+FFFD."""
    if value is None:
        return None
    if type(value) is str and value.isascii() and "\x00" not in value:
        return value
    text_value = value if isinstance(value, str) else str(value)
    if "\x00" in text_value:
        text_value = text_value.replace("\x00", "\ufffd")
    try:
        text_value.encode("utf-8")
    except UnicodeEncodeError:
        text_value = text_value.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return text_value


def _number(value: Any) -> float | None:
    if type(value) is float:
        return None if value != value else value
    if value is None or isinstance(value, str) or not isinstance(value, numbers.Real):
        return None
    number = float(value)
    return None if math.isnan(number) else number


def _json_text(value: Any) -> str | None:
    return None if value is None else _safe_text(canonical_json(value))


def _dumped_errors(errors: Any) -> str | None:
    if errors is None:
        return None
    return _json_text([error.model_dump() if hasattr(error, "model_dump") else error for error in errors])


@dataclasses.dataclass(frozen=True)
class Verification:
    """What :meth:`RunStore.verify` found: ``ok``, or the first bad run and why."""

    ok: bool
    runs_checked: int
    signoffs_checked: int
    first_bad_run: str | None = None
    problem: str | None = None

    def __str__(self) -> str:
        if self.ok:
            return f"verified {self.runs_checked} runs and {self.signoffs_checked} sign-offs: the chain is unbroken"
        return f"run {self.first_bad_run}: {self.problem}"


@dataclasses.dataclass(frozen=True)
class SignOff:
    """A reviewer's recorded approval of one run."""

    run_id: str
    digest: str
    signed_by: str
    note: str | None
    signed_at: str
    public_key: str
    signature: str


class RunStore:
    """Evaluation runs in a database: SQLite by default, PostgreSQL by URL.

    ``url``: an SQLAlchemy URL (``sqlite:///path``, ``postgresql+psycopg://user@host/db``)
    or an SQLite file's path; by default ``$ZLG_STORE_URL`` or ``zentra-runs.db``
    in the working directory. Opening a store brings its schema up to date.
    Runs and sign-offs can only be added; :meth:`verify` shows that nothing
    stored was changed, removed or reordered since. Close the store (or use it
    as a context manager) to release its connections.
    """

    def __init__(self, url: str | os.PathLike[str] | None = None) -> None:
        self.url = resolve_url(url)
        self._engine = self._make_engine(self.url)
        try:
            self._migrate()
        except BaseException:
            self._engine.dispose()
            raise

    # -- connections -------------------------------------------------------

    @property
    def dialect(self) -> str:
        return self._engine.dialect.name

    @staticmethod
    def _make_engine(url: str) -> Engine:
        parsed = make_url(url)
        if parsed.get_backend_name() != "sqlite":
            return create_engine(url, pool_pre_ping=True)
        if parsed.database and parsed.database != ":memory:":
            pathlib.Path(parsed.database).parent.mkdir(parents=True, exist_ok=True)
        engine = create_engine(url, connect_args={"timeout": 120})

        @event.listens_for(engine, "connect")
        def _connected(dbapi_connection: Any, _record: Any) -> None:
            # The driver's own transaction handling would start writes late
            # (deferred); transactions are begun below, as the store needs them.
            dbapi_connection.isolation_level = None
            cursor = dbapi_connection.cursor()
            cursor.execute("PRAGMA journal_mode=WAL")  # readers do not wait for the writer
            # Every commit reaches the disk: a run reported stored (or signed) survives a power cut.
            cursor.execute("PRAGMA synchronous=FULL")
            cursor.close()

        @event.listens_for(engine, "begin")
        def _begin(connection: Connection) -> None:
            # An appending transaction takes the write lock at once, so two
            # writers never both read the same chain head.
            immediate = connection.get_execution_options().get("chain_append", False)
            connection.exec_driver_sql("BEGIN IMMEDIATE" if immediate else "BEGIN")

        return engine

    def _appending(self, connection: Connection) -> None:
        """Called first in a transaction that appends to the chain: waits for any other appender."""
        if self.dialect == "postgresql":
            connection.execute(text("SELECT pg_advisory_xact_lock(:key)"), {"key": _CHAIN_LOCK})

    def _migrate(self) -> None:
        from alembic import command
        from alembic.config import Config

        with self._engine.connect() as connection:
            connection = connection.execution_options(chain_append=True)
            with connection.begin():
                self._appending(connection)
                config = Config()
                config.set_main_option("script_location", str(MIGRATIONS).replace("%", "%%"))
                config.attributes["connection"] = connection
                command.upgrade(config, "head")

    def close(self) -> None:
        """Release every connection of the store."""
        self._engine.dispose()

    def __enter__(self) -> "RunStore":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @property
    def shown_url(self) -> str:
        """The store's URL with any password hidden, for messages."""
        return make_url(self.url).render_as_string(hide_password=True)

    def __repr__(self) -> str:
        return f"RunStore({self.shown_url!r})"

    # -- writing -----------------------------------------------------------

    def add(self, result: Any, *, run: RunRecord | None = None,
            record_tables: Callable[[], Iterable[pd.DataFrame]] | None = None) -> str:
        """Store a run; returns its digest.

        ``result``: the evaluation result, carrying its run record as
        ``result.run`` (or give ``run``); its ``aggregates`` are stored with
        their record results. Where the record results are not in the
        result (a partitioned run leaves them where the workers wrote them),
        ``record_tables`` is a function returning the record tables in
        order, in the columns of ``MetricsEvaluationResult.to_df``; it is
        called once per metric, so one table at a time is held.

        The rows go in as one transaction: a run is stored whole or not at all.
        """
        run = getattr(result, "run", None) if run is None else run
        if not isinstance(run, RunRecord):
            raise TypeError("only a result that carries its run record (result.run, a RunRecord) can be stored")
        if run.status == "running":
            raise ValueError(f"run {run.run_id} has not ended: store the record that RunRecord.end returns")
        aggregates = list(getattr(result, "aggregates", None) or [])
        run_row = (
            run.run_id, run.status, _iso(run.started_at), _iso(run.finished_at), _now(), run.sdk_version,
            run.build_id, run.git_commit, canonical_json(run.data_source.model_dump(mode="json")),
            run.data_fingerprint, len(run.record_ids), len(aggregates), canonical_json(run.tags),
            _safe_text(canonical_json(run.digest_fields)),
        )
        if record_tables is None:
            results = _object_result_rows(run.run_id, aggregates)
        else:
            results = _table_result_rows(run.run_id, aggregates, record_tables)
        with self._engine.connect() as connection:
            connection = connection.execution_options(chain_append=True)
            with connection.begin():
                self._appending(connection)
                hasher = _digest.ContentHasher()
                hasher.run(run_row)
                # Rows are written and hashed a batch at a time: a run of millions of
                # records is never held whole as rows.
                self._stream(connection, schema.records, _record_rows(run), hasher.records)
                self._stream(connection, schema.metric_aggregates, [_aggregate_rows(run.run_id, aggregates)],
                             hasher.aggregates)
                self._stream(connection, schema.record_results, results, hasher.results)
                content_hash = hasher.hexdigest()
                head = connection.execute(
                    select(schema.runs.c.seq, schema.runs.c.digest).order_by(schema.runs.c.seq.desc()).limit(1)
                ).first()
                seq, previous = (head.seq + 1, head.digest) if head else (1, _digest.GENESIS)
                digest = _digest.chained(previous, content_hash)
                connection.execute(insert(schema.runs).values(
                    seq=seq, content_hash=content_hash, previous_digest=previous, digest=digest,
                    **dict(zip(schema.RUN_HASHED_COLUMNS, run_row))))
        return digest

    def _stream(self, connection: Connection, table: Any, batches: Iterable[list[tuple]],
                hash_rows: Callable[[Iterable[Sequence[Any]]], None]) -> None:
        """Write ``batches`` of rows (each row beginning with the run id) and hash them without the run id."""
        columns = [column.name for column in table.columns]

        def hashed() -> Iterator[list[tuple]]:
            for batch in batches:
                if batch:
                    yield batch

        def without_run_id(source: Iterator[list[tuple]]) -> Iterator[tuple]:
            for batch in source:
                write(batch)
                for row in batch:
                    yield row[1:]

        if self.dialect == "postgresql":
            # COPY is the one bulk path PostgreSQL offers that scales to millions of rows.
            names = ", ".join(f'"{name}"' for name in columns)
            with _driver(connection).cursor() as cursor, \
                    cursor.copy(f"COPY {table.name} ({names}) FROM STDIN") as copy:
                write_row = copy.write_row

                def write(batch: list[tuple]) -> None:
                    for row in batch:
                        write_row(row)

                hash_rows(without_run_id(hashed()))
            return
        statement = f'INSERT INTO {table.name} ({", ".join(columns)}) VALUES ({", ".join("?" * len(columns))})'
        cursor = _driver(connection).cursor()
        try:
            def write(batch: list[tuple]) -> None:
                cursor.executemany(statement, batch)

            hash_rows(without_run_id(hashed()))
        finally:
            cursor.close()

    # -- kept inputs -------------------------------------------------------

    def keep_input(self, run: RunRecord, table: pd.DataFrame) -> bool:
        """Keep the table a run evaluates (with its record ids) and its record as it began, for resume and replay.

        Written before the run calls anything. Returns False, keeping
        nothing, when the table cannot be written as Parquet.
        """
        import io

        buffer = io.BytesIO()
        try:
            table.to_parquet(buffer, index=False)
        except Exception:  # noqa: BLE001 - a table Parquet cannot hold is evaluated all the same
            return False
        row = {"run_id": run.run_id, "record": _safe_text(canonical_json(run.model_dump(mode="json"))),
               "data_format": "parquet", "data": buffer.getvalue(), "stored_at": _now()}
        with self._engine.connect() as connection:
            connection = connection.execution_options(chain_append=True)
            with connection.begin():
                table_ = schema.run_inputs
                if connection.execute(select(table_.c.run_id).where(table_.c.run_id == run.run_id)).first() is None:
                    connection.execute(insert(table_).values(**row))
        return True

    def kept_input(self, run_id: str) -> tuple[RunRecord, pd.DataFrame]:
        """The record (as the run began) and table of a run kept with :meth:`keep_input`; ``run_id`` may be a prefix."""
        import io

        table = schema.run_inputs
        with self._engine.connect() as connection, connection.begin():
            row = connection.execute(select(table).where(table.c.run_id == str(run_id))).first()
            if row is None:
                matches = connection.execute(select(table).where(
                    table.c.run_id.like(str(run_id).replace("%", "").replace("_", "") + "%")).limit(2)).all()
                if len(matches) != 1:
                    raise KeyError(f"no input of run {run_id!r} is kept in {self!r} (runs keep theirs when they "
                                   "run with the call cache)" if not matches else f"run id {run_id!r} is ambiguous")
                row = matches[0]
        return RunRecord.model_validate_json(row.record), _as_kept(pd.read_parquet(io.BytesIO(row.data)))

    def resume(self, run_id: str, **options: Any) -> Any:
        """Evaluate an unfinished run again from its kept input, making only the calls the cache lacks.

        See :func:`zentra_lumara_gov.store.rerun.resume` for ``options``.
        """
        from zentra_lumara_gov.store import rerun

        return rerun.resume(self, run_id, **options)

    def replay(self, run_id: str, **options: Any) -> Any:
        """Recompute a stored run from cached answers alone and check it against what was stored.

        See :func:`zentra_lumara_gov.store.rerun.replay`.
        """
        from zentra_lumara_gov.store import rerun

        return rerun.replay(self, run_id, **options)

    # -- reading -----------------------------------------------------------

    def _fetch(self, connection: Connection, query: str, run_id: str) -> Iterator[tuple]:
        """Rows of ``query`` (one parameter: the run id) through the driver, in batches."""
        marker = "?" if self.dialect == "sqlite" else "%s"
        cursor = _driver(connection).cursor()
        try:
            cursor.execute(query.replace(":run_id", marker), (run_id,))
            while batch := cursor.fetchmany(_FETCH_BATCH):
                yield from batch
        finally:
            cursor.close()

    def _resolve(self, connection: Connection, run_id: str) -> Any:
        """The run row whose id is ``run_id`` or begins with it (one run only)."""
        runs = schema.runs
        row = connection.execute(select(runs).where(runs.c.run_id == str(run_id))).first()
        if row is not None:
            return row
        matches = connection.execute(
            select(runs).where(runs.c.run_id.like(str(run_id).replace("%", "").replace("_", "") + "%")).limit(2)
        ).all()
        if len(matches) == 1:
            return matches[0]
        if matches:
            raise KeyError(f"run id {run_id!r} is ambiguous: more than one stored run begins with it")
        raise KeyError(f"no run {run_id!r} in {self!r}")

    def list_runs(self, tags: Mapping[str, Any] | None = None, since: Any = None, until: Any = None) -> pd.DataFrame:
        """The stored runs, newest first: one row each with their ids, times, status, counts, tags and digests.

        ``tags`` keeps the runs carrying every given tag with that value;
        ``since`` and ``until`` bound the start time (inclusive; naive times are UTC).
        """
        runs, signoffs = schema.runs, schema.signoffs
        signed = (
            select(signoffs.c.run_id, func.count().label("signoffs")).group_by(signoffs.c.run_id).subquery()
        )
        query = (
            select(
                runs.c.run_id, runs.c.status, runs.c.started_at, runs.c.finished_at,
                runs.c.record_count.label("records"), runs.c.metric_count.label("metrics"), runs.c.tags,
                runs.c.sdk_version, runs.c.build_id, runs.c.git_commit, runs.c.data_fingerprint, runs.c.digest,
                func.coalesce(signed.c.signoffs, 0).label("signoffs"), runs.c.seq,
            )
            .select_from(runs.outerjoin(signed, signed.c.run_id == runs.c.run_id))
            .order_by(runs.c.started_at.desc(), runs.c.seq.desc())
        )
        if since is not None:
            query = query.where(runs.c.started_at >= _moment(since))
        if until is not None:
            query = query.where(runs.c.started_at <= _moment(until))
        with self._engine.connect() as connection, connection.begin():
            rows = connection.execute(query).all()
        frame = pd.DataFrame(rows, columns=[
            "run_id", "status", "started_at", "finished_at", "records", "metrics", "tags", "sdk_version",
            "build_id", "git_commit", "data_fingerprint", "digest", "signoffs", "seq"])
        frame["tags"] = [json.loads(value) for value in frame["tags"]]
        if tags:
            wanted = {str(key): str(value) for key, value in tags.items()}
            keep = [all(row.get(key) == value for key, value in wanted.items()) for row in frame["tags"]]
            frame = frame[keep].reset_index(drop=True)
        for column in ("started_at", "finished_at"):
            frame[column] = pd.to_datetime(frame[column], utc=True, format="ISO8601")
        return frame.drop(columns="seq").astype({"records": "int64", "metrics": "int64", "signoffs": "int64"})

    def run_record(self, run_id: str) -> RunRecord:
        """The run record of a stored run, without its per-record columns (see :meth:`load`)."""
        with self._engine.connect() as connection, connection.begin():
            return RunRecord.model_validate_json(self._resolve(connection, run_id).record)

    def digest(self, run_id: str) -> str:
        """The stored digest of a run."""
        with self._engine.connect() as connection, connection.begin():
            return self._resolve(connection, run_id).digest

    def aggregates(self, run_id: str) -> pd.DataFrame:
        """The metric aggregates of a run as stored (columns of ``metric_aggregates``), in run order."""
        with self._engine.connect() as connection, connection.begin():
            row = self._resolve(connection, run_id)
            table = schema.metric_aggregates
            rows = connection.execute(
                select(table).where(table.c.run_id == row.run_id).order_by(table.c.position)).all()
        return pd.DataFrame(rows, columns=[column.name for column in table.columns])

    def record_results(self, run_id: str) -> pd.DataFrame:
        """A run's record results as one table (columns of ``record_results``), in stored order."""
        columns = [column.name for column in schema.record_results.columns]
        with self._engine.connect() as connection, connection.begin():
            row = self._resolve(connection, run_id)
            rows = list(self._fetch(
                connection,
                f"SELECT {', '.join(columns)} FROM record_results WHERE run_id = :run_id "
                "ORDER BY metric_position, position",
                row.run_id,
            ))
        return pd.DataFrame.from_records(rows, columns=columns)

    def load(self, run_id: str) -> Any:
        """The stored run as an evaluation result carrying its run record (``.run``) and ``.digest``.

        A record result takes its display name, group and thresholds from its
        metric's aggregate, as every provider makes them.
        """
        from zentra_lumara_gov.entities.base_classes import Error
        from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, MetricsEvaluationResult
        from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
        from zentra_lumara_gov.entities.record_columns import RecordColumns

        with self._engine.connect() as connection, connection.begin():
            row = self._resolve(connection, run_id)
            records = list(self._fetch(
                connection, "SELECT record_id, record_hash, input_hash FROM records "
                "WHERE run_id = :run_id ORDER BY position", row.run_id))
            table = schema.metric_aggregates
            aggregate_rows = connection.execute(
                select(table).where(table.c.run_id == row.run_id).order_by(table.c.position)).all()
            result_rows = self._fetch(
                connection,
                "SELECT metric_position, record_id, name, provider, method, value, label, explanation, errors, "
                "record_timestamp, evidences, additional_info FROM record_results WHERE run_id = :run_id "
                "ORDER BY metric_position, position",
                row.run_id,
            )
            identities = [
                (stored.display_name, _group(stored.metric_group),
                 [MetricThreshold(**threshold) for threshold in json.loads(stored.thresholds)])
                for stored in aggregate_rows
            ]
            # Read into columns, one list per field: the record objects are made only if someone reads them.
            per_metric: dict[int, dict[str, list[Any]]] = {
                position: {name: [] for name in _STORED_FIELDS} for position in range(len(aggregate_rows))}
            for metric_position, *cells in result_rows:
                columns = per_metric[metric_position]
                for name, cell in zip(_STORED_FIELDS, cells):
                    columns[name].append(cell)
        aggregates = []
        for position, stored in enumerate(aggregate_rows):
            display_name, group, thresholds = identities[position]
            cells = per_metric[position]
            decoded = {
                "errors": [None if errors is None else [Error(**error) for error in json.loads(errors)]
                           for errors in cells["errors"]],
                "evidences": [None if evidences is None else json.loads(evidences) for evidences in cells["evidences"]],
                "additional_info": [None if info is None else json.loads(info) for info in cells["additional_info"]],
            }
            identity = {"name": stored.name, "display_name": display_name, "method": stored.method, "group": group,
                        "provider": stored.provider, "thresholds": thresholds}
            fields = {name: decoded.get(name, cells[name]) for name in
                      ("record_timestamp", "label", "explanation", "errors", "evidences", "additional_info")}
            # Stored per record; kept once where every record has the metric's own.
            for name in ("name", "provider", "method"):
                if any(cell != identity[name] for cell in cells[name]):
                    fields[name] = cells[name]
            aggregate = AggregateMetricResult.model_construct(
                name=stored.name, display_name=stored.display_name, method=stored.method,
                group=group, provider=stored.provider,
                value=stored.value if stored.value_text is None else stored.value_text,
                thresholds=thresholds,
                errors=None if stored.errors is None else [Error(**error) for error in json.loads(stored.errors)],
                total_records=stored.total_records, record_level_metrics=[],
                min=stored.min, max=stored.max, mean=stored.mean,
            )
            aggregates.append(aggregate.with_columns(RecordColumns(
                identity, cells["record_id"], cells["value"], fields, given=tuple(fields))))
        run = RunRecord.model_validate_json(row.record).model_copy(update={
            "record_ids": [record[0] for record in records],
            "record_hashes": [record[1] for record in records],
            "input_hashes": [record[2] for record in records],
        })
        return with_run(MetricsEvaluationResult.model_construct(metrics_result=aggregates), run, row.digest)

    # -- sign-offs ---------------------------------------------------------

    def sign(self, run_id: str, key: Any, by: str, note: str | None = None) -> SignOff:
        """Record ``by``'s approval of a run, signed with ``key`` (an Ed25519 key or its PEM file's path).

        The run is checked first: a run whose rows no longer hash to its
        digest is refused.
        """
        private_key = signing.load_private_key(key)
        if not str(by).strip():
            raise ValueError("a sign-off names who signs it (by)")
        with self._engine.connect() as connection:
            connection = connection.execution_options(chain_append=True)
            with connection.begin():
                row = self._resolve(connection, run_id)
                if _digest.chained(row.previous_digest, self._content_hash(connection, row)) != row.digest:
                    raise ValueError(f"run {row.run_id} does not match its digest; it cannot be signed")
                signed_at = _now()
                message = signing.signoff_message(row.run_id, row.digest, by, note, signed_at)
                signoff = SignOff(
                    run_id=row.run_id, digest=row.digest, signed_by=by, note=note, signed_at=signed_at,
                    public_key=signing.public_key_hex(private_key), signature=signing.sign(private_key, message),
                )
                connection.execute(insert(schema.signoffs).values(**dataclasses.asdict(signoff)))
        return signoff

    def signoffs(self, run_id: str | None = None) -> pd.DataFrame:
        """The sign-offs (of one run, or all), oldest first."""
        table = schema.signoffs
        query = select(*(table.c[name] for name in schema.SIGNOFF_COLUMNS)).order_by(table.c.id)
        with self._engine.connect() as connection, connection.begin():
            if run_id is not None:
                query = query.where(table.c.run_id == self._resolve(connection, run_id).run_id)
            rows = connection.execute(query).all()
        return pd.DataFrame(rows, columns=list(schema.SIGNOFF_COLUMNS))

    # -- verification ------------------------------------------------------

    def _content_hash(self, connection: Connection, row: Any) -> str:
        hasher = _digest.ContentHasher()
        hasher.run(tuple(getattr(row, name) for name in schema.RUN_HASHED_COLUMNS))
        for kind, table, order, columns in (
            (hasher.records, "records", "position", schema.RECORD_COLUMNS),
            (hasher.aggregates, "metric_aggregates", "position", schema.AGGREGATE_COLUMNS),
            (hasher.results, "record_results", "metric_position, position", schema.RECORD_RESULT_COLUMNS),
        ):
            quoted = ", ".join(f'"{name}"' for name in columns)
            kind(self._fetch(connection, f"SELECT {quoted} FROM {table} WHERE run_id = :run_id ORDER BY {order}",
                             row.run_id))
        return hasher.hexdigest()

    def verify(self) -> Verification:
        """Recompute every run's content hash, digest and link, and check every sign-off.

        Names the first run (in stored order) whose rows no longer hash to its
        digest, or whose predecessor is not the run it was chained to (a run
        removed or moved), or whose sign-off does not hold.
        """
        runs = schema.runs
        checked = 0
        with self._engine.connect() as connection, connection.begin():
            previous = _digest.GENESIS
            stored = connection.execute(select(runs).order_by(runs.c.seq)).all()
            digests = {row.run_id: row.digest for row in stored}
            for row in stored:
                checked += 1
                if row.previous_digest != previous:
                    return Verification(False, checked, 0, row.run_id, (
                        "order or neighbour differs: it was chained to a run whose digest is "
                        f"{row.previous_digest[:16]}..., but the run stored before it now has "
                        f"{previous[:16]}... (a run was removed, inserted or moved)"))
                content = self._content_hash(connection, row)
                if content != row.content_hash or _digest.chained(row.previous_digest, content) != row.digest:
                    return Verification(False, checked, 0, row.run_id,
                                        "content differs: its stored rows no longer hash to its digest")
                previous = row.digest
            orphaned = self._orphaned_run(connection, set(digests))
            if orphaned is not None:
                return Verification(False, checked, 0, orphaned,
                                    "its records remain but the run itself is missing from the chain")
            signed = 0
            for signoff in connection.execute(select(schema.signoffs).order_by(schema.signoffs.c.id)).all():
                signed += 1
                if digests.get(signoff.run_id) != signoff.digest:
                    return Verification(False, checked, signed, signoff.run_id,
                                        f"the sign-off by {signoff.signed_by} approved another digest")
                message = signing.signoff_message(
                    signoff.run_id, signoff.digest, signoff.signed_by, signoff.note, signoff.signed_at)
                if not signing.signature_holds(signoff.public_key, signoff.signature, message):
                    return Verification(False, checked, signed, signoff.run_id,
                                        f"the signature of the sign-off by {signoff.signed_by} does not hold")
        return Verification(True, checked, signed)

    def _orphaned_run(self, connection: Connection, known: set[str]) -> str | None:
        for table in (schema.records, schema.metric_aggregates, schema.record_results, schema.signoffs):
            for (run_id,) in connection.execute(select(table.c.run_id).distinct()):
                if run_id not in known:
                    return run_id
        return None


_BATCH = 50_000


def _as_kept(table: pd.DataFrame) -> pd.DataFrame:
    """A table read back from Parquet as it was written: list cells as lists (Parquet gives arrays)."""
    import numpy as np

    def cell(value: Any) -> Any:
        if isinstance(value, np.ndarray):
            return [cell(item) for item in value.tolist()]
        if isinstance(value, list):
            return [cell(item) for item in value]
        if isinstance(value, dict):
            return {key: cell(item) for key, item in value.items()}
        return value

    for name in table.columns:
        if table[name].dtype == object:
            table[name] = [cell(value) for value in table[name].tolist()]
    return table


def _record_rows(run: RunRecord) -> Iterator[list[tuple]]:
    rows = zip(range(len(run.record_ids)), run.record_ids, run.record_hashes, run.input_hashes)
    run_id = run.run_id
    while batch := [(run_id, position, _safe_text(record_id), record_hash, input_hash)
                    for position, record_id, record_hash, input_hash in itertools.islice(rows, _BATCH)]:
        yield batch


def _aggregate_rows(run_id: str, aggregates: Sequence[Any]) -> list[tuple]:
    return [
        (
            run_id, metric_position, aggregate.name, _safe_text(aggregate.provider), aggregate.method,
            aggregate.display_name, _text(aggregate.group),
            _number(aggregate.value), aggregate.value if isinstance(aggregate.value, str) else None,
            int(aggregate.total_records), _number(aggregate.min), _number(aggregate.max), _number(aggregate.mean),
            canonical_json([threshold.model_dump() for threshold in aggregate.thresholds or ()]),
            _dumped_errors(getattr(aggregate, "errors", None)),
        )
        for metric_position, aggregate in enumerate(aggregates)
    ]


# The per-record fields of record_results read back, in the order load() selects them.
_STORED_FIELDS = ("record_id", "name", "provider", "method", "value", "label", "explanation", "errors",
                  "record_timestamp", "evidences", "additional_info")


def _object_result_rows(run_id: str, aggregates: Sequence[Any]) -> Iterator[list[tuple]]:
    """The rows of ``record_results`` from the results' record columns, a batch at a time."""
    for metric_position, aggregate in enumerate(aggregates):
        columns = aggregate.record_columns()
        values = [None if value != value else value for value in columns.values().tolist()]
        cells = [
            _optional_cells(columns, "label", _safe_text),
            _optional_cells(columns, "explanation", _safe_text),
            _optional_cells(columns, "errors", _dumped_errors),
            _optional_cells(columns, "record_timestamp", _safe_text),
            _optional_cells(columns, "evidences", _json_text),
            _optional_cells(columns, "additional_info", _json_text),
        ]
        names, providers, methods = (columns.field(name) for name in ("name", "provider", "method"))
        for start in range(0, len(columns), _BATCH):
            stop = min(start + _BATCH, len(columns))
            yield [
                (run_id, metric_position, position, _safe_text(columns.record_id[position]), names[position],
                 _safe_text(providers[position]), methods[position], values[position],
                 *(column[position] for column in cells))
                for position in range(start, stop)
            ]


def _optional_cells(columns: Any, name: str, written: Callable[[Any], Any]) -> list[Any]:
    """One optional field's stored cells: None throughout when no record has it."""
    if name not in columns.fields:
        return [None] * len(columns)
    return [None if value is None else written(value) for value in columns.fields[name]]


def _table_result_rows(run_id: str, aggregates: Sequence[Any],
                       record_tables: Callable[[], Iterable[pd.DataFrame]]) -> Iterator[list[tuple]]:
    """The rows of ``record_results`` from record tables (``to_df`` columns), one metric at a time."""
    for metric_position, aggregate in enumerate(aggregates):
        position = 0
        for frame in record_tables():
            # A metric's rows are those of its whole key: namesakes differ by provider, method or display name.
            mine = frame["name"] == aggregate.name
            for column in ("method", "provider", "display_name"):
                wanted = getattr(aggregate, column, None)
                if column in frame.columns:
                    mine &= frame[column].isna() if wanted is None else frame[column] == wanted
            rows = frame[mine]
            if rows.empty:
                continue
            count = len(rows)
            values = rows["value"].astype(float).tolist()
            columns = [_cells(rows[name]) if name in rows.columns else [None] * count
                       for name in ("label", "explanation", "errors", "record_timestamp", "evidences",
                                    "additional_info")]
            yield [
                (run_id, metric_position, position + offset, _safe_text(record_id), aggregate.name,
                 _safe_text(provider), aggregate.method, None if value != value else value, *cells)
                for offset, (record_id, provider, value, *cells) in enumerate(zip(
                    rows["record_id"].tolist(), rows["provider"].tolist(), values, *columns))
            ]
            position += count


def _cells(column: pd.Series) -> list[str | None]:
    """A column's cells as stored: missing as NULL, texts as they are, anything else as canonical JSON."""
    return [
        None if cell is None or (isinstance(cell, float) and cell != cell)
        else _safe_text(cell) if isinstance(cell, str) else _json_text(cell)
        for cell in column.tolist()
    ]


def _text(value: Any) -> str | None:
    return None if value is None else str(getattr(value, "value", value))


def _driver(connection: Connection) -> Any:
    """The database driver's own connection, for its bulk paths (executemany, COPY, cursors)."""
    return connection.connection.driver_connection


def _now() -> str:
    return _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="microseconds")


def _group(value: str | None) -> Any:
    from zentra_lumara_gov.entities.enums import MetricGroup

    if value is None:
        return None
    try:
        return MetricGroup(value)
    except ValueError:
        return value


def open_store(store: "RunStore | str | os.PathLike[str] | None") -> tuple["RunStore", bool]:
    """``store`` as a RunStore, and whether the caller opened it (and so must close it)."""
    if isinstance(store, RunStore):
        return store, False
    return RunStore(store), True


__all__: Sequence[str] = ("RunStore", "SignOff", "Verification", "open_store", "resolve_url")
