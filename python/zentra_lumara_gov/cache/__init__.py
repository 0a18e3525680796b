"""The call cache: every answer a service gives a run is kept in the run store and never paid for twice.

The cache sits at the SDK's boundary with each service it calls: the
detection service's requests and the judge models' calls made through
inference engines (the evaluation library's judge metrics and the criteria
judge). A call is looked up first and its answer stored after; errors,
timeouts and answers given after the retries ran out are never stored.

A call's key is the SHA-256 of the canonical JSON (sorted keys, no spaces)
of everything that decides its answer (see :func:`call_key`): the kind of
service, its endpoint and identity (service instance, engine and model), the
request (the body, or the chat messages), the generation parameters, the
metric that asked (its class, name, method, parameters and version; never
its display name, thresholds or secrets) and a repeat index: the n-th
identical call of one run is sample n, so a run that deliberately asks the
same thing twice gets two answers, and so does every rerun of it.

Answers live in the ``call_cache`` table of the run store's database
(SQLite by default, PostgreSQL for a team or a cluster's workers). They are
written as they arrive, a few at a time by a writer thread, so a process
that dies keeps every answer it received up to a fraction of a second
before. ``max_age`` (seconds) and ``max_entries`` bound what is kept.

Modes: ``"readwrite"`` (look up, call what is missing, store it) and
``"replay"`` (look up only: a call the cache does not hold is never made;
the run records it and :meth:`CallCache.check_complete` names it).
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import dataclasses
import datetime as _dt
import hashlib
import heapq
import json
import os
import threading
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from zentra_lumara_gov.errors import CacheMissError

CACHE_MODES = ("readwrite", "replay")
_BATCH = 16
_LOOKUP_BATCH = 500
_FLUSH_SECONDS = 0.1

# The cache of the run being evaluated, and the metric whose calls are being made.
active_cache: contextvars.ContextVar[CallCache | None] = contextvars.ContextVar("zlg_call_cache", default=None)
calling_metric: contextvars.ContextVar[Any] = contextvars.ContextVar("zlg_calling_metric", default=None)


def canonical(value: Any) -> str:
    from zentra_lumara_gov.run_record import canonical_json

    return canonical_json(value)


def call_key(*, kind: str, endpoint: str | None, service: Any, request: Any, parameters: Any = None,
             metric: Any = None, repeat: int = 0) -> str:
    """The key of one call: SHA-256 (hex) of the canonical JSON of what decides its answer."""
    return sample_key(call_base(kind=kind, endpoint=endpoint, service=service, request=request,
                                parameters=parameters, metric=metric), repeat)


def call_base(*, kind: str, endpoint: str | None, service: Any, request: Any, parameters: Any = None,
              metric: Any = None) -> str:
    """The key of a call's every sample: everything but the repeat index."""
    form = {
        "kind": kind, "endpoint": endpoint, "service": service, "request": request,
        "parameters": parameters or {}, "metric": metric,
    }
    return hashlib.sha256(canonical(form).encode("utf-8")).hexdigest()


def sample_key(call: str, repeat: int) -> str:
    """The key of sample ``repeat`` of the call whose repeat-free key is ``call``."""
    return hashlib.sha256(canonical({"call": call, "repeat": int(repeat)}).encode("utf-8")).hexdigest()


def metric_identity(metric: Any) -> dict[str, Any] | None:
    """What of a metric decides the answers it is given: class, name, method, provider, parameters, version."""
    if metric is None:
        return None
    from zentra_lumara_gov.run_record import MetricDefinition

    definition = MetricDefinition.of(metric)
    return {
        "kind": definition.kind, "name": definition.name, "method": definition.method,
        "provider": definition.provider, "parameters": definition.parameters,
        "version": _text(getattr(metric, "version", None)),
    }


def _text(value: Any) -> str | None:
    return None if value is None else str(value)


