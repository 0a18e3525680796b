"""The ``runs`` commands: list, show, compare, verify, sign, resume and replay stored runs, and make a signing key.

Every command takes ``--store URL`` (an SQLAlchemy URL or an SQLite file's
path; by default ``$ZLG_STORE_URL`` or ``zentra-runs.db`` in the working
directory). Exit codes: 0 on success; 1 when ``verify`` finds a bad run or
``compare --fail-on-regression`` finds a regression; 2 on bad usage or an
unknown run.
"""

from __future__ import annotations

import contextlib
import pathlib
from collections.abc import Iterator
from typing import Any

import click

store_option = click.option(
    "--store", "store_url", metavar="URL", default=None,
    help="The run store: an SQLAlchemy URL or an SQLite file (default: $ZLG_STORE_URL or ./zentra-runs.db).")


class RunsProblem(click.ClickException):
    """Bad usage or an unknown run: exit code 2 with the message."""

    exit_code = 2


@contextlib.contextmanager
def _opened(store_url: str | None) -> Iterator[Any]:
    from zentra_lumara_gov.store import RunStore

    try:
        store = RunStore(store_url)
    except Exception as failure:  # noqa: BLE001 - any failure to open is the user's to fix
        raise RunsProblem(f"cannot open the run store {_shown(store_url)}: {failure}") from failure
    try:
        yield store
    except KeyError as unknown:
        raise RunsProblem(str(unknown.args[0] if unknown.args else unknown)) from unknown
    finally:
        store.close()


def _shown(store_url: str | None) -> str:
    """The store's URL for a message: never its password."""
    from sqlalchemy.engine import make_url

    from zentra_lumara_gov.store import resolve_url

    try:
        return make_url(resolve_url(store_url)).render_as_string(hide_password=True)
    except Exception:  # noqa: BLE001 - a URL too broken to parse is shown as nothing
        return "(unreadable URL)"


def _tag(values: tuple[str, ...]) -> dict[str, str]:
    tags = {}
    for value in values:
        key, separator, text = value.partition("=")
        if not separator or not key:
            raise RunsProblem(f"a tag is KEY=VALUE, not {value!r}")
        tags[key] = text
    return tags


@click.group("runs", context_settings={"help_option_names": ["-h", "--help"]})
def runs() -> None:
    """Stored evaluation runs: list, show, compare, verify, sign, resume and replay them."""


@runs.command("list")
@store_option
@click.option("--tag", "tags", multiple=True, metavar="KEY=VALUE", help="Only runs with this tag (repeatable).")
@click.option("--since", metavar="TIME", help="Only runs started at or after TIME (ISO 8601; UTC unless zoned).")
@click.option("--until", metavar="TIME", help="Only runs started at or before TIME.")
@click.option("--json", "as_json", is_flag=True, help="One JSON object per line instead of a table.")
def list_command(store_url: str | None, tags: tuple[str, ...], since: str | None, until: str | None,
                 as_json: bool) -> None:
    """The stored runs, newest first."""
    with _opened(store_url) as store:
        try:
            frame = store.list_runs(tags=_tag(tags), since=since, until=until)
        except ValueError as bad_time:
            raise RunsProblem(f"bad --since or --until: {bad_time}") from bad_time
    if as_json:
        if not frame.empty:
            click.echo(frame.to_json(orient="records", lines=True, date_format="iso", date_unit="us").rstrip("\n"))
        return
    if frame.empty:
        click.echo("no runs stored")
        return
    shown = frame[["run_id", "status", "started_at", "records", "metrics", "tags", "signoffs"]].copy()
    shown["tags"] = shown["tags"].map(lambda tags: ",".join(f"{key}={value}" for key, value in sorted(tags.items())))
    shown["started_at"] = shown["started_at"].dt.strftime("%Y-%m-%d %H:%M:%S UTC")
    click.echo(shown.to_string(index=False))


