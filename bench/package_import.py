"""Cost of ``import zentra_lumara_gov``, against the package as it was with an
empty ``__init__`` (before the public names).

    .venv/bin/python bench/package_import.py [repeats]

Each figure is the median wall time of a fresh interpreter running
``import zentra_lumara_gov`` (interpreter start-up included, as a user pays
it), and ``-X importtime``'s own figure for the package module. The earlier
package is the installed one with its ``__init__`` replaced by the empty one,
in a copy on a temporary path.
"""

from __future__ import annotations

import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

import zentra_lumara_gov

INSTALLED = pathlib.Path(zentra_lumara_gov.__file__).parent
# The package's __init__ before the public names: one docstring line.
EARLIER_INIT = '"""Zentra Lumara governance SDK."""\n'


def wall_times(path: str | None, repeats: int) -> list[float]:
    environment = {"PYTHONPATH": path} if path else {}
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import zentra_lumara_gov"], check=True, env=environment)
        times.append(time.perf_counter() - started)
    return times


def importtime_us(path: str | None, repeats: int) -> list[int]:
    environment = {"PYTHONPATH": path} if path else {}
    figures = []
    for _ in range(repeats):
        done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import zentra_lumara_gov"],
                              capture_output=True, text=True, check=True, env=environment)
        line = [line for line in done.stderr.splitlines() if line.rstrip().endswith("| zentra_lumara_gov")][-1]
        figures.append(int(re.split(r"\s*\|\s*", line.split(":", 1)[1])[1]))
    return figures


def main(repeats: int) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        earlier = pathlib.Path(scratch) / "zentra_lumara_gov"
        earlier.mkdir()
        (earlier / "__init__.py").write_text(EARLIER_INIT)
        cases = (("empty __init__ (before)", scratch), ("current package", None))
        wall: dict[str, list[float]] = {label: [] for label, _ in cases}
        own: dict[str, list[int]] = {label: [] for label, _ in cases}
        # Interleaved, so a change in the machine's load touches both alike.
        for _ in range(repeats):
            for label, path in cases:
                wall[label] += wall_times(path, 1)
                own[label] += importtime_us(path, 1)
    for label, _ in cases:
        print(f"{label:<26} interpreter + import: median {statistics.median(wall[label]) * 1000:6.2f} ms, "
              f"min {min(wall[label]) * 1000:6.2f} ms; package module (-X importtime, cumulative): "
              f"median {statistics.median(own[label]):5.0f} us")
    before, after = (statistics.median(wall[label]) for label, _ in cases)
    print(f"growth of the whole (medians): {100 * (after / before - 1):+.1f} %")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 40)
