"""How the loopback judge answers.

The text of all messages of a request is read as one prompt.

1. The judged text is everything between ``<claim>`` and ``</claim>``, the
   evidence everything between ``<evidence>`` and ``</evidence>`` (several
   sections of either kind are joined). The *overlap* is the share of the
   claim's distinct content words found in the evidence
   (``tallyx.text.coverage``), a number from 0 to 1; without a claim
   section it is 0.
2. The reply follows the prompt's last instruction of these forms:
   * "Reply with a number from LO to HI": the whole number
     ``LO + round(overlap * (HI - LO))``, e.g. "7";
   * "Reply with one of: A, B, C." (options from best to worst): the option
     at position ``round((1 - overlap) * (count - 1))``; so with "yes,
     partially, no", an overlap of 0.75 or more gives "yes", below 0.25 "no";
   * no instruction: the overlap with four decimals, e.g. "0.6667".

The same prompt always gets the same reply.
"""

from __future__ import annotations

import re

from tallyx.text import coverage

_SECTION = {name: re.compile(rf"<{name}>(.*?)</{name}>", re.DOTALL | re.IGNORECASE) for name in ("claim", "evidence")}
_NUMERIC = re.compile(r"reply with a number from\s+(-?\d+)\s+to\s+(-?\d+)", re.IGNORECASE)
_CHOICE = re.compile(r"reply with one of:\s*([^\n]+?)\.?\s*$", re.IGNORECASE | re.MULTILINE)


def prompt_text(messages: list[dict]) -> str:
    return "\n".join(str(message.get("content", "")) for message in messages)


def overlap(prompt: str) -> float:
    """The share of the claim's words found in the evidence."""
    claims = _SECTION["claim"].findall(prompt)
    if not claims:
        return 0.0
    evidence = "\n".join(_SECTION["evidence"].findall(prompt))
    return coverage("\n".join(claims), evidence)


def judge_reply(messages: list[dict]) -> str:
    prompt = prompt_text(messages)
    score = overlap(prompt)
    instructions = []
    for match in _NUMERIC.finditer(prompt):
        instructions.append((match.start(), "numeric", match))
    for match in _CHOICE.finditer(prompt):
        instructions.append((match.start(), "choice", match))
    if not instructions:
        return f"{score:.4f}"
    _, kind, match = max(instructions, key=lambda item: item[0])
    if kind == "numeric":
        low, high = int(match.group(1)), int(match.group(2))
        return str(low + round(score * (high - low)))
    options = [option.strip() for option in match.group(1).split(",") if option.strip()]
    if not options:
        return f"{score:.4f}"
    return options[round((1.0 - score) * (len(options) - 1))]