@runs.command("show")
@store_option
@click.argument("run_id")
def show_command(store_url: str | None, run_id: str) -> None:
    """A run's record, digest, metric results and sign-offs (RUN_ID may be a unique prefix)."""
    with _opened(store_url) as store:
        record = store.run_record(run_id)
        digest = store.digest(record.run_id)
        aggregates = store.aggregates(record.run_id)
        signoffs = store.signoffs(record.run_id)
    source = record.data_source
    lines = [
        f"run        {record.run_id}",
        f"status     {record.status}",
        f"started    {record.started_at.isoformat()}",
        f"finished   {record.finished_at.isoformat() if record.finished_at else '-'}",
        f"digest     {digest}",
        f"data       {source.path if source.kind == 'file' else 'DataFrame'}"
        + (f" ({source.size} bytes, modified {source.modified_at.isoformat()})" if source.kind == "file" else ""),
        f"fingerprint {record.data_fingerprint}",
        f"sdk        {record.sdk_version} (build {record.build_id[:16]})",
        f"python     {record.python_version}, pandas {record.pandas_version}, {record.platform}",
        f"git        {record.git_commit or '-'}",
        f"tags       {', '.join(f'{key}={value}' for key, value in sorted(record.tags.items())) or '-'}",
        f"counts     {', '.join(f'{key} {value}' for key, value in record.counts.items())}",
    ]
    if record.calls:
        lines.append(f"calls      made {record.calls['calls_made']}, from the cache {record.calls['cache_hits']}")
        for model, usage in record.calls.get("judges", {}).items():
            cost = f", cost {usage['cost']}" if "cost" in usage else ""
            lines.append(f"judge      {model}: {usage['calls']} calls, {usage['input_tokens']} input and "
                         f"{usage['output_tokens']} output tokens{cost}")
    if record.resumed_from:
        lines.append(f"resumed    attempt {record.attempt} of run {record.resumed_from}")
    for service in record.services:
        lines.append(f"service    {service.role}: {service.kind or ''} {service.url or ''} {service.model_id or ''}".rstrip())
    click.echo("\n".join(lines))
    if not aggregates.empty:
        click.echo("")
        click.echo(aggregates[["name", "provider", "method", "value", "total_records", "min", "max", "mean"]]
                   .to_string(index=False))
    for signoff in signoffs.itertuples(index=False):
        note = f": {signoff.note}" if signoff.note else ""
        click.echo(f"signed off by {signoff.signed_by} at {signoff.signed_at}{note}")


@runs.command("compare")
@store_option
@click.argument("baseline")
@click.argument("candidate")
@click.option("--out", type=click.Path(dir_okay=False, writable=True, path_type=pathlib.Path),
              help="Write the comparison to this file: .html for a page, .csv or .json for the table.")
@click.option("--alpha", type=click.FloatRange(0, 1, min_open=True, max_open=True), default=0.05, show_default=True,
              help="Significance level of the tests.")
@click.option("--tolerance", type=click.FloatRange(min=0), default=0.0, show_default=True,
              help="Changes of the mean this small are never regressions.")
@click.option("--fail-on-regression", is_flag=True, help="Exit with 1 when any metric regressed.")
def compare_command(store_url: str | None, baseline: str, candidate: str, out: pathlib.Path | None, alpha: float,
                    tolerance: float, fail_on_regression: bool) -> None:
    """Compare the CANDIDATE run with the BASELINE run, metric by metric."""
    from zentra_lumara_gov.comparison import compare

    with _opened(store_url) as store:
        before, after = store.load(baseline), store.load(candidate)
    comparison = compare(before, after, alpha=alpha, tolerance=tolerance)
    frame = comparison.to_df()
    if out is not None:
        suffix = out.suffix.lower()
        if suffix in (".html", ".htm"):
            comparison.to_html(out)
        elif suffix == ".csv":
            frame.to_csv(out, index=False)
        elif suffix == ".json":
            out.write_text(frame.to_json(orient="records"), encoding="utf-8")
        else:
            raise RunsProblem(f"--out must end in .html, .csv or .json, not {out.name!r}")
    shown = frame[["name", "provider", "method", "status", "paired", "baseline_mean", "candidate_mean",
                   "difference", "ci_low", "ci_high", "pass_to_fail", "fail_to_pass", "mcnemar_p"]]
    click.echo(f"baseline {comparison.baseline_run_id}, candidate {comparison.candidate_run_id}, "
               f"paired by {comparison.pairing.replace('_', ' ')}")
    click.echo(shown.to_string(index=False, float_format=lambda value: f"{value:.4g}"))
    regressions = comparison.regressions
    click.echo(f"regressions: {', '.join(map(str, regressions)) if regressions else 'none'}")
    if fail_on_regression and regressions:
        raise SystemExit(1)


