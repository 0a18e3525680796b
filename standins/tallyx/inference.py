"""Inference engines speaking the chat-completions HTTP protocol.

Every engine sends ``POST <base address>/chat/completions`` with a JSON body
``{"model": ..., "messages": [{"role": ..., "content": ...}, ...], ...}``
and reads ``choices[0].message.content`` (and ``usage``) from the answer.

Where the base address comes from (first found wins):

1. the credential key "url" (the judge-model credentials of every kind carry
   it), then "api_base", then "base_url";
2. the environment variable ``TALLYX_INFERENCE_URL``.

So an engine is pointed at the loopback judge server of the stand-ins with
``credentials={"url": server.url, ...}``, e.g.
``OpenAiInferenceEngine(model_name="gpt", credentials={"url": server.url,
"api_key": "k"})``. An "api_key" credential is sent as ``Authorization:
Bearer <key>`` (Azure: as the ``api-key`` header, plus ``?api-version=`` from
"api_version").

These stand-in engines talk to loopback addresses only (127.0.0.1, ::1,
localhost); any other host is refused with a ``ValueError`` before a
connection is attempted.

``infer(dataset, return_meta_data=False)`` takes a list whose items are a
prompt text, a list of chat messages, or a dictionary with such a "source"
(and optionally "metadata"); it returns the answer texts in order, or
``TextGenerationInferenceOutput`` records with token counts when
``return_meta_data`` is true. With ``use_cache`` true, identical requests
are answered from the engine's own memory. With ``data_classification_policy``
set, every instance whose metadata names a policy must share one with the
engine, else the whole batch is refused.
"""

from __future__ import annotations

import dataclasses
import ipaddress
import json
import os
import threading
import urllib.error
import urllib.parse
import urllib.request
from collections import OrderedDict
from concurrent.futures import ThreadPoolExecutor

URL_KEYS = ("url", "api_base", "base_url")
URL_ENVIRONMENT_VARIABLE = "TALLYX_INFERENCE_URL"
DEFAULT_TIMEOUT = 60.0
CACHE_ENTRIES = 10_000


@dataclasses.dataclass
class TextGenerationInferenceOutput:
    prediction: str
    input_tokens: int | None = None
    output_tokens: int | None = None
    model_name: str | None = None
    inference_type: str | None = None


def is_loopback(host: str | None) -> bool:
    if not host:
        return False
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _messages(source) -> list[dict]:
    if isinstance(source, str):
        return [{"role": "user", "content": source}]
    if isinstance(source, list) and all(isinstance(m, dict) and "role" in m and "content" in m for m in source):
        return [{"role": str(m["role"]), "content": str(m["content"])} for m in source]
    raise TypeError(f"a prompt must be a text or a list of chat messages, got {type(source).__name__}")


