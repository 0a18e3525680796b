"""The command line: ``zentra-lumara-gov evaluate DATA --metrics NAME[,NAME...]``.

Also run as ``python -m zentra_lumara_gov``. Exit codes: 0 on success; 1 when
a metric failed, or when ``--fail-on-threshold`` is given and a record breaks
a threshold; 2 on bad usage or input (the message on standard error, no
traceback). Progress and logs go to standard error; results go to standard
output as JSON, or to the ``--out`` file (.json, .csv, .parquet or .html).

The evaluation itself is :func:`run_evaluation`, which takes an
:class:`EvaluationRequest`; the command only builds the request and reports.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import pathlib
import sys
import tomllib
from collections.abc import Iterator
from typing import Any

import click

# Metric names the command knows, and the class of zentra_lumara_gov.metrics each stands for.
LIBRARY_METRICS = {
    "faithfulness": "FaithfulnessMetric",
    "answer_relevance": "AnswerRelevanceMetric",
    "context_relevance": "ContextRelevanceMetric",
    "answer_correctness": "AnswerCorrectnessMetric",
}
DETECTION_METRICS = {
    "pii": "PIIMetric",
    "hap": "HAPMetric",
    "keyword": "KeywordMetric",
    "regex": "RegexMetric",
    "prompt_safety_risk": "PromptSafetyRiskMetric",
    "topic_relevance": "TopicRelevanceMetric",
    "tool_call_accuracy": "ToolCallAccuracyMetric",
    "answer_relevance_detection": "AnswerRelevanceDetectionMetric",
    "context_relevance_detection": "ContextRelevanceDetectionMetric",
    "faithfulness_detection": "FaithfulnessDetectionMetric",
}
JUDGE_METRICS = {"llm_as_judge": "LLMAsJudgeMetric"}
METRIC_KINDS = {**LIBRARY_METRICS, **DETECTION_METRICS, **JUDGE_METRICS}
OUTPUT_FORMATS = (".json", ".csv", ".parquet", ".html")

# What --local gives the local stand-ins and the service client that reaches them.
LOCAL_SECRET, LOCAL_USER, LOCAL_INSTANCE = "local-key", "local", "local-instance"
LOCAL_JUDGE_MODEL = "loopback-judge"


class InputProblem(click.ClickException):
    """Bad input (a file, a setting, a metric name): exit code 2, the message and no traceback."""

    exit_code = 2


@dataclasses.dataclass
class EvaluationRequest:
    """Everything one evaluation from the command line needs."""

    data: pathlib.Path
    metric_names: list[str]
    settings: dict[str, Any]
    local: bool = False
    show_progress: bool | None = None


@dataclasses.dataclass
class Services:
    """Where the judge model and the governance/detection service are reached for one run."""

    judge_url: str | None
    api_client: Any


def load_table(path: pathlib.Path) -> Any:
    """A record table from CSV, JSON Lines (.jsonl, .ndjson) or Parquet, by the file's suffix.

    CSV cells holding JSON lists or mappings (as ``to_csv`` writes them) are
    read back as lists and mappings; Parquet arrays become lists.
    """
    import pandas as pd

    suffix = path.suffix.lower()
    try:
        if suffix in (".jsonl", ".ndjson"):
            with path.open(encoding="utf-8") as handle:
                records = [json.loads(line) for line in handle if line.strip()]
            return pd.DataFrame(records)
        if suffix == ".csv":
            return _decoded_json_cells(pd.read_csv(path, dtype=str, keep_default_na=False))
        if suffix == ".parquet":
            table = pd.read_parquet(path)
            return table.apply(lambda column: column.map(_as_list) if column.dtype == object else column)
    except (OSError, ValueError, ImportError) as problem:
        raise InputProblem(f"cannot read {path}: {problem}") from problem
    raise InputProblem(f"{path}: the data must be a .csv, .jsonl or .parquet file, not {suffix or 'no suffix'}.")


def _decoded_json_cells(table: Any) -> Any:
    def decode(value: Any) -> Any:
        if isinstance(value, str) and value[:1] in "[{":
            try:
                return json.loads(value)
            except ValueError:
                return value
        return value

    return table.apply(lambda column: column.map(decode))


def _as_list(value: Any) -> Any:
    return value.tolist() if hasattr(value, "tolist") and not isinstance(value, (str, bytes)) else value


def load_settings(path: pathlib.Path | None) -> dict[str, Any]:
    """The TOML settings file, or no settings."""
    if path is None:
        return {}
    try:
        with path.open("rb") as handle:
            return tomllib.load(handle)
    except (OSError, tomllib.TOMLDecodeError) as problem:
        raise InputProblem(f"cannot read the settings {path}: {problem}") from problem


def metric_names_from(option: str | None, settings: dict[str, Any]) -> list[str]:
    """The --metrics list, or the settings' ``metrics`` list when the option is absent."""
    if option:
        names = [name.strip() for name in option.split(",") if name.strip()]
    else:
        names = list(settings.get("metrics") or [])
    if not names:
        raise InputProblem("no metrics: give --metrics NAME[,NAME...] or a 'metrics' list in the --config file.")
    return names


