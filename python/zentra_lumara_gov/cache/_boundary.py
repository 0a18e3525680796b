"""Where the call cache meets the services: the detection service's HTTP session and the judges' engines.

Both are in place while at least one run with a cache is going on (and
taken away after the last one); they pass every call on unchanged while no
cache is active in the caller's context (another run's, say).

* The detection provider makes its session from its module's ``aiohttp`` at
  call time; that name is given a stand-in whose ``ClientSession`` is the
  real one, or, while a cache is active, a session that answers a post from
  the cache and records what the real session answered with status 200.
* A judge asks an inference engine's ``infer`` for a batch of prompts; the
  engines' ``infer`` looks every prompt up first and asks the engine only
  for the ones the cache lacks. An engine answering with a caller's own
  function (no service) is never cached.
"""

from __future__ import annotations

import json
import threading
import types
from typing import Any

from zentra_lumara_gov.cache import CacheMissError, CallCache, active_cache, call_base, calling_metric, sample_key

_users = 0
_install_lock = threading.Lock()
_UNCACHED_ENGINES = ("custom",)


def acquire() -> None:
    """One more run with a cache: the first puts the cache in the services' way."""
    global _users
    with _install_lock:
        if _users == 0:
            _install_session()
            _install_engines()
        _users += 1


def release() -> None:
    """One run with a cache less: after the last one the services are reached as before."""
    global _users
    with _install_lock:
        _users -= 1
        if _users == 0:
            _remove_session()
            _remove_engines()


# --- detection service --------------------------------------------------------------


class _AiohttpWithCache(types.ModuleType):
    """Stands in for the module ``aiohttp`` in the detection provider (under its name): everything is the
    module's own, but for ``ClientSession`` while a cache is active."""

    def __init__(self, module: Any) -> None:
        super().__init__(getattr(module, "__name__", "aiohttp"), getattr(module, "__doc__", None))
        self._module = module

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)

    @property
    def ClientSession(self) -> Any:  # noqa: N802 - the name the provider reads
        cache = active_cache.get()
        real = self._module.ClientSession
        if cache is None:
            return real
        metric = cache.metric_part(calling_metric.get())
        return lambda *args, **kwargs: _CachingSession(cache, metric, real, args, kwargs)


def _install_session() -> None:
    from zentra_lumara_gov.providers import screener_provider

    current = screener_provider.aiohttp
    if not isinstance(current, _AiohttpWithCache):
        screener_provider.aiohttp = _AiohttpWithCache(current)


def _remove_session() -> None:
    from zentra_lumara_gov.providers import screener_provider

    current = screener_provider.aiohttp
    if isinstance(current, _AiohttpWithCache):  # what another hand put there stays
        screener_provider.aiohttp = current._module


class _CachingSession:
    """An HTTP session whose posts are answered from the cache when it can; the real one is opened on the first miss."""

    def __init__(self, cache: CallCache, metric: Any, factory: Any, args: tuple, kwargs: dict) -> None:
        self.cache, self.metric = cache, metric
        self._factory, self._args, self._kwargs = factory, args, kwargs
        self._session: Any = None
        self._entered = False

    async def __aenter__(self) -> _CachingSession:
        return self

    async def __aexit__(self, *exc_info: Any) -> Any:
        if self._session is not None:
            return await self._session.__aexit__(*exc_info)
        return None

    async def real(self) -> Any:
        if self._session is None:
            session = self._factory(*self._args, **self._kwargs)
            await session.__aenter__()
            self._session = session
        return self._session

    def post(self, url: Any = None, **kwargs: Any) -> _CachedPost:
        return _CachedPost(self, url, kwargs)


def _request_form(data: Any) -> Any:
    """A posted body as the key holds it: parsed JSON (key order does not count), else the text itself."""
    if isinstance(data, (bytes, bytearray)):
        data = bytes(data).decode("utf-8", "replace")
    if isinstance(data, str):
        try:
            return json.loads(data)
        except ValueError:
            return data
    return data


class _CachedPost:
    """One post: ``async with session.post(...) as response``."""

    def __init__(self, session: _CachingSession, url: Any, kwargs: dict[str, Any]) -> None:
        self.session, self.url, self.kwargs = session, url, kwargs
        headers = kwargs.get("headers") or {}
        service = {name: headers[name] for name in ("x-governance-instance-id",) if name in headers}
        self.endpoint = None if url is None else str(url)
        # The repeat-free key: the post's sample index is claimed when it is made.
        self.base = call_base(kind="detection", endpoint=self.endpoint, service=service,
                             request=_request_form(kwargs.get("data")), metric=session.metric)
        self.index: int | None = None
        self.kept = False
        self._manager: Any = None

    def describe(self) -> str:
        name = (self.session.metric or {}).get("name")
        return f"the detection call of metric {name!r} to {self.endpoint} (key {self.key[:16]}...)"

    @property
    def key(self) -> str:
        return sample_key(self.base, self.index or 0)

    async def __aenter__(self) -> Any:
        cache = self.session.cache
        self.index = cache.claim(self.base)
        try:
            stored = await cache.lookup(self.key)
            if stored is not None:
                cache.tally.count(hits=1)
                self.kept = True
                return _StoredResponse(stored.answer)
            if cache.replay:
                cache.missed(self.describe())
                raise CacheMissError(f"the cache holds no answer for {self.describe()}")
            session = await self.session.real()
            self._manager = session.post(url=self.url, **self.kwargs)
            cache.tally.count(calls=1)  # an attempt is a call, answered or not
            return _RecordingResponse(await self._manager.__aenter__(), self)
        except BaseException:
            # No answer and no exit to come: the next identical call takes this sample's index.
            cache.give_back(self.base, self.index)
            self.index = None
            raise

    async def __aexit__(self, *exc_info: Any) -> Any:
        if not self.kept and self.index is not None:
            self.session.cache.give_back(self.base, self.index)
        if self._manager is not None:
            return await self._manager.__aexit__(*exc_info)
        return None

    def keep(self, text: str) -> None:
        try:
            json.loads(text)
        except ValueError:
            return  # the provider fails such an answer: it is not kept
        self.session.cache.put(self.key, kind="detection", endpoint=self.endpoint, model=None, answer=text)
        self.kept = True