class InferenceEngine:
    """Base of every engine: batching, the result cache, the data policy.

    Subclasses implement ``_infer_one(messages) -> TextGenerationInferenceOutput``.
    """

    label = "engine"

    def __init__(
        self,
        *,
        use_cache: bool = True,
        data_classification_policy: list[str] | None = None,
        num_parallel_requests: int = 1,
    ):
        self.use_cache = bool(use_cache)
        self.data_classification_policy = None if data_classification_policy is None else list(data_classification_policy)
        if not isinstance(num_parallel_requests, int) or num_parallel_requests < 1:
            raise ValueError(f"num_parallel_requests must be a positive whole number, got {num_parallel_requests!r}")
        self.num_parallel_requests = num_parallel_requests
        self._cache: OrderedDict[str, TextGenerationInferenceOutput] = OrderedDict()
        self._cache_lock = threading.Lock()

    def get_engine_id(self) -> str:
        return f"{getattr(self, 'model_name', None) or 'default'}_{self.label}"

    # -- batching ------------------------------------------------------
    def _check_policy(self, metadata, index: int) -> None:
        if self.data_classification_policy is None or not isinstance(metadata, dict):
            return
        policy = metadata.get("data_classification_policy")
        if policy is None:
            return
        if not set(policy) & set(self.data_classification_policy):
            raise ValueError(
                f"Instance {index} has data classification policy {list(policy)}, which {type(self).__name__} "
                f"does not accept (it accepts {self.data_classification_policy})"
            )

    def infer(self, dataset, return_meta_data: bool = False):
        requests = []
        for index, item in enumerate(dataset):
            if isinstance(item, dict) and "source" in item:
                self._check_policy(item.get("metadata"), index)
                item = item["source"]
            requests.append(_messages(item))
        if self.num_parallel_requests > 1 and len(requests) > 1:
            with ThreadPoolExecutor(max_workers=min(self.num_parallel_requests, len(requests))) as pool:
                outputs = list(pool.map(self._cached_infer, requests))
        else:
            outputs = [self._cached_infer(messages) for messages in requests]
        return outputs if return_meta_data else [output.prediction for output in outputs]

    def _cached_infer(self, messages: list[dict]) -> TextGenerationInferenceOutput:
        if not self.use_cache:
            return self._infer_one(messages)
        key = json.dumps(self._cache_key(messages), sort_keys=True)
        with self._cache_lock:
            if key in self._cache:
                self._cache.move_to_end(key)
                return self._cache[key]
        output = self._infer_one(messages)
        with self._cache_lock:
            self._cache[key] = output
            while len(self._cache) > CACHE_ENTRIES:
                self._cache.popitem(last=False)
        return output

    def _cache_key(self, messages):
        return messages

    def _infer_one(self, messages: list[dict]) -> TextGenerationInferenceOutput:
        raise NotImplementedError


class ChatCompletionsEngine(InferenceEngine):
    """An engine that posts to ``<base address>/chat/completions``."""

    label = "chat"

    def __init__(
        self,
        *,
        model_name: str | None,
        credentials: dict | None = None,
        use_cache: bool = True,
        data_classification_policy: list[str] | None = None,
        num_parallel_requests: int = 1,
        timeout: float = DEFAULT_TIMEOUT,
        parameters: dict | None = None,
    ):
        super().__init__(
            use_cache=use_cache,
            data_classification_policy=data_classification_policy,
            num_parallel_requests=num_parallel_requests,
        )
        if credentials is not None and not isinstance(credentials, dict):
            raise TypeError(f"credentials must be a dictionary, got {type(credentials).__name__}")
        self.model_name = model_name
        self.credentials = dict(credentials or {})
        self.timeout = float(timeout)
        self.parameters = dict(parameters or {})

    # -- addressing -----------------------------------------------------
    def base_url(self) -> str:
        for key in URL_KEYS:
            if self.credentials.get(key):
                url = str(self.credentials[key])
                break
        else:
            url = os.environ.get(URL_ENVIRONMENT_VARIABLE, "")
        if not url:
            raise ValueError(
                f"{type(self).__name__} has no address: give the credential 'url' or set {URL_ENVIRONMENT_VARIABLE}"
            )
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not is_loopback(parsed.hostname):
            raise ValueError(f"{type(self).__name__} talks to loopback addresses only; refusing {url!r}")
        return url.rstrip("/")

    def endpoint(self) -> str:
        return self.base_url() + "/chat/completions"

    def headers(self) -> dict[str, str]:
        headers = {"Content-Type": "application/json"}
        api_key = self.credentials.get("api_key") or self.credentials.get("apikey")
        if api_key:
            headers["Authorization"] = f"Bearer {api_key}"
        return headers

    def body(self, messages: list[dict]) -> dict:
        body = {}
        if self.model_name:
            body["model"] = self.model_name
        body["messages"] = messages
        body.update(self.parameters)
        return body

    def _cache_key(self, messages):
        return self.body(messages)

    # -- the request -----------------------------------------------------
    def _infer_one(self, messages: list[dict]) -> TextGenerationInferenceOutput:
        url = self.endpoint()
        data = json.dumps(self.body(messages)).encode("utf-8")
        request = urllib.request.Request(url, data=data, headers=self.headers(), method="POST")
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as response:
                answer = json.loads(response.read().decode("utf-8"))
        except urllib.error.HTTPError as error:
            with error:
                detail = error.read().decode("utf-8", "replace")[:500]
            raise RuntimeError(f"{type(self).__name__}: {url} answered {error.code}: {detail}") from None
        except urllib.error.URLError as error:
            raise ConnectionError(f"{type(self).__name__}: cannot reach {url}: {error.reason}") from None
        try:
            prediction = answer["choices"][0]["message"]["content"]
        except (KeyError, IndexError, TypeError):
            raise RuntimeError(f"{type(self).__name__}: {url} gave no chat-completion choice: {str(answer)[:500]}") from None
        usage = answer.get("usage") or {}
        return TextGenerationInferenceOutput(
            prediction=prediction,
            input_tokens=usage.get("prompt_tokens"),
            output_tokens=usage.get("completion_tokens"),
            model_name=answer.get("model", self.model_name),
            inference_type=self.label,
        )


