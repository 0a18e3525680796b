"""The tallyx stand-in and the loopback judge server: the scores the
provider's results rest on, and the HTTP protocol the judge engines speak."""

from __future__ import annotations

import math
import urllib.request
import json

import pytest

from tallyx import text
from tallyx.catalog import UnknownArtifactError, add_to_catalog, get_from_catalog, identifiers, remove_from_catalog
from tallyx.formats import ChatAPIFormat, Format
from tallyx.inference import (
    AzureOpenAIInferenceEngine,
    CrossProviderInferenceEngine,
    LiteLLMInferenceEngine,
    OpenAiInferenceEngine,
    VMLInferenceEngineGeneration,
)
from tallyx.llm_as_judge import TaskBasedLLMasJudge
from tallyx.logging_utils import get_logger, get_verbosity, set_verbosity
from tallyx.metrics import InstanceMetric
from tallyx.operator import SequentialOperator
from tallyx.stream import MultiStream
from zentra_judge_server import JudgeServer, JudgeServerProcess, judge_reply
from zentra_lumara_gov.providers.inference_engines.custom_inference_engine import CustomFunctionInferenceEngine
from zentra_lumara_gov.providers.inference_engines.google_studio_inference_engine import GoogleStudioInferenceEngine
from zentra_lumara_gov.providers.inference_engines.lmo_ai_gateway_inference_engine import LmoAIGatewayInferenceEngine
from zentra_lumara_gov.providers.inference_engines.portkey_inference_engine import PortKeyInferenceEngine

RECORDS = [
    {
        "question": "What is the capital of France?",
        "contexts": ["Paris is the capital of France.", "France is in Europe."],
        "answer": "The capital of France is Paris.",
        "ground_truths": ["Paris is the capital."],
        "record_id": "r1",
    },
    {
        "question": "How many legs does a spider have?",
        "contexts": ["Spiders have eight legs."],
        "answer": "Six legs.",
        "ground_truths": ["Eight legs."],
        "record_id": "r2",
    },
]


@pytest.fixture(scope="module")
def server():
    with JudgeServer(api_key=None) as running:
        yield running


def run(step, records=RECORDS):
    stream = MultiStream.from_iterables({"test": records}, copying=True)
    return list(SequentialOperator(steps=[step])(stream)["test"])


class TestTextMeasures:
    @pytest.mark.parametrize(
        ("function", "a", "b", "expected"),
        [
            (text.cosine, "Paris is the capital of France", "The capital of France is Paris", 1.0),
            (text.cosine, "red apple", "green pear", 0.0),
            (text.cosine, "", "anything", 0.0),
            (text.cosine, "red red apple", "red apple", 3 / math.sqrt(10)),
            (text.bigram_cosine, "capital france", "france capital", 2 / 3),
            (text.recall, "eight legs", "a spider has eight legs", 1.0),
            (text.recall, "eight legs spider", "six legs", 1 / 3),
            (text.coverage, "six legs", "spiders have eight legs", 0.5),
        ],
    )
    def test_values(self, function, a, b, expected):
        assert function(a, b) == pytest.approx(expected)

    def test_stop_words_and_case(self):
        assert text.words("The Capital OF france, is_it?") == ["capital", "france"]