class _StoredResponse:
    status = 200

    def __init__(self, text: str) -> None:
        self._text = text

    async def text(self, *args: Any, **kwargs: Any) -> str:
        return self._text


class _RecordingResponse:
    """The real response; its text is kept when the status is 200."""

    def __init__(self, response: Any, post: _CachedPost) -> None:
        self._response, self._post = response, post

    def __getattr__(self, name: str) -> Any:
        return getattr(self._response, name)

    @property
    def status(self) -> Any:
        return self._response.status

    async def text(self, *args: Any, **kwargs: Any) -> str:
        text = await self._response.text(*args, **kwargs)
        if self._response.status == 200:
            self._post.keep(text)
        return text


# --- judge engines -------------------------------------------------------------------


def _install_engines() -> None:
    from tallyx import inference

    original = inference.InferenceEngine.__dict__["infer"]
    if getattr(original, "_zlg_cached", False):
        return

    def infer(self: Any, dataset: Any, return_meta_data: bool = False) -> Any:
        cache = active_cache.get()
        if cache is None or getattr(self, "label", None) in _UNCACHED_ENGINES:
            return original(self, dataset, return_meta_data)
        return _cached_infer(cache, original, self, dataset, return_meta_data)

    infer._zlg_cached = True  # type: ignore[attr-defined]
    infer.__doc__ = original.__doc__
    infer.__wrapped__ = original  # type: ignore[attr-defined]
    inference.InferenceEngine.infer = infer


def _remove_engines() -> None:
    from tallyx import inference

    current = inference.InferenceEngine.__dict__["infer"]
    if getattr(current, "_zlg_cached", False):
        inference.InferenceEngine.infer = current.__wrapped__


def _engine_identity(engine: Any) -> tuple[str | None, dict[str, Any], Any]:
    """(endpoint, service identity, parameters) of an engine, without its credentials' secrets."""
    from zentra_lumara_gov.run_record import without_secrets

    endpoint = engine.endpoint() if callable(getattr(engine, "endpoint", None)) else None
    service = {"engine": f"{type(engine).__module__}.{type(engine).__qualname__}",
               "model": getattr(engine, "model_name", None), "provider": getattr(engine, "provider", None)}
    parameters = without_secrets(dict(getattr(engine, "parameters", None) or {}))
    return endpoint, service, parameters


def _cached_infer(cache: CallCache, original: Any, engine: Any, dataset: Any, return_meta_data: bool) -> Any:
    from tallyx import inference

    items = list(dataset)
    try:
        for index, item in enumerate(items):
            if isinstance(item, dict) and "source" in item:
                engine._check_policy(item.get("metadata"), index)
        messages = [inference._messages(item["source"] if isinstance(item, dict) and "source" in item else item)
                    for item in items]
        endpoint, service, parameters = _engine_identity(engine)
        requests = [engine.body(each) if callable(getattr(engine, "body", None)) else {"messages": each}
                    for each in messages]
    except Exception:
        # What the engine refuses, it refuses itself, with its own error.
        return original(engine, items, return_meta_data)
    metric = cache.metric_part(calling_metric.get())
    bases = [call_base(kind="judge", endpoint=endpoint, service=service, request=request, parameters=parameters,
                      metric=metric) for request in requests]
    indexes = [cache.claim(base) for base in bases]
    keys = [sample_key(base, index) for base, index in zip(bases, indexes)]
    model = str(service["model"] or engine.get_engine_id())
    kept = [False] * len(items)
    try:
        stored = cache.get_many(keys)
        outputs: list[Any] = [None] * len(items)
        wanted = []
        for position, key in enumerate(keys):
            answer = stored.get(key)
            if answer is None:
                wanted.append(position)
                continue
            kept[position] = True
            fields = json.loads(answer.answer)
            outputs[position] = inference.TextGenerationInferenceOutput(**fields)
        cache.tally.count(hits=len(items) - len(wanted))
        if wanted and cache.replay:
            for position in wanted:
                cache.missed(f"the judge call of model {model!r} at {endpoint} (key {keys[position][:16]}...)")
            raise CacheMissError(f"the cache holds no answer for {cache.missing[-len(wanted)]}")
        if wanted:
            answers = original(engine, [items[position] for position in wanted], True)
            cache.tally.count(calls=len(wanted))
            for position, output in zip(wanted, answers):
                outputs[position] = output
                cache.tally.used(model, output.input_tokens, output.output_tokens)
                cache.put(keys[position], kind="judge", endpoint=endpoint, model=model,
                          answer=json.dumps({"prediction": output.prediction, "input_tokens": output.input_tokens,
                                             "output_tokens": output.output_tokens, "model_name": output.model_name,
                                             "inference_type": output.inference_type}),
                          input_tokens=output.input_tokens, output_tokens=output.output_tokens)
                kept[position] = True
    finally:
        for base, index, done in zip(bases, indexes, kept):
            if not done:
                cache.give_back(base, index)
    return outputs if return_meta_data else [output.prediction for output in outputs]
