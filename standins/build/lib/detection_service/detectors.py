"""Deterministic detectors of the local detection service.

Every detector is a plain function of the request's content and the detector's
parameters and returns a list of detection mappings. Nothing here is random or
learned: PII comes from patterns, HAP and guardian risks from small lexicons,
relevance and faithfulness from lexical overlap, tool-call accuracy from
checking the calls against the tool catalogue. A bad parameter raises
``DetectorError``, which the web application turns into a 400 answer.
"""

from __future__ import annotations

import re
from typing import Any


class DetectorError(ValueError):
    """A request the detectors cannot work on (answered with status 400)."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


def _score(value: float) -> float:
    return round(float(value), 4)


def _threshold(params: dict) -> float:
    threshold = params.get("threshold", 0.0)
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
        raise DetectorError("invalid_parameter", "threshold must be a number")
    return float(threshold)


def _span(text: str, start: int, end: int, kind: str, detection: str, score: float) -> dict:
    return {
        "start": start,
        "end": end,
        "text": text[start:end],
        "detection_type": kind,
        "detection": detection,
        "score": _score(score),
    }


# --- words -------------------------------------------------------------------

_WORD = re.compile(r"[a-z0-9]+")
_STOPWORDS = frozenset(
    """a an the is are was were be been being am of in on at to for from by with
    and or but not no do does did what which who whom whose how when where why
    this that these those it its as into than then there here me my i you your
    he she they them his her their we our us can could would should will shall
    has have had about known""".split()
)


def content_words(text: str) -> list[str]:
    """Lower-cased words of ``text`` without stop words, in order."""
    return [word for word in _WORD.findall(text.lower()) if word not in _STOPWORDS]


def _stem(word: str) -> str:
    # Just enough stemming that "legs" meets "leg" and "boils" meets "boil".
    for suffix in ("ing", "es", "s"):
        if len(word) > len(suffix) + 2 and word.endswith(suffix):
            return word[: -len(suffix)]
    return word


def _stems(text: str) -> set[str]:
    return {_stem(word) for word in content_words(text)}


def overlap(needles: str, haystack: str) -> float:
    """The share of the content words of ``needles`` found in ``haystack``."""
    wanted = _stems(needles)
    if not wanted:
        return 0.0
    return len(wanted & _stems(haystack)) / len(wanted)


# --- personal information ------------------------------------------------------

def _luhn(digits: str) -> bool:
    total = 0
    for index, char in enumerate(reversed(digits)):
        number = int(char)
        if index % 2:
            number *= 2
            if number > 9:
                number -= 9
        total += number
    return total % 10 == 0


# (entity, pattern, score, extra check); earlier entities win overlapping spans.
_PII_PATTERNS = [
    ("EmailAddress", re.compile(r"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}"), 0.9, None),
    ("SocialSecurityNumber", re.compile(r"\b\d{3}-\d{2}-\d{4}\b"), 0.95, None),
    (
        "CreditCardNumber",
        re.compile(r"\b(?:\d{4}[ -]?){3}\d{4}\b"),
        0.85,
        lambda match: _luhn(re.sub(r"\D", "", match)),
    ),
    ("PhoneNumber", re.compile(r"(?<!\d)(?:\+1[ .-]?)?\(?\d{3}\)?[ .-]\d{3}[ .-]\d{4}\b"), 0.8, None),
    ("IPAddress", re.compile(r"\b(?:(?:25[0-5]|2[0-4]\d|1?\d?\d)\.){3}(?:25[0-5]|2[0-4]\d|1?\d?\d)\b"), 0.7, None),
]


def detect_pii(text: str, params: dict) -> list[dict]:
    threshold = _threshold(params)
    taken: list[tuple[int, int]] = []
    found = []
    for entity, pattern, score, check in _PII_PATTERNS:
        for match in pattern.finditer(text):
            start, end = match.span()
            if check is not None and not check(match.group()):
                continue
            if any(start < other_end and other_start < end for other_start, other_end in taken):
                continue
            taken.append((start, end))
            if score >= threshold:
                found.append(_span(text, start, end, "pii", entity, score))
    return sorted(found, key=lambda detection: detection["start"])


# --- lexicons --------------------------------------------------------------------

HAP_LEXICON = {
    "idiot": 0.92,
    "moron": 0.9,
    "kill you": 0.88,
    "stupid": 0.85,
    "dumb": 0.8,
    "loser": 0.75,
    "hate you": 0.72,
    "shut up": 0.65,
    "trash": 0.6,
}

RISK_LEXICONS = {
    "harm": {**HAP_LEXICON, "hurt": 0.8, "weapon": 0.78, "attack": 0.74},
    "violence": {"kill": 0.9, "shoot": 0.88, "stab": 0.88, "attack": 0.8, "beat up": 0.76},
    "profanity": {"damn": 0.7, "hell": 0.6, "crap": 0.65},
    "social_bias": {"all women": 0.8, "all men": 0.8, "those people": 0.75, "inferior": 0.85},
    "jailbreak": {
        "ignore previous instructions": 0.95,
        "ignore all previous instructions": 0.97,
        "developer mode": 0.9,
        "pretend you are": 0.8,
        "no restrictions": 0.85,
    },
    "unethical_behavior": {"cheat": 0.8, "steal": 0.85, "bribe": 0.85, "forge": 0.75},
    "sexual_content": {"explicit": 0.7, "nude": 0.85},
    "evasiveness": {"i cannot answer": 0.8, "i won't say": 0.75, "no comment": 0.7},
}


def _lexicon_matches(text: str, lexicon: dict[str, float]) -> list[tuple[int, int, float]]:
    lowered = text.lower()
    matches = []
    for phrase, score in lexicon.items():
        for match in re.finditer(r"\b" + re.escape(phrase) + r"\b", lowered):
            matches.append((match.start(), match.end(), score))
    return sorted(matches)


def detect_hap(text: str, params: dict) -> list[dict]:
    threshold = _threshold(params)
    return [
        _span(text, start, end, "hap", "has_HAP", score)
        for start, end, score in _lexicon_matches(text, HAP_LEXICON)
        if score >= threshold
    ]


def _string_list(params: dict, key: str) -> list[str]:
    values = params.get(key)
    if not isinstance(values, list) or not values or not all(isinstance(v, str) and v for v in values):
        raise DetectorError("invalid_parameter", f"{key} must be a non-empty list of non-empty texts")
    return values


def detect_keywords(text: str, params: dict) -> list[dict]:
    found = []
    for keyword in _string_list(params, "keywords"):
        pattern = re.compile(r"(?<!\w)" + re.escape(keyword) + r"(?!\w)", re.IGNORECASE)
        for match in pattern.finditer(text):
            found.append(_span(text, match.start(), match.end(), "keyword", "keyword", 1.0))
    return sorted(found, key=lambda detection: (detection["start"], detection["end"]))


def detect_regex(text: str, params: dict) -> list[dict]:
    found = []
    for expression in _string_list(params, "regex"):
        try:
            pattern = re.compile(expression)
        except re.error as error:
            raise DetectorError("invalid_parameter", f"invalid regular expression {expression!r}: {error}") from None
        for match in pattern.finditer(text):
            if match.end() > match.start():
                found.append(_span(text, match.start(), match.end(), "regex", "regex", 1.0))
    return sorted(found, key=lambda detection: (detection["start"], detection["end"]))


def detect_risk(text: str, params: dict, default_risk: str = "harm") -> list[dict]:
    """The guardian detector on a text: one detection when the risk is present."""
    risk = params.get("risk_name", default_risk)
    if risk not in RISK_LEXICONS:
        raise DetectorError("invalid_parameter", f"unknown risk_name {risk!r} for this endpoint")
    threshold = _threshold(params)
    matches = _lexicon_matches(text, RISK_LEXICONS[risk])
    if not matches:
        return []
    score = max(score for _, _, score in matches)
    if score < threshold:
        return []
    return [_span(text, 0, len(text), "risk", risk, score)]


def detect_topic_relevance(text: str, params: dict) -> list[dict]:
    """Off-topic score: the share of the input's words the system prompt lacks."""
    system_prompt = params.get("system_prompt")
    if not isinstance(system_prompt, str) or not system_prompt.strip():
        raise DetectorError("invalid_parameter", "system_prompt must be a non-empty text")
    off_topic = 1.0 - overlap(text, system_prompt)
    if off_topic <= 0.0:
        return []
    return [_span(text, 0, len(text), "topic_relevance", "off_topic", off_topic)]


