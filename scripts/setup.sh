#!/usr/bin/env bash
# Prepares everything on a fresh machine: a Python 3.12 virtual environment in
# .venv, the pinned dependencies, the platform stand-ins and the package built
# from source. A second run with nothing changed rebuilds nothing.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ZLG_VENV:-$root/.venv}"

find_python312() {
  local candidate
  if [ -n "${PYTHON312:-}" ]; then echo "$PYTHON312"; return 0; fi
  for candidate in \
      "$(command -v python3.12 2>/dev/null || true)" \
      "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 \
      /usr/local/bin/python3.12 /usr/bin/python3.12; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    # A pyenv shim refuses unless a 3.12 is selected, so ask the interpreter itself.
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      echo "$candidate"; return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    local version
    version="$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.|$)' | tail -n 1 || true)"
    if [ -n "$version" ]; then echo "$(pyenv root)/versions/$version/bin/python3.12"; return 0; fi
  fi
  return 1
}

if [ ! -x "$venv/bin/python" ]; then
  python312="$(find_python312)" || {
    echo "setup: no Python 3.12 found (looked for python3.12 on PATH, in pyenv and in /usr);" >&2
    echo "setup: install Python 3.12 or point PYTHON312 at its interpreter." >&2
    exit 1
  }
  echo "setup: creating $venv with $python312"
  "$python312" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
# This machine's pip configuration names local wheel folders that may be
# missing; pip warns about each one on every run. Keep the output readable.
exec 2> >(grep -v "^WARNING: Location 'file:" >&2)

# Dependencies: reinstall only when the pins or the dependency lists change.
deps_stamp="$venv/.zlg-deps"
deps_hash="$(cat "$root/constraints.txt" "$root/pyproject.toml" "$root/standins/pyproject.toml" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null || true)" != "$deps_hash" ]; then
  echo "setup: installing pinned dependencies"
  "${pip[@]}" install -c "$root/constraints.txt" \
      scikit-build-core nanobind cmake ninja setuptools pytest \
      pandas numpy pydantic aiohttp cachetools tiktoken lazy-imports matplotlib \
      'dask[dataframe]' distributed pyarrow  # the dask extra
  echo "$deps_hash" > "$deps_stamp"
fi

# Stand-ins and package: rebuild only when their sources change.
sources_hash() {
  (cd "$root" && git ls-files -co --exclude-standard -- "$@" 2>/dev/null | sort | xargs -r sha256sum | sha256sum | cut -d' ' -f1)
}
standins_stamp="$venv/.zlg-standins"
standins_hash="$(sources_hash standins constraints.txt)"
if [ "$(cat "$standins_stamp" 2>/dev/null || true)" != "$standins_hash" ]; then
  echo "setup: installing the platform stand-ins"
  "${pip[@]}" install -c "$root/constraints.txt" --no-build-isolation "$root/standins"
  echo "$standins_hash" > "$standins_stamp"
fi
package_stamp="$venv/.zlg-package"
package_hash="$(sources_hash src python CMakeLists.txt pyproject.toml constraints.txt)"
if [ "$(cat "$package_stamp" 2>/dev/null || true)" != "$package_hash" ]; then
  echo "setup: building and installing zentra_lumara_gov"
  "${pip[@]}" install -c "$root/constraints.txt" --no-build-isolation --no-deps "$root"
  echo "$package_hash" > "$package_stamp"
fi
