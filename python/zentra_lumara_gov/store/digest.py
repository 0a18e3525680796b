"""Tamper evidence: each run's digest, chained to the run stored before it.

A run's canonical serialisation is a sequence of UTF-8 lines, each ending
with a newline ("\\n"):

1. ``run `` followed by the JSON array of the run's row values, in the column
   order ``schema.RUN_HASHED_COLUMNS``;
2. ``record `` and a JSON array in the order ``schema.RECORD_COLUMNS``, one
   line per row of ``records``, by ``position``;
3. ``metric `` and a JSON array in the order ``schema.AGGREGATE_COLUMNS``, one
   line per row of ``metric_aggregates``, by ``position``;
4. ``result `` and a JSON array in the order ``schema.RECORD_RESULT_COLUMNS``,
   one line per row of ``record_results``, by ``metric_position`` then
   ``position``.

JSON arrays are written as Python's ``json.dumps(values, separators=(",", ":"),
ensure_ascii=False)`` writes them: texts as JSON strings, integers as
integers, floats in their shortest round-trip form (``0.1``, ``1.0``), NULL
as ``null``.

``content_hash`` is the SHA-256 (hex) of those lines. The run's digest is the
SHA-256 (hex) of the text ``"zentra-run-chain/1\\n" + previous_digest + "\\n" +
content_hash + "\\n"``, where ``previous_digest`` is the digest of the run
stored just before it (64 zeros for the first run). Changing any stored
value changes the run's content hash; removing or reordering runs breaks the
link from the next run to its predecessor.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Iterable, Sequence
from typing import Any

GENESIS = "0" * 64
CHAIN_PREFIX = "zentra-run-chain/1\n"

_dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode


class ContentHasher:
    """Accumulates a run's canonical lines: its row, then records, aggregates and record results."""

    def __init__(self) -> None:
        self._sha = hashlib.sha256()

    def _lines(self, kind: str, rows: Iterable[Sequence[Any]]) -> None:
        update = self._sha.update
        prefix = kind + " "
        for row in rows:
            update((prefix + _dumps(list(row)) + "\n").encode("utf-8"))

    def run(self, row: Sequence[Any]) -> None:
        self._lines("run", (row,))

    def records(self, rows: Iterable[Sequence[Any]]) -> None:
        self._lines("record", rows)

    def aggregates(self, rows: Iterable[Sequence[Any]]) -> None:
        self._lines("metric", rows)

    def results(self, rows: Iterable[Sequence[Any]]) -> None:
        self._lines("result", rows)

    def hexdigest(self) -> str:
        return self._sha.hexdigest()


def chained(previous_digest: str, content_hash: str) -> str:
    """The digest of a run whose content hashes to ``content_hash``, stored after ``previous_digest``."""
    return hashlib.sha256(f"{CHAIN_PREFIX}{previous_digest}\n{content_hash}\n".encode()).hexdigest()
