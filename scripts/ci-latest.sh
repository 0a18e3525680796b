#!/usr/bin/env bash
# The whole suite on the newest releases (nothing pinned: pandas 3, numpy 2.5
# and later) under Python 3.13, in a virtual environment of its own, with the
# very wheel built on Python 3.12 (scripts/build-wheel.sh): nothing of the
# package is compiled here. The test probe is the one the Python 3.12 run
# built, against the same stable ABI.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wheel="$(bash "$root/scripts/build-wheel.sh")"
export ZLG_VENV="${ZLG_LATEST_VENV:-$root/.venv-latest}"
export ZLG_DEPS=latest
export ZLG_PYTHON_VERSION="${ZLG_LATEST_PYTHON_VERSION:-3.13}"
export ZLG_PACKAGE_WHEEL="$wheel"
export ZLG_NATIVE_PROBE_BUILD="${ZLG_NATIVE_PROBE_BUILD:-$root/build/native-probe}"
bash "$root/scripts/setup.sh"
# Say what was tested, and refuse to call an older set "the newest".
"$ZLG_VENV/bin/python" - <<'PY'
import sys
from importlib.metadata import version

import numpy
import pandas

names = ["pandas", "numpy", "pydantic", "aiohttp", "cachetools", "tiktoken", "lazy-imports", "nanobind"]
print("ci-latest: Python %d.%d.%d;" % sys.version_info[:3], ", ".join(f"{n} {version(n)}" for n in names))
import pathlib
import zentra_lumara_gov
shared = sorted(p.name for p in pathlib.Path(zentra_lumara_gov.__file__).parent.rglob("*.so"))
modules = [name for name in shared if name.endswith(".abi3.so")]
# The seven modules and the nanobind runtime of the 3.12 stable-ABI wheel, nothing else.
if len(modules) != 7 or sorted(set(shared) - set(modules)) != ["libnanobind-abi3.so"]:
    sys.exit(f"ci-latest: expected the stable-ABI wheel's modules, found {shared}")
major = lambda text: tuple(int(part) for part in text.split(".")[:2])
if major(pandas.__version__) < (3, 0) or major(numpy.__version__) < (2, 5):
    sys.exit("ci-latest: expected pandas 3.x and numpy 2.5 or later")
PY
exec bash "$root/scripts/run-tests" "$@"