def build_metrics(names: list[str], settings: dict[str, Any], services: Services) -> list[Any]:
    """The metric objects: a known name, or a [metric.NAME] table whose ``kind`` is one."""
    import pydantic

    from zentra_lumara_gov import metrics as metric_classes

    tables = settings.get("metric") or {}
    built = []
    for name in names:
        table = dict(tables.get(name) or {})
        kind = table.pop("kind", name)
        if kind not in METRIC_KINDS:
            raise InputProblem(
                f"unknown metric {name!r}; known: {', '.join(sorted(METRIC_KINDS))}, or a [metric.{name}] "
                "table of the --config file with a 'kind' among them."
            )
        if kind != name and kind not in JUDGE_METRICS:
            table.setdefault("display_name", name)
        if kind in JUDGE_METRICS:
            table.setdefault("name", name)
        needs_judge = kind in JUDGE_METRICS or table.get("method") == "llm_as_judge"
        if needs_judge and "llm_judge" not in table:
            judge = judge_from(settings, services, criteria=kind in JUDGE_METRICS)
            if judge is not None:
                table["llm_judge"] = judge
        try:
            built.append(getattr(metric_classes, METRIC_KINDS[kind])(**table))
        except pydantic.ValidationError as problem:
            raise InputProblem(f"metric {name!r}: {validation_text(problem)}") from problem
        except (TypeError, ValueError) as problem:
            raise InputProblem(f"metric {name!r}: {problem}") from problem
    return built


def validation_text(problem: Any) -> str:
    """A settings error in one line per field, without the values given (they may hold credentials)."""
    lines = []
    for error in problem.errors(include_url=False, include_input=False):
        where = ".".join(str(part) for part in error["loc"])
        lines.append(f"{where}: {error['msg']}" if where else error["msg"])
    return "; ".join(lines)


def judge_from(settings: dict[str, Any], services: Services, criteria: bool) -> Any:
    """The judge model of the [judge] table; with --local, the local judge.

    ``provider`` "openai" is any chat-completions service at ``url``;
    "lmai" is a model of the maker's AI service (``url``, ``project_id``).
    Without a ``provider``, the local judge is reached the way each metric
    family reaches a service of its own: the criteria judge as "lmai", the
    evaluation library as "openai".
    """
    from zentra_lumara_gov.entities.credentials import LmAICredentials, OpenAICredentials
    from zentra_lumara_gov.entities.foundation_model import (
        LmAIFoundationModel,
        OpenAIFoundationModel,
        OpenAIModelProvider,
    )
    from zentra_lumara_gov.entities.llm_judge import LLMJudge

    judge = dict(settings.get("judge") or {})
    url = judge.get("url") or services.judge_url
    if url is None:
        return None
    api_key = judge.get("api_key", LOCAL_SECRET)
    model_id = judge.get("model_id", LOCAL_JUDGE_MODEL)
    provider = judge.get("provider") or ("lmai" if criteria and services.judge_url else "openai")
    if provider == "lmai":
        model = LmAIFoundationModel(model_id=model_id, project_id=judge.get("project_id", "local-project"),
                                    provider={"credentials": LmAICredentials(url=url, api_key=api_key)})
    elif provider == "openai":
        model = OpenAIFoundationModel(model_id=model_id, provider=OpenAIModelProvider(
            credentials=OpenAICredentials(api_key=api_key, url=url)))
    else:
        raise InputProblem(f"[judge] provider must be 'openai' or 'lmai', not {provider!r}.")
    return LLMJudge(model=model)


