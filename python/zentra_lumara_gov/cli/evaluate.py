"""``zentra-lumara-gov evaluate``: read the records, build the run from the options and settings, evaluate, report.

Everything the command can check is checked before anything is evaluated or
started: the settings, the data file, the output. In one process the results
go to standard output as JSON or to ``--out`` (.json, .csv, .parquet, .pq or
.html); on a cluster (``--scheduler`` or ``--workers``) the records go to the
``--out`` dataset folder and the summary, as JSON, to standard output.
"""

from __future__ import annotations

import contextlib
import pathlib
import sys
from collections.abc import Iterator
from typing import Any

import click

from zentra_lumara_gov import _io
from zentra_lumara_gov.cli import BadInput, main, verdict
from zentra_lumara_gov.cli import settings as settings_module


@main.command("evaluate")
@click.argument("data", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path))
@click.option("--metrics", "metrics_option", metavar="NAME[,NAME...]",
              help="Metrics to compute: a metric kind (see `zentra_lumara_gov.metrics.metric_kinds`), or the name of "
                   "a [metric.NAME] table of the --config file. Default: the config file's 'metrics' list.")
@click.option("--config", "config_path", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="TOML settings: a 'metrics' list, [columns], [judge], [service] and [metric.NAME] tables.")
@click.option("--out", type=click.Path(path_type=pathlib.Path),
              help="Write the results to a .json, .csv, .parquet, .pq or .html file instead of standard output "
                   "(with --scheduler or --workers: the folder of the records' Parquet dataset).")
@click.option("--overwrite", is_flag=True, help="With a cluster: replace the dataset another run left in --out.")
@click.option("--encoding", metavar="CODEC", help="Encoding of a CSV or JSON data file (default UTF-8; a BOM is skipped).")
@click.option("--fail-on-threshold", is_flag=True, help="Exit with 1 when any record breaks a metric threshold.")
@click.option("--formula-guard/--no-formula-guard", default=True,
              help="In CSV output, write text cells a spreadsheet would run as formulas with a leading apostrophe "
                   "(default: on).")
@click.option("--local", is_flag=True,
              help="Start the local judge and detection service on free loopback ports for this run.")
@click.option("--scheduler", metavar="ADDRESS",
              help="Evaluate on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786).")
@click.option("--workers", type=click.IntRange(min=1), metavar="N",
              help="Evaluate on a local Dask cluster of N worker processes started for the run.")
@click.option("--worker-concurrency", type=click.IntRange(min=1), metavar="N",
              help="With --scheduler or --workers: the records each worker evaluates at a time for metrics that "
                   "call a service, which bounds its requests in flight (default: 1000).")
@click.option("--progress/--no-progress", "show_progress", default=None,
              help="Show progress on standard error (default: when it is a terminal).")
@click.option("--store", "store_url", metavar="URL",
              help="Record the run in this run store: an SQLite file or postgresql+psycopg://... "
                   "(default: $ZLG_STORE_URL, else zentra-runs.db in the working directory).")
@click.option("--no-store", is_flag=True, help="Do not record the run.")
@click.option("--cache/--no-cache", "use_cache", default=None,
              help="Look the services' answers up in the run store first and keep them there as they arrive "
                   "(default: on when the run is recorded).")
@click.option("--cache-max-age", type=click.FloatRange(min=0, min_open=True), metavar="SECONDS",
              help="Cached answers older than this are asked again (and removed).")
@click.option("--cache-max-entries", type=click.IntRange(min=1), metavar="N",
              help="Keep at most N cached answers (the oldest are removed first).")
@click.option("--prices", "prices_path", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="TOML price table of the judge models ([\"MODEL\"] input_per_1k, output_per_1k): the run's "
                   "record gives each judge model's cost next to its tokens.")
@click.option("--junit", "junit_path", type=click.Path(path_type=pathlib.Path), metavar="FILE",
              help="Also write JUnit XML for CI servers: one test case per metric, failures listing the records "
                   "that break its thresholds.")
@click.option("--tag", "tag_options", multiple=True, metavar="KEY=VALUE",
              help="Label the run in its record (repeatable), e.g. --tag model=my-model --tag model_version=3.")
