"""Properties of the three providers' entry points on odd tables and values:
the detection and evaluation-library providers give the same outcome as their
plain-Python renderings under bench/; the criteria-judge provider, which has no
rendering, keeps its invariants (one record per row or the wrapped error)."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import types

import pandas as pd
import pytest
from fuzz_support import PLAIN_TEXT, cells, examples, frame_of, mostly, outcome, tables, texts
from hypothesis import given
from hypothesis import strategies as st
from screener_support import api_client, class_attributes, server, service  # noqa: F401
from tallyx.catalog import add_to_catalog, remove_from_catalog
from tallyx.operator import StreamOperator

import zentra_lumara_gov.providers.tallyx_provider as tp
import zentra_lumara_gov.providers.verdix_provider as vp
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.entities.metric_threshold import MetricThreshold
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from python_screener_provider import PyScreenerProvider  # noqa: E402
from python_tallyx_provider import PythonTallyxProvider  # noqa: E402

from test_verdix_provider import FakeJudge, judge_result, make_provider  # noqa: E402


def dumped(result):
    """An outcome with its result records as plain values, for comparison."""
    if result[0] == "value" and hasattr(result[1], "model_dump"):
        return ("value", result[1].model_dump())
    return result


# ---------------------------------------------------------------- detection provider

DETECTION_METRICS = ["pii", "hap", "keyword", "answer_relevance", "faithfulness", "context_relevance",
                     "topic_relevance"]


@examples(300)
@given(data=st.data())
def test_detection_provider_matches_the_python_rendering(api_client, service, data):  # noqa: F811
    name = data.draw(st.sampled_from(DETECTION_METRICS))
    params = data.draw(st.sampled_from([None, {}, {"keywords": ["a", "é"]}, {"system_prompt": "weather"}]))
    table = data.draw(tables(required=("record_id", "question", "answer", "contexts"), max_rows=3, huge=False))
    made = [cls(configuration=GenAIConfiguration(), metric_name=name, metric_display_name=name.title(),
                metric_method=None, api_client=api_client, detector_params=params)
            for cls in (ScreenerProvider, PyScreenerProvider)]
    native, python = (dumped(outcome(provider.evaluate, table.copy())) for provider in made)
    assert native == python


# ---------------------------------------------------------------- evaluation-library provider

PREFIX = "metrics.fuzz"


class LengthMetric(StreamOperator):
    """Scores an instance by the length of its answer (negative for an even length): no model needed."""

    def process_stream(self, instances, stream_name):
        for instance in instances:
            size = len(str(instance.get("answer", "")))
            instance["score"] = {"instance": {"score": size / 7 if size % 2 else -size / 3, "score_name": "s"}}
            yield instance


@pytest.fixture(scope="module")
def length_metric():
    for method in ("sentence_bert_mini_lm", "length"):
        add_to_catalog(LengthMetric(), f"{PREFIX}.faithfulness.{method}", overwrite=True)
    yield
    for method in ("sentence_bert_mini_lm", "length"):
        remove_from_catalog(f"{PREFIX}.faithfulness.{method}")


def library_configuration(draw):
    return GenAIConfiguration(
        input_fields=["question"], output_fields=["answer"],
        context_fields=draw(st.sampled_from([["contexts"], ["contexts", "ground_truth"], []])),
        reference_fields=draw(st.sampled_from([["ground_truth"], [], ["nope"]])),
    )


@examples(300)
@given(data=st.data())
def test_library_provider_matches_the_python_rendering(length_metric, data):
    configuration = library_configuration(data.draw)
    method = data.draw(st.sampled_from(["sentence_bert_mini_lm", "length"]))
    table = data.draw(tables(required=("record_id", "question", "answer", "contexts", "ground_truth"),
                             max_rows=4, huge=False))
    native, python = (cls(configuration, "faithfulness", "Faithfulness", method, PREFIX,
                          thresholds=[MetricThreshold(type="lower_limit", value=0.5)])
                      for cls in (tp.TallyxProvider, PythonTallyxProvider))
    # The compiled score table keeps the caller's row labels, so each record id stays with its
    # row; the rendering aligns the ids on fresh labels 0..n-1 and agrees only on such a table.
    expected = dumped(outcome(python.evaluate, table.reset_index(drop=True)))
    assert dumped(outcome(native.evaluate, table.copy())) == expected


SCORES = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-(2**40), 2**40), st.booleans())


@st.composite
def score_tables(draw):
    """A score table as the library step hands it on: a score column and an id column of any cells."""
    rows = draw(st.integers(1, 5))
    ids = draw(st.lists(cells(huge=False), min_size=rows, max_size=rows))
    scores = draw(st.lists(SCORES, min_size=rows, max_size=rows))
    frame = frame_of({"faithfulness": scores, "record_id": ids})
    if draw(st.booleans()):
        frame.index = pd.RangeIndex(5, 5 + rows)
    return frame


@examples(200)
@given(scores=score_tables(), method=st.sampled_from(["sentence_bert_mini_lm", "length"]))
def test_library_post_processing_matches_the_python_rendering(scores, method):
    configuration = GenAIConfiguration()
    native = tp.TallyxProvider(configuration, "faithfulness", "Faithfulness", method, PREFIX)
    python = PythonTallyxProvider(configuration, "faithfulness", "Faithfulness", method, PREFIX)
    # The compiled step reads each column as stored: a numeric id 7 next to float scores is "7",
    # where a row-wise read gives "7.0". The rendering agrees once the ids are held as objects.
    expected = dumped(outcome(python.post_process, result=scores.astype({"record_id": object})))
    assert dumped(outcome(native._TallyxProvider__post_process, result=scores.copy())) == expected


# Shapes a replaced score step may hand on. Each must end in a Python exception or a result.
NOT_TABLES = [
    {"faithfulness": [0.1, 0.2, 0.3, 0.4], "record_id": ["only"]},
    {"faithfulness": (0.1, 0.2), "record_id": ("a", "b")},
    {"faithfulness": "0.1", "record_id": "a"},
    {"faithfulness": None, "record_id": None},
    {"faithfulness": [0.1]},
    [0.1, 0.2],
    None,
]


@pytest.mark.parametrize("scores", NOT_TABLES)
def test_library_post_processing_of_a_score_step_that_is_no_table(scores):
    provider = tp.TallyxProvider(GenAIConfiguration(), "faithfulness", "Faithfulness", "length", PREFIX)
    result = outcome(provider._TallyxProvider__post_process, result=scores)
    assert result[0] == "raised" or len(result[1].record_level_metrics) == len(scores["faithfulness"])


# Columns of unequal lengths, as a replaced step may hand them on: the score step's output
# to post-processing, and a table-like object to the library run. Run in a child process,
# since reading past a column's end may take the interpreter down.
RAGGED_COLUMNS = """
import numpy as np, pandas as pd
import zentra_lumara_gov.providers.tallyx_provider as tp
from zentra_lumara_gov.config import GenAIConfiguration

