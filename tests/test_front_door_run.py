"""The front door's run: input errors before any metric runs, failures that keep
the other metrics, and progress from each provider family, blocking and async."""

from __future__ import annotations

import asyncio
import io

import pandas as pd
import pytest
from screener_support import api_client, class_attributes, server, service  # noqa: F401

import zentra_lumara_gov as zlg
from zentra_judge_server import JudgeServer
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.credentials import LmAICredentials
from zentra_lumara_gov.entities.criteria import Option
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.entities.foundation_model import LmAIFoundationModel
from zentra_lumara_gov.entities.llm_judge import LLMJudge
from zentra_lumara_gov.entities.metric import GenAIMetric
from zentra_lumara_gov.errors import (
    InputTypeError,
    InputValueError,
    MetricEvaluationError,
    ZentraLumaraGovError,
)
from zentra_lumara_gov.metrics import (
    AnswerRelevanceMetric,
    FaithfulnessMetric,
    LLMAsJudgeMetric,
    PIIMetric,
)
from zentra_lumara_gov.utils.progress import ProgressSink, show_progress_by_default

RECORDS = [
    {"question": "What is the capital of France?", "contexts": ["Paris is the capital of France."],
     "answer": "The capital of France is Paris.", "ground_truth": "Paris."},
    {"question": "How many legs does a spider have?", "contexts": ["Spiders have eight legs."],
     "answer": "A spider has six arms.", "ground_truth": "Eight."},
    {"question": "Who wrote Hamlet?", "contexts": ["Hamlet is a play by Shakespeare."],
     "answer": "Shakespeare wrote Hamlet.", "ground_truth": "Shakespeare."},
]
YES_NO = [Option(name="Yes", value=1.0), Option(name="No", value=0.0)]


CALLS = []  # names of the Scripted metrics evaluated, in order


class Scripted(GenAIMetric):
    """Scores every record 0.5, or raises ``fails`` (an exception instance); records each call in CALLS."""

    fails: Exception | None = None

    def evaluate(self, data, configuration, metrics_result=None, api_client=None, **kwargs):
        CALLS.append(self.name)
        if self.fails is not None:
            raise self.fails
        return AggregateMetricResult.create([
            RecordMetricResult(name=self.name, display_name=self.display_name, value=0.5, record_id=record_id)
            for record_id in data[configuration.record_id_field]
        ])

    async def evaluate_async(self, *args, **kwargs):
        await asyncio.sleep(0)
        return self.evaluate(*args, **kwargs)


def run(mode, data, metrics, **keywords):
    if mode == "blocking":
        return zlg.evaluate(data, metrics, **keywords)
    return asyncio.run(zlg.aevaluate(data, metrics, **keywords))


MODES = ["blocking", "async"]


# --- input errors ------------------------------------------------------------------------------------------------