def evaluate_command(data: pathlib.Path, metrics_option: str | None, config_path: pathlib.Path | None,
                     out: pathlib.Path | None, overwrite: bool, encoding: str | None, fail_on_threshold: bool,
                     formula_guard: bool, local: bool, scheduler: str | None, workers: int | None,
                     worker_concurrency: int | None, show_progress: bool | None, store_url: str | None,
                     no_store: bool, use_cache: bool | None, cache_max_age: float | None,
                     cache_max_entries: int | None, prices_path: pathlib.Path | None,
                     junit_path: pathlib.Path | None, tag_options: tuple[str, ...]) -> None:
    """Evaluate the records of DATA (.csv, .jsonl, .ndjson, .json, .parquet or .pq) and report the results."""
    on_cluster = scheduler is not None or workers is not None
    if scheduler is not None and workers is not None:
        raise click.UsageError("give --scheduler ADDRESS (an existing cluster) or --workers N (a local one), not both.")
    if on_cluster and (out is None or out.suffix):
        raise click.BadParameter("with --scheduler or --workers, the folder of the Parquet dataset of the records' "
                                 "results (a name without suffix)", param_hint="--out")
    if worker_concurrency is not None and not on_cluster:
        raise click.UsageError("--worker-concurrency sets each cluster worker's bound: give it with --scheduler or "
                               "--workers.")
    if overwrite and not on_cluster:
        raise click.UsageError("--overwrite replaces a cluster run's dataset: give it with --scheduler or --workers.")
    if no_store and store_url is not None:
        raise click.UsageError("give --store URL or --no-store, not both.")
    if no_store and use_cache:
        raise click.UsageError("the cache lives in the run store: --cache needs the store (drop --no-store).")
    prices = read_prices(prices_path) if prices_path is not None else None
    tags = _tags(tag_options)
    _io.data_format(data)
    if encoding is not None:
        _check_codec(encoding)
    settings = settings_module.read_settings(config_path)
    names = settings_module.metric_names(metrics_option, settings)
    configuration = settings_module.build_configuration(settings)
    if on_cluster:
        dataset = _io.DatasetWriter(out, "", overwrite=overwrite)
        dataset.check()
    elif out is not None:
        _io.check_output_file(out, inputs=(data,))
    if junit_path is not None:
        if junit_path.suffix.lower() != ".xml":
            raise BadInput(f"--junit {junit_path}: name an .xml file.")
        _io.check_writable_folder(str(junit_path.resolve().parent), str(junit_path))
        if out is not None and junit_path.resolve() == out.resolve():
            raise BadInput("--junit and --out name the same file.")
    # Built once without a judge address, so that a bad metric setting is told before any server starts.
    settings_module.build_metrics(names, settings, judge=None)
    cache_options = {"max_age": cache_max_age, "max_entries": cache_max_entries}
    with _opened_store(store_url, wanted=not no_store) as store, _services(settings, local) as (judge, api_client):
        metrics = settings_module.build_metrics(names, settings, judge=judge, local=local)
        if on_cluster:
            result = _evaluate_on_cluster(data, encoding, metrics, configuration, api_client, out, overwrite,
                                          scheduler, workers, worker_concurrency, show_progress, tags, store,
                                          cache=use_cache is not False, cache_options=cache_options, prices=prices)
        else:
            from zentra_lumara_gov import _pipeline

            with _pipeline.opened_cache(False if use_cache is False else None, store, prices=prices,
                                        **cache_options) as call_cache:
                result = _evaluate_here(data, encoding, metrics, configuration, api_client, show_progress, tags,
                                        store, call_cache)
    if store is not None:
        click.echo(f"run {result.run.run_id} recorded in {store.shown_url} (digest {result.digest})", err=True)
    calls = getattr(result.run, "calls", None)
    if calls:
        click.echo(f"calls made {calls['calls_made']}, answered from the cache {calls['cache_hits']}", err=True)
    summary = result.summary()
    click.echo(summary.to_string(index=False), err=True)
    if on_cluster:
        click.echo(_io.summary_json(summary))
        click.echo(f"wrote {result.partitions} partitions to {out}", err=True)
    else:
        _write(result, out, formula_guard)
    if junit_path is not None:
        from zentra_lumara_gov.testing import junit_xml

        _io.write_text_atomically(junit_path, junit_xml(result))
        click.echo(f"wrote {junit_path}", err=True)
    sys.exit(verdict(result, fail_on_threshold))


def read_prices(path: pathlib.Path) -> dict[str, dict[str, float]]:
    """The judge models' prices of a TOML file: one table per model id with input_per_1k and output_per_1k."""
    import tomllib

    try:
        table = tomllib.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as problem:
        raise BadInput(f"--prices {path}: {problem}") from problem
    prices = {}
    for model, entry in table.items():
        if not isinstance(entry, dict) or not set(entry) <= {"input_per_1k", "output_per_1k"} or any(
                isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0 for value in entry.values()):
            raise BadInput(f"--prices {path}: [{model}] must hold input_per_1k and output_per_1k, numbers >= 0.")
        prices[model] = {key: float(value) for key, value in entry.items()}
    return prices


def _tags(options: tuple[str, ...]) -> dict[str, str]:
    tags = {}
    for option in options:
        key, equals, value = option.partition("=")
        if not equals or not key.strip():
            raise BadInput(f"--tag must be KEY=VALUE, not {option!r}.")
        tags[key.strip()] = value
    return tags


