"""Judge metrics: a model reads each instance and its answer becomes the score.

``TaskBasedLLMasJudge(inference_model, template, task, main_score,
prediction_field, format=None, infer_log_probs=False,
judge_to_generator_fields_mapping=None)``:

1. ``task`` and ``template`` are catalog identifiers ("tasks.rag_eval.<name>.
   binary", "templates.rag_eval.<name>.<template>_verbal|_numeric"); both are
   fetched when the judge is built, so an unknown one fails at once.
2. For each instance the task's fields are read: the task's predicted field
   from ``instance[prediction_field]``, every other field from
   ``instance[judge_to_generator_fields_mapping.get(field, field)]``.
3. The template renders a system text and a user text; ``format`` (default
   ``tallyx.formats.Format()``) turns them into the engine's ``source``.
4. All prompts of the stream go to ``inference_model.infer`` in one batch,
   with each instance's "metadata" (the engines check the data
   classification policy against it).
5. The answer is parsed: a verbal template maps the first word of the answer
   ("yes" 1.0, "partially" 0.5, "no" 0.0); a numeric template takes the first
   number, clamped to 0..10, divided by 10. An answer that cannot be parsed
   scores NaN (and is logged as a warning).

Scores land at ``instance["score"]["instance"]`` as for catalog metrics,
with the judge's raw input and output beside them.

Prompts mark what is judged with ``<claim>...</claim>`` and what it is judged
against with ``<evidence>...</evidence>``, and end with the reply instruction
("Reply with one of: yes, partially, no." or "Reply with a number from 0 to
10."); the loopback judge server of the stand-ins understands exactly this.
"""

from __future__ import annotations

import dataclasses
import math
import re

from tallyx.formats import Format
from tallyx.logging_utils import get_logger
from tallyx.metrics import InstanceMetric
from tallyx.text import joined

VERBAL_OPTIONS = {"yes": 1.0, "partially": 0.5, "no": 0.0}
VERBAL_INSTRUCTION = "Reply with one of: yes, partially, no."
NUMERIC_INSTRUCTION = "Reply with a number from 0 to 10."
_NUMBER = re.compile(r"-?\d+(?:\.\d+)?")
_FIRST_WORD = re.compile(r"[a-z]+")


@dataclasses.dataclass(frozen=True)
class Task:
    """The fields a judge reads, and which of them is the generator's
    prediction (the field named by the judge's ``prediction_field``)."""

    input_fields: tuple[str, ...]
    prediction: str


@dataclasses.dataclass(frozen=True)
class JudgeTemplate:
    """A judge prompt: ``claim`` and ``evidence`` name task fields (the texts
    put between the tags), ``shown`` fields are given for orientation only."""

    question: str
    claim: str
    evidence: tuple[str, ...]
    shown: tuple[str, ...]
    kind: str  # "verbal" or "numeric"

    def render(self, fields: dict) -> tuple[str, str]:
        system = "You are a careful judge of retrieval-augmented answers."
        lines = [f"{name.replace('_', ' ').capitalize()}: {joined(fields[name])}" for name in self.shown]
        evidence = "\n".join(joined(fields[name]) for name in self.evidence)
        lines.append(f"<evidence>\n{evidence}\n</evidence>")
        lines.append(f"<claim>\n{joined(fields[self.claim])}\n</claim>")
        lines.append(self.question)
        lines.append(VERBAL_INSTRUCTION if self.kind == "verbal" else NUMERIC_INSTRUCTION)
        return system, "\n".join(lines)

    def parse(self, answer: str) -> float:
        answer = str(answer).strip().lower()
        if self.kind == "verbal":
            match = _FIRST_WORD.search(answer)
            if match and match.group(0) in VERBAL_OPTIONS:
                return VERBAL_OPTIONS[match.group(0)]
            return math.nan
        match = _NUMBER.search(answer)
        if not match:
            return math.nan
        return min(max(float(match.group(0)), 0.0), 10.0) / 10.0