class TestCatalogAndStreams:
    def test_catalog_holds_the_four_metrics_by_three_methods(self):
        assert identifiers("metrics.rag_eval.") == sorted(
            f"metrics.rag_eval.{name}.{method}"
            for name in ("faithfulness", "answer_relevance", "context_relevance", "answer_correctness")
            for method in ("sentence_bert_mini_lm", "sentence_bert_bge", "bert_score_recall")
        )
        assert identifiers("templates.rag_eval.faithfulness.") == [
            "templates.rag_eval.faithfulness.judge_with_question_simplified_numeric",
            "templates.rag_eval.faithfulness.judge_with_question_simplified_verbal",
        ]
        assert len(identifiers("tasks.rag_eval.")) == 4

    def test_unknown_identifier(self):
        with pytest.raises(UnknownArtifactError, match=r"^Artifact 'metrics.rag_eval.nope.x' does not exist in the catalog$"):
            run("metrics.rag_eval.nope.x")

    @pytest.mark.parametrize(
        ("identifier", "expected"),
        [
            ("metrics.rag_eval.faithfulness.bert_score_recall", [1.0, 0.5]),
            ("metrics.rag_eval.answer_correctness.bert_score_recall", [1.0, 0.5]),
            ("metrics.rag_eval.context_relevance.sentence_bert_mini_lm", [math.sqrt(2 / 3), 1 / 3]),
            ("metrics.rag_eval.answer_relevance.sentence_bert_mini_lm", [math.sqrt(2 / 3), 1 / math.sqrt(6)]),
        ],
    )
    def test_catalog_metric_scores_and_shared_global(self, identifier, expected):
        out = run(identifier)
        assert [i["score"]["instance"]["score"] for i in out] == pytest.approx(expected)
        assert out[0]["score"]["global"] is out[1]["score"]["global"]
        assert out[0]["score"]["global"]["score"] == pytest.approx(sum(expected) / 2)
        assert out[0]["score"]["global"]["num_of_instances"] == 2

    def test_copying_leaves_caller_records_alone_and_streams_are_reiterable(self):
        records = [dict(r) for r in RECORDS]
        stream = MultiStream.from_iterables({"test": iter(records)}, copying=True)
        result = SequentialOperator(steps=["metrics.rag_eval.faithfulness.bert_score_recall"])(stream)
        assert len(list(result["test"])) == 2
        assert len(list(result["test"])) == 2  # a second pass re-runs the metric
        assert all("score" not in record for record in records)

    def test_missing_field(self):
        with pytest.raises(KeyError, match="needs the field 'contexts'"):
            run("metrics.rag_eval.faithfulness.sentence_bert_bge", [{"answer": "x"}])

    def test_registered_metric_and_nan_skipped_in_mean(self):
        values = iter([0.25, math.nan, 0.75])
        add_to_catalog(InstanceMetric("m", lambda instance: next(values)), "metrics.test.m.values")
        try:
            out = run("metrics.test.m.values", [{}, {}, {}])
        finally:
            remove_from_catalog("metrics.test.m.values")
        assert out[0]["score"]["global"]["score"] == 0.5
        with pytest.raises(UnknownArtifactError):
            get_from_catalog("metrics.test.m.values")

    def test_verbosity(self):
        before = get_verbosity()
        try:
            set_verbosity("error")
            assert get_logger().level == 40 and get_verbosity() == "error"
            with pytest.raises(ValueError, match="Unknown verbosity 'loud'"):
                set_verbosity("loud")
        finally:
            set_verbosity(before)


class TestJudgeReplies:
    @pytest.mark.parametrize(
        ("prompt", "reply"),
        [
            ("<evidence>Paris France</evidence><claim>Paris France</claim>\nReply with a number from 0 to 10.", "10"),
            ("<evidence>spiders eight legs</evidence><claim>six legs</claim>\nReply with a number from 1 to 5.", "3"),
            ("<evidence>x</evidence><claim>six legs</claim>\nReply with one of: yes, partially, no.", "no"),
            ("<evidence>legs</evidence><claim>six legs</claim>\nReply with one of: yes, partially, no.", "partially"),
            ("<evidence>a b c</evidence><claim>b c d</claim>", "0.6667"),
            ("no sections at all. Reply with one of: good, bad.", "bad"),
            # The last instruction wins.
            ("<evidence>apple</evidence><claim>apple</claim> Reply with a number from 0 to 10.\nReply with one of: hi, lo.", "hi"),
        ],
    )
    def test_deterministic_replies(self, prompt, reply):
        assert judge_reply([{"role": "user", "content": prompt}]) == reply


def _judge(engine, name, template, prediction_field="answer", format=None):
    return TaskBasedLLMasJudge(
        inference_model=engine,
        format=format,
        template=f"templates.rag_eval.{name}.{template}",
        task=f"tasks.rag_eval.{name}.binary",
        main_score=f"{name}_judge",
        prediction_field=prediction_field,
        infer_log_probs=False,
        judge_to_generator_fields_mapping={},
    )


class TestJudgeOverHttp:
    @pytest.mark.parametrize(
        ("name", "template", "field", "scores", "answers"),
        [
            ("faithfulness", "judge_with_question_simplified_verbal", "answer", [1.0, 0.5], ["yes", "partially"]),
            ("answer_relevance", "judge_answer_relevance_numeric", "answer", [1.0, 0.3], ["10", "3"]),
            ("context_relevance", "judge_context_relevance_ares_numeric", "contexts", [1.0, 0.3], ["10", "3"]),
            ("answer_correctness", "judge_loose_match_no_context_numeric", "answer", [1.0, 0.5], ["10", "5"]),
        ],
    )
    def test_scores(self, server, name, template, field, scores, answers):
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"url": server.url}, use_cache=False)
        out = run(_judge(engine, name, template, field))
        assert [i["score"]["instance"]["score"] for i in out] == scores
        assert [i["score"]["instance"][f"{name}_judge_judge_raw_output"] for i in out] == answers
        assert out[0]["score"]["instance"]["score_name"] == f"{name}_judge"

    def test_formats_shape_the_messages(self, server):
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"url": server.url}, use_cache=False)
        before = len(server.requests)
        run(_judge(engine, "faithfulness", "judge_with_question_simplified_verbal", format=ChatAPIFormat()), RECORDS[:1])
        run(_judge(engine, "faithfulness", "judge_with_question_simplified_verbal", format=None), RECORDS[:1])
        chat, plain = [r["body"]["messages"] for r in server.requests[before:]]
        assert [m["role"] for m in chat] == ["system", "user"]
        assert [m["role"] for m in plain] == ["user"]
        assert plain[0]["content"] == chat[0]["content"] + "\n\n" + chat[1]["content"]
        assert Format().format("", "u") == "u"

    def test_missing_prediction_field(self, server):
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"url": server.url})
        with pytest.raises(KeyError, match="needs the field 'reply' \\(task field 'answer'\\)"):
            run(_judge(engine, "answer_relevance", "judge_answer_relevance_numeric", "reply"))

    def test_unknown_template_fails_when_built(self, server):
        engine = OpenAiInferenceEngine(model_name="judge", credentials={"url": server.url})
        with pytest.raises(UnknownArtifactError):
            _judge(engine, "faithfulness", "judge_with_question_simplified_binary")