TEXT_DETECTORS = {
    "pii": detect_pii,
    "hap": detect_hap,
    "keyword": detect_keywords,
    "regex": detect_regex,
    "topic_relevance": detect_topic_relevance,
    "basalt_guardian": detect_risk,
}


# --- generated text and context ----------------------------------------------------

def detect_answer_relevance(prompt: str, generated_text: str, params: dict) -> list[dict]:
    """Relevance of the answer: the share of the question's words it takes up."""
    risk = params.get("risk_name", "answer_relevance")
    if risk != "answer_relevance":
        raise DetectorError("invalid_parameter", f"unknown risk_name {risk!r} for this endpoint")
    score = overlap(prompt, generated_text)
    return [
        {
            "detection_type": "answer_relevance",
            "detection": "relevant" if score >= 0.5 else "irrelevant",
            "score": _score(score),
        }
    ]


def _evidence(contexts: list[str], scores: list[float]) -> list[dict]:
    ranked = sorted(range(len(contexts)), key=lambda index: (-scores[index], index))
    return [
        {"name": "context_chunk", "index": index, "value": contexts[index], "score": _score(scores[index])}
        for index in ranked
    ]


def detect_context_relevance(text: str, contexts: list[str], params: dict) -> list[dict]:
    """Relevance of the retrieved documents to the question, best document first as evidence."""
    if not contexts:
        return []
    scores = [overlap(text, context) for context in contexts]
    best = max(scores)
    return [
        {
            "detection_type": "context_relevance",
            "detection": "relevant" if best >= 0.5 else "irrelevant",
            "score": _score(best),
            "evidence": _evidence(contexts, scores),
        }
    ]


