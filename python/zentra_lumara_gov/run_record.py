"""The record of one evaluation run: what was evaluated, how, by which build, and when.

A run record is what makes a result evidence: it names the data (its source,
a fingerprint of the whole table and a content hash per record), the
configuration, every metric's definition with its thresholds, the services
and judge models that were called (never their secrets), the versions of
everything that computed it, and the times, counts and status of the run.

The pipeline makes one with :meth:`RunRecord.begin` before evaluating and
closes it with :meth:`RunRecord.end` afterwards::

    run = RunRecord.begin(table, configuration, metrics, source=path, tags=tags, api_client=client)
    ...  # evaluate
    run = run.end(result, "completed")

Canonical form of a table (used for ``data_fingerprint`` and the per-record
hashes), chosen so that neither the column order nor the pandas or arrow
dtypes change it:

* each record is a JSON object whose keys are the column names, sorted;
* each cell is normalised: a missing value (None, NaN, NaT, pandas NA) is
  ``null``; numpy scalars become Python numbers and booleans; a float with an
  integral value is written as that integer (a column of integers that gained
  a missing value turns float in pandas, and must not change the hash);
  infinities are the texts ``"Infinity"`` and ``"-Infinity"``; arrays and
  tuples are lists; mappings are objects with sorted keys; timestamps are
  ISO-8601 texts (UTC when they carry a zone); bytes are lowercase hex;
  anything else is its ``str``;
* JSON is written without spaces (``","`` and ``":"``), non-ASCII characters
  as themselves, encoded in UTF-8 (a lone surrogate, which tables of texts
  may hold, encoded as its three bytes).

A record's hash (``record_hashes``) is the first 128 bits (32 hex digits)
of the SHA-256 of its JSON object; ``input_hashes`` is the same over the
columns the system under evaluation was given (inputs, contexts and
references, not its answers), which lets two runs of a changed system be
paired record by record. ``data_fingerprint`` is the SHA-256 (hex) of the
record hashes written one after the other in table order (ASCII): the
digests of a table's parts, computed where each part lies, combine into the
whole table's (:meth:`TableDigest.concat`).
"""

from __future__ import annotations

import datetime as _dt
import functools
import hashlib
import json
import math
import os
import pathlib
import platform as _platform
import re
import secrets
import threading
import time
import uuid
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, SkipValidation, field_validator

RunStatus = Literal["completed", "failed", "interrupted"]
RUN_STATUSES: tuple[str, ...] = ("completed", "failed", "interrupted")

# ---------------------------------------------------------------------------
# Time-ordered run ids

_uuid7_lock = threading.Lock()
_uuid7_last = [0, 0]  # last millisecond used, counter within it


def uuid7() -> uuid.UUID:
    """A version-7 UUID: 48 bits of Unix milliseconds, then randomness.

    Ids made by one process are strictly increasing even within one
    millisecond (a 12-bit counter fills ``rand_a``), so sorting run ids sorts
    runs by start time.
    """
    with _uuid7_lock:
        millis = time.time_ns() // 1_000_000
        last_millis, counter = _uuid7_last
        if millis <= last_millis:
            millis, counter = last_millis, counter + 1
            if counter > 0xFFF:  # the counter is spent: borrow the next millisecond
                millis, counter = millis + 1, 0
        else:
            counter = secrets.randbits(8)  # leaves room for the counter to grow
        _uuid7_last[:] = [millis, counter]
    value = (millis & ((1 << 48) - 1)) << 80
    value |= 0x7 << 76
    value |= counter << 64
    value |= 0b10 << 62
    value |= secrets.randbits(62)
    return uuid.UUID(int=value)


def uuid7_time(run_id: str | uuid.UUID) -> _dt.datetime:
    """The UTC time (to the millisecond) at which a version-7 id was made."""
    value = run_id if isinstance(run_id, uuid.UUID) else uuid.UUID(str(run_id))
    return _dt.datetime.fromtimestamp((value.int >> 80) / 1000, tz=_dt.timezone.utc)


# ---------------------------------------------------------------------------
# Canonical form of values and tables


