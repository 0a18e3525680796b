"""Progress of an evaluation: how far each metric has got.

The front door puts a :class:`ProgressSink` into the context variable
``progress_sink`` for the length of one run; the providers read the variable
at their completion points and report to the sink (the detection provider per
answered request, the criteria-judge provider per judged record, the
evaluation-library provider per metric). Outside a run the variable holds
None and nothing is reported.

The variable is read in the thread and task that compute: event-loop tasks
inherit it, and the providers hand a copy of the context to the executor
threads they run blocking work on.
"""

from __future__ import annotations

import contextvars
import sys
import threading
from collections.abc import Callable, Iterable
from typing import Any

ProgressCallback = Callable[[str, int, int], Any]

progress_sink: contextvars.ContextVar[ProgressSink | None] = contextvars.ContextVar(
    "zentra_lumara_gov_progress_sink", default=None
)


class ProgressSink:
    """Collects ``(metric_name, done, total)`` reports and passes them on.

    ``done`` counts up to ``total`` for each metric; a report that would move
    a metric backwards or repeat its last figure is dropped, so the callback
    sees each step once. The bar (any object with ``update(n)`` and
    ``close()``, a tqdm bar for instance) counts records x metrics: a metric
    fills ``record_count`` steps whatever its own ``total`` is.

    Reports may come from several threads at once (metrics running in
    executor threads); they are taken one at a time.
    """

    def __init__(
        self,
        metric_names: Iterable[str],
        record_count: int,
        callback: ProgressCallback | None = None,
        bar: Any = None,
    ) -> None:
        self.record_count = record_count
        self.callback = callback
        self.bar = bar
        self._lock = threading.Lock()
        # metric name -> (done, total) last reported, and the bar steps given out.
        self._reported: dict[str, tuple[int, int]] = {}
        self._bar_steps: dict[str, int] = {name: 0 for name in metric_names}

    def __call__(self, metric_name: str, done: int, total: int) -> None:
        with self._lock:
            last_done, _ = self._reported.get(metric_name, (-1, 0))
            if done <= last_done:
                return
            self._reported[metric_name] = (done, total)
            if self.bar is not None:
                steps = self.record_count if total <= 0 else min(done, total) * self.record_count // total
                advance = steps - self._bar_steps.get(metric_name, 0)
                if advance > 0:
                    self._bar_steps[metric_name] = steps
                    self.bar.update(advance)
            if self.callback is not None:
                self.callback(metric_name, done, total)

    def counter(self, metric_name: str, total: int) -> Callable[[], None]:
        """A function that reports one more completion of ``metric_name`` per call."""
        count = 0
        count_lock = threading.Lock()

        def one_done() -> None:
            nonlocal count
            with count_lock:
                count += 1
                done = count
            self(metric_name, done, total)

        return one_done

    def finish(self, metric_name: str, total: int | None = None) -> None:
        """Mark ``metric_name`` complete (a metric that reported nothing, or stopped early)."""
        if total is None:
            total = self._reported.get(metric_name, (0, self.record_count))[1] or self.record_count
        self(metric_name, total, total)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def show_progress_by_default(stream: Any = None) -> bool:
    """True when a person is watching: standard error is a terminal, or the code runs in a notebook."""
    stream = sys.stderr if stream is None else stream
    try:
        if stream is not None and stream.isatty():
            return True
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        pass
    return _in_notebook()


def _in_notebook() -> bool:
    shell_module = sys.modules.get("IPython")
    if shell_module is None:
        return False
    get_ipython = getattr(shell_module, "get_ipython", None)
    shell = get_ipython() if callable(get_ipython) else None
    # Terminal IPython has a terminal on stderr, which the check above sees.
    return type(shell).__name__ == "ZMQInteractiveShell"


def make_bar(total: int, description: str = "evaluating") -> Any:
    """A tqdm bar over ``total`` steps: a widget in notebooks, text on standard error elsewhere."""
    from tqdm.auto import tqdm

    return tqdm(total=total, desc=description, unit="record", leave=False, dynamic_ncols=True)
