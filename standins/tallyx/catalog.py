"""The catalog: artifacts by identifier.

Contents:

* metrics "metrics.rag_eval.<name>.<method>" for the names "faithfulness",
  "answer_relevance", "context_relevance", "answer_correctness" and the
  methods "sentence_bert_mini_lm", "sentence_bert_bge", "bert_score_recall"
  (``tallyx.metrics``);
* judge tasks "tasks.rag_eval.<name>.binary" (``tallyx.llm_as_judge.Task``);
* judge templates "templates.rag_eval.<name>.<template>_verbal" and
  "..._numeric" (``tallyx.llm_as_judge.JudgeTemplate``).

``add_to_catalog`` registers further artifacts (a metric of one's own).
"""

from __future__ import annotations

import threading

METRIC_PREFIX = "metrics.rag_eval"


class UnknownArtifactError(LookupError):
    """An identifier the catalog does not hold."""


_catalog: dict[str, object] = {}
_lock = threading.Lock()


def add_to_catalog(artifact, identifier: str, overwrite: bool = False) -> None:
    if not isinstance(identifier, str) or not identifier:
        raise TypeError("a catalog identifier must be a non-empty text")
    with _lock:
        if identifier in _catalog and not overwrite:
            raise ValueError(f"Artifact '{identifier}' is already in the catalog")
        _catalog[identifier] = artifact


def remove_from_catalog(identifier: str) -> None:
    with _lock:
        _catalog.pop(identifier, None)


def get_from_catalog(identifier: str):
    try:
        return _catalog[identifier]
    except KeyError:
        raise UnknownArtifactError(f"Artifact '{identifier}' does not exist in the catalog") from None
    except TypeError:
        raise TypeError(f"a catalog identifier must be a text, got {type(identifier).__name__}") from None


def identifiers(prefix: str = "") -> list[str]:
    with _lock:
        return sorted(i for i in _catalog if i.startswith(prefix))


def _register_builtins() -> None:
    from tallyx.llm_as_judge import JUDGE_TASKS, JUDGE_TEMPLATES
    from tallyx.metrics import METHODS, SIDES, SimilarityMetric

    for name in SIDES:
        for method in METHODS:
            identifier = f"{METRIC_PREFIX}.{name}.{method}"
            _catalog[identifier] = SimilarityMetric(identifier, name, method)
    _catalog.update(JUDGE_TASKS)
    _catalog.update(JUDGE_TEMPLATES)


_register_builtins()