def _normalised(value: Any) -> Any:
    """A cell in the canonical form the module docstring defines."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        if math.isnan(value):
            return None
        if math.isinf(value):
            return "Infinity" if value > 0 else "-Infinity"
        return int(value) if value.is_integer() and abs(value) < 2**63 else value
    module = type(value).__module__
    if module == "numpy" or module.startswith("numpy."):
        if hasattr(value, "tolist"):  # numpy scalars and arrays alike
            return _normalised(value.tolist())
    if isinstance(value, Mapping):
        return {str(key): _normalised(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        items = [_normalised(item) for item in value]
        return sorted(items, key=_canonical_json) if isinstance(value, (set, frozenset)) else items
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, (_dt.datetime, _dt.date, _dt.time)):
        if value != value:  # NaT, pandas' missing time, is a datetime that equals nothing
            return None
        if isinstance(value, _dt.datetime) and value.tzinfo is not None:
            value = value.astimezone(_dt.timezone.utc)
        return value.isoformat()
    if hasattr(value, "tolist") and not isinstance(value, type):  # arrow and pandas arrays
        return _normalised(value.tolist())
    if _is_missing_scalar(value):
        return None
    return str(value)


def _is_missing_scalar(value: Any) -> bool:
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency
        return False
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _canonical_json(value: Any) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def canonical_json(value: Any) -> str:
    """``value`` normalised and written as canonical JSON text (see the module docstring)."""
    return _canonical_json(_normalised(value))


def _column_values(column: Any) -> tuple[list[Any], bool]:
    """One column's cells for hashing, and whether they are already canonical JSON texts.

    Whole-number and boolean columns are written here at once; the compiled
    hashing writes texts, lists of texts, integers, booleans and None itself
    and hands any other cell to :func:`_cell_json`.
    """
    import numpy as np

    dtype = getattr(column, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if kind in ("i", "u") and isinstance(dtype, np.dtype):
        return [str(item) for item in column.tolist()], True
    if kind == "b" and isinstance(dtype, np.dtype):
        return ["true" if item else "false" for item in column.tolist()], True
    return column.tolist(), False


def _cell_json(item: Any) -> str:
    return _canonical_json(_normalised(item))


class TableDigest(BaseModel):
    """The fingerprint of a table, and the id and hashes of each of its records (see the module docstring)."""

    model_config = ConfigDict(frozen=True)

    fingerprint: str
    # Made by digest_table, a text per record: a million of them need no checking one by one.
    record_ids: SkipValidation[list[str]]
    record_hashes: SkipValidation[list[str]]
    input_hashes: SkipValidation[list[str]]

    @classmethod
    def concat(cls, parts: Iterable["TableDigest"]) -> "TableDigest":
        """The digest of the table made of ``parts`` one after the other."""
        record_ids: list[str] = []
        record_hashes: list[str] = []
        input_hashes: list[str] = []
        for part in parts:
            record_ids += part.record_ids
            record_hashes += part.record_hashes
            input_hashes += part.input_hashes
        return cls(fingerprint=_fingerprint(record_hashes), record_ids=record_ids, record_hashes=record_hashes,
                   input_hashes=input_hashes)


def _fingerprint(record_hashes: list[str]) -> str:
    return hashlib.sha256("".join(record_hashes).encode("ascii")).hexdigest()


def digest_table(table: Any, input_columns: Iterable[str] = (), id_column: str | None = None) -> TableDigest:
    """The canonical fingerprint of ``table`` and a content hash per record.

    ``input_columns`` name the columns whose values were given to the system
    under evaluation; those present make each record's ``input_hashes`` entry.
    ``id_column`` holds the record ids (their text); without it, or when the
    table lacks it, a record's id is its position.
    """
    from zentra_lumara_gov.evaluators.impl import metric_run_impl

    names = sorted(str(name) for name in table.columns)
    by_name = {str(name): name for name in table.columns}
    wanted = set(map(str, input_columns))
    columns, texts = [], []
    for name in names:
        cells, written = _column_values(table[by_name[name]])
        columns.append(cells)
        texts.append(written)
    record_hashes, input_hashes = metric_run_impl._record_digests(
        columns, [_canonical_json(name) for name in names], texts, [name in wanted for name in names],
        _cell_json, len(table))
    if id_column is not None and id_column in table.columns:
        record_ids = [str(value) for value in table[id_column].tolist()]
    else:
        record_ids = [str(position) for position in range(len(table))]
    return TableDigest(fingerprint=_fingerprint(record_hashes), record_ids=record_ids,
                       record_hashes=record_hashes, input_hashes=input_hashes)


# ---------------------------------------------------------------------------
# Secrets never enter a run record

# Names of settings that hold a secret. Matched against the whole key, lower
# case, so "api_key", "provider_api_key", "aws_secret_access_key" and
# "session_token" go while "key_column" or "tokens_used" stay.
_SECRET_KEY = re.compile(
    r"(^|_)(api_?key|apikey|password|passwd|secret|token|access_key(_id)?|private_key|"
    r"client_secret|authorization|auth|credential_?path|credentials_path|bearer|cookie)(_|$)"
)
_URL_USERINFO = re.compile(r"^([a-zA-Z][a-zA-Z0-9+.-]*://)[^/@\s]*@")


def is_secret_key(name: str) -> bool:
    """Whether a setting called ``name`` holds a secret (and is left out of run records)."""
    lowered = name.lower()
    return bool(_SECRET_KEY.search(lowered)) or lowered.endswith(("apikey", "password", "secret", "token"))


def without_secrets(value: Any) -> Any:
    """``value`` with every secret-named entry removed and every URL's user and password dropped."""
    if isinstance(value, Mapping):
        return {key: without_secrets(item) for key, item in value.items() if not is_secret_key(str(key))}
    if isinstance(value, (list, tuple)):
        return [without_secrets(item) for item in value]
    if isinstance(value, str):
        return _URL_USERINFO.sub(r"\1", value)
    return value