_JUDGED = {
    # name: (task fields, predicted field, template name, claim, evidence, shown, question)
    "faithfulness": (
        ("question", "contexts", "answer"), "answer", "judge_with_question_simplified",
        "answer", ("contexts",), ("question",),
        "Is every statement of the claim (the answer) supported by the evidence (the contexts)?",
    ),
    "context_relevance": (
        ("question", "contexts"), "contexts", "judge_context_relevance_ares",
        "question", ("contexts",), (),
        "How well can the claim (the question) be answered from the evidence (the retrieved contexts)?",
    ),
    "answer_correctness": (
        ("question", "answer", "ground_truths"), "answer", "judge_loose_match_no_context",
        "ground_truths", ("answer",), ("question",),
        "Does the evidence (the answer) state the facts of the claim (the ground truth)?",
    ),
    "answer_relevance": (
        ("question", "answer"), "answer", "judge_answer_relevance",
        "question", ("answer",), (),
        "How directly does the evidence (the answer) address the claim (the question)?",
    ),
}

JUDGE_TASKS: dict[str, Task] = {}
JUDGE_TEMPLATES: dict[str, JudgeTemplate] = {}
for _name, (_fields, _predicted, _template, _claim, _evidence, _shown, _question) in _JUDGED.items():
    JUDGE_TASKS[f"tasks.rag_eval.{_name}.binary"] = Task(_fields, _predicted)
    for _kind in ("verbal", "numeric"):
        JUDGE_TEMPLATES[f"templates.rag_eval.{_name}.{_template}_{_kind}"] = JudgeTemplate(
            _question, _claim, _evidence, _shown, _kind
        )


class TaskBasedLLMasJudge(InstanceMetric):
    """A judge metric, usable as a step of ``SequentialOperator``."""

    def __init__(
        self,
        inference_model,
        template: str,
        task: str,
        main_score: str,
        prediction_field: str,
        format: Format | None = None,
        infer_log_probs: bool = False,
        judge_to_generator_fields_mapping: dict | None = None,
    ):
        from tallyx.catalog import get_from_catalog

        if infer_log_probs:
            raise NotImplementedError("This judge scores verbal or numeric answers; log probabilities are not supported")
        if not hasattr(inference_model, "infer"):
            raise TypeError(f"inference_model must be an inference engine, got {type(inference_model).__name__}")
        self.inference_model = inference_model
        self.template_id = template
        self.task_id = task
        self.template = get_from_catalog(template)
        self.task = get_from_catalog(task)
        if not isinstance(self.template, JudgeTemplate):
            raise TypeError(f"'{template}' is not a judge template")
        if not isinstance(self.task, Task):
            raise TypeError(f"'{task}' is not a judge task")
        self.format = format if format is not None else Format()
        self.prediction_field = prediction_field
        self.infer_log_probs = infer_log_probs
        self.judge_to_generator_fields_mapping = dict(judge_to_generator_fields_mapping or {})
        super().__init__(main_score, score_fn=None)

    def _fields(self, instance: dict) -> dict:
        fields = {}
        for field in self.task.input_fields:
            source = self.prediction_field if field == self.task.prediction else self.judge_to_generator_fields_mapping.get(field, field)
            if source not in instance:
                raise KeyError(f"Judge {self.main_score} needs the field '{source}' (task field '{field}'), which the instance lacks")
            fields[field] = instance[source]
        return fields

    def process_stream(self, instances, stream_name):
        instances = list(instances)
        prompts = [self.format.format(*self.template.render(self._fields(instance))) for instance in instances]
        answers = self.inference_model.infer(
            [{"source": prompt, "metadata": instance.get("metadata", {})} for prompt, instance in zip(prompts, instances)]
        )
        if len(answers) != len(instances):
            raise RuntimeError(f"The inference engine returned {len(answers)} answers for {len(instances)} prompts")
        name = self.main_score
        scores = []
        for answer in answers:
            score = self.template.parse(answer)
            if math.isnan(score):
                get_logger().warning("judge %s could not parse the answer %r", name, answer)
            scores.append(score)
        numbers = [s for s in scores if not math.isnan(s)]
        mean = sum(numbers) / len(numbers) if numbers else math.nan
        global_score = {"score": mean, "score_name": name, name: mean, "num_of_instances": len(instances)}
        for instance, prompt, answer, score in zip(instances, prompts, answers, scores):
            instance["score"] = {
                "instance": {
                    "score": score,
                    "score_name": name,
                    name: score,
                    f"{name}_judge_raw_input": prompt,
                    f"{name}_judge_raw_output": answer,
                },
                "global": global_score,
            }
            yield instance

    def __repr__(self) -> str:
        return f"TaskBasedLLMasJudge(task={self.task_id!r}, template={self.template_id!r}, main_score={self.main_score!r})"
