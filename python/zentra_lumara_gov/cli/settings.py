"""The ``--config`` settings file: its shape checked strictly, then the SDK objects built from it.

Tables and keys (TOML)::

    metrics = ["faithfulness", "pii"]     # names used when --metrics is not given
    [columns]        the configuration's fields (GenAIConfiguration)
    [judge]          provider ("openai" | "lmai"), url, api_key, model_id, project_id
    [service]        the governance service's credentials (url, api_key, version, username, ...)
    [metric.NAME]    a metric's settings; "kind" names its class when NAME is not a kind itself

An unknown table or key, or a value of the wrong shape, is refused with one
line naming it (and the closest valid name), never ignored.
"""

from __future__ import annotations

import os
import re
import tomllib
from typing import Any

from zentra_lumara_gov.errors import SettingsError

JUDGE_KEYS = ("provider", "url", "api_key", "model_id", "project_id")
JUDGE_PROVIDERS = ("openai", "lmai")
TOP_LEVEL = {"metrics": "a list of metric names", "columns": "a table", "judge": "a table", "service": "a table",
             "metric": "a table of [metric.NAME] tables"}

# Python-level advice in messages, said the way a command-line user acts on it.
CLI_TERMS = [
    (re.compile(r"give llm_judge to the metric or to the configuration|set llm_judge on the metric or the configuration"),
     "add a [judge] table (url, model_id) to the --config file, or run with --local"),
    (re.compile(r"pass APIClient\(credentials=Credentials\(url=\.\.\., api_key=\.\.\.\)\)"),
     "add a [service] table (url, api_key) to the --config file"),
    (re.compile(r"`?LMG_SERVICE_INSTANCE_ID`? environment variable[^.]*"),
     "service_instance_id of the [service] table (or the LMG_SERVICE_INSTANCE_ID environment variable)"),
]


def in_cli_terms(message: str) -> str:
    for pattern, replacement in CLI_TERMS:
        message = pattern.sub(replacement, message)
    return message


def read_settings(path: str | os.PathLike[str] | None) -> dict[str, Any]:
    """The settings file, its shape checked; no file, no settings."""
    if path is None:
        return {}
    try:
        with open(path, "rb") as handle:
            settings = tomllib.load(handle)
    except UnicodeDecodeError as problem:
        raise SettingsError(f"{path}: not UTF-8 text (byte {problem.object[problem.start]:#04x} at offset "
                            f"{problem.start}); TOML files are UTF-8.") from None
    except RecursionError:
        raise SettingsError(f"{path}: nested too deeply to read.") from None
    except (OSError, tomllib.TOMLDecodeError) as problem:
        raise SettingsError(f"cannot read the settings {path}: {problem}") from None
    check_shape(settings)
    return settings


def check_shape(settings: dict[str, Any]) -> None:
    for key, value in settings.items():
        if key not in TOP_LEVEL:
            raise SettingsError(_unknown("settings", key, TOP_LEVEL, table=isinstance(value, dict)))
        if key == "metrics":
            if not isinstance(value, list) or not all(isinstance(name, str) for name in value):
                raise SettingsError(f"settings: 'metrics' must be {TOP_LEVEL[key]}, not {_shape(value)}.")
        elif not isinstance(value, dict):
            raise SettingsError(f"settings: [{key}] must be {TOP_LEVEL[key]}, not {_shape(value)}.")
    for name, table in (settings.get("metric") or {}).items():
        if not isinstance(table, dict):
            raise SettingsError(f"settings: [metric.{name}] must be a table, not {_shape(table)}.")
    for key in settings.get("judge") or {}:
        if key not in JUDGE_KEYS:
            raise SettingsError(_unknown("[judge]", key, JUDGE_KEYS))


def _unknown(owner: str, key: str, known: Any, table: bool = False) -> str:
    """"<owner>: unknown key 'x'; did you mean 'y'?" (or the known names when none is close)."""
    import difflib

    known = sorted(known)
    close = difflib.get_close_matches(key, known, n=1, cutoff=0.6)
    shown = (lambda name: f"[{name}]") if table else repr
    hint = f"did you mean {shown(close[0])}?" if close else f"known: {', '.join(shown(name) for name in known)}."
    return f"{owner}: unknown {'table' if table else 'key'} {shown(key)}; {hint}"


def _shape(value: Any) -> str:
    return {bool: "true/false", int: "a number", float: "a number", str: "a text", list: "a list",
            dict: "a table"}.get(type(value), type(value).__name__) + f" ({value!r})"[:60]


def metric_names(option: str | None, settings: dict[str, Any]) -> list[str]:
    """The --metrics list, or the settings' ``metrics`` list when the option is absent."""
    names = [name.strip() for name in option.split(",") if name.strip()] if option else list(settings.get("metrics") or [])
    if not names:
        raise SettingsError("no metrics: give --metrics NAME[,NAME...] or a 'metrics' list in the --config file.")
    return names


def build_configuration(settings: dict[str, Any]) -> Any:
    """The configuration from [columns]: AgenticAIConfiguration when it names tool calls, else GenAIConfiguration."""
    from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration

    columns = dict(settings.get("columns") or {})
    kind = AgenticAIConfiguration if columns.get("tool_calls_field") else GenAIConfiguration
    return _built("[columns]", kind, columns)


