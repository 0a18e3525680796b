"""The command line on the example dataset: one metric of every family (the
evaluation library's similarity and judge metrics, the detection service, the
criteria judge), with the local judge and detection service started by the
command itself (--local). Writes the JSON results and the HTML report under
demo/output/, records both runs in the run store demo/output/runs.db, verifies
its chain and shows the exit codes a CI pipeline would gate on."""

from __future__ import annotations

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "demo" / "data" / "rag_records.jsonl"
CONFIG = ROOT / "demo" / "config" / "eval.toml"
OUTPUT = ROOT / "demo" / "output"
STORE = OUTPUT / "runs.db"


def evaluate(*arguments: str) -> subprocess.CompletedProcess:
    command = [sys.executable, "-m", "zentra_lumara_gov", "evaluate", str(DATA), "--config", str(CONFIG),
               "--local", "--no-progress", "--store", str(STORE), "--tag", "dataset=rag_records", *arguments]
    print("   $ zentra-lumara-gov " + " ".join(command[3:]).replace(str(ROOT) + "/", ""))
    return subprocess.run(command, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)


def run(context) -> None:
    OUTPUT.mkdir(parents=True, exist_ok=True)
    results, report = OUTPUT / "results.json", OUTPUT / "report.html"
    for out, gate in ((results, ()), (report, ("--fail-on-threshold",))):
        done = evaluate("--out", str(out), *gate)
        for line in done.stderr.splitlines():
            print(f"   | {line}")
        print(f"   exit code {done.returncode}")
        if done.returncode == 2 or not out.exists():
            raise SystemExit(f"the command failed:\n{done.stderr}")
    verified = subprocess.run([sys.executable, "-m", "zentra_lumara_gov", "runs", "verify", "--store", str(STORE)],
                              capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    print(f"   $ zentra-lumara-gov runs verify --store {STORE.relative_to(ROOT)}")
    for line in (verified.stdout + verified.stderr).splitlines():
        print(f"   | {line}")
    if verified.returncode != 0:
        raise SystemExit("the run store's chain does not verify")
    print(f"   results: {results.relative_to(ROOT)}, report: {report.relative_to(ROOT)} "
          f"(open it in a browser: xdg-open {report.relative_to(ROOT)})")