INPUT_ERRORS = [
    ("text data", {"data": "records.csv"}, InputTypeError,
     "data must be a pandas DataFrame, a dict (one record) or a list of dicts, not str 'records.csv'."),
    ("no data", {"data": None}, InputTypeError,
     "data must be a pandas DataFrame, a dict (one record) or a list of dicts, not NoneType None."),
    ("a record that is no mapping", {"data": [RECORDS[0], 7]}, InputTypeError,
     "data[1] must be a dict (one record, column name to value), not int 7."),
    ("configuration as a dict", {"configuration": {"output_fields": ["answer"]}}, InputTypeError,
     "configuration must be a GenAIConfiguration or an AgenticAIConfiguration (from zentra_lumara_gov.config), "
     "not dict {'output_fields': ['answer']}."),
    ("metric given by name", {"metrics": ["faithfulness"]}, InputTypeError,
     "metrics[0] must be a metric instance such as AnswerRelevanceMetric() (from zentra_lumara_gov.metrics), "
     "not str 'faithfulness'."),
    ("metric class", {"metrics": [Scripted(name="ok"), AnswerRelevanceMetric]}, InputTypeError,
     "metrics[1] must be a metric instance such as AnswerRelevanceMetric() (from zentra_lumara_gov.metrics), "
     "not the class AnswerRelevanceMetric (an instance is needed: AnswerRelevanceMetric(...))."),
    ("group by name", {"metric_groups": ["answer_quality"]}, InputTypeError,
     "metric_groups[0] must be a MetricGroup member, not str 'answer_quality'."),
    ("missing output column", {"configuration": GenAIConfiguration(output_fields=["response"])}, InputValueError,
     "configuration.output_fields names the column 'response', which the data does not have; the data's columns "
     "are: 'question', 'contexts', 'answer', 'ground_truth'."),
    ("missing tool-call column", {"configuration": GenAIConfiguration(tool_calls_field="calls")}, InputValueError,
     "configuration.tool_calls_field names the column 'calls', which the data does not have; the data's columns "
     "are: 'question', 'contexts', 'answer', 'ground_truth'."),
    ("raise_exceptions as text", {"raise_exceptions": "no"}, InputTypeError,
     "raise_exceptions must be True or False, not str 'no'."),
    ("show_progress as a number", {"show_progress": 1}, InputTypeError,
     "show_progress must be True, False or None, not int 1."),
    ("progress not callable", {"progress": "bar"}, InputTypeError,
     "progress must be a callable taking (metric_name, done, total), not str 'bar'."),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("changes, error_type, message", [case[1:] for case in INPUT_ERRORS],
                         ids=[case[0] for case in INPUT_ERRORS])
def test_input_errors_are_raised_before_any_metric_runs(mode, changes, error_type, message, api_client):
    CALLS.clear()
    arguments = {"data": pd.DataFrame(RECORDS), "metrics": [Scripted(name="ok")], "api_client": api_client,
                 **changes}
    with pytest.raises(error_type) as raised:
        run(mode, arguments.pop("data"), arguments.pop("metrics"), **arguments)
    assert str(raised.value) == message
    # The SDK's own, and what callers catch today.
    assert isinstance(raised.value, ZentraLumaraGovError)
    assert isinstance(raised.value, TypeError if error_type is InputTypeError else ValueError)
    assert CALLS == []


@pytest.mark.parametrize(("mode", "expected"), [
    # The blocking run turns the output columns into text, so they must exist even when left at the default.
    ("blocking", "configuration.output_fields names the column 'answer', which the data does not have; "
                 "the data's columns are: 'question'."),
    ("async", None),
])
def test_default_output_column_is_needed_by_the_blocking_run_only(mode, expected, api_client):
    table = pd.DataFrame({"question": ["q1", "q2"]})
    if expected is None:
        assert run(mode, table, [Scripted(name="ok")], api_client=api_client).metrics_result[0].mean == 0.5
    else:
        with pytest.raises(InputValueError, match="^" + expected.replace("(", r"\(").replace(")", r"\)") + "$"):
            run(mode, table, [Scripted(name="ok")], api_client=api_client)


@pytest.mark.parametrize("entry", [zlg.evaluate, zlg.aevaluate])
def test_a_misspelt_keyword_is_the_interpreters_type_error(entry):
    # Python 3.13 adds its own suggestion of the keyword meant.
    with pytest.raises(TypeError, match=rf"^{entry.__name__}\(\) got an unexpected keyword argument 'show_progres'"
                                        r"(\. Did you mean 'show_progress'\?)?$"):
        entry(RECORDS, [], show_progres=True)


# --- failures ----------------------------------------------------------------------------------------------------

def failing_metrics():
    boom = Scripted(name="boom", fails=ValueError("the judge is unreachable"))
    return [
        Scripted(name="first"),
        boom,
        Scripted(name="after_boom", metric_dependencies=[boom]),
        Scripted(name="last", fails=Exception("Error while computing metrics: last. Reason: 503")),
        Scripted(name="kept"),
    ]


@pytest.mark.parametrize("mode", MODES)
def test_failures_are_kept_with_their_cause_and_the_other_metrics_computed(mode, api_client):
    CALLS.clear()
    result = run(mode, RECORDS, failing_metrics(), api_client=api_client, raise_exceptions=False)

    outcome = {
        aggregate.name: (aggregate.value, aggregate.failed_records,
                         [(error.code, error.message_en) for error in aggregate.errors or []])
        for aggregate in result.metrics_result
    }
    assert outcome == {
        "first": (0.5, 0, []),
        "boom": (None, 3, [("ValueError", "the judge is unreachable")]),
        "after_boom": (None, 3, [("MetricDependencyError", "Not computed: the metric 'boom' it depends on failed "
                                                             "(ValueError: the judge is unreachable).")]),
        "last": (None, 3, [("Exception", "Error while computing metrics: last. Reason: 503")]),
        "kept": (0.5, 0, []),
    }
    assert "after_boom" not in CALLS and "kept" in CALLS  # not run on a missing input; the rest went on
    failed = {aggregate.name: aggregate for aggregate in result.metrics_result if aggregate.failed}
    assert sorted(failed) == ["after_boom", "boom", "last"] and sorted(result.failed_metrics) == sorted(failed)
    for aggregate in failed.values():
        assert [record.errors for record in aggregate.record_level_metrics] == [aggregate.errors] * 3
        assert {record.value for record in aggregate.record_level_metrics} == {None}
    assert repr(result) == "<MetricsEvaluationResult: 5 metrics, 3 records, 3 failed ({}), 9 failed record " \
                           "results>".format(", ".join(result.failed_metrics))


FIRST_FAILURES = [
    (ValueError("the judge is unreachable"), ValueError, "MetricEvaluationValueError"),
    (Exception("Error while computing metrics: boom. Reason: 503"), Exception, "MetricEvaluationError"),
    (KeyError("answer"), LookupError, "MetricEvaluationKeyError"),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("cause, caught_as, class_name", FIRST_FAILURES, ids=[c[2] for c in FIRST_FAILURES])
def test_by_default_the_first_failure_raises_an_sdk_error_of_the_same_kind(mode, cause, caught_as, class_name,
                                                                          api_client):
    metrics = [Scripted(name="first"), Scripted(name="boom", fails=cause), Scripted(name="never")]
    with pytest.raises(caught_as) as raised:
        run(mode, RECORDS, metrics, api_client=api_client)
    error = raised.value
    assert isinstance(error, MetricEvaluationError) and type(error).__name__ == class_name
    assert (str(error), error.metric_name, error.__cause__) == (str(cause), "boom", cause)


def test_a_real_provider_failure_keeps_the_similarity_result(api_client):
    # A similarity metric succeeds; a criteria metric without a judge model then fails.
    metrics = [FaithfulnessMetric(method="sentence_bert_mini_lm"),
               LLMAsJudgeMetric(name="support", criteria_description="Is the {answer} backed?", options=YES_NO)]
    result = zlg.evaluate(RECORDS, metrics, api_client=api_client, raise_exceptions=False)
    assert [(a.name, a.failed, a.total_records) for a in result.metrics_result] == [
        ("faithfulness", False, 3), ("support", True, 3)]
    assert result.metrics_result[1].errors[0].message_en == (
        "The judge metric 'support' needs a judge model: set llm_judge on the metric or the configuration.")
    with pytest.raises(ValueError, match="needs a judge model") as raised:
        zlg.evaluate(RECORDS, metrics, api_client=api_client)
    assert isinstance(raised.value, MetricEvaluationError)


# --- progress ----------------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def judge_server():
    with JudgeServer() as running:
        yield running


@pytest.mark.parametrize("mode", MODES)
def test_each_provider_family_reports_its_progress(mode, api_client, judge_server):
    judge = LLMJudge(model=LmAIFoundationModel(
        model_id="judge", project_id="p", provider={"credentials": LmAICredentials(url=judge_server.url, api_key="k")}))
    metrics = [FaithfulnessMetric(method="sentence_bert_mini_lm"), PIIMetric(),
               LLMAsJudgeMetric(name="support", criteria_description="Is the {answer} backed by the {contexts}?",
                                options=YES_NO, llm_judge=judge)]
    reports = []
    result = run(mode, RECORDS, metrics, api_client=api_client, show_progress=False,
                 progress=lambda *report: reports.append(report))
    assert not result.failed_metrics
    by_metric = {name: [(done, total) for metric, done, total in reports if metric == name]
                 for name in ("faithfulness", "pii", "support")}
    assert by_metric == {
        "faithfulness": [(3, 3)],                   # the library: one report per metric
        "pii": [(1, 3), (2, 3), (3, 3)],            # the detection service: per answered request
        "support": [(1, 3), (2, 3), (3, 3)],        # the criteria judge: per judged record
    }


class Bar:
    def __init__(self):
        self.updates, self.closed = [], False

    def update(self, steps):
        self.updates.append(steps)

    def close(self):
        self.closed = True


SINK_REPORTS = [
    # reports, bar updates (4 records a metric), callback calls
    ("steps of one metric", [("a", 1, 4), ("a", 2, 4), ("a", 4, 4)], [1, 1, 2], 3),
    ("repeats and steps back are dropped", [("a", 2, 4), ("a", 2, 4), ("a", 1, 4), ("a", 3, 4)], [2, 1], 2),
    ("a total other than the record count is scaled", [("a", 1, 8), ("a", 2, 8), ("a", 8, 8)], [1, 3], 3),
    ("metrics count apart", [("a", 4, 4), ("b", 2, 4)], [4, 2], 2),
    ("finish completes a metric", [("a", 1, 4), "finish a"], [1, 3], 2),
    ("finish after completion adds nothing", [("a", 4, 4), "finish a"], [4], 1),
    ("finish of a silent metric", ["finish b"], [4], 1),
    ("a counter counts completions", ["count a 2", "count a 2"], [2, 2], 2),
]


@pytest.mark.parametrize("reports, updates, calls", [case[1:] for case in SINK_REPORTS],
                         ids=[case[0] for case in SINK_REPORTS])
def test_sink_moves_the_bar_by_records_and_calls_back_once_per_step(reports, updates, calls):
    bar, seen = Bar(), []
    sink = ProgressSink(["a", "b"], 4, callback=lambda *report: seen.append(report), bar=bar)
    counters = {}
    for report in reports:
        if isinstance(report, tuple):
            sink(*report)
        elif report.startswith("finish"):
            sink.finish(report.split()[1])
        else:
            _, name, total = report.split()
            counters.setdefault(name, sink.counter(name, int(total)))()
    sink.close()
    assert (bar.updates, len(seen), bar.closed) == (updates, calls, True)


class Stream(io.StringIO):
    def __init__(self, terminal):
        super().__init__()
        self.terminal = terminal

    def isatty(self):
        return self.terminal


@pytest.mark.parametrize("stream, shown", [(Stream(True), True), (Stream(False), False), (object(), False)])
def test_the_bar_is_shown_by_default_only_to_a_terminal(stream, shown):
    assert show_progress_by_default(stream) is shown


def test_the_error_module_examples_run():
    import doctest

    import zentra_lumara_gov.errors

    outcome = doctest.testmod(zentra_lumara_gov.errors)
    assert (outcome.failed, outcome.attempted) == (0, 6)
