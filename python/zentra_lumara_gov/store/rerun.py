"""Evaluating a stored run again: resuming one that did not finish, replaying one from its cached answers.

Both start from what a run keeps when it runs with the call cache (the
``run_inputs`` table): the table it evaluated, with its record ids, and its
run record as it began (configuration, metric definitions, services, tags).
The configuration and metrics are rebuilt from that record; the record holds
no secrets, so a run that must call a service again is given its keys
(``secrets``: merged into every credentials setting of the judges) or its
service client (``api_client``), or the caller's own metric objects.

* :func:`resume` runs it again through the call cache: every answer the
  first attempt received is reused, only the missing calls are made, and
  the finished run is recorded under the first attempt's run id (linked to
  it by ``resumed_from``), or, when the first attempt was itself recorded as
  failed or interrupted, under a new id linked the same way (a stored run is
  never replaced).
* :func:`replay` recomputes a stored run from the cache alone, calling
  nothing, and checks that every value and the run's digest come out as
  stored: the digest is recomputed from the stored run and record rows with
  the recomputed aggregates and record results in place of the stored ones.
"""

from __future__ import annotations

import dataclasses
import importlib
from collections.abc import Mapping, Sequence
from typing import Any

REPLAY_KEY = "replay-never-sent"


@dataclasses.dataclass(frozen=True)
class Replay:
    """What :func:`replay` found: ``ok`` when every value and the digest came out as stored."""

    run_id: str
    digest: str
    recomputed_digest: str
    answers_used: int
    differences: list[str]

    @property
    def ok(self) -> bool:
        return not self.differences and self.digest == self.recomputed_digest

    def __str__(self) -> str:
        if self.ok:
            return (f"run {self.run_id} replayed from {self.answers_used} cached answers: every value and the "
                    f"digest {self.digest} come out the same")
        shown = "; ".join(self.differences[:5]) or "the recomputed digest differs"
        return f"run {self.run_id} does not replay: {shown}"


def _with_secrets(value: Any, secrets: Mapping[str, str]) -> Any:
    """``value`` with ``secrets`` added to every credentials mapping in it (what a run record leaves out),
    without its unset (None) settings."""
    if isinstance(value, Mapping):
        # Unset settings are left unset (a model refuses a field it does not have, even as None).
        out = {key: _with_secrets(item, secrets) for key, item in value.items() if item is not None}
        if "credentials" in out and isinstance(out["credentials"], Mapping):
            out["credentials"] = {**secrets, **out["credentials"]}
        return out
    if isinstance(value, list):
        return [_with_secrets(item, secrets) for item in value]
    return value


def _model_classes() -> dict[str, Any]:
    """Judge model classes by their provider's type ("openai", "lumara_ai", ...)."""
    import typing

    from zentra_lumara_gov.entities import foundation_model

    found: dict[str, Any] = {}
    pending = list(foundation_model.FoundationModel.__subclasses__())
    while pending:
        model_class = pending.pop()
        pending.extend(model_class.__subclasses__())
        field = model_class.model_fields.get("provider")
        candidates = [field.annotation, *typing.get_args(field.annotation)] if field is not None else []
        for provider_class in candidates:
            kind = getattr(provider_class, "model_fields", {}).get("type")
            if kind is not None and kind.default is not None:
                found.setdefault(str(getattr(kind.default, "value", kind.default)), model_class)
    return found


def _judges_rebuilt(value: Any) -> Any:
    """Every judge setting ({"model": {"provider": {"type": ...}}}) as the judge object of its provider's model class."""
    if isinstance(value, list):
        return [_judges_rebuilt(item) for item in value]
    if not isinstance(value, Mapping):
        return value
    value = {key: _judges_rebuilt(item) for key, item in value.items()}
    judge = value.get("llm_judge")
    if isinstance(judge, Mapping) and isinstance(judge.get("model"), Mapping):
        from zentra_lumara_gov.entities.llm_judge import LLMJudge

        model = dict(judge["model"])
        kind = str((model.get("provider") or {}).get("type"))
        model_class = _model_classes().get(kind)
        if model_class is not None:
            value["llm_judge"] = LLMJudge(**{**judge, "model": model_class(**{
                key: item for key, item in model.items() if key in model_class.model_fields})})
    return value


