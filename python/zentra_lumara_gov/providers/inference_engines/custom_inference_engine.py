"""An engine that answers prompts with a caller's own scoring function."""

from __future__ import annotations

import inspect
from collections.abc import Callable

from tallyx.inference import InferenceEngine, TextGenerationInferenceOutput


class CustomFunctionInferenceEngine(InferenceEngine):
    """Answers each prompt with ``scoring_fn``.

    ``scoring_fn(prompt)`` receives the prompt as one text (the contents of
    chat messages joined by blank lines) and returns the answer text. When
    the engine has a ``context`` (not None), it is passed as the second
    argument: ``scoring_fn(prompt, context)``. Up to ``num_parallel_requests``
    prompts are scored at once (a thread pool), so the function must be safe
    to call from several threads. An async function is refused: the engine
    is called from blocking code.
    """

    label = "custom"

    def __init__(
        self,
        scoring_fn: Callable,
        model_name: str = "custom_fn",
        context=None,
        num_parallel_requests: int = 20,
        use_cache: bool = True,
    ):
        if not callable(scoring_fn):
            raise TypeError(f"scoring_fn must be callable, got {type(scoring_fn).__name__}")
        if inspect.iscoroutinefunction(scoring_fn):
            raise TypeError("scoring_fn must be a blocking function, not a coroutine function")
        super().__init__(use_cache=use_cache, num_parallel_requests=num_parallel_requests)
        self.scoring_fn = scoring_fn
        self.model_name = model_name
        self.context = context

    def _cache_key(self, messages):
        return messages

    def _infer_one(self, messages: list[dict]) -> TextGenerationInferenceOutput:
        prompt = "\n\n".join(message["content"] for message in messages)
        answer = self.scoring_fn(prompt) if self.context is None else self.scoring_fn(prompt, self.context)
        if inspect.isawaitable(answer):
            close = getattr(answer, "close", None)
            if close is not None:
                close()  # never leave an un-awaited coroutine behind
            raise TypeError("scoring_fn returned an awaitable; it must return the answer text")
        return TextGenerationInferenceOutput(prediction=str(answer), model_name=self.model_name, inference_type=self.label)
