"""Tamper evidence: each run's digest, chained to the run stored before it.

A run's canonical serialisation is four UTF-8 lines, each ending with a
newline ("\\n"):

1. ``run `` and the JSON array of the run's row values, in the column order
   ``schema.RUN_HASHED_COLUMNS``;
2. ``records `` and a JSON array holding, for each row of ``records`` by
   ``position``, the array of its values in the order ``schema.RECORD_COLUMNS``;
3. ``metrics `` and the same of ``metric_aggregates`` by ``position``, in the
   order ``schema.AGGREGATE_COLUMNS``;
4. ``results `` and the same of ``record_results`` by ``metric_position`` then
   ``position``, in the order ``schema.RECORD_RESULT_COLUMNS``.

JSON is written as Python's ``json.dumps(value, separators=(",", ":"),
ensure_ascii=False)`` writes it: texts as JSON strings, integers as integers,
floats in their shortest round-trip form (``0.1``, ``1.0``), NULL as
``null``. So, in Python, line 4 is ``"results " + json.dumps([list(row) for
row in rows], separators=(",", ":"), ensure_ascii=False) + "\\n"``.

``content_hash`` is the SHA-256 (hex) of those lines. The run's digest is the
SHA-256 (hex) of the text ``"zentra-run-chain/1\\n" + previous_digest + "\\n" +
content_hash + "\\n"``, where ``previous_digest`` is the digest of the run
stored just before it (64 zeros for the first run). Changing any stored
value changes the run's content hash; removing or reordering runs breaks the
link from the next run to its predecessor.
"""

from __future__ import annotations

import hashlib
import itertools
import json
from collections.abc import Iterable, Sequence
from typing import Any

GENESIS = "0" * 64
CHAIN_PREFIX = "zentra-run-chain/1\n"
_BATCH = 20_000

_dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode


class ContentHasher:
    """Accumulates a run's canonical lines: its row, then its records, aggregates and record results."""

    def __init__(self) -> None:
        self._sha = hashlib.sha256()

    def _array(self, kind: str, rows: Iterable[Sequence[Any]]) -> None:
        # A table's rows go through the JSON encoder a batch at a time: one
        # call per row would cost more than writing the rows to the database.
        update = self._sha.update
        update(f"{kind} [".encode())
        rows = iter(rows)
        first = True
        while batch := list(itertools.islice(rows, _BATCH)):
            if not first:
                update(b",")
            update(_dumps(batch)[1:-1].encode("utf-8"))
            first = False
        update(b"]\n")

    def run(self, row: Sequence[Any]) -> None:
        self._sha.update(("run " + _dumps(list(row)) + "\n").encode("utf-8"))

    def records(self, rows: Iterable[Sequence[Any]]) -> None:
        self._array("records", rows)

    def aggregates(self, rows: Iterable[Sequence[Any]]) -> None:
        self._array("metrics", rows)

    def results(self, rows: Iterable[Sequence[Any]]) -> None:
        self._array("results", rows)

    def hexdigest(self) -> str:
        return self._sha.hexdigest()


def chained(previous_digest: str, content_hash: str) -> str:
    """The digest of a run whose content hashes to ``content_hash``, stored after ``previous_digest``."""
    return hashlib.sha256(f"{CHAIN_PREFIX}{previous_digest}\n{content_hash}\n".encode()).hexdigest()
