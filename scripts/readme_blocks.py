"""The fenced code blocks of README.md, by section and language.

    python scripts/readme_blocks.py "Use it in your own environment" bash

prints the bash blocks of that section (a "## " heading), one after the other.
The suite runs the README's Python blocks through ``blocks``; .ci/run runs its
shell blocks through this command.
"""

from __future__ import annotations

import pathlib
import re
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\s*$", re.S | re.M)


def sections(text: str) -> dict[str, str]:
    """Section heading ("## " level) -> its text, subsections included."""
    parts = re.split(r"^## (.+)$", text, flags=re.M)
    return {heading.strip(): body for heading, body in zip(parts[1::2], parts[2::2])}


def fenced(text: str | None = None) -> list[tuple[str, str, str]]:
    """(section, language, code) of every fenced block, in order."""
    text = README.read_text(encoding="utf-8") if text is None else text
    return [
        (heading, match.group(1), match.group(2))
        for heading, body in sections(text).items()
        for match in FENCE.finditer(body)
    ]


def blocks(language: str, section: str | None = None, text: str | None = None) -> list[tuple[str, str]]:
    """(section, code) of every block fenced as ``language``, in order."""
    return [
        (heading, code)
        for heading, fence_language, code in fenced(text)
        if fence_language == language and (section is None or heading == section)
    ]


def main(argv: list[str]) -> int:
    section, language = argv
    found = blocks(language, section)
    if not found:
        print(f"readme_blocks: no {language} block in section {section!r} of {README.name}", file=sys.stderr)
        return 1
    sys.stdout.write("".join(code for _, code in found))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