def build_configuration(settings: dict[str, Any]) -> Any:
    """The configuration from the [columns] table: GenAIConfiguration, AgenticAIConfiguration with tool calls."""
    import pydantic

    from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration

    columns = dict(settings.get("columns") or {})
    kind = AgenticAIConfiguration if columns.get("tool_calls_field") else GenAIConfiguration
    try:
        return kind(**columns)
    except pydantic.ValidationError as problem:
        raise InputProblem(f"[columns]: {validation_text(problem)}") from problem


@contextlib.contextmanager
def services_for(request: EvaluationRequest) -> Iterator[Services]:
    """The judge address and service client of the run; with --local, stand-ins started for it and stopped after."""
    from zentra_lumara_gov.clients.api_client import APIClient, Credentials

    service = dict(request.settings.get("service") or {})
    if not request.local:
        client = APIClient(Credentials(**service)) if service else None
        yield Services(judge_url=None, api_client=client)
        return
    try:
        from detection_service import ServiceProcess
        from zentra_judge_server import JudgeServerProcess
    except ImportError as missing:
        raise InputProblem(
            f"--local needs the local stand-ins ({missing.name} is missing): pip install ./standins"
        ) from missing
    judge = JudgeServerProcess().start(timeout=20)
    try:
        detection = ServiceProcess(["--secret", LOCAL_SECRET, "--username", LOCAL_USER,
                                    "--instance-id", LOCAL_INSTANCE, "--no-request-log"], timeout=20)
        with detection:
            click.echo(f"local judge at {judge.url}, detection service at {detection.url}", err=True)
            client = APIClient(Credentials(url=detection.url, version="5.0", username=LOCAL_USER,
                                           api_key=LOCAL_SECRET, service_instance_id=LOCAL_INSTANCE))
            yield Services(judge_url=judge.url, api_client=client)
    finally:
        judge.stop()


def compute(table: Any, metrics: list[Any], configuration: Any, services: Services,
            show_progress: bool | None) -> Any:
    """The evaluation proper, in this process: failures are kept in the result, not raised."""
    from zentra_lumara_gov import evaluate

    return evaluate(table, metrics, configuration=configuration, api_client=services.api_client,
                    raise_exceptions=False, show_progress=show_progress)


def run_evaluation(request: EvaluationRequest) -> Any:
    """Load the data, build the metrics and the configuration, compute; returns the result."""
    from zentra_lumara_gov.errors import ZentraLumaraGovError

    table = load_table(request.data)
    configuration = build_configuration(request.settings)
    with services_for(request) as services:
        metrics = build_metrics(request.metric_names, request.settings, services)
        try:
            return compute(table, metrics, configuration, services, request.show_progress)
        except (ZentraLumaraGovError, ValueError, TypeError) as problem:  # checked before any metric ran
            raise InputProblem(str(problem)) from problem