class VMLInferenceEngineGeneration(ChatCompletionsEngine):
    """The AI service's text generation. Credentials: "url", optionally
    "api_key", "username", "password", "instance_id", and one of
    "project_id" / "space_id", which is sent in the body."""

    label = "lmai"

    def __init__(self, credentials: dict | None = None, model_name: str | None = None, use_cache: bool = True, **parameters):
        super().__init__(model_name=model_name, credentials=credentials, use_cache=use_cache, parameters=parameters)

    def body(self, messages):
        body = super().body(messages)
        for key in ("project_id", "space_id"):
            if self.credentials.get(key):
                body[key] = self.credentials[key]
        return body


class OpenAiInferenceEngine(ChatCompletionsEngine):
    label = "openai"

    def __init__(self, model_name: str | None = None, credentials: dict | None = None, use_cache: bool = True, **parameters):
        super().__init__(model_name=model_name, credentials=credentials, use_cache=use_cache, parameters=parameters)


class AzureOpenAIInferenceEngine(ChatCompletionsEngine):
    label = "azure_openai"

    def __init__(self, model_name: str | None = None, credentials: dict | None = None, use_cache: bool = True, **parameters):
        super().__init__(model_name=model_name, credentials=credentials, use_cache=use_cache, parameters=parameters)

    def endpoint(self) -> str:
        url = super().endpoint()
        version = self.credentials.get("api_version")
        return f"{url}?{urllib.parse.urlencode({'api-version': version})}" if version else url

    def headers(self):
        headers = {"Content-Type": "application/json"}
        if self.credentials.get("api_key"):
            headers["api-key"] = str(self.credentials["api_key"])
        return headers


class LiteLLMInferenceEngine(ChatCompletionsEngine):
    """Any hosted model by name; every further keyword is a request
    parameter (temperature, max_tokens, ...)."""

    label = "litellm"

    def __init__(self, model: str | None = None, credentials: dict | None = None, use_cache: bool = True, **parameters):
        self.model = model
        super().__init__(model_name=model, credentials=credentials, use_cache=use_cache, parameters=parameters)


class CrossProviderInferenceEngine(ChatCompletionsEngine):
    """One model through a named provider ("lumara-sdk", "open-ai",
    "vertex-ai", "aws", ...). ``provider_specific_args[provider]`` adds
    request parameters for that provider; its "concurrency_limit" sets the
    number of parallel requests instead."""

    label = "cross_provider"

    def __init__(
        self,
        model: str | None = None,
        provider: str | None = None,
        credentials: dict | None = None,
        provider_specific_args: dict | None = None,
        seed: int | None = None,
        use_cache: bool = True,
        data_classification_policy: list[str] | None = None,
        **parameters,
    ):
        if provider is None or not isinstance(provider, str):
            raise ValueError(f"CrossProviderInferenceEngine needs a provider text, got {provider!r}")
        self.model = model
        self.provider = provider
        self.seed = seed
        self.provider_specific_args = dict(provider_specific_args or {})
        specific = dict(self.provider_specific_args.get(provider) or {})
        concurrency = specific.pop("concurrency_limit", 1)
        if seed is not None:
            parameters["seed"] = seed
        parameters.update(specific)
        super().__init__(
            model_name=model,
            credentials=credentials,
            use_cache=use_cache,
            data_classification_policy=data_classification_policy,
            num_parallel_requests=concurrency,
            parameters=parameters,
        )

    def get_engine_id(self) -> str:
        return f"{self.model or 'default'}_{self.provider}"