def rebuild_metrics(definitions: Sequence[Any], secrets: Mapping[str, str] | None = None) -> list[Any]:
    """The metric objects of a run record's metric definitions (their class, settings and thresholds)."""
    from zentra_lumara_gov.entities.metric_threshold import MetricThreshold

    metrics = []
    for definition in definitions:
        module_name, _, class_name = definition.kind.rpartition(".")
        try:
            metric_class = getattr(importlib.import_module(module_name), class_name)
        except (ImportError, AttributeError) as missing:
            raise ValueError(f"the metric class {definition.kind} of {definition.name!r} cannot be imported: "
                             f"{missing}") from missing
        settings = _judges_rebuilt(_with_secrets(dict(definition.parameters), secrets or {}))
        for name in ("method", "display_name"):
            if getattr(definition, name) is not None:
                settings[name] = getattr(definition, name)
        if "name" in getattr(metric_class, "model_fields", {}):
            settings["name"] = definition.name
        settings["thresholds"] = [MetricThreshold(type=threshold.type, value=threshold.value)
                                  for threshold in definition.thresholds]
        try:
            metrics.append(metric_class(**settings))
        except Exception as refused:  # noqa: BLE001 - told as the run's metric that cannot be rebuilt
            raise ValueError(f"the metric {definition.name!r} cannot be rebuilt from the run record: {refused}") \
                from refused
    return metrics


def rebuild_configuration(record: Any, secrets: Mapping[str, str] | None = None) -> Any:
    from zentra_lumara_gov.config import GenAIConfiguration

    if record.configuration is None:
        return GenAIConfiguration()
    # Only what the run set: a setting given explicitly is checked against the table, a default is not.
    defaults = GenAIConfiguration().model_dump(mode="json")
    given = {key: value for key, value in record.configuration.items() if defaults.get(key, object()) != value}
    return GenAIConfiguration(**_judges_rebuilt(_with_secrets(given, secrets or {})))


def offline_client(record: Any) -> Any:
    """A client of the run's governance service as the record names it, with a key that is never sent."""
    from zentra_lumara_gov.clients.api_client import APIClient, Credentials

    for service in record.services:
        if service.role == "governance" and service.url:
            details = service.details or {}
            return APIClient(Credentials(url=service.url, version=details.get("version"), username="replay",
                                         api_key=REPLAY_KEY, service_instance_id=details.get("service_instance_id")))
    return None


def _checked_metrics(metrics: Sequence[Any], record: Any) -> None:
    """The caller's metrics must be the run's: the same keys in the same order."""
    from zentra_lumara_gov.run_record import MetricDefinition

    given = [MetricDefinition.of(metric).key[::2] for metric in metrics]
    stored = [definition.key[::2] for definition in record.metrics]
    if given != stored:
        raise ValueError(f"the metrics given are not the run's: {given} against {stored}")


def _definition(record: Any, *, metrics: Any, configuration: Any, api_client: Any, secrets: Any,
                raise_exceptions: bool) -> Any:
    from zentra_lumara_gov import _pipeline

    if metrics is None:
        metrics = rebuild_metrics(record.metrics, secrets)
    else:
        metrics = list(metrics)
        _checked_metrics(metrics, record)
    if configuration is None:
        configuration = rebuild_configuration(record, secrets)
    definition, _ = _pipeline.plan_run(metrics, configuration=configuration, api_client=api_client,
                                       raise_exceptions=raise_exceptions)
    return definition


def resume(store: Any, run_id: str, *, metrics: Sequence[Any] | None = None, configuration: Any = None,
           api_client: Any = None, secrets: Mapping[str, str] | None = None, raise_exceptions: bool = False,
           prices: Mapping[str, Any] | None = None, show_progress: bool | None = False) -> Any:
    """Finish run ``run_id`` (interrupted, failed, or whose process died) from its kept input; see the module text.

    ``metrics``, ``configuration``: the caller's own (checked to be the
    run's); by default rebuilt from the run record, with ``secrets`` added to
    the judges' credentials. ``api_client``: the governance service's client
    (default: the one the environment describes). Returns the result, recorded
    in ``store``; ``result.run.resumed_from`` names the first attempt.
    """
    from sqlalchemy import func, select

    from zentra_lumara_gov import _pipeline
    from zentra_lumara_gov.cache import CallCache
    from zentra_lumara_gov.store import schema

    begun, table = store.kept_input(run_id)
    first = begun.resumed_from or begun.run_id
    runs = schema.runs
    with store._engine.connect() as connection, connection.begin():
        stored = connection.execute(select(runs.c.status).where(runs.c.run_id == begun.run_id)).first()
        attempts = connection.execute(select(func.count()).select_from(runs).where(
            runs.c.record.like(f'%"resumed_from":"{first}"%'))).scalar_one()
    if stored is not None and stored.status == "completed":
        raise ValueError(f"run {begun.run_id} completed; there is nothing to resume")
    definition = _definition(begun, metrics=metrics, configuration=configuration, api_client=api_client,
                             secrets=secrets, raise_exceptions=raise_exceptions)
    update = {"data_source": begun.data_source, "resumed_from": first, "attempt": attempts + 2}
    if stored is None:  # the first attempt's process died before it could record anything
        update["run_id"] = begun.run_id
    with CallCache(store, prices=prices) as cache:
        plan = _pipeline.prepare(definition, table, output_cast=True, show_progress=show_progress, tags=begun.tags,
                                 store=store, cache=cache, record_update=update)
        return _pipeline.run(plan)


