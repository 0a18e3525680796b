"""Every benchmark under bench/, a version-specific build against the stable-ABI
build, in one run.

Builds the package twice with the set-up's environment (``.venv``, Python
3.12; ``bash scripts/setup.sh`` first), each into a folder of its own under
``build/compare-abi/``:

* version-specific: tied to the interpreter it was built with (tag
  ``cp312-cp312``): the working tree's sources with ``wheel.py-api`` set
  empty, or with ``--baseline-ref REF`` the sources of that commit as they
  were (e.g. ``main``, to include what the move to the public API changed);
* stable ABI: the working tree as the wheel ships it (``cp312-abi3``).

Then runs each benchmark once per build and round, the builds taking turns,
each in a fresh process whose ``PYTHONPATH`` puts that build before the
environment's own copy (subprocesses the benchmarks start inherit it). Each
output line that carries numbers is paired with the same line of the other
build; the table gives the median of each number over the rounds and stable
ABI / version-specific (for times above 1 is slower; for rates, below 1).
``bench_progress_overhead.py`` compares an earlier build with the current one
in one process by itself: it runs once, with the version-specific build as
its earlier build.

    .venv/bin/python bench/compare_abi.py [--rounds 3] [--baseline-ref main] [--only NAME ...]

The table goes to standard output and, with every output in full, to
``bench/results/compare-abi.md``.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "compare-abi"
VENV = pathlib.Path(sys.prefix)

# (name, arguments): sizes cut where a benchmark's own default runs for many minutes.
BENCHMARKS = [
    ("bench_metric_run.py", ["--quick"]),
    ("bench_tallyx_provider.py", ["--quick", "--no-memory"]),
    ("bench_verdix_postprocess.py", []),
    ("bench_screener_provider.py", ["--sizes", "1000", "10000"]),
    ("bench_distributed.py", ["--library", "100000", "--detection", "10000"]),
    ("endpoint_table_import.py", []),
    ("package_import.py", []),
    ("soak.py", ["--calls", "10000", "--no-trace"]),
]
SELF_COMPARING = ("bench_progress_overhead.py", ["--repeats", "11"])

NUMBER = re.compile(r"[-+]?\d+(?:[.,]\d+)*(?:e[-+]?\d+)?")
LABELS = {"version": "version-specific", "stable": "stable ABI"}


def numbers(line: str) -> list[float]:
    return [float(text.replace(",", "")) for text in NUMBER.findall(line)]


def skeleton(line: str) -> str:
    """The line without its numbers; columns padded to the numbers' widths compare equal."""
    return " ".join(NUMBER.sub("#", line).split())


def compiler() -> str:
    picked = VENV / ".zlg-cxx"
    return picked.read_text().strip() if picked.exists() else ""


def sources_of(ref: str | None) -> pathlib.Path:
    """The working tree, or a plain copy of the sources at `ref`."""
    if ref is None:
        return ROOT
    copy = WORK / "baseline-src"
    shutil.rmtree(copy, ignore_errors=True)
    copy.mkdir(parents=True)
    archive = subprocess.run(["git", "archive", "--format=tar", ref], cwd=ROOT, capture_output=True, check=True)
    with tempfile.TemporaryFile() as held:
        held.write(archive.stdout)
        held.seek(0)
        with tarfile.open(fileobj=held) as tar:
            tar.extractall(copy, filter="data")
    return copy


def build(label: str, source: pathlib.Path, settings: list[str]) -> pathlib.Path:
    """Builds a wheel of `source` and unpacks it; returns the folder to put on PYTHONPATH."""
    out = WORK / label
    wheels = out / "wheel"
    shutil.rmtree(wheels, ignore_errors=True)
    env = {**os.environ, "PATH": f"{VENV / 'bin'}{os.pathsep}{os.environ.get('PATH', '')}"}
    if compiler():
        env["CMAKE_ARGS"] = f"-DCMAKE_CXX_COMPILER={compiler()} {os.environ.get('CMAKE_ARGS', '')}"
    command = [sys.executable, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-deps",
               "--no-build-isolation", "--wheel-dir", str(wheels),
               "--config-settings", f"build-dir={out / 'cmake'}", *settings, str(source)]
    subprocess.run(command, check=True, env=env)
    (wheel,) = wheels.glob("zentra_lumara_gov-*.whl")
    site = out / "site"
    shutil.rmtree(site, ignore_errors=True)
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(site)
    for library in site.rglob("*.so"):
        library.chmod(0o755)
    print(f"compare-abi: {LABELS[label]}: {wheel.name}", flush=True)
    return site


class Failed(Exception):
    """A benchmark that exited with an error; its output is the message."""


