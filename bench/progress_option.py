"""``--progress`` for the benchmarks: timed runs with a progress sink set.

With the option, each timed run gets a fresh sink holding a tqdm bar that
writes to the null device, as a run of ``evaluate`` with a bar has; without
it nothing is set and the providers find no sink (the default).
"""

from __future__ import annotations

import argparse
import contextlib
import os
from collections.abc import Iterator


def add_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--progress", action="store_true",
                        help="time the runs with a progress sink and a bar, as evaluate(show_progress=True) does")


@contextlib.contextmanager
def reporting(enabled: bool, records: int, metric_names: tuple[str, ...] = ()) -> Iterator[None]:
    if not enabled:
        yield
        return
    from tqdm import tqdm

    from zentra_lumara_gov.utils.progress import ProgressSink, progress_sink

    with open(os.devnull, "w") as null:
        bar = tqdm(total=records * max(len(metric_names), 1), file=null)
        token = progress_sink.set(ProgressSink(metric_names, records, bar=bar))
        try:
            yield
        finally:
            progress_sink.reset(token)
            bar.close()