def build_metrics(names: list[str], settings: dict[str, Any], judge: dict[str, Any] | None,
                  local: bool = False) -> list[Any]:
    """The metric objects: a kind, or a [metric.NAME] table whose ``kind`` is one.

    ``judge``: the keys of the judge model for metrics that need one (None: no
    judge); ``local``: the judge is the local stand-in.
    """
    from zentra_lumara_gov.metrics import metric_kinds

    kinds = metric_kinds()
    tables = settings.get("metric") or {}
    built = []
    for name in names:
        table = dict(tables.get(name) or {})
        kind = table.pop("kind", name)
        found = kinds.get(kind) if ":" not in kind else _imported_metric(kind)
        if found is None:
            raise SettingsError(
                f"unknown metric {name!r}; known: {', '.join(sorted(kinds))}, a package.module:function metric, "
                f"or a [metric.{name}] table of the --config file with a 'kind' among them."
            )
        found = _loaded(kind, found)
        if not isinstance(found, type):  # a metric object (a decorated function): its settings replaced
            built.append(_with_settings(f"[metric.{name}]", found, table))
            continue
        metric_class = found
        names_the_metric = "name" in metric_class.model_fields and metric_class.model_fields["name"].is_required()
        if names_the_metric:
            table.setdefault("name", name)
        elif kind != name:
            table.setdefault("display_name", name)
        needs_judge = "llm_judge" in metric_class.model_fields and (
            names_the_metric or table.get("method") == "llm_as_judge")
        if needs_judge and "llm_judge" not in table and judge is not None:
            table["llm_judge"] = build_judge(judge, criteria=names_the_metric and local)
        built.append(_built(f"[metric.{name}]", metric_class, table))
    return built


def _imported_metric(reference: str) -> Any:
    """The metric object or class that ``package.module:name`` names."""
    from zentra_lumara_gov.custom import imported

    try:
        return imported(*reference.split(":", 1))
    except (ImportError, AttributeError) as problem:
        raise SettingsError(f"cannot import the metric {reference!r}: {problem}") from None


def _loaded(kind: str, found: Any) -> Any:
    from importlib.metadata import EntryPoint

    from zentra_lumara_gov._inputs import is_metric
    from zentra_lumara_gov.entities.metric import GenAIMetric

    if isinstance(found, EntryPoint):
        try:
            found = found.load()
        except Exception as problem:
            raise SettingsError(f"the plugin metric {kind!r} ({found.value}) cannot be loaded: {problem}") from None
    if isinstance(found, type) and issubclass(found, GenAIMetric) or is_metric(found, GenAIMetric):
        return found
    raise SettingsError(f"{kind!r} names {type(found).__name__}, not a metric (a class or @zentra_lumara_gov.metric).")


def _with_settings(where: str, metric: Any, table: dict[str, Any]) -> Any:
    if not table:
        return metric
    with_options = getattr(metric, "with_options", None)
    try:
        if with_options is not None:
            return with_options(**table)
        return type(metric).model_validate({**metric.__dict__, **table})
    except Exception as problem:
        import pydantic

        text = validation_text(problem) if isinstance(problem, pydantic.ValidationError) else str(problem)
        raise SettingsError(f"{where}: {text}") from None


def build_judge(judge: dict[str, Any], criteria: bool) -> Any:
    """The judge model of the [judge] keys: "openai" is any chat-completions service, "lmai" the maker's AI service.

    Without a ``provider``: "lmai" for the criteria judge (``criteria``; the
    local stand-in answers both ways), else "openai".
    """
    from zentra_lumara_gov.entities.credentials import LmAICredentials, OpenAICredentials
    from zentra_lumara_gov.entities.foundation_model import (
        LmAIFoundationModel,
        OpenAIFoundationModel,
        OpenAIModelProvider,
    )
    from zentra_lumara_gov.entities.llm_judge import LLMJudge

    provider = judge.get("provider") or ("lmai" if criteria else "openai")
    if provider not in JUDGE_PROVIDERS:
        raise SettingsError(f"[judge] provider must be 'openai' or 'lmai', not {provider!r}.")
    if not judge.get("url") or not judge.get("model_id"):
        raise SettingsError("[judge] needs url and model_id (or run with --local).")
    if provider == "lmai":
        credentials = _built("[judge]", LmAICredentials, {"url": judge["url"], "api_key": judge.get("api_key")})
        model = _built("[judge]", LmAIFoundationModel, {
            "model_id": judge["model_id"], "project_id": judge.get("project_id", "local-project"),
            "provider": {"credentials": credentials}})
    else:
        credentials = _built("[judge]", OpenAICredentials, {"api_key": judge.get("api_key"), "url": judge["url"]})
        model = _built("[judge]", OpenAIFoundationModel, {
            "model_id": judge["model_id"], "provider": OpenAIModelProvider(credentials=credentials)})
    return LLMJudge(model=model)


def build_api_client(settings: dict[str, Any]) -> Any:
    """The service client of the [service] table (None: the SDK's default client from the environment)."""
    from zentra_lumara_gov.clients.api_client import APIClient, Credentials

    service = settings.get("service")
    if not service:
        return None
    return APIClient(_built("[service]", Credentials, dict(service)))


def _built(where: str, model: type, values: dict[str, Any]) -> Any:
    """``model(**values)``; an unknown key or bad value as one line in the file's terms, no value echoed."""
    import pydantic

    from zentra_lumara_gov.entities.base_classes import _accepted_names

    for key in values:
        if key not in _accepted_names(model):
            raise SettingsError(_unknown(where, key, _accepted_names(model)))
    try:
        return model(**values)
    except pydantic.ValidationError as problem:
        raise SettingsError(f"{where}: {validation_text(problem)}") from None
    except (TypeError, ValueError) as problem:
        raise SettingsError(f"{where}: {problem}") from None


def validation_text(problem: Any) -> str:
    """A settings error in one line per field, without the values given (they may hold credentials)."""
    lines = []
    for error in problem.errors(include_url=False, include_input=False, include_context=False):
        where = ".".join(str(part) for part in error["loc"])
        text = error["msg"].removeprefix("Value error, ")
        lines.append(f"{where}: {text}" if where else text)
    return "; ".join(lines)
