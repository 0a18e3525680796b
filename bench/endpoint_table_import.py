"""Import cost of the regional endpoint table, next to a plain-Python rendering.

    .venv/bin/python bench/endpoint_table_import.py [repeats]

Three figures:
  * first import in a fresh process, with pydantic and the enumerations
    already imported and one pydantic model already built (so pydantic's own
    lazy start-up is not counted), for the extension module;
  * building the module again in a warm process (class + 13 records + reverse
    table), median over the repeats, for the extension module and for the same
    steps written in Python;
  * the same first-import figure for the Python rendering.
"""

from __future__ import annotations

import importlib
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

NATIVE = "zentra_lumara_gov.utils.endpoint_table"
PLAIN = "endpoint_table_plain"

FRESH = """
import importlib, sys, time
sys.path.insert(0, {path!r})
import pydantic, zentra_lumara_gov.entities.enums
class Warm(pydantic.BaseModel):
    a: str
import zentra_lumara_gov.evaluators.impl.metric_run_impl  # the shared nanobind runtime
t0 = time.perf_counter()
importlib.import_module({name!r})
print(time.perf_counter() - t0)
"""


def plain_source() -> str:
    """The module written in Python, with the very values of the native one."""
    native = importlib.import_module(NATIVE)
    lines = [
        "from pydantic import BaseModel",
        "from zentra_lumara_gov.entities.enums import Region",
        "",
        "class LmUrls(BaseModel):",
        *(f"    {name}: str" for name in ("iam_url", "lmg_url", "vml_url", "dai_url", "region")),
        "",
        "LUMARA_REGION_URLS = {",
    ]
    members = {member.value: member.name for member in native.Region}
    for key, record in native.LUMARA_REGION_URLS.items():
        key_text = f"Region.{members[key]}.value" if key in members else repr(key)
        fields = ", ".join(f"{name}={value!r}" for name, value in record.model_dump().items() if name != "region")
        lines.append(f"    {key_text}: LmUrls({fields}, region={key_text}),")
    lines += ["}", "", "CLV_ENDPOINT_TABLE = {"]
    for key in native.LUMARA_REGION_URLS:
        key_text = f"Region.{members[key]}.value" if key in members else repr(key)
        lines.append(f"    LUMARA_REGION_URLS.get({key_text}).lmg_url: LUMARA_REGION_URLS.get({key_text}),")
    lines.append("}")
    return "\n".join(lines) + "\n"


def fresh_import(name: str, path: str, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", FRESH.format(name=name, path=path)],
                             capture_output=True, text=True, check=True, timeout=120)
        times.append(float(out.stdout))
    return statistics.median(times)


def rebuild(name: str, repeats: int) -> float:
    importlib.import_module(name)
    times = []
    for _ in range(repeats):
        del sys.modules[name]
        t0 = time.perf_counter()
        importlib.import_module(name)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    with tempfile.TemporaryDirectory() as folder:
        pathlib.Path(folder, PLAIN + ".py").write_text(plain_source(), encoding="utf-8")
        sys.path.insert(0, folder)
        importlib.import_module(PLAIN)  # writes the bytecode cache once
        fresh = max(5, repeats // 20)
        print(f"first import, fresh process ({fresh} runs, median):")
        print(f"  native  {fresh_import(NATIVE, folder, fresh) * 1e3:7.3f} ms")
        print(f"  python  {fresh_import(PLAIN, folder, fresh) * 1e3:7.3f} ms")
        print(f"module built again in a warm process ({repeats} runs, median):")
        print(f"  native  {rebuild(NATIVE, repeats) * 1e3:7.3f} ms")
        print(f"  python  {rebuild(PLAIN, repeats) * 1e3:7.3f} ms")


if __name__ == "__main__":
    main()