class Ragged:
    columns = pd.Index(["question", "record_id"])
    def __getitem__(self, name):
        return pd.Series(["q"] * 4 if name == "question" else ["only"], dtype=object)

provider = tp.TallyxProvider(GenAIConfiguration(), "faithfulness", "Faithfulness", "length", "metrics.none")
for step, argument in [
    ("_TallyxProvider__post_process", {"result": {"faithfulness": np.array([0.1, 0.2, 0.3, 0.4]),
                                                  "record_id": np.array(["only"])}}),
    ("_TallyxProvider__post_process", {"result": {"faithfulness": np.array([0.1]), "record_id": np.array([])}}),
    ("_TallyxProvider__compute_metric", {"data": Ragged()}),
]:
    try:
        getattr(provider, step)(**argument)
    except Exception as error:
        print(step, type(error).__name__)
    else:
        raise SystemExit(f"{step} read past the end of a column without an error")
"""


def test_library_steps_refuse_columns_of_unequal_lengths():
    child = subprocess.run([sys.executable, "-c", RAGGED_COLUMNS], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert len(child.stdout.splitlines()) == 3


# ---------------------------------------------------------------- criteria-judge provider


@pytest.fixture
def engines(monkeypatch):
    monkeypatch.setattr(vp, "CrossProviderInferenceEngine", lambda **kwargs: types.SimpleNamespace(**kwargs))


OPTIONS = ["Yes", "No", "Maybe", "", None, 3]
WRAPPED = "Error while computing metrics: groundedness. Reason: "


@examples(300)
@given(data=st.data())
def test_criteria_judge_gives_a_record_per_row_or_the_wrapped_error(monkeypatch, engines, data):
    table = data.draw(tables(required=("record_id", "record_timestamp", "question", "answer", "contexts"),
                             max_rows=4, huge=False, surrogates=False))
    template = data.draw(st.sampled_from([None] * 3 + ["{question} {answer}"] * 2 + ["{record_id}", "{0}",
                                                                                    "{nope}", "{"]))
    answers = data.draw(st.lists(st.sampled_from(["Yes", "No"] * 4 + OPTIONS), min_size=len(table),
                                 max_size=len(table)))
    judge = FakeJudge([judge_result(option) for option in answers])
    monkeypatch.setattr(vp, "DirectJudge", lambda **kwargs: judge)
    provider = make_provider(criteria_description=None if template else "Is the {answer} right?",
                             prompt_template=template)
    result = outcome(provider.evaluate, table)
    if result[0] == "value":
        records = result[1].record_level_metrics
        assert len(records) == len(table) == result[1].total_records
        assert [record.label for record in records] == answers
    else:
        assert result[1] is Exception and result[2].startswith(WRAPPED), result


@examples(200)
@given(results=st.lists(mostly(st.builds(judge_result, st.sampled_from(OPTIONS), texts(huge=False)),
                               st.one_of(st.none(), st.integers(), PLAIN_TEXT), one_in=12), min_size=1, max_size=4))
def test_criteria_judge_post_processing_raises_python_errors(results):
    provider = make_provider()
    frame = pd.DataFrame({"record_id": [f"r{i}" for i in range(len(results))],
                          "record_timestamp": ["t"] * len(results)})
    result = outcome(provider._VerdixProvider__post_process, results=results, data=frame)
    if result[0] == "value":
        assert [record.label for record in result[1].record_level_metrics] == [r.selected_option for r in results]
