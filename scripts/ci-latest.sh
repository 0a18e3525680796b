#!/usr/bin/env bash
# The whole suite on the newest releases (nothing pinned: pandas 3, numpy 2.5
# and later) under Python 3.13, in a virtual environment of its own.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export ZLG_VENV="${ZLG_LATEST_VENV:-$root/.venv-latest}"
export ZLG_DEPS=latest
export ZLG_PYTHON_VERSION="${ZLG_LATEST_PYTHON_VERSION:-3.13}"
bash "$root/scripts/setup.sh"
# Say what was tested, and refuse to call an older set "the newest".
"$ZLG_VENV/bin/python" - <<'PY'
import sys
from importlib.metadata import version

import numpy
import pandas

names = ["pandas", "numpy", "pydantic", "aiohttp", "cachetools", "tiktoken", "lazy-imports", "nanobind"]
print("ci-latest: Python %d.%d.%d;" % sys.version_info[:3], ", ".join(f"{n} {version(n)}" for n in names))
major = lambda text: tuple(int(part) for part in text.split(".")[:2])
if major(pandas.__version__) < (3, 0) or major(numpy.__version__) < (2, 5):
    sys.exit("ci-latest: expected pandas 3.x and numpy 2.5 or later")
PY
exec bash "$root/scripts/run-tests" "$@"