def load_partitioned(path: pathlib.Path) -> Any:
    """The records of DATA as a dask DataFrame, read by the workers, cells decoded as ``load_table`` does."""
    try:
        import dask.dataframe as dd
    except ImportError as missing:
        raise InputProblem(
            f"--scheduler and --workers need the dask extra ({missing.name} is missing): "
            'pip install "zentra_lumara_gov[dask]"'
        ) from missing
    suffix = path.suffix.lower()
    if suffix in (".jsonl", ".ndjson"):
        return dd.read_json(str(path), lines=True, orient="records")
    if suffix == ".csv":
        return dd.read_csv(str(path), dtype=str, keep_default_na=False).map_partitions(_decoded_json_cells)
    if suffix == ".parquet":
        return dd.read_parquet(str(path)).map_partitions(_lists_from_arrays)
    raise InputProblem(f"{path}: the data must be a .csv, .jsonl or .parquet file, not {suffix or 'no suffix'}.")


def _lists_from_arrays(table: Any) -> Any:
    return table.apply(lambda column: column.map(_as_list) if column.dtype == object else column)


@contextlib.contextmanager
def dask_client(scheduler: str | None, workers: int | None) -> Iterator[Any]:
    """A client of the cluster at ``scheduler``, or of a local cluster of ``workers`` processes started for the run."""
    from distributed import Client, LocalCluster

    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=30)
        except OSError as problem:
            raise InputProblem(f"cannot reach the Dask scheduler at {scheduler}: {problem}") from problem
        with client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
        yield client


class PartitionProgress:
    """Progress across partitions on standard error, as ``evaluate_partitioned`` reports it."""

    def __init__(self, shown: bool) -> None:
        self.shown = shown

    def __call__(self, done: int, total: int) -> None:
        if self.shown:
            click.echo(f"\rpartitions evaluated: {done}/{total}", err=True, nl=done == total)


def run_partitioned(request: EvaluationRequest, scheduler: str | None, workers: int | None,
                    out: pathlib.Path) -> Any:
    """The evaluation on a Dask cluster: the records' results go to the Parquet dataset ``out``."""
    from zentra_lumara_gov.distributed import evaluate_partitioned
    from zentra_lumara_gov.errors import ZentraLumaraGovError

    table = load_partitioned(request.data)
    configuration = build_configuration(request.settings)
    shown = sys.stderr.isatty() if request.show_progress is None else request.show_progress
    with services_for(request) as services, dask_client(scheduler, workers) as client:
        metrics = build_metrics(request.metric_names, request.settings, services)
        try:
            return evaluate_partitioned(table, metrics, configuration=configuration, api_client=services.api_client,
                                        client=client, output=out, progress=PartitionProgress(shown))
        except (ZentraLumaraGovError, ValueError, TypeError) as problem:
            raise InputProblem(str(problem)) from problem


def write_result(result: Any, out: pathlib.Path | None) -> None:
    if out is None:
        click.echo(result.to_json(indent=2))
        return
    suffix = out.suffix.lower()
    if suffix == ".json":
        out.write_text(result.to_json(indent=2), encoding="utf-8")
    elif suffix == ".csv":
        result.to_csv(out)
    elif suffix == ".parquet":
        result.to_parquet(out)
    else:
        result.to_html(out)
    click.echo(f"wrote {out}", err=True)


def exit_code(result: Any, fail_on_threshold: bool) -> int:
    """1 when a metric failed, or with ``fail_on_threshold`` when a record broke a threshold; else 0."""
    failed = result.failed_metrics
    if failed:
        click.echo(f"failed metrics: {', '.join(failed)}", err=True)
        return 1
    if fail_on_threshold:
        broken = result.summary()
        below = broken[broken["pass_rate"] < 1.0]["metric"].tolist()
        if below:
            click.echo(f"records below a threshold in: {', '.join(below)}", err=True)
            return 1
    return 0


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="zentra_lumara_gov")
def main() -> None:
    """Evaluate generative-AI records with the Zentra Lumara governance metrics."""


@main.command("evaluate")
@click.argument("data", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path))
@click.option("--metrics", "metrics_option", metavar="NAME[,NAME...]",
              help="Metrics to compute: " + ", ".join(sorted(METRIC_KINDS)) + ", or names of [metric.NAME] "
                   "tables of the --config file. Default: the config file's 'metrics' list.")