@dataclasses.dataclass
class CallTally:
    """What one run asked of the services: calls made (each attempt a call), answers found in the cache,
    replay misses, and the tokens of the judge calls made, per model (an answer from the cache costs none)."""

    calls: int = 0
    hits: int = 0
    misses: int = 0
    tokens: dict[str, dict[str, int]] = dataclasses.field(default_factory=dict)

    def __post_init__(self) -> None:
        self._lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:  # a worker's tally goes back to the client
        return {name: value for name, value in self.__dict__.items() if name != "_lock"}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def count(self, calls: int = 0, hits: int = 0, misses: int = 0) -> None:
        with self._lock:
            self.calls += calls
            self.hits += hits
            self.misses += misses

    def used(self, model: str, input_tokens: int | None, output_tokens: int | None) -> None:
        with self._lock:
            row = self.tokens.setdefault(model, {"calls": 0, "input_tokens": 0, "output_tokens": 0})
            row["calls"] += 1
            row["input_tokens"] += int(input_tokens or 0)
            row["output_tokens"] += int(output_tokens or 0)

    def summary(self, prices: Mapping[str, Any] | None = None) -> dict[str, Any]:
        """The tally as a run record keeps it; with ``prices``, each judge model's cost."""
        judges = {}
        for model, row in sorted(self.tokens.items()):
            entry: dict[str, Any] = dict(row)
            price = (prices or {}).get(model)
            if price is not None:
                entry["cost"] = round(row["input_tokens"] / 1000 * float(price.get("input_per_1k", 0))
                                      + row["output_tokens"] / 1000 * float(price.get("output_per_1k", 0)), 10)
            judges[model] = entry
        return {"calls_made": self.calls, "cache_hits": self.hits, "cache_misses": self.misses, "judges": judges}


@dataclasses.dataclass(frozen=True)
class Stored:
    """One cached answer."""

    answer: str
    input_tokens: int | None = None
    output_tokens: int | None = None


