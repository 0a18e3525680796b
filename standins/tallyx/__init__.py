"""Local stand-in for the evaluation library ``tallyx``.

It offers what the SDK's evaluation-library and criteria-judge providers use:

* ``tallyx.stream.MultiStream`` and ``tallyx.operator.SequentialOperator``:
  named streams of instance dictionaries and the operator that applies
  catalog metrics or judge metrics to them;
* ``tallyx.catalog``: the metric catalog ("metrics.rag_eval.<name>.<method>"),
  the judge tasks and the judge templates;
* ``tallyx.llm_as_judge.TaskBasedLLMasJudge``: a judge metric that asks an
  inference engine and parses its verbal or numeric answer;
* ``tallyx.inference``: inference engines speaking the chat-completions HTTP
  protocol (loopback addresses only);
* ``tallyx.formats`` and ``tallyx.logging_utils``.

Scores are deterministic and documented in ``tallyx.text`` and
``tallyx.metrics``.
"""

__version__ = "0.1.0"
