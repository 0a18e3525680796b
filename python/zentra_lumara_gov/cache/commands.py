"""``zentra-lumara-gov cache stats|clear``: what the call cache of a run store holds, and emptying it."""

from __future__ import annotations

import json

import click

from zentra_lumara_gov.store.commands import _opened, store_option


@click.group("cache", context_settings={"help_option_names": ["-h", "--help"]})
def cache() -> None:
    """The call cache in the run store: the services' answers, looked up before every call."""


@cache.command("stats")
@store_option
@click.option("--json", "as_json", is_flag=True, help="One JSON object instead of lines of text.")
def stats_command(store_url: str | None, as_json: bool) -> None:
    """How many answers the cache holds, per kind of service, their size and age, and the judge tokens they saved."""
    from zentra_lumara_gov.cache import stats

    with _opened(store_url) as store:
        found = stats(store)
    if as_json:
        click.echo(json.dumps(found, sort_keys=True))
        return
    click.echo(f"{found['entries']} cached answers")
    for kind, row in found["kinds"].items():
        tokens = f", {row['input_tokens']} input and {row['output_tokens']} output tokens" if kind == "judge" else ""
        click.echo(f"{kind}: {row['entries']} answers, {row['answer_chars']} characters, "
                   f"{row['oldest']} to {row['newest']}{tokens}")


@cache.command("clear")
@store_option
@click.option("--older-than", type=click.FloatRange(min=0), metavar="SECONDS",
              help="Only the answers older than this.")
def clear_command(store_url: str | None, older_than: float | None) -> None:
    """Remove the cached answers (runs and their records stay)."""
    from zentra_lumara_gov.cache import clear

    with _opened(store_url) as store:
        removed = clear(store, older_than=older_than)
    click.echo(f"removed {removed} cached answers")