def _dumped(value: Any) -> Any:
    """A JSON-ready form of a configuration, metric or any other setting object."""
    if value is None:
        return None
    if isinstance(value, BaseModel):
        try:
            return value.model_dump(mode="json", exclude_none=False, fallback=_fallback)
        except Exception:  # noqa: BLE001 - a setting the model cannot dump is described, not fatal
            return {"type": type(value).__qualname__}
    return _normalised(value)


def _fallback(value: Any) -> Any:
    if callable(value):
        return f"{getattr(value, '__module__', '?')}.{getattr(value, '__qualname__', type(value).__qualname__)}"
    return str(value)


# ---------------------------------------------------------------------------
# Versions and build


@functools.cache
def build_id() -> str:
    """SHA-256 of the package's compiled modules (their relative paths and bytes, in path order).

    Two installs with the same build id run the same machine code; computed
    once per process.
    """
    package = pathlib.Path(__file__).resolve().parent
    modules = sorted(path for pattern in ("*.so", "*.pyd", "*.dylib") for path in package.rglob(pattern))
    digest = hashlib.sha256()
    for path in modules:
        digest.update(path.relative_to(package).as_posix().encode() + b"\0")
        with open(path, "rb") as handle:
            for block in iter(lambda: handle.read(1 << 20), b""):
                digest.update(block)
    return digest.hexdigest() if modules else "no-compiled-modules"


@functools.cache
def sdk_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("zentra_lumara_gov")
    except PackageNotFoundError:  # a source tree that was never installed
        return "0+unknown"


def git_commit(start: str | os.PathLike[str] | None = None) -> str | None:
    """The commit checked out in the git work tree holding ``start`` (default: the working directory).

    Read from the repository's files rather than by running git, so it is
    quick and works where git is not installed; None outside a work tree or
    when the files cannot be read.
    """
    try:
        here = pathlib.Path(start or os.getcwd()).resolve()
        for folder in (here, *here.parents):
            marker = folder / ".git"
            if marker.is_dir():
                return _resolve_head(marker)
            if marker.is_file():  # a linked work tree or a submodule
                text = marker.read_text().strip()
                if text.startswith("gitdir:"):
                    git_dir = (folder / text[len("gitdir:"):].strip()).resolve()
                    return _resolve_head(git_dir)
                return None
    except (OSError, ValueError):
        return None
    return None


