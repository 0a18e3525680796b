#!/usr/bin/env bash
# Prepares everything on a fresh machine: a Python virtual environment in
# .venv, the dependencies, the platform stand-ins and the package built from
# source. A second run with nothing changed rebuilds nothing.
#
# Settings (environment variables):
#   ZLG_VENV            the virtual environment (default: .venv)
#   ZLG_DEPS            "pinned" (default): the versions of constraints.txt;
#                       "latest": the newest releases, nothing pinned
#   ZLG_PYTHON_VERSION  the interpreter's version (default: 3.12)
#   ZLG_PYTHON          the interpreter itself, when the set-up does not find it
#                       (PYTHON312 is read too, for 3.12)
#   ZLG_PACKAGE_WHEEL   a wheel of the package (scripts/build-wheel.sh) to
#                       install instead of building the package from source
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${ZLG_VENV:-$root/.venv}"
deps="${ZLG_DEPS:-pinned}"
python_version="${ZLG_PYTHON_VERSION:-3.12}"
case "$deps" in
  pinned|latest) ;;
  *) echo "setup: ZLG_DEPS must be pinned or latest, not '$deps'" >&2; exit 2 ;;
esac

find_python() {
  local candidate want="$python_version"
  if [ -n "${ZLG_PYTHON:-}" ]; then echo "$ZLG_PYTHON"; return 0; fi
  if [ "$want" = 3.12 ] && [ -n "${PYTHON312:-}" ]; then echo "$PYTHON312"; return 0; fi
  for candidate in \
      "$(command -v "python$want" 2>/dev/null || true)" \
      "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want"*/bin/"python$want" \
      /usr/local/bin/"python$want" /usr/bin/"python$want"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    # A pyenv shim refuses unless that version is selected, so ask the interpreter itself.
    if "$candidate" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$want')" 2>/dev/null; then
      echo "$candidate"; return 0
    fi
  done
  return 1
}

if [ ! -x "$venv/bin/python" ]; then
  python="$(find_python)" || {
    echo "setup: no Python $python_version found (looked for python$python_version on PATH, in pyenv and in /usr);" >&2
    echo "setup: install Python $python_version or point ZLG_PYTHON at its interpreter." >&2
    exit 1
  }
  echo "setup: creating $venv with $python"
  "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
# This machine's pip configuration names local wheel folders that may be
# missing; pip warns about each one on every run. Keep the output readable.
exec 2> >(grep -v "^WARNING: Location 'file:" >&2)

# Pinned: every version from constraints.txt. Latest: the newest releases
# (checked again once a day), nothing pinned.
if [ "$deps" = pinned ]; then
  pins=(-c "$root/constraints.txt")
  upgrade=()
  deps_key="$(cat "$root/constraints.txt" "$root/pyproject.toml" "$root/standins/pyproject.toml" | sha256sum | cut -d' ' -f1)"
else
  pins=()
  upgrade=(--upgrade --upgrade-strategy eager)
  deps_key="latest $(date -u +%F) $(cat "$root/pyproject.toml" "$root/standins/pyproject.toml" | sha256sum | cut -d' ' -f1)"
fi

# Dependencies: reinstall only when the pins or the dependency lists change.
deps_stamp="$venv/.zlg-deps"
if [ "$(cat "$deps_stamp" 2>/dev/null || true)" != "$deps_key" ]; then
  echo "setup: installing $deps dependencies"
  "${pip[@]}" install "${upgrade[@]}" "${pins[@]}" \
      scikit-build-core nanobind cmake ninja setuptools pytest mypy hypothesis \
      pandas numpy pydantic aiohttp cachetools tiktoken lazy-imports matplotlib \
      click tqdm sqlalchemy alembic 'psycopg[binary]' cryptography \
      pyarrow 'dask[dataframe]' distributed  # the last two: the dask extra
  echo "$deps_key" > "$deps_stamp"
fi

# Stand-ins and package: rebuild only when their sources change.
sources_hash() {
  (cd "$root" && git ls-files -co --exclude-standard -- "$@" 2>/dev/null | sort | xargs -r sha256sum | sha256sum | cut -d' ' -f1)
}
standins_stamp="$venv/.zlg-standins"
standins_hash="$deps_key $(sources_hash standins constraints.txt)"
if [ "$(cat "$standins_stamp" 2>/dev/null || true)" != "$standins_hash" ]; then
  echo "setup: installing the platform stand-ins"
  "${pip[@]}" install "${pins[@]}" --no-build-isolation "$root/standins"
  echo "$standins_hash" > "$standins_stamp"