class CallCache:
    """The answers of service calls, kept in a run store's database (see the module's description).

    ``store``: a :class:`~zentra_lumara_gov.store.RunStore` or its URL.
    ``mode``: "readwrite" or "replay". ``max_age``: seconds an answer stays
    valid (None: for ever); ``max_entries``: the most answers kept (the
    oldest go first; None: no bound). ``prices``: judge model -> {"input_per_1k",
    "output_per_1k"}, for the cost in the run record. Close the cache (or use it as a
    context manager) to write the last answers and apply the bounds.
    """

    def __init__(self, store: Any = None, *, mode: str = "readwrite", max_age: float | None = None,
                 max_entries: int | None = None, prices: Mapping[str, Any] | None = None) -> None:
        from zentra_lumara_gov.store import open_store

        if mode not in CACHE_MODES:
            raise ValueError(f"the cache's mode is one of {CACHE_MODES}, not {mode!r}")
        if max_age is not None and (isinstance(max_age, bool) or not max_age > 0):
            raise ValueError(f"max_age must be a positive number of seconds, not {max_age!r}")
        if max_entries is not None and (isinstance(max_entries, bool) or not isinstance(max_entries, int)
                                        or max_entries < 1):
            raise ValueError(f"max_entries must be a positive whole number, not {max_entries!r}")
        self.store, self._owns_store = open_store(store)
        self.mode, self.max_age, self.max_entries = mode, max_age, max_entries
        self.tally = CallTally()
        self.prices = dict(prices or {})
        self.missing: list[str] = []  # descriptions of the calls a replay could not answer
        self._pending: list[tuple] = []
        self._pending_keys: dict[str, Stored] = {}
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)
        self._closed = False
        self._writer: threading.Thread | None = None
        self._write_error: BaseException | None = None
        self._repeats: dict[str, tuple[int, list[int]]] = {}
        self._metric_identities: dict[int, Any] = {}
        self._lookups: dict[Any, list[tuple[str, Any]]] = {}

    # -- the run's side ----------------------------------------------------

    def begin_run(self, prices: Mapping[str, Any] | None = None) -> None:
        """Start counting a new run's calls (a cache kept open across runs)."""
        with self._lock:
            self.tally = CallTally()
            self.missing = []
            self._repeats = {}
            if prices is not None:
                self.prices = dict(prices)

    @property
    def replay(self) -> bool:
        return self.mode == "replay"

    def metric_part(self, metric: Any) -> Any:
        """The key's metric part for ``metric`` (computed once per metric object)."""
        if metric is None:
            return None
        found = self._metric_identities.get(id(metric))
        if found is None:
            found = self._metric_identities[id(metric)] = (metric, metric_identity(metric))
        return found[1]

    def claim(self, base: str) -> int:
        """The repeat index of the next identical call (the lowest one given back, else a new one)."""
        with self._lock:
            following, free = self._repeats.get(base, (0, []))
            if free:
                index = heapq.heappop(free)
            else:
                index, following = following, following + 1
            self._repeats[base] = (following, free)
            return index

    def give_back(self, base: str, index: int) -> None:
        """An index whose call got no answer to keep: the next identical call takes it."""
        with self._lock:
            following, free = self._repeats.get(base, (0, []))
            heapq.heappush(free, index)
            self._repeats[base] = (following, free)

    def missed(self, description: str) -> None:
        self.tally.count(misses=1)
        with self._lock:
            self.missing.append(description)

    def check_complete(self) -> None:
        """Raise :class:`CacheMissError` naming the first call a replay could not answer."""
        if self.missing:
            more = f" (and {len(self.missing) - 1} more)" if len(self.missing) > 1 else ""
            raise CacheMissError(f"the cache holds no answer for {self.missing[0]}{more}; nothing was called")

    # -- lookups and writes ------------------------------------------------

    def _cutoff(self) -> str | None:
        if self.max_age is None:
            return None
        return _iso(_dt.datetime.now(_dt.timezone.utc) - _dt.timedelta(seconds=self.max_age))

    def get_many(self, keys: Sequence[str]) -> dict[str, Stored]:
        """The stored answers of ``keys`` (those it holds)."""
        from zentra_lumara_gov.store import schema

        found: dict[str, Stored] = {}
        wanted = []
        with self._lock:
            for key in keys:
                pending = self._pending_keys.get(key)
                if pending is not None:
                    found[key] = pending
                else:
                    wanted.append(key)
        if not wanted:
            return found
        cutoff = self._cutoff()
        marker = "?" if self.store.dialect == "sqlite" else "%s"
        # Through the driver: a lookup costs a small share of the call it saves.
        with self.store._engine.connect() as connection, connection.begin():
            cursor = connection.connection.driver_connection.cursor()
            try:
                for start in range(0, len(wanted), _LOOKUP_BATCH):
                    keys: list[Any] = wanted[start:start + _LOOKUP_BATCH]
                    query = f"SELECT key, answer, input_tokens, output_tokens FROM {schema.call_cache.name} WHERE "
                    if marker == "?":
                        query += f"key IN ({', '.join([marker] * len(keys))})"
                    else:  # one array parameter: PostgreSQL parses and plans it once
                        query, keys = query + "key = ANY(%s)", [keys]
                    if cutoff is not None:
                        query += f" AND created_at >= {marker}"
                        keys = [*keys, cutoff]
                    cursor.execute(query, keys)
                    for key, answer, input_tokens, output_tokens in cursor.fetchall():
                        found[key] = Stored(answer, input_tokens, output_tokens)
            finally:
                cursor.close()
        return found

    def get(self, key: str) -> Stored | None:
        return self.get_many([key]).get(key)

    async def lookup(self, key: str) -> Stored | None:
        """``get`` for a coroutine: the lookups that one turn of the event loop asks for go as one query."""
        loop = asyncio.get_running_loop()
        answer = loop.create_future()  # one per waiter: a waiter cancelled leaves the others waiting
        with self._lock:
            batch = self._lookups.get(loop)
            if batch is None:
                batch = self._lookups[loop] = []
                loop.call_soon(self._look_up_batch, loop)
            batch.append((key, answer))
        return await answer

    def _look_up_batch(self, loop: asyncio.AbstractEventLoop) -> None:
        with self._lock:
            batch = self._lookups.pop(loop)
        try:
            found = self.get_many([key for key, _ in batch])
        except Exception as problem:  # every post waiting on it fails with it
            for _, answer in batch:
                if not answer.done():
                    answer.set_exception(problem)
            return
        for key, answer in batch:
            if not answer.done():
                answer.set_result(found.get(key))

    def put(self, key: str, *, kind: str, endpoint: str | None, model: str | None, answer: str,
            input_tokens: int | None = None, output_tokens: int | None = None) -> None:
        """Keep one answer: written by the writer thread within a moment, a few at a time."""
        if self.replay:
            return
        stored = Stored(answer, input_tokens, output_tokens)
        with self._lock:
            if self._closed:
                raise RuntimeError("the call cache is closed")
            self._pending.append((key, kind, endpoint, model, answer, input_tokens, output_tokens, _now()))
            self._pending_keys[key] = stored
            if self._writer is None:
                self._writer = threading.Thread(target=self._write_loop, name="zlg-call-cache-writer", daemon=True)
                self._writer.start()
            if len(self._pending) >= _BATCH:
                self._wake.notify()

    def _write_loop(self) -> None:
        while True:
            with self._lock:
                if not self._pending and not self._closed:
                    self._wake.wait(_FLUSH_SECONDS)
                batch, self._pending = self._pending, []
                closing = self._closed
            if batch:
                try:
                    self._write(batch)
                except BaseException as problem:  # kept for close() to report
                    self._write_error = problem
                with self._lock:  # written: looked up in the table from now on (a key is put once per run)
                    for row in batch:
                        self._pending_keys.pop(row[0], None)
            if closing:
                with self._lock:
                    if not self._pending:
                        return

    def _write(self, batch: list[tuple]) -> None:
        from zentra_lumara_gov.store import schema

        table = schema.call_cache
        names = ("key", "kind", "endpoint", "model", "answer", "input_tokens", "output_tokens", "created_at")
        rows = [dict(zip(names, row)) for row in batch]
        with self.store._engine.connect() as connection:
            connection = connection.execution_options(chain_append=True)
            with connection.begin():
                if self.store.dialect == "postgresql":
                    from sqlalchemy.dialects.postgresql import insert
                else:
                    from sqlalchemy.dialects.sqlite import insert
                # Two processes may store one answer (a shared store): the first one kept stays.
                connection.execute(insert(table).on_conflict_do_nothing(index_elements=["key"]), rows)

    def flush(self) -> None:
        """Write every answer received so far, now."""
        with self._lock:
            batch, self._pending = self._pending, []
        if batch:
            self._write(batch)
            with self._lock:
                for row in batch:
                    self._pending_keys.pop(row[0], None)

    def close(self) -> None:
        """Write the last answers, apply the bounds and release the store when it was opened here."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._wake.notify()
            writer = self._writer
        try:
            if writer is not None:
                writer.join()
            self.flush()
            if not self.replay:
                prune(self.store, max_age=self.max_age, max_entries=self.max_entries)
        finally:
            if self._owns_store:
                self.store.close()
        if self._write_error is not None:
            raise RuntimeError(f"answers could not be kept in the call cache: {self._write_error}") \
                from self._write_error

    def __enter__(self) -> CallCache:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @contextlib.contextmanager
    def activated(self) -> Iterator[CallCache]:
        """This cache answers the calls made in the block (and in what it starts with a copy of its context)."""
        from zentra_lumara_gov.cache import _boundary

        _boundary.acquire()
        token = active_cache.set(self)
        try:
            yield self
        finally:
            active_cache.reset(token)
            _boundary.release()


def _now() -> str:
    return _iso(_dt.datetime.now(_dt.timezone.utc))


def _iso(moment: _dt.datetime) -> str:
    return moment.astimezone(_dt.timezone.utc).isoformat(timespec="microseconds")


def prune(store: Any, *, max_age: float | None = None, max_entries: int | None = None) -> int:
    """Remove answers older than ``max_age`` seconds and the oldest beyond ``max_entries``; how many went."""
    from sqlalchemy import delete, func, select

    from zentra_lumara_gov.store import schema

    table = schema.call_cache
    removed = 0
    with store._engine.connect() as connection:
        connection = connection.execution_options(chain_append=True)
        with connection.begin():
            if max_age is not None:
                cutoff = _iso(_dt.datetime.now(_dt.timezone.utc) - _dt.timedelta(seconds=max_age))
                removed += connection.execute(delete(table).where(table.c.created_at < cutoff)).rowcount
            if max_entries is not None:
                total = connection.execute(select(func.count()).select_from(table)).scalar_one()
                if total > max_entries:
                    oldest = select(table.c.key).order_by(table.c.created_at, table.c.key).limit(total - max_entries)
                    doomed = [row.key for row in connection.execute(oldest)]
                    for start in range(0, len(doomed), 500):
                        removed += connection.execute(
                            delete(table).where(table.c.key.in_(doomed[start:start + 500]))).rowcount
    return removed


def stats(store: Any) -> dict[str, Any]:
    """The cache's content: answers per kind, their size, the oldest and newest, and judge tokens kept."""
    from sqlalchemy import func, select

    from zentra_lumara_gov.store import schema

    table = schema.call_cache
    with store._engine.connect() as connection, connection.begin():
        rows = connection.execute(
            select(table.c.kind, func.count(), func.sum(func.length(table.c.answer)), func.min(table.c.created_at),
                   func.max(table.c.created_at), func.sum(table.c.input_tokens), func.sum(table.c.output_tokens))
            .group_by(table.c.kind).order_by(table.c.kind)).all()
    kinds = {row[0]: {"entries": int(row[1]), "answer_chars": int(row[2] or 0), "oldest": row[3], "newest": row[4],
                      "input_tokens": int(row[5] or 0), "output_tokens": int(row[6] or 0)} for row in rows}
    return {"entries": sum(kind["entries"] for kind in kinds.values()), "kinds": kinds}