def _resolve_head(git_dir: pathlib.Path) -> str | None:
    head = (git_dir / "HEAD").read_text().strip()
    common = git_dir
    if (git_dir / "commondir").is_file():
        common = (git_dir / (git_dir / "commondir").read_text().strip()).resolve()
    for _ in range(5):  # symbolic refs may point at symbolic refs
        if not head.startswith("ref:"):
            return head if re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", head) else None
        ref = head[len("ref:"):].strip()
        for folder in (git_dir, common):
            if (folder / ref).is_file():
                head = (folder / ref).read_text().strip()
                break
        else:
            return _packed_ref(common, ref)
    return None


def _packed_ref(common: pathlib.Path, ref: str) -> str | None:
    packed = common / "packed-refs"
    if not packed.is_file():
        return None
    for line in packed.read_text().splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[1] == ref:
            return parts[0]
    return None


# ---------------------------------------------------------------------------
# The record


class DataSource(BaseModel):
    """Where the evaluated table came from: a file (path, size, modification time) or a DataFrame."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    kind: Literal["file", "DataFrame"]
    path: str | None = None
    size: int | None = None
    modified_at: _dt.datetime | None = None

    @classmethod
    def describe(cls, source: Any) -> "DataSource":
        """A file's source from its path (made absolute), or "DataFrame" for None or a table."""
        if source is None or not isinstance(source, (str, os.PathLike)):
            return cls(kind="DataFrame")
        path = pathlib.Path(source).resolve()
        stat = path.stat()
        return cls(
            kind="file",
            path=str(path),
            size=stat.st_size,
            modified_at=_dt.datetime.fromtimestamp(stat.st_mtime, tz=_dt.timezone.utc),
        )


class ThresholdDefinition(BaseModel):
    """A threshold with the direction it implies: a lower limit means higher values are better."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    type: Literal["lower_limit", "upper_limit"]
    value: float
    direction: Literal["higher_is_better", "lower_is_better"]


class MetricDefinition(BaseModel):
    """A metric as it was run: its key (name, provider, method), settings and thresholds."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    provider: str | None = None
    method: str | None = None
    display_name: str | None = None
    group: str | None = None
    kind: str
    parameters: dict[str, Any] = {}
    thresholds: list[ThresholdDefinition] = []

    @property
    def key(self) -> tuple[str, str | None, str | None]:
        return (self.name, self.provider, self.method)

    @classmethod
    def of(cls, metric: Any) -> "MetricDefinition":
        """The definition of a metric object, its secrets left out."""
        dumped = _dumped(metric)
        parameters = dict(dumped) if isinstance(dumped, dict) else {}
        identity = {name: parameters.pop(name, None) for name in ("name", "method", "display_name", "group")}
        parameters.pop("thresholds", None)
        parameters.pop("metric_dependencies", None)
        provider = getattr(metric, "provider", None) or parameters.pop("provider", None) or _provider_of(metric)
        thresholds = [
            ThresholdDefinition(
                type=threshold.type,
                value=threshold.value,
                direction="higher_is_better" if threshold.type == "lower_limit" else "lower_is_better",
            )
            for threshold in getattr(metric, "thresholds", None) or []
        ]
        group = identity["group"]
        return cls(
            name=str(identity["name"] or getattr(metric, "name", "")),
            provider=_text(provider),
            method=identity["method"],
            display_name=identity["display_name"],
            group=_text(group),
            kind=f"{type(metric).__module__}.{type(metric).__qualname__}",
            parameters=without_secrets(parameters),
            thresholds=thresholds,
        )


def _text(value: Any) -> str | None:
    if value is None:
        return None
    return str(getattr(value, "value", value))


def _provider_of(metric: Any) -> str | None:
    # The metric classes do not name their provider; the class family does.
    for base in type(metric).__mro__:
        if base.__name__ == "DetectionMetric":
            return "detectors"
        if base.__name__ in ("TallyxMetric", "LLMAsJudgeMetric"):
            return "tallyx"
    return None


