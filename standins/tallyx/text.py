"""The text measures behind the catalog metrics and the loopback judge.

Every measure works on *content words*: the text lower-cased, split into runs
of letters and digits, without the small stop-word list below. They are
deterministic, need no model and read the way their names suggest:

* ``cosine(a, b)``: cosine of the two texts' word-count vectors, in [0, 1]
  (1.0 for the same words in the same proportions, 0.0 for no shared word).
* ``bigram_cosine(a, b)``: the same over words and adjacent word pairs, so
  word order counts too.
* ``recall(reference, candidate)``: the share of the reference's distinct
  words found in the candidate, in [0, 1].
* ``coverage(claim, evidence)``: the share of the claim's distinct words found
  in the evidence, in [0, 1] (``recall`` with the roles turned round).

A text without content words scores 0.0 against anything (1.0 when both
sides are empty for cosine measures would reward empty answers).
"""

from __future__ import annotations

import math
import re
from collections import Counter
from collections.abc import Iterable

STOP_WORDS = frozenset(
    """a an and are as at be by did do does for from had has have he her his how i in is it its
    of on or she that the their them they this to was were what when where which who whom why
    will with you your""".split()
)

_WORD = re.compile(r"[^\W_]+", re.UNICODE)


def words(text: str) -> list[str]:
    """The content words of ``text``, in order."""
    return [w for w in _WORD.findall(str(text).lower()) if w not in STOP_WORDS]


def _cosine(left: Counter, right: Counter) -> float:
    if not left or not right:
        return 0.0
    dot = sum(count * right.get(word, 0) for word, count in left.items())
    norm = math.sqrt(sum(c * c for c in left.values())) * math.sqrt(sum(c * c for c in right.values()))
    return dot / norm


def cosine(a: str, b: str) -> float:
    """Cosine of the word-count vectors of ``a`` and ``b``."""
    return _cosine(Counter(words(a)), Counter(words(b)))


def _with_bigrams(text: str) -> Counter:
    ws = words(text)
    return Counter(ws) + Counter(zip(ws, ws[1:]))


def bigram_cosine(a: str, b: str) -> float:
    """Cosine over words and adjacent word pairs."""
    return _cosine(_with_bigrams(a), _with_bigrams(b))


def recall(reference: str, candidate: str) -> float:
    """Share of the reference's distinct words that the candidate contains."""
    ref = set(words(reference))
    if not ref:
        return 0.0
    return len(ref & set(words(candidate))) / len(ref)


def coverage(claim: str, evidence: str) -> float:
    """Share of the claim's distinct words that the evidence contains."""
    return recall(claim, evidence)


def joined(value) -> str:
    """One text from a text or a list of texts (joined by new lines)."""
    if isinstance(value, str):
        return value
    if isinstance(value, Iterable):
        return "\n".join(str(v) for v in value)
    return str(value)
