"""The command line: ``zentra-lumara-gov evaluate DATA --metrics NAME[,NAME...]``.

Also run as ``python -m zentra_lumara_gov``. The commands only parse options
and call the SDK; this module holds the one exit policy every command follows:

====  ==========================================================================
code  meaning
====  ==========================================================================
0     passed
1     a metric failed (each reason printed), or with ``--fail-on-threshold``
      a record broke a threshold
2     bad usage, settings or input: one line on standard error, no traceback
130   interrupted (Ctrl-C); 143 on SIGTERM. Servers the command started are
      stopped either way.
====  ==========================================================================
"""

from __future__ import annotations

import signal
import sys
import threading
from typing import Any

import click

from zentra_lumara_gov.errors import InputTypeError, InputValueError

EXIT_PASSED, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that every ``with`` block (servers, clusters) is left."""


class _Commands(click.Group):
    """The command group, with the exit policy around every command."""

    def invoke(self, ctx: click.Context) -> Any:
        in_main_thread = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGTERM, _raise_terminated) if in_main_thread else None
        try:
            return super().invoke(ctx)
        except (InputValueError, InputTypeError) as problem:
            raise BadInput(str(problem)) from problem
        except KeyboardInterrupt:
            click.echo("interrupted", err=True)
            raise click.exceptions.Exit(EXIT_INTERRUPTED) from None
        except Terminated:
            click.echo("terminated", err=True)
            raise click.exceptions.Exit(EXIT_TERMINATED) from None
        finally:
            if in_main_thread:
                signal.signal(signal.SIGTERM, previous)


def _raise_terminated(signum: int, frame: Any) -> None:
    raise Terminated()


class BadInput(click.ClickException):
    """Bad usage, settings or input: exit code 2, the message and no traceback."""

    exit_code = EXIT_USAGE


@click.group(cls=_Commands, context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="zentra_lumara_gov")
def main() -> None:
    """Evaluate generative-AI records with the Zentra Lumara governance metrics."""


def verdict(result: Any, fail_on_threshold: bool) -> int:
    """The exit code of a result (in one process or from a cluster): failures and broken thresholds reported."""
    from zentra_lumara_gov.cli.settings import in_cli_terms

    failures = result.failures()
    for label, reason in failures.items():
        click.echo(f"metric {label} failed: {in_cli_terms(reason)}", err=True)
    if failures:
        return EXIT_FAILED
    if fail_on_threshold:
        summary = result.summary()
        below = summary[summary["pass_rate"] < 1.0]["metric"].tolist()
        if below:
            click.echo(f"records below a threshold in: {', '.join(below)}", err=True)
            return EXIT_FAILED
    return EXIT_PASSED


from zentra_lumara_gov.cli import evaluate as _evaluate  # noqa: E402, F401  (registers the command)
from zentra_lumara_gov.cli import metrics as _metrics  # noqa: E402, F401  (registers the command)
from zentra_lumara_gov.store.commands import runs as _runs  # noqa: E402
from zentra_lumara_gov.cache.commands import cache as _cache  # noqa: E402

main.add_command(_runs)
main.add_command(_cache)

__all__ = ["main"]

if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