class ServiceEndpoint(BaseModel):
    """A service a run called: its role, address and, for models, the model id. Never a secret."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    role: str
    kind: str | None = None
    url: str | None = None
    model_id: str | None = None
    details: dict[str, Any] = {}


def describe_services(configuration: Any, metrics: Sequence[Any], api_client: Any = None) -> list[ServiceEndpoint]:
    """The governance service and every judge model a run may call, without credentials."""
    services: list[ServiceEndpoint] = []
    credentials = getattr(api_client, "credentials", None)
    if api_client is not None:
        services.append(ServiceEndpoint(
            role="governance",
            kind="on_premises" if getattr(api_client, "is_korp", False) else "hosted",
            url=without_secrets(getattr(credentials, "url", None)),
            details=without_secrets({
                "service_instance_id": getattr(api_client, "service_instance_id", None),
                "version": getattr(credentials, "version", None),
            }),
        ))
    judges = [("configuration", getattr(configuration, "llm_judge", None))]
    judges += [(f"metric:{getattr(metric, 'name', '?')}", getattr(metric, "llm_judge", None)) for metric in metrics]
    seen = set()
    for owner, judge in judges:
        model = getattr(judge, "model", None)
        if model is None:
            continue
        provider = getattr(model, "provider", None)
        credentials = _dumped(getattr(provider, "credentials", None)) or {}
        safe = without_secrets(credentials) if isinstance(credentials, dict) else {}
        url = safe.pop("url", None) or safe.pop("api_base", None)
        endpoint = ServiceEndpoint(
            role="judge",
            kind=_text(getattr(provider, "type", None)),
            url=url,
            model_id=getattr(model, "model_id", None),
            details={"used_by": owner, **safe, **without_secrets({
                name: getattr(model, name) for name in ("project_id", "space_id") if getattr(model, name, None)
            })},
        )
        identity = (endpoint.kind, endpoint.url, endpoint.model_id, owner)
        if identity not in seen:
            seen.add(identity)
            services.append(endpoint)
    return services


def input_columns(configuration: Any) -> list[str]:
    """The columns holding what the evaluated system was given: inputs, contexts and references."""
    columns: list[str] = []
    for name in ("input_fields", "context_fields", "reference_fields"):
        columns.extend(getattr(configuration, name, None) or [])
    return columns


def _now() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


class RunRecord(BaseModel):
    """The lineage of one evaluation run (see the module docstring for the canonical table form).

    ``record_ids``, ``record_hashes`` and ``input_hashes`` are parallel
    columns, one entry per evaluated record in table order.
    """

    model_config = ConfigDict(frozen=True, extra="forbid")

    run_id: str = Field(default_factory=lambda: str(uuid7()))
    status: RunStatus | Literal["running"] = "running"
    started_at: _dt.datetime = Field(default_factory=_now)
    finished_at: _dt.datetime | None = None
    sdk_version: str = Field(default_factory=sdk_version)
    build_id: str = Field(default_factory=build_id)
    python_version: str = Field(default_factory=_platform.python_version)
    pandas_version: str | None = None
    platform: str = Field(default_factory=_platform.platform)
    tags: dict[str, str] = {}
    git_commit: str | None = None
    data_source: DataSource = DataSource(kind="DataFrame")
    data_fingerprint: str | None = None
    # A text per record, from the run's TableDigest (or read back from a store): not checked one by one.
    record_ids: SkipValidation[list[str]] = []
    record_hashes: SkipValidation[list[str]] = []
    input_hashes: SkipValidation[list[str]] = []
    configuration: dict[str, Any] | None = None
    metrics: list[MetricDefinition] = []
    services: list[ServiceEndpoint] = []
    counts: dict[str, int] = {}
    durations: dict[str, float] = {}
    error: str | None = None
    # With the call cache: calls made, answers the cache gave, judge tokens (and cost) per model.
    calls: dict[str, Any] | None = None
    # A resumed run: the id of its first attempt, and which attempt this is.
    resumed_from: str | None = None
    attempt: int = 1

    @field_validator("started_at", "finished_at")
    @classmethod
    def _utc(cls, value: _dt.datetime | None) -> _dt.datetime | None:
        if value is None:
            return None
        if value.tzinfo is None:
            raise ValueError("run times must carry a time zone")
        return value.astimezone(_dt.timezone.utc)

    @field_validator("tags", mode="before")
    @classmethod
    def _tags_as_text(cls, value: Any) -> Any:
        if isinstance(value, Mapping):
            return {str(key): str(item) for key, item in value.items()}
        return value

    @classmethod
    def begin(
        cls,
        table: Any,
        configuration: Any,
        metrics: Sequence[Any],
        *,
        source: Any = None,
        tags: Mapping[str, Any] | None = None,
        api_client: Any = None,
        table_digest: TableDigest | None = None,
    ) -> "RunRecord":
        """The record of a run about to evaluate ``table`` (a DataFrame, already completed with record ids).

        ``source`` is the path of the file the table was read from (None: a
        DataFrame given by the caller). Where the table is never whole in one
        process, pass ``table=None`` and the ``table_digest`` combined from
        its parts' (``TableDigest.concat`` of ``digest_table`` of each).
        """
        import pandas as pd

        started = _now()
        if table_digest is None:
            if table is None:
                raise ValueError("a run record needs the table or its digest (table_digest)")
            id_field = getattr(configuration, "record_id_field", "record_id")
            table_digest = digest_table(table, input_columns(configuration), id_column=id_field)
        metric_list = list(metrics)
        configuration_dump = _dumped(configuration)
        return cls(
            started_at=started,
            pandas_version=pd.__version__,
            tags=dict(tags or {}),
            git_commit=git_commit(),
            data_source=DataSource.describe(source),
            data_fingerprint=table_digest.fingerprint,
            record_ids=table_digest.record_ids,
            record_hashes=table_digest.record_hashes,
            input_hashes=table_digest.input_hashes,
            configuration=without_secrets(configuration_dump) if isinstance(configuration_dump, dict) else None,
            metrics=[MetricDefinition.of(metric) for metric in metric_list],
            services=describe_services(configuration, metric_list, api_client),
            counts={"records": len(table_digest.record_ids), "metrics": len(metric_list)},
            durations={"fingerprint_seconds": (_now() - started).total_seconds()},
        )

    def end(self, result: Any, status: RunStatus = "completed", *, error: BaseException | str | None = None,
            calls: dict[str, Any] | None = None) -> "RunRecord":
        """This record closed: the finish time, status and the counts of ``result`` (may be None);
        ``calls``: what the run asked of the services, when it ran with the call cache."""
        if status not in RUN_STATUSES:
            raise ValueError(f"a run ends 'completed', 'failed' or 'interrupted', not {status!r}")
        finished = _now()
        aggregates = list(getattr(result, "aggregates", None) or [])
        # A cluster's merged aggregates hold counts, not record objects.
        record_results = sum(
            len(aggregate.record_columns()) if hasattr(aggregate, "record_columns") else aggregate.total_records
            for aggregate in aggregates
        )
        failed_records = sum(aggregate.failed_records for aggregate in aggregates)
        counts = {
            **self.counts,
            "metric_results": len(aggregates),
            "record_results": record_results,
            "failed_record_results": failed_records,
            "failed_metrics": sum(1 for aggregate in aggregates if aggregate.failed),
        }
        providers = {(aggregate.name, aggregate.method): aggregate.provider for aggregate in aggregates}
        metrics = [
            definition if definition.provider else definition.model_copy(
                update={"provider": _text(providers.get((definition.name, definition.method)))})
            for definition in self.metrics
        ]
        durations = {**self.durations, "total_seconds": (finished - self.started_at).total_seconds()}
        return self.model_copy(update={
            "status": status,
            "finished_at": finished,
            "counts": counts,
            "durations": durations,
            "metrics": metrics,
            "calls": self.calls if calls is None else calls,
            "error": None if error is None else (error if isinstance(error, str) else f"{type(error).__name__}: {error}"),
        })

    @property
    def digest_fields(self) -> dict[str, Any]:
        """The record as stored and hashed: everything but the per-record columns, which the record rows hold."""
        return self.model_dump(mode="json", exclude={"record_ids", "record_hashes", "input_hashes"})

    def record_hash_table(self) -> dict[str, tuple[str, str]]:
        """Record id -> (record hash, input hash); the first record wins when an id repeats."""
        table: dict[str, tuple[str, str]] = {}
        for record_id, record_hash, input_hash in zip(self.record_ids, self.record_hashes, self.input_hashes):
            table.setdefault(record_id, (record_hash, input_hash))
        return table


def with_run(result: Any, run: RunRecord, digest: str | None = None) -> Any:
    """A copy of ``result`` carrying ``run`` as ``result.run`` (the same metric results and kept input)."""
    return result.model_copy(update={"run": run, "digest": digest})