class TestEngines:
    def test_loopback_only_and_address_required(self, monkeypatch):
        monkeypatch.delenv("TALLYX_INFERENCE_URL", raising=False)
        with pytest.raises(ValueError, match=r"^OpenAiInferenceEngine talks to loopback addresses only; refusing 'https://10.1.2.3/v1'$"):
            OpenAiInferenceEngine(model_name="m", credentials={"url": "https://10.1.2.3/v1"}).infer(["hi"])
        with pytest.raises(ValueError, match="has no address: give the credential 'url' or set TALLYX_INFERENCE_URL"):
            OpenAiInferenceEngine(model_name="m", credentials={"api_key": "k"}).infer(["hi"])

    def test_environment_address_and_cache(self, server, monkeypatch):
        monkeypatch.setenv("TALLYX_INFERENCE_URL", server.url + "/v1")
        engine = OpenAiInferenceEngine(model_name="m", credentials={"api_key": "k"}, use_cache=True)
        before = len(server.requests)
        assert engine.infer(["<claim>a</claim> x", "<claim>a</claim> x"]) == ["0.0000", "0.0000"]
        assert len(server.requests) == before + 1  # the second came from the cache
        assert server.requests[-1]["path"] == "/v1/chat/completions"
        assert server.requests[-1]["headers"]["Authorization"] == "Bearer k"
        OpenAiInferenceEngine(model_name="m", use_cache=False).infer(["q", "q"])
        assert len(server.requests) == before + 3

    def test_api_key_checked_by_server(self):
        with JudgeServer(api_key="secret") as guarded:
            good = AzureOpenAIInferenceEngine(
                model_name="dep", credentials={"url": guarded.url, "api_key": "secret", "api_version": "2024-01"}
            )
            assert good.infer(["hello"]) == ["0.0000"]
            assert guarded.requests[-1]["query"] == {"api-version": "2024-01"}
            assert guarded.requests[-1]["headers"]["api-key"] == "secret"
            bad = OpenAiInferenceEngine(model_name="m", credentials={"url": guarded.url, "api_key": "wrong"})
            with pytest.raises(RuntimeError, match=r"answered 401: .*missing or wrong api key"):
                bad.infer(["hello"])

    def test_request_bodies(self, server):
        engines = {
            "lmai": VMLInferenceEngineGeneration(credentials={"url": server.url, "project_id": "p"}, model_name="lumara-chat"),
            "litellm": LiteLLMInferenceEngine(model="gemini", credentials={"url": server.url}, temperature=0.5),
            "cross": CrossProviderInferenceEngine(
                model="llama", provider="lumara-sdk", credentials={"url": server.url}, seed=36,
                provider_specific_args={"lumara-sdk": {"concurrency_limit": 4, "max_tokens": 9}},
                data_classification_policy=["public"], use_cache=False,
            ),
            "portkey": PortKeyInferenceEngine(credentials={"url": server.url, "api_key": "pk", "virtual_key": "vk"}, model="gpt", seed=36),
            "lmo": LmoAIGatewayInferenceEngine(credentials={"url": server.url}),
            "google": GoogleStudioInferenceEngine(model="gemini", credentials={"url": server.url}, seed=1),
        }
        bodies = {}
        for label, engine in engines.items():
            engine.infer(["hi"])
            request = server.requests[-1]
            bodies[label] = {k: v for k, v in request["body"].items() if k != "messages"}
        assert bodies == {
            "lmai": {"model": "lumara-chat", "project_id": "p"},
            "litellm": {"model": "gemini", "temperature": 0.5},
            "cross": {"model": "llama", "seed": 36, "max_tokens": 9},
            "portkey": {"model": "gpt", "seed": 36},
            "lmo": {},
            "google": {"model": "gemini", "seed": 1},
        }
        assert engines["cross"].num_parallel_requests == 4
        assert engines["google"].provider == "google-ai-studio"
        assert engines["portkey"].headers()["x-portkey-virtual-key"] == "vk"

    def test_data_classification_policy(self, server):
        engine = CrossProviderInferenceEngine(
            model="m", provider="open-ai", credentials={"url": server.url}, data_classification_policy=["public"]
        )
        assert engine.infer([{"source": "x", "metadata": {"data_classification_policy": ["public"]}}]) == ["0.0000"]
        with pytest.raises(ValueError, match=r"Instance 1 has data classification policy \['proprietary'\]"):
            engine.infer([{"source": "x"}, {"source": "y", "metadata": {"data_classification_policy": ["proprietary"]}}])
        with pytest.raises(ValueError, match="needs a provider text"):
            CrossProviderInferenceEngine(model="m")

    def test_meta_data(self, server):
        engine = OpenAiInferenceEngine(model_name="m", credentials={"url": server.url})
        (output,) = engine.infer([[{"role": "user", "content": "one two three"}]], return_meta_data=True)
        assert (output.prediction, output.input_tokens, output.output_tokens, output.model_name) == ("0.0000", 3, 1, "m")

    def test_unreachable_server(self):
        with JudgeServer() as stopped:
            url = stopped.url
        with pytest.raises(ConnectionError, match="cannot reach"):
            OpenAiInferenceEngine(model_name="m", credentials={"url": url}, use_cache=False).infer(["x"])