def replay(store: Any, run_id: str, *, metrics: Sequence[Any] | None = None, configuration: Any = None,
           api_client: Any = None) -> Replay:
    """Recompute stored run ``run_id`` from the call cache alone and compare it with what was stored.

    Nothing is called: an answer the cache lacks raises
    :class:`~zentra_lumara_gov.cache.CacheMissError` naming the call.
    """
    from zentra_lumara_gov import _pipeline
    from zentra_lumara_gov.cache import CallCache

    record = store.run_record(run_id)
    begun, table = store.kept_input(record.run_id)
    if api_client is None:
        api_client = offline_client(begun)
    definition = _definition(begun, metrics=metrics, configuration=configuration, api_client=api_client,
                             secrets={"api_key": REPLAY_KEY}, raise_exceptions=False)
    with CallCache(store, mode="replay") as cache:
        plan = _pipeline.prepare(definition, table, output_cast=True, show_progress=False, cache=cache)
        result = _pipeline.run(plan)
        cache.check_complete()
        used = cache.tally.hits
    return _compared(store, record.run_id, result, used)


def _compared(store: Any, run_id: str, result: Any, used: int) -> Replay:
    from sqlalchemy import select

    from zentra_lumara_gov.store import digest as _digest
    from zentra_lumara_gov.store import run_store, schema

    aggregates = list(result.aggregates)
    stored = store.load(run_id)
    differences = _differences(stored, result)
    with store._engine.connect() as connection, connection.begin():
        row = connection.execute(select(schema.runs).where(schema.runs.c.run_id == run_id)).first()
        hasher = _digest.ContentHasher()
        hasher.run(tuple(getattr(row, name) for name in schema.RUN_HASHED_COLUMNS))
        quoted = ", ".join(f'"{name}"' for name in schema.RECORD_COLUMNS)
        hasher.records(store._fetch(connection, f"SELECT {quoted} FROM records WHERE run_id = :run_id "
                                                "ORDER BY position", run_id))
    hasher.aggregates(row_[1:] for row_ in run_store._aggregate_rows(run_id, aggregates))
    hasher.results(row_[1:] for batch in run_store._object_result_rows(run_id, aggregates) for row_ in batch)
    recomputed = _digest.chained(row.previous_digest, hasher.hexdigest())
    return Replay(run_id=run_id, digest=row.digest, recomputed_digest=recomputed, answers_used=used,
                  differences=differences)


def _differences(stored: Any, recomputed: Any) -> list[str]:
    """Where the recomputed results differ from the stored ones: metric, record, field, both values."""
    found = []
    before, after = list(stored.aggregates), list(recomputed.aggregates)
    if [aggregate.name for aggregate in before] != [aggregate.name for aggregate in after]:
        return [f"the metrics differ: {[a.name for a in before]} against {[a.name for a in after]}"]
    for old, new in zip(before, after):
        if not _same(old.value, new.value):
            found.append(f"{old.name}: aggregate {old.value!r} stored, {new.value!r} recomputed")
        old_records = {record.record_id: record for record in old.record_level_metrics}
        for record in new.record_level_metrics:
            kept = old_records.get(record.record_id)
            if kept is None:
                found.append(f"{old.name}: record {record.record_id} was not stored")
                continue
            for field in ("value", "label", "explanation"):
                if not _same(getattr(kept, field, None), getattr(record, field, None)):
                    found.append(f"{old.name}: record {record.record_id} {field} {getattr(kept, field, None)!r} "
                                 f"stored, {getattr(record, field, None)!r} recomputed")
    return found


def _same(first: Any, second: Any) -> bool:
    if isinstance(first, float) and isinstance(second, float) and first != first and second != second:
        return True
    return first == second