_SENTENCE_END = re.compile(r"(?<=[.!?])\s+")


def detect_faithfulness(text: str, contexts: list[str], params: dict) -> list[dict]:
    """Faithfulness of a generated text: the share of its words the documents support."""
    if not contexts:
        return []
    # Each sentence must be borne out by one document; the score is their mean.
    sentences = [sentence for sentence in _SENTENCE_END.split(text) if content_words(sentence)]
    if not sentences:
        return []
    score = sum(max(overlap(sentence, context) for context in contexts) for sentence in sentences) / len(sentences)
    per_document = [overlap(text, context) for context in contexts]
    return [
        {
            "detection_type": "faithfulness",
            "detection": "faithful" if score >= 0.5 else "unfaithful",
            "score": _score(score),
            "evidence": _evidence(contexts, per_document),
        }
    ]


CONTEXT_RISKS = {"context_relevance": detect_context_relevance, "groundedness": detect_faithfulness}


def detect_context_risk(text: str, contexts: list[str], params: dict) -> list[dict]:
    risk = params.get("risk_name", "context_relevance")
    if risk not in CONTEXT_RISKS:
        raise DetectorError("invalid_parameter", f"unknown risk_name {risk!r} for this endpoint")
    return CONTEXT_RISKS[risk](text, contexts, params)


CONTEXT_DETECTORS = {
    "context_relevance": detect_context_relevance,
    "faithfulness": detect_faithfulness,
    "basalt_guardian": detect_context_risk,
}


# --- tool calls ----------------------------------------------------------------------

_JSON_TYPES: dict[str, Any] = {
    "string": str,
    "integer": int,
    "number": (int, float),
    "boolean": bool,
    "array": list,
    "object": dict,
    "null": type(None),
}


def _type_matches(value: Any, expected: Any) -> bool:
    if isinstance(expected, list):
        return any(_type_matches(value, one) for one in expected)
    python_type = _JSON_TYPES.get(expected)
    if python_type is None:
        return True  # a type this check does not know is not held against the call
    if isinstance(value, bool) and expected in ("integer", "number"):
        return False
    return isinstance(value, python_type)


def _catalogue(tools: Any) -> dict[str, dict]:
    if not isinstance(tools, list):
        raise DetectorError("invalid_request", "tools must be a list")
    functions = {}
    for tool in tools:
        function = tool.get("function", tool) if isinstance(tool, dict) else None
        if not isinstance(function, dict) or not isinstance(function.get("name"), str):
            raise DetectorError("invalid_request", "every tool must name its function")
        functions[function["name"]] = function
    return functions


def _tool_issue(kind: str, score: float, text: str) -> dict:
    return {"detection_type": "tool_call_accuracy", "detection": kind, "score": score, "text": text}


def detect_tool_call_accuracy(question: str, tool_calls: Any, tools: Any, params: dict) -> list[dict]:
    """One detection per fault of a call: unknown function, bad or missing arguments."""
    functions = _catalogue(tools)
    if not isinstance(tool_calls, list):
        raise DetectorError("invalid_request", "tool_calls must be a list")
    if not tool_calls:
        return [_tool_issue("no_tool_call", 1.0, question)]
    issues = []
    for call in tool_calls:
        function = call.get("function") if isinstance(call, dict) else None
        if not isinstance(function, dict) or not isinstance(function.get("name"), str):
            raise DetectorError("invalid_request", "every tool call must name its function")
        name = function["name"]
        if name not in functions:
            issues.append(_tool_issue("function_not_found", 1.0, name))
            continue
        arguments = function.get("arguments", {})
        if not isinstance(arguments, dict):
            issues.append(_tool_issue("invalid_arguments", 0.95, name))
            continue
        schema = functions[name].get("parameters") or {}
        properties = schema.get("properties") or {}
        for required in schema.get("required") or []:
            if required not in arguments:
                issues.append(_tool_issue("missing_argument", 0.9, f"{name}.{required}"))
        for argument, value in arguments.items():
            if argument not in properties:
                issues.append(_tool_issue("unexpected_argument", 0.6, f"{name}.{argument}"))
            elif "type" in properties[argument] and not _type_matches(value, properties[argument]["type"]):
                issues.append(_tool_issue("wrong_argument_type", 0.7, f"{name}.{argument}"))
    return issues