class TestCustomEngine:
    def test_prompt_and_context(self):
        seen = []

        def score(prompt, context):
            seen.append((prompt, context))
            return 7

        engine = CustomFunctionInferenceEngine(scoring_fn=score, context={"k": 1}, num_parallel_requests=2)
        assert engine.infer([[{"role": "system", "content": "s"}, {"role": "user", "content": "u"}], "v"]) == ["7", "7"]
        assert sorted(seen, key=lambda x: x[0]) == [("s\n\nu", {"k": 1}), ("v", {"k": 1})]
        assert CustomFunctionInferenceEngine(scoring_fn=lambda p: p.upper()).infer(["ab"]) == ["AB"]

    def test_refusals(self):
        async def coro(prompt):
            return prompt

        with pytest.raises(TypeError, match="must be a blocking function"):
            CustomFunctionInferenceEngine(scoring_fn=coro)
        with pytest.raises(TypeError, match="must be callable"):
            CustomFunctionInferenceEngine(scoring_fn="f")
        with pytest.raises(ValueError, match="num_parallel_requests"):
            CustomFunctionInferenceEngine(scoring_fn=str, num_parallel_requests=0)


class TestServer:
    def post(self, url, payload, path="/chat/completions"):
        request = urllib.request.Request(url + path, data=payload, headers={"Content-Type": "application/json"}, method="POST")
        try:
            with urllib.request.urlopen(request, timeout=5) as response:
                return response.status, json.loads(response.read())
        except urllib.error.HTTPError as error:
            with error:
                return error.code, json.loads(error.read())

    @pytest.mark.parametrize(
        ("payload", "path", "status"),
        [
            (b"not json", "/chat/completions", 400),
            (b'{"messages": []}', "/chat/completions", 400),
            (b'{"messages": [{"role": "user"}]}', "/v1/chat/completions", 400),
            (b'{"messages": [{"role": "user", "content": "x"}]}', "/v1/embeddings", 404),
            (b'{"messages": [{"role": "user", "content": "x"}]}', "/openai/deployments/d/chat/completions", 200),
        ],
    )
    def test_validation(self, server, payload, path, status):
        assert self.post(server.url, payload, path)[0] == status

    def test_faulty_responder_is_a_500(self):
        def broken(messages):
            raise ValueError("boom")

        with JudgeServer(responder=broken) as faulty:
            status, body = self.post(faulty.url, b'{"messages": [{"role": "user", "content": "x"}]}')
        assert (status, body["error"]["message"]) == (500, "responder failed: boom")

    def test_refuses_non_loopback_host_and_double_start(self):
        with pytest.raises(ValueError, match="loopback addresses only"):
            JudgeServer(host="0.0.0.0")
        with JudgeServer() as running:
            with pytest.raises(RuntimeError, match="already started"):
                running.start()

    def test_port_in_use_is_reported(self, server):
        with pytest.raises(RuntimeError, match="could not start"):
            JudgeServer(port=server.port).start(timeout=5)

    def test_as_a_process(self):
        server = JudgeServerProcess(api_key="k").start(timeout=10)
        try:
            assert server.url.startswith("http://127.0.0.1:")
            engine = OpenAiInferenceEngine(model_name="m", credentials={"url": server.url, "api_key": "k"})
            assert engine.infer(["<evidence>a b</evidence><claim>b</claim>"]) == ["1.0000"]
        finally:
            assert server.stop(timeout=10) == 0  # SIGTERM ends it cleanly
        assert server.stop() is None