fi
# The C++ compiler: $CXX when given, else the first of c++, clang++-16 and
# clang++ that destroys temporaries inside co_await once (g++ 12 does not; the
# build refuses such a compiler). Debian's clang-16 is installed if need be.
# Recorded in the environment for the test probe's build.
destroys_temporaries_once() {
  local compiler="$1" scratch status
  command -v "$compiler" >/dev/null 2>&1 || return 1
  scratch="$(mktemp -d)"
  status=0
  { "$compiler" -std=c++20 -o "$scratch/check" "$root/cmake/await_temporary_check.cpp" &&
      "$scratch/check"; } >/dev/null 2>&1 || status=1
  rm -rf "$scratch"
  return "$status"
}
pick_cxx() {
  local candidate
  if [ -n "${CXX:-}" ]; then command -v "$CXX"; return 0; fi
  for candidate in c++ clang++-16 clang++; do
    if destroys_temporaries_once "$candidate"; then command -v "$candidate"; return 0; fi
  done
  local sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo -n)
  echo "setup: the C++ compiler destroys temporaries inside co_await twice; installing clang-16" >&2
  { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q clang-16 ||
      { "${sudo[@]}" apt-get update -q && DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q clang-16; }
  } >&2 || true
  if destroys_temporaries_once clang++-16; then command -v clang++-16; return 0; fi
  echo "setup: no suitable C++ compiler; install clang-16 or point CXX at a compiler" >&2
  echo "setup: that passes cmake/await_temporary_check.cpp" >&2
  return 1
}
cxx_file="$venv/.zlg-cxx"
if [ ! -s "$cxx_file" ] || ! destroys_temporaries_once "$(cat "$cxx_file")" ||
    { [ -n "${CXX:-}" ] && [ "$(command -v "$CXX")" != "$(cat "$cxx_file")" ]; }; then
  pick_cxx > "$cxx_file.new"
  mv "$cxx_file.new" "$cxx_file"
fi
cxx="$(cat "$cxx_file")"

# Each environment builds in a directory of its own, so switching between
# them does not reconfigure (and rebuild) the other's build.
build_dir=()
build_root="$root/build"
if [ "$venv" != "$root/.venv" ]; then
  build_dir=(-C "build-dir=build/$(basename "$venv")/{wheel_tag}")
  build_root="$root/build/$(basename "$venv")"
fi
package_stamp="$venv/.zlg-package"
wheel="${ZLG_PACKAGE_WHEEL:-}"
if [ -n "$wheel" ]; then
  [ -f "$wheel" ] || { echo "setup: ZLG_PACKAGE_WHEEL names no file: $wheel" >&2; exit 2; }
  package_hash="$deps_key wheel $(sha256sum "$wheel" | cut -d' ' -f1)"
  if [ "$(cat "$package_stamp" 2>/dev/null || true)" != "$package_hash" ]; then
    echo "setup: installing zentra_lumara_gov from $(basename "$wheel")"
    "${pip[@]}" install "${pins[@]}" --no-deps --force-reinstall "$wheel"
    echo "$package_hash" > "$package_stamp"
  fi
  exit 0
fi
package_hash="$deps_key $cxx $(sources_hash src python cmake CMakeLists.txt pyproject.toml constraints.txt)"
if [ "$(cat "$package_stamp" 2>/dev/null || true)" != "$package_hash" ]; then
  echo "setup: building and installing zentra_lumara_gov (C++ compiler: $cxx)"
  # A build folder configured with another compiler starts afresh: CMake
  # would first re-run the old configuration, which the compiler check refuses.
  for cache in "$build_root"/cp3*/CMakeCache.txt; do
    [ -f "$cache" ] || continue
    grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$cache" ||
      rm -rf "$cache" "$(dirname "$cache")/CMakeFiles"
  done
  CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$cxx ${CMAKE_ARGS:-}" \
    "${pip[@]}" install "${pins[@]}" "${build_dir[@]}" --no-build-isolation --no-deps "$root"
  echo "$package_hash" > "$package_stamp"
fi
# The PostgreSQL server programs, for the run store's tests on a real server.
bash "$root/scripts/postgres.sh"