@runs.command("verify")
@store_option
def verify_command(store_url: str | None) -> None:
    """Recompute every run's digest, link and sign-off; exit 1 naming the first run that differs."""
    with _opened(store_url) as store:
        verdict = store.verify()
    if not verdict.ok:
        click.echo(f"verify failed: {verdict}", err=True)
        raise SystemExit(1)
    click.echo(str(verdict))


@runs.command("sign")
@store_option
@click.argument("run_id")
@click.option("--key", "key_path", required=True, type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="The reviewer's private key (written by 'runs keygen').")
@click.option("--by", "signed_by", required=True, metavar="NAME", help="Who signs off.")
@click.option("--note", metavar="TEXT", help="What the sign-off says.")
def sign_command(store_url: str | None, run_id: str, key_path: pathlib.Path, signed_by: str,
                 note: str | None) -> None:
    """Record NAME's sign-off of RUN_ID, signed with the key and bound to the run's digest."""
    with _opened(store_url) as store:
        try:
            signoff = store.sign(run_id, key_path, by=signed_by, note=note)
        except ValueError as refused:
            raise RunsProblem(str(refused)) from refused
    click.echo(f"signed off run {signoff.run_id} (digest {signoff.digest}) by {signoff.signed_by}")


@runs.command("keygen")
@store_option  # accepted like every runs command; a key pair lives outside any store
@click.argument("path", type=click.Path(dir_okay=False, path_type=pathlib.Path))
def keygen_command(store_url: str | None, path: pathlib.Path) -> None:
    """Write a new Ed25519 key pair: the private key at PATH, the public key at PATH.pub."""
    from zentra_lumara_gov.store import signing

    try:
        private_path, public_path = signing.keygen(path)
    except FileExistsError as exists:
        raise RunsProblem(f"{path} exists already; a key is never overwritten") from exists
    click.echo(f"private key {private_path} (keep it secret), public key {public_path}")


@runs.command("resume")
@store_option
@click.argument("run_id")
@click.option("--judge-key", metavar="KEY", envvar="ZLG_JUDGE_API_KEY",
              help="The judge models' API key, which run records never hold (default: $ZLG_JUDGE_API_KEY).")
@click.option("--prices", "prices_path", type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="TOML price table of the judge models, as for evaluate.")
def resume_command(store_url: str | None, run_id: str, judge_key: str | None, prices_path: pathlib.Path | None) -> None:
    """Finish RUN_ID (interrupted, failed, or whose process died) with the same data, configuration and metrics,
    making only the calls the cache lacks. The governance service's client comes from the environment
    (LUMARA_URL, LUMARA_API_KEY, ...)."""
    from zentra_lumara_gov.cli.evaluate import read_prices

    prices = read_prices(prices_path) if prices_path is not None else None
    with _opened(store_url) as store:
        try:
            result = store.resume(run_id, secrets={"api_key": judge_key} if judge_key else None, prices=prices)
        except ValueError as refused:
            raise RunsProblem(str(refused)) from refused
        calls = result.run.calls or {}
        click.echo(f"run {result.run.run_id} (attempt {result.run.attempt}, resuming {result.run.resumed_from}) "
                   f"recorded with status {result.run.status}, digest {result.digest}")
        click.echo(f"calls made {calls.get('calls_made', 0)}, answered from the cache {calls.get('cache_hits', 0)}")
        click.echo(result.summary().to_string(index=False))


@runs.command("replay")
@store_option
@click.argument("run_id")
def replay_command(store_url: str | None, run_id: str) -> None:
    """Recompute RUN_ID from its cached answers alone, calling nothing, and check every value and its digest;
    exit 1 when they differ or an answer is missing."""
    from zentra_lumara_gov.cache import CacheMissError

    with _opened(store_url) as store:
        try:
            outcome = store.replay(run_id)
        except CacheMissError as missing:
            click.echo(f"replay failed: {missing}", err=True)
            raise SystemExit(1) from None
        except ValueError as refused:
            raise RunsProblem(str(refused)) from refused
    if not outcome.ok:
        click.echo(f"replay failed: {outcome}", err=True)
        raise SystemExit(1)
    click.echo(str(outcome))
