"""``zentra-lumara-gov metrics list``: every metric the command line can compute, built-in and from plugins."""

from __future__ import annotations

from typing import Any

import click

from zentra_lumara_gov.cli import main


@main.group("metrics")
def metrics_group() -> None:
    """The metrics available: built in, and added by installed packages."""


@metrics_group.command("list")
def list_command() -> None:
    """One line per metric kind: what computes it, its default thresholds and what it needs to run."""
    import pandas as pd

    from zentra_lumara_gov.metrics import metric_kinds

    rows = [describe(kind, found) for kind, found in sorted(metric_kinds().items())]
    columns = ["kind", "defined by", "provider", "default thresholds", "needs"]
    click.echo(pd.DataFrame(rows, columns=columns).to_string(index=False))


def describe(kind: str, found: Any) -> list[str]:
    from importlib.metadata import EntryPoint

    from zentra_lumara_gov.report import threshold_text

    if isinstance(found, EntryPoint):
        origin = f"plugin {found.value}"
        try:
            found = found.load()
        except Exception as problem:
            return [kind, origin, "", "", f"cannot be loaded: {problem}"]
    else:
        origin = f"{found.__module__}.{found.__qualname__}" if isinstance(found, type) else "zentra_lumara_gov"
    metric_class = found if isinstance(found, type) else type(found)
    if isinstance(found, type):
        field = metric_class.model_fields.get("thresholds")
        thresholds = field.get_default(call_default_factory=True) if field is not None else []
        method = metric_class.model_fields.get("method")
        method = method.get_default(call_default_factory=True) if method is not None else None
    else:
        thresholds, method = found.thresholds, found.method
    provider = getattr(metric_class, "provider", None) or ""
    return [kind, origin, provider, threshold_text(thresholds or []), _needs(provider, method)]


def _needs(provider: str, method: Any) -> str:
    if provider == "detectors":
        return "the detection service ([service] or --local)"
    if method == "llm_as_judge":
        return "a judge model ([judge] or --local)"
    if provider == "tallyx":
        return "nothing (a judge model with method llm_as_judge)"
    return "nothing"
