"""Criteria judges: a model reads each record and picks one option of a criteria.

Criteria mode, ``DirectJudge.evaluate(instances=..., criteria=...)``:

1. Every instance must hold the criteria's ``to_evaluate_field`` and its
   ``context_fields`` (else ``ValueError`` naming the instance and field).
2. Per instance, up to three requests go to the engine, each step as one
   batch (``engine.infer``), in instance order:

   * the *assessment*: the criteria, the context between ``<evidence>`` and
     ``</evidence>``, the judged text between ``<claim>`` and ``</claim>``,
     and the request to assess it; the reply is the result's
     ``explanation``;
   * the *option selection*: the same text, the assessment, the options
     with their descriptions, and the last line "Reply with one of: A, B, C."
     (option names in criteria order); the reply, parsed, is the
     ``selected_option``;
   * with ``generate_feedback``, the *feedback*: the same text, the
     assessment and the selected option, asking how the text could meet the
     criteria better; the reply is the ``feedback`` (None without the step).

3. Parsing the selection reply: an option name that equals the stripped
   reply, or the reply's last line, or the text after "Selected option:",
   wins (exact first, then ignoring case); otherwise the stripped reply
   itself is the selected option, so callers see what the model said.

Custom-prompt mode, ``DirectJudge.evaluate_with_custom_prompt(judge_prompts=...,
valid_outputs=...)``: the caller's prompt is the assessment; the selection
prompt repeats it with the assessment and the reply instruction over
``valid_outputs``; feedback as above.

Each result is a ``DirectInstanceResult`` whose ``metadata`` holds "prompt"
and "unparsed_response" (the selection request and its raw reply), and the
assessment's "assessment_prompt" and "assessment".

Every request carries ``{"data_classification_policy": ["public"]}`` as its
metadata, which engines configured with a policy check.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Mapping, Sequence
from typing import Any

DATA_CLASSIFICATION_POLICY = ["public"]
ASSESSMENT_REQUEST = "Assess how well the text meets the criteria and explain your reasoning in a few sentences."
FEEDBACK_REQUEST = "Suggest briefly how the text could meet the criteria better."
_SELECTED = re.compile(r"selected option\s*:\s*(.+)", re.IGNORECASE)


@dataclasses.dataclass
class CriteriaOption:
    """One answer of a criteria: its name, when to choose it, its score."""

    name: str
    description: str = ""
    score: float | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name.strip():
            raise ValueError(f"a criteria option needs a non-empty name, got {self.name!r}")
        if not isinstance(self.description, str):
            raise TypeError(f"the description of option {self.name!r} must be a text, got {type(self.description).__name__}")


@dataclasses.dataclass
class Criteria:
    """What the judge checks: a description, the options to choose from, the
    record field to judge and the record fields shown as context."""

    name: str
    description: str
    options: list[CriteriaOption]
    to_evaluate_field: str | None = None
    context_fields: list[str] = dataclasses.field(default_factory=list)

    def __post_init__(self) -> None:
        if not isinstance(self.description, str) or not self.description.strip():
            raise ValueError(f"criteria {self.name!r} needs a non-empty description")
        self.options = list(self.options)
        if not self.options:
            raise ValueError(f"criteria {self.name!r} needs at least one option")
        for option in self.options:
            if not isinstance(option, CriteriaOption):
                raise TypeError(f"criteria options must be CriteriaOption, got {type(option).__name__}")
        names = [option.name for option in self.options]
        duplicates = sorted({name for name in names if names.count(name) > 1})
        if duplicates:
            raise ValueError(f"criteria {self.name!r} has duplicate option names: {duplicates}")
        self.context_fields = list(self.context_fields or [])

    @property
    def option_names(self) -> list[str]:
        return [option.name for option in self.options]


@dataclasses.dataclass
class Instance:
    """One record to judge: field name to value."""

    fields: dict[str, Any]

    def __post_init__(self) -> None:
        if not isinstance(self.fields, Mapping):
            raise TypeError(f"instance fields must be a mapping, got {type(self.fields).__name__}")
        self.fields = dict(self.fields)


@dataclasses.dataclass
class DirectInstanceResult:
    """The judge's verdict on one instance."""

    selected_option: str
    explanation: str
    feedback: str | None
    metadata: dict[str, Any]
    score: float | None = None
    instance: Instance | None = None
    criteria: Criteria | None = None


def as_text(value: Any) -> str:
    """A field value as prompt text: lists one item a line, None as empty."""
    if value is None:
        return ""
    if isinstance(value, (list, tuple)):
        return "\n".join(as_text(item) for item in value)
    return str(value)


def reply_instruction(names: Sequence[str]) -> str:
    return "Reply with one of: " + ", ".join(names) + "."


def parse_selection(reply: str, names: Sequence[str]) -> str:
    """The option a reply names (see the module text), or the stripped reply."""
    text = str(reply).strip()
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    candidates = [text]
    if lines:
        candidates.append(lines[-1])
    selected = _SELECTED.search(text)
    if selected:
        candidates.append(selected.group(1).strip())
    candidates = [candidate.strip().strip("\"'").rstrip(".").strip() for candidate in candidates]
    for candidate in candidates:
        if candidate in names:
            return candidate
    lowered = {name.lower(): name for name in names}
    for candidate in candidates:
        if candidate.lower() in lowered:
            return lowered[candidate.lower()]
    return text


