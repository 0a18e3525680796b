"""The verdix stand-in: its data model, the prompts its judge sends, how it
reads the replies, and a run against the loopback judge server."""

from __future__ import annotations

import pytest

from tallyx.inference import CrossProviderInferenceEngine
from verdix.judges import (
    ASSESSMENT_REQUEST,
    FEEDBACK_REQUEST,
    Criteria,
    CriteriaOption,
    DirectJudge,
    Instance,
    as_text,
    parse_selection,
)
from zentra_judge_server import JudgeServer


class ScriptedEngine:
    """Answers each prompt with replies[kind], kind told by the prompt's last line."""

    def __init__(self, assessment="It is supported.", selection="Yes", feedback="Cite the source."):
        self.replies = {"assessment": assessment, "selection": selection, "feedback": feedback}
        self.batches = []

    def infer(self, dataset):
        self.batches.append(dataset)
        replies = []
        for item in dataset:
            last = item["source"].splitlines()[-1]
            if last.startswith("Reply with one of:"):
                kind = "selection"
            elif last == FEEDBACK_REQUEST:
                kind = "feedback"
            else:
                kind = "assessment"
            reply = self.replies[kind]
            replies.append(reply(item["source"]) if callable(reply) else reply)
        return replies


def criteria(**overrides):
    values = {
        "name": "groundedness",
        "description": "Is the answer supported by the contexts?",
        "options": [CriteriaOption(name="Yes", description="Supported.", score=1.0),
                    CriteriaOption(name="No", description="", score=0.0)],
        "to_evaluate_field": "answer",
        "context_fields": ["contexts"],
    }
    values.update(overrides)
    return Criteria(**values)


INSTANCES = [
    Instance(fields={"answer": "Paris.", "contexts": ["Paris is the capital.", "France is in Europe."]}),
    Instance(fields={"answer": "Six arms.", "contexts": ["Spiders have eight legs."]}),
]

BASE_FIRST = (
    "Criteria 'groundedness': Is the answer supported by the contexts?\n"
    "Context:\n<evidence>\ncontexts: Paris is the capital.\nFrance is in Europe.\n</evidence>\n"
    "Text to evaluate (answer):\n<claim>\nParis.\n</claim>\n"
    "Options:\n- Yes: Supported.\n- No"
)


class TestDataModel:
    @pytest.mark.parametrize(
        ("make", "error", "message"),
        [
            (lambda: CriteriaOption(name=" "), ValueError, "a criteria option needs a non-empty name, got ' '"),
            (lambda: CriteriaOption(name="A", description=None), TypeError,
             "the description of option 'A' must be a text, got NoneType"),
            (lambda: criteria(options=[]), ValueError, "criteria 'groundedness' needs at least one option"),
            (lambda: criteria(description=""), ValueError, "criteria 'groundedness' needs a non-empty description"),
            (lambda: criteria(options=[CriteriaOption(name="A"), CriteriaOption(name="A")]), ValueError,
             "criteria 'groundedness' has duplicate option names: ['A']"),
            (lambda: criteria(options=["A"]), TypeError, "criteria options must be CriteriaOption, got str"),
            (lambda: Instance(fields=[("a", 1)]), TypeError, "instance fields must be a mapping, got list"),
            (lambda: DirectJudge(inference_engine=object()), TypeError,
             "the inference engine must offer infer(dataset), got object"),
        ],
    )
    def test_bad_values_are_refused(self, make, error, message):
        with pytest.raises(error) as caught:
            make()
        assert str(caught.value) == message

    def test_values_are_kept(self):
        made = criteria(context_fields=None)
        assert made.option_names == ["Yes", "No"] and made.context_fields == []
        assert Instance(fields={"a": 1}).fields == {"a": 1}

    @pytest.mark.parametrize(("value", "text"), [(None, ""), (["a", ["b", 1]], "a\nb\n1"), (2.5, "2.5"), ("x", "x")])
    def test_field_values_as_text(self, value, text):
        assert as_text(value) == text


class TestParseSelection:
    @pytest.mark.parametrize(
        ("reply", "selected"),
        [
            ("Yes", "Yes"),
            ("  no. ", "No"),
            ('"Yes"', "Yes"),
            ("Some reasoning first.\nNo", "No"),
            ("Selected option: yes\nbecause it is", "Yes"),
            ("Perhaps", "Perhaps"),
            ("", ""),
        ],
    )
    def test_replies(self, reply, selected):
        assert parse_selection(reply, ["Yes", "No"]) == selected

    def test_exact_names_win_over_case_folding(self):
        assert parse_selection("yes", ["YES", "yes"]) == "yes"