def run(script: str, arguments: list[str], site: pathlib.Path) -> tuple[str, float]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))}
    started = time.perf_counter()
    done = subprocess.run([sys.executable, str(ROOT / "bench" / script), *arguments], cwd=ROOT, env=env,
                          capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise Failed(f"{script} failed with {LABELS[site.parent.name]}:\n{done.stdout}\n{done.stderr}")
    return done.stdout, elapsed


def check_loaded(site: pathlib.Path, expect_abi3: bool) -> None:
    """The build on PYTHONPATH is the one imported, and of the kind it is meant to be."""
    probe = ("import pathlib, zentra_lumara_gov.providers.tallyx_provider as m; "
             "print(pathlib.Path(m.__file__).resolve())")
    env = {**os.environ, "PYTHONPATH": str(site)}
    loaded = pathlib.Path(subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                                         text=True, check=True).stdout.strip())
    assert loaded.is_relative_to(site.resolve()), loaded
    assert loaded.name.endswith(".abi3.so") == expect_abi3, loaded


def table(name: str, outputs: dict[str, list[str]], wall: dict[str, list[float]]) -> list[str]:
    """Markdown rows: one per output line with numbers, paired by position and shape."""
    rows = []
    per_build = {label: [[line for line in text.splitlines() if numbers(line)] for text in texts]
                 for label, texts in outputs.items()}
    version_lines, stable_lines = per_build["version"][0], per_build["stable"][0]
    if [skeleton(line) for line in version_lines] != [skeleton(line) for line in stable_lines]:
        rows.append(f"| {name} | (the outputs differ in shape; see the full outputs) | | | |")
    for index, line in enumerate(version_lines):
        if index >= len(stable_lines) or skeleton(stable_lines[index]) != skeleton(line):
            break

        def medians(label: str) -> list[float]:
            columns = zip(*(numbers(lines[index]) for lines in per_build[label] if index < len(lines)))
            return [statistics.median(column) for column in columns]

        version, stable = medians("version"), medians("stable")
        ratios = ["" if a == 0 else f"{b / a:.3f}" for a, b in zip(version, stable)]
        label = skeleton(line).replace("|", "/")[:90]
        rows.append(f"| {name} | `{label}` | {', '.join(f'{v:g}' for v in version)} | "
                    f"{', '.join(f'{v:g}' for v in stable)} | {', '.join(ratios)} |")
    a, b = statistics.median(wall["version"]), statistics.median(wall["stable"])
    rows.append(f"| {name} | whole process, wall seconds | {a:.1f} | {b:.1f} | {b / a:.3f} |")
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=1, help="runs of each benchmark per build")
    parser.add_argument("--baseline-ref", help="build the version-specific side from this commit's sources")
    parser.add_argument("--only", nargs="+", help="benchmark file names to run (default: all)")
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    sites = {
        "version": build("version", sources_of(args.baseline_ref), ["--config-settings", "wheel.py-api="]),
        "stable": build("stable", ROOT, []),
    }
    check_loaded(sites["version"], expect_abi3=False)
    check_loaded(sites["stable"], expect_abi3=True)

    chosen = [bench for bench in BENCHMARKS + [SELF_COMPARING] if not args.only or bench[0] in args.only]
    header = ["| benchmark | output line (# = a number) | version-specific | stable ABI | stable / version |",
              "| --- | --- | --- | --- | --- |"]
    rows, full, failures = [], [], []
    baseline = f"sources at {args.baseline_ref}" if args.baseline_ref else "the working tree"
    results = ROOT / "bench" / "results"
    results.mkdir(exist_ok=True)

    def report() -> str:
        """The table so far, also written out with every output in full."""
        text = "\n".join([f"Version-specific: {baseline}; stable ABI: the working tree; "
                          f"{args.rounds} round(s), medians.", "", *header, *rows, "", *failures])
        (results / "compare-abi.md").write_text(text + "\n" + "\n".join(full))
        return text

    for script, arguments in chosen:
        try:
            if (script, arguments) == SELF_COMPARING:
                text, elapsed = run(script, [*arguments, "--before", str(sites["version"])], sites["stable"])
                full.append(f"## {script} (earlier build: version-specific; this build: stable ABI)\n\n"
                            f"```\n{text}```\n")
            else:
                outputs: dict[str, list[str]] = {"version": [], "stable": []}
                wall: dict[str, list[float]] = {"version": [], "stable": []}
                for round_number in range(args.rounds):
                    order = ["version", "stable"] if round_number % 2 == 0 else ["stable", "version"]
                    for label in order:
                        text, elapsed = run(script, arguments, sites[label])
                        outputs[label].append(text)
                        wall[label].append(elapsed)
                        full.append(f"## {script}, {LABELS[label]}, round {round_number + 1}\n\n```\n{text}```\n")
                rows.extend(table(script, outputs, wall))
        except Failed as failure:
            failures.append(f"FAILED: {failure}")
        print(f"compare-abi: {script} {'failed' if failures and script in failures[-1] else 'done'}", flush=True)
        report()

    print(report())
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