class DirectJudge:
    """Judges instances against a criteria with one inference engine."""

    def __init__(self, inference_engine: Any, generate_feedback: bool = False):
        if not callable(getattr(inference_engine, "infer", None)):
            raise TypeError(f"the inference engine must offer infer(dataset), got {type(inference_engine).__name__}")
        self.inference_engine = inference_engine
        self.generate_feedback = bool(generate_feedback)

    # -- criteria mode --------------------------------------------------------
    def evaluate(self, instances: Sequence[Instance], criteria: Criteria | Sequence[Criteria]) -> list[DirectInstanceResult]:
        instances = list(instances)
        if isinstance(criteria, Criteria):
            criterias = [criteria] * len(instances)
        else:
            criterias = list(criteria)
            if len(criterias) != len(instances):
                raise ValueError(f"{len(criterias)} criteria given for {len(instances)} instances")
        bases = [self._describe(index, instance, each) for index, (instance, each) in enumerate(zip(instances, criterias))]
        names = [each.option_names for each in criterias]
        results = self._judge(bases, names)
        for result, instance, each in zip(results, instances, criterias):
            result.instance = instance
            result.criteria = each
            result.score = next((option.score for option in each.options if option.name == result.selected_option), None)
        return results

    @staticmethod
    def _describe(index: int, instance: Instance, criteria: Criteria) -> str:
        if not isinstance(instance, Instance):
            raise TypeError(f"instance {index} must be an Instance, got {type(instance).__name__}")
        if criteria.to_evaluate_field is None:
            raise ValueError(f"criteria {criteria.name!r} names no field to evaluate")
        for field in [criteria.to_evaluate_field, *criteria.context_fields]:
            if field not in instance.fields:
                raise ValueError(f"instance {index} has no field {field!r}")
        lines = [f"Criteria {criteria.name!r}: {criteria.description}"]
        if criteria.context_fields:
            lines.append("Context:")
            evidence = "\n".join(f"{field}: {as_text(instance.fields[field])}" for field in criteria.context_fields)
            lines.append(f"<evidence>\n{evidence}\n</evidence>")
        lines.append(f"Text to evaluate ({criteria.to_evaluate_field}):")
        lines.append(f"<claim>\n{as_text(instance.fields[criteria.to_evaluate_field])}\n</claim>")
        lines.append("Options:")
        lines.extend(f"- {option.name}: {option.description}" if option.description else f"- {option.name}" for option in criteria.options)
        return "\n".join(lines)

    # -- custom-prompt mode ----------------------------------------------------
    def evaluate_with_custom_prompt(self, judge_prompts: Sequence[str], valid_outputs: Sequence[str]) -> list[DirectInstanceResult]:
        prompts = list(judge_prompts)
        for index, prompt in enumerate(prompts):
            if not isinstance(prompt, str):
                raise TypeError(f"judge prompt {index} must be a text, got {type(prompt).__name__}")
        names = [str(name) for name in valid_outputs]
        if not names:
            raise ValueError("valid_outputs must name at least one answer")
        return self._judge(prompts, [names] * len(prompts), assessment_request=None)

    # -- the requests -----------------------------------------------------------
    def _ask(self, prompts: list[str]) -> list[str]:
        if not prompts:
            return []
        metadata = {"data_classification_policy": list(DATA_CLASSIFICATION_POLICY)}
        replies = self.inference_engine.infer([{"source": prompt, "metadata": dict(metadata)} for prompt in prompts])
        replies = list(replies)
        if len(replies) != len(prompts):
            raise RuntimeError(f"the inference engine answered {len(replies)} of {len(prompts)} prompts")
        return [str(reply) for reply in replies]

    def _judge(self, bases: list[str], names: list[list[str]], assessment_request: str | None = ASSESSMENT_REQUEST) -> list[DirectInstanceResult]:
        assessment_prompts = [base if assessment_request is None else f"{base}\n{assessment_request}" for base in bases]
        assessments = [reply.strip() for reply in self._ask(assessment_prompts)]
        selection_prompts = [
            f"{base}\nAssessment: {assessment}\n{reply_instruction(options)}"
            for base, assessment, options in zip(bases, assessments, names)
        ]
        replies = self._ask(selection_prompts)
        selected = [parse_selection(reply, options) for reply, options in zip(replies, names)]
        feedbacks: list[str | None] = [None] * len(bases)
        if self.generate_feedback:
            feedback_prompts = [
                f"{base}\nAssessment: {assessment}\nSelected option: {option}\n{FEEDBACK_REQUEST}"
                for base, assessment, option in zip(bases, assessments, selected)
            ]
            feedbacks = [reply.strip() for reply in self._ask(feedback_prompts)]
        return [
            DirectInstanceResult(
                selected_option=option,
                explanation=assessment,
                feedback=feedback,
                metadata={
                    "prompt": prompt,
                    "unparsed_response": reply,
                    "assessment_prompt": assessment_prompt,
                    "assessment": assessment,
                },
            )
            for option, assessment, feedback, prompt, reply, assessment_prompt in zip(
                selected, assessments, feedbacks, selection_prompts, replies, assessment_prompts
            )
        ]