@contextlib.contextmanager
def _opened_store(url: str | None, *, wanted: bool = True) -> Iterator[Any]:
    """The run store the run is recorded in, opened (and its schema brought up to date) before any work."""
    from zentra_lumara_gov.store import RunStore

    if not wanted:
        yield None
        return
    try:
        store = RunStore(url)
    except Exception as problem:  # an unreachable server, a folder that does not exist, ...
        raise BadInput(f"cannot open the run store: {problem}") from problem
    with store:
        yield store


def _check_codec(encoding: str) -> None:
    import codecs

    try:
        codecs.lookup(encoding)
    except LookupError:
        raise BadInput(f"--encoding: unknown encoding {encoding!r}.") from None


@contextlib.contextmanager
def _services(settings: dict[str, Any], local: bool) -> Iterator[tuple[dict[str, Any] | None, Any]]:
    """The judge keys and the service client of the run; with --local, the stand-ins started for it."""
    if not local:
        yield settings.get("judge") or None, settings_module.build_api_client(settings)
        return
    from zentra_lumara_gov._local_services import LOCAL_JUDGE_MODEL, LOCAL_SECRET, local_services

    with local_services() as services:
        click.echo(f"local judge at {services.judge_url}, detection service at {services.detection_url}", err=True)
        judge = {"url": services.judge_url, "model_id": LOCAL_JUDGE_MODEL, "api_key": LOCAL_SECRET,
                 **(settings.get("judge") or {})}
        yield judge, settings_module.build_api_client(settings) or services.api_client()


def _evaluate_here(data: pathlib.Path, encoding: str | None, metrics: list[Any], configuration: Any,
                   api_client: Any, show_progress: bool | None, tags: dict[str, str], store: Any,
                   call_cache: Any = None) -> Any:
    from zentra_lumara_gov import _inputs, _pipeline

    table = _io.read_table(data, encoding)
    # The API's own steps, with the data file named as the run's source.
    _inputs.check_progress(show_progress, None)
    definition, table = _pipeline.plan_run(metrics, configuration=configuration, api_client=api_client,
                                     raise_exceptions=False, data=table)
    plan = _pipeline.prepare(definition, table, output_cast=True, show_progress=show_progress, source=data, tags=tags,
                             store=store, cache=call_cache)
    return _pipeline.run(plan)


def _evaluate_on_cluster(data: pathlib.Path, encoding: str | None, metrics: list[Any], configuration: Any,
                         api_client: Any, out: pathlib.Path, overwrite: bool, scheduler: str | None,
                         workers: int | None, worker_concurrency: int | None, show_progress: bool | None,
                         tags: dict[str, str], store: Any, cache: bool = True,
                         cache_options: dict[str, Any] | None = None, prices: Any = None) -> Any:
    try:
        from zentra_lumara_gov.distributed import evaluate_partitioned
    except ImportError as missing:
        raise BadInput(f"--scheduler and --workers need the dask extra ({missing.name} is missing): "
                       'pip install "zentra_lumara_gov[dask]"') from missing
    shown = sys.stderr.isatty() if show_progress is None else show_progress

    def progress(done: int, total: int) -> None:
        if shown:
            click.echo(f"\rpartitions evaluated: {done}/{total}", err=True, nl=done == total)

    with _dask_client(scheduler, workers) as client:
        return evaluate_partitioned(str(data), metrics, configuration=configuration, api_client=api_client,
                                    raise_exceptions=False, client=client, output=out, overwrite=overwrite,
                                    worker_concurrency=worker_concurrency, progress=progress, encoding=encoding,
                                    tags=tags, store=store, cache=None if cache else False,
                                    cache_options=cache_options, prices=prices)


@contextlib.contextmanager
def _dask_client(scheduler: str | None, workers: int | None) -> Iterator[Any]:
    """A client of the cluster at ``scheduler``, or of a local cluster of ``workers`` processes started for the run."""
    try:
        from distributed import Client, LocalCluster
    except ImportError as missing:
        raise BadInput(f"--scheduler and --workers need the dask extra ({missing.name} is missing): "
                       'pip install "zentra_lumara_gov[dask]"') from missing
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=30)
        except OSError as problem:
            raise BadInput(f"cannot reach the Dask scheduler at {scheduler}: {problem}") from problem
        with client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
        yield client


def _write(result: Any, out: pathlib.Path | None, formula_guard: bool) -> None:
    if out is None:
        click.echo(result.to_json(indent=2))
        return
    kind = _io.WRITE_FORMATS[out.suffix.lower()]
    if kind == "json":
        result.to_json(out, indent=2)
    elif kind == "csv":
        result.to_csv(out, guard_formulas=formula_guard)
    elif kind == "parquet":
        result.to_parquet(out)
    else:
        result.to_html(out)
    click.echo(f"wrote {out}", err=True)