def clear(store: Any, *, older_than: float | None = None) -> int:
    """Remove every cached answer (or those older than ``older_than`` seconds); how many went."""
    from sqlalchemy import delete

    from zentra_lumara_gov.store import schema

    if older_than is not None:
        return prune(store, max_age=older_than)
    with store._engine.connect() as connection:
        connection = connection.execution_options(chain_append=True)
        with connection.begin():
            return connection.execute(delete(schema.call_cache)).rowcount


def resolve_setting(cache: Any, store: Any) -> str | None:
    """The cache mode a run uses: None (off), "readwrite" or "replay" (``cache`` as the caller gave it)."""
    if cache is None:
        return "readwrite" if store is not None else None
    if cache is False:
        return None
    if cache is True:
        if store is None:
            raise ValueError("cache=True keeps answers in the run store: give store= as well")
        return "readwrite"
    if isinstance(cache, str) and cache in CACHE_MODES:
        if store is None:
            raise ValueError(f"cache={cache!r} reads the run store: give store= as well")
        return cache
    raise TypeError(f"cache must be True, False, None or one of {CACHE_MODES}, not {cache!r}")


def env_bound(name: str) -> float | None:
    value = os.environ.get(name)
    return None if not value else float(value)


__all__ = ["CACHE_MODES", "CacheMissError", "CallCache", "CallTally", "call_key", "clear", "metric_identity",
           "prune", "stats"]
