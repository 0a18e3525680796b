"""The main job: evaluates the example dataset end to end on the local stand-ins.

Each file in demo/sections/ is one part of the job (a provider, a run mode);
they run in file-name order. A section is a module with a
``run(context: DemoContext) -> None`` function that prints its own lines.
"""

from __future__ import annotations

import importlib.util
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from context import DemoContext  # noqa: E402


def main(argv: list[str]) -> int:
    sections = sorted((HERE / "sections").glob("[0-9]*.py"))
    known = [path.stem for path in sections]
    unknown = [name for name in argv if name not in known]
    if unknown:
        print(f"unknown section(s): {', '.join(unknown)}; the sections are: {', '.join(known)}", file=sys.stderr)
        return 2
    context = DemoContext.load(HERE / "data" / "rag_records.jsonl")
    wanted = set(argv)
    for path in sections:
        if wanted and path.stem not in wanted:
            continue
        spec = importlib.util.spec_from_file_location(f"demo_section_{path.stem}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(f"== {path.stem} ==")
        started = time.perf_counter()
        module.run(context)
        print(f"   ({time.perf_counter() - started:.2f} s)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