@click.option("--config", "config_path", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="TOML settings: a 'metrics' list, [columns], [judge], [service] and [metric.NAME] tables.")
@click.option("--out", type=click.Path(writable=True, path_type=pathlib.Path),
              help="Write the results to a .json, .csv, .parquet or .html file instead of standard output.")
@click.option("--fail-on-threshold", is_flag=True, help="Exit with 1 when any record breaks a metric threshold.")
@click.option("--local", is_flag=True,
              help="Start the local judge and detection service on free loopback ports for this run.")
@click.option("--scheduler", metavar="ADDRESS",
              help="Evaluate on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786); "
                   "--out DIR receives the records' results as a Parquet dataset.")
@click.option("--workers", type=click.IntRange(min=1), metavar="N",
              help="Evaluate on a local Dask cluster of N worker processes started for the run; "
                   "--out DIR receives the records' results as a Parquet dataset.")
@click.option("--progress/--no-progress", "show_progress", default=None,
              help="Show a progress bar on standard error (default: when it is a terminal).")
def evaluate_command(data: pathlib.Path, metrics_option: str | None, config_path: pathlib.Path | None,
                     out: pathlib.Path | None, fail_on_threshold: bool, local: bool,
                     scheduler: str | None, workers: int | None, show_progress: bool | None) -> None:
    """Evaluate the records of DATA (.csv, .jsonl or .parquet) and report the results."""
    if scheduler is not None or workers is not None:
        evaluate_on_cluster(data, metrics_option, config_path, out, fail_on_threshold, local, scheduler, workers,
                            show_progress)
        return
    if out is not None and out.suffix.lower() not in OUTPUT_FORMATS:
        raise click.BadParameter(f"the file must end in one of {', '.join(OUTPUT_FORMATS)}", param_hint="--out")
    settings = load_settings(config_path)
    request = EvaluationRequest(data=data, metric_names=metric_names_from(metrics_option, settings),
                                settings=settings, local=local, show_progress=show_progress)
    result = run_evaluation(request)
    click.echo(result.summary().to_string(index=False), err=True)
    write_result(result, out)
    sys.exit(exit_code(result, fail_on_threshold))


def evaluate_on_cluster(data: pathlib.Path, metrics_option: str | None, config_path: pathlib.Path | None,
                        out: pathlib.Path | None, fail_on_threshold: bool, local: bool, scheduler: str | None,
                        workers: int | None, show_progress: bool | None) -> None:
    """``evaluate`` with --scheduler or --workers: aggregates on standard output, records in the --out dataset."""
    if scheduler is not None and workers is not None:
        raise click.UsageError("give --scheduler ADDRESS (an existing cluster) or --workers N (a local one), not both.")
    if out is None or out.suffix:
        raise click.BadParameter("with --scheduler or --workers, the directory of the Parquet dataset of the "
                                 "records' results (a name without suffix)", param_hint="--out")
    if fail_on_threshold:
        raise click.UsageError("--fail-on-threshold reads every record's result here: not with --scheduler or --workers.")
    settings = load_settings(config_path)
    request = EvaluationRequest(data=data, metric_names=metric_names_from(metrics_option, settings),
                                settings=settings, local=local, show_progress=show_progress)
    try:
        result = run_partitioned(request, scheduler, workers, out)
    except InputProblem:
        raise
    except Exception as problem:  # a metric failed on a worker: the run has no result
        click.echo(f"evaluation failed: {type(problem).__name__}: {problem}", err=True)
        sys.exit(1)
    summary = result.summary()
    click.echo(summary.to_string(index=False), err=True)
    click.echo(summary.to_json(orient="records", indent=2))
    click.echo(f"wrote {result.partitions} partitions to {out}", err=True)
    failed = summary[summary["failed_records"] > 0]["name"].tolist()
    if failed:
        click.echo(f"metrics with failed records: {', '.join(failed)}", err=True)
    sys.exit(1 if failed else 0)