class TestDirectJudge:
    def test_criteria_mode_prompts_and_results(self):
        engine = ScriptedEngine(selection=lambda prompt: "No" if "Six arms" in prompt else "Yes")
        results = DirectJudge(engine, generate_feedback=True).evaluate(instances=INSTANCES, criteria=criteria())
        assert [(r.selected_option, r.score, r.explanation, r.feedback) for r in results] == [
            ("Yes", 1.0, "It is supported.", "Cite the source."), ("No", 0.0, "It is supported.", "Cite the source.")]
        assessments, selections, feedbacks = engine.batches
        assert [item["metadata"] for item in assessments] == [{"data_classification_policy": ["public"]}] * 2
        assert assessments[0]["source"] == f"{BASE_FIRST}\n{ASSESSMENT_REQUEST}"
        assert selections[0]["source"] == f"{BASE_FIRST}\nAssessment: It is supported.\nReply with one of: Yes, No."
        assert feedbacks[0]["source"] == (
            f"{BASE_FIRST}\nAssessment: It is supported.\nSelected option: Yes\n{FEEDBACK_REQUEST}")
        assert results[0].metadata == {
            "prompt": selections[0]["source"], "unparsed_response": "Yes",
            "assessment_prompt": assessments[0]["source"], "assessment": "It is supported.",
        }
        assert results[1].instance is INSTANCES[1] and results[1].criteria.name == "groundedness"

    def test_without_feedback_two_requests_per_instance(self):
        engine = ScriptedEngine(selection="Unsure")
        results = DirectJudge(engine).evaluate(instances=INSTANCES, criteria=criteria())
        assert len(engine.batches) == 2
        assert [(r.selected_option, r.score, r.feedback) for r in results] == [("Unsure", None, None)] * 2

    def test_criteria_without_context(self):
        engine = ScriptedEngine()
        DirectJudge(engine).evaluate(instances=[Instance(fields={"answer": "Hi"})], criteria=criteria(context_fields=[]))
        assert engine.batches[0][0]["source"] == (
            "Criteria 'groundedness': Is the answer supported by the contexts?\n"
            "Text to evaluate (answer):\n<claim>\nHi\n</claim>\nOptions:\n- Yes: Supported.\n- No\n" + ASSESSMENT_REQUEST)

    def test_one_criteria_per_instance(self):
        engine = ScriptedEngine(selection="Good")
        other = criteria(name="tone", options=[CriteriaOption(name="Good", score=0.5)])
        results = DirectJudge(engine).evaluate(instances=INSTANCES, criteria=[criteria(), other])
        assert [(r.selected_option, r.score) for r in results] == [("Good", None), ("Good", 0.5)]
        with pytest.raises(ValueError) as caught:
            DirectJudge(engine).evaluate(instances=INSTANCES, criteria=[other])
        assert str(caught.value) == "1 criteria given for 2 instances"

    @pytest.mark.parametrize(
        ("instances", "made", "message"),
        [
            ([Instance(fields={"contexts": []})], {}, "instance 0 has no field 'answer'"),
            ([INSTANCES[0], Instance(fields={"answer": "a"})], {}, "instance 1 has no field 'contexts'"),
            (INSTANCES, {"to_evaluate_field": None}, "criteria 'groundedness' names no field to evaluate"),
        ],
    )
    def test_missing_fields(self, instances, made, message):
        engine = ScriptedEngine()
        with pytest.raises(ValueError) as caught:
            DirectJudge(engine).evaluate(instances=instances, criteria=criteria(**made))
        assert str(caught.value) == message
        assert engine.batches == []

    def test_no_instances_asks_nothing(self):
        engine = ScriptedEngine()
        assert DirectJudge(engine).evaluate(instances=[], criteria=criteria()) == []
        assert engine.batches == []

    def test_custom_prompts(self):
        engine = ScriptedEngine(assessment="Looks polite.", selection="polite")
        results = DirectJudge(engine, generate_feedback=True).evaluate_with_custom_prompt(
            judge_prompts=["Is 'hello' polite?"], valid_outputs=["Polite", "Rude"])
        assert engine.batches[0][0]["source"] == "Is 'hello' polite?"
        assert engine.batches[1][0]["source"] == "Is 'hello' polite?\nAssessment: Looks polite.\nReply with one of: Polite, Rude."
        assert [(r.selected_option, r.explanation, r.feedback) for r in results] == [("Polite", "Looks polite.", "Cite the source.")]

    @pytest.mark.parametrize(
        ("prompts", "outputs", "error", "message"),
        [
            ([1], ["A"], TypeError, "judge prompt 0 must be a text, got int"),
            (["p"], [], ValueError, "valid_outputs must name at least one answer"),
        ],
    )
    def test_custom_prompt_errors(self, prompts, outputs, error, message):
        with pytest.raises(error) as caught:
            DirectJudge(ScriptedEngine()).evaluate_with_custom_prompt(judge_prompts=prompts, valid_outputs=outputs)
        assert str(caught.value) == message

    def test_an_engine_that_drops_answers(self):
        class Short:
            def infer(self, dataset):
                return ["x"] * (len(dataset) - 1)

        with pytest.raises(RuntimeError) as caught:
            DirectJudge(Short()).evaluate(instances=INSTANCES, criteria=criteria())
        assert str(caught.value) == "the inference engine answered 1 of 2 prompts"


class TestLoopbackJudge:
    def test_judging_over_http(self):
        with JudgeServer() as server:
            engine = CrossProviderInferenceEngine(
                model="judge", provider="open-ai", credentials={"url": server.url}, seed=36,
                data_classification_policy=["public"], use_cache=False)
            results = DirectJudge(engine, generate_feedback=True).evaluate(instances=INSTANCES, criteria=criteria())
            sent = server.requests
        assert [r.selected_option for r in results] == ["Yes", "No"]
        # The free-text replies of the loopback judge are its overlap figures.
        assert [r.explanation for r in results] == ["1.0000", "0.0000"]
        assert len(sent) == 6 and all(request["body"]["seed"] == 36 for request in sent)

    def test_a_policy_the_engine_refuses(self):
        engine = CrossProviderInferenceEngine(model="judge", provider="open-ai", credentials={"url": "http://127.0.0.1:9"},
                                              data_classification_policy=["internal"])
        with pytest.raises(ValueError) as caught:
            DirectJudge(engine).evaluate(instances=INSTANCES[:1], criteria=criteria())
        assert str(caught.value) == ("Instance 0 has data classification policy ['public'], which "
                                     "CrossProviderInferenceEngine does not accept (it accepts ['internal'])")
