#!/usr/bin/env bash
# What a user does in an environment of their own, as README.md's section
# "Use it in your own environment" says: the SDK's wheel (the one
# scripts/build-wheel.sh built, handed over in dist/ as a user is handed it)
# and a wheel of the stand-ins built from a clean copy of the source tree,
# installed with plain pip (no constraints, so the newest releases) into a
# brand-new virtual environment; then the README's quickstart, run there. The
# stand-ins are also installed alone, into a second new environment, and must
# work without the SDK.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wheel="$(bash "$root/scripts/build-wheel.sh")"
bash "$root/scripts/setup.sh"  # the environment whose Python runs the helpers below
python="$root/.venv/bin/python"
section="Use it in your own environment"

work="$(mktemp -d "${TMPDIR:-/tmp}/zlg-own-env.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# The README names python3.12: put the interpreter the set-up found under that name.
mkdir -p "$work/bin"
ln -s "$("$python" -c 'import sys; print(sys._base_executable)')" "$work/bin/python3.12"
export PATH="$work/bin:$PATH"

# A clean copy of the sources (what a clone holds, with local changes), no build output.
"$python" - "$root" "$work/zentra_lumara_gov" <<'PY'
import pathlib, shutil, subprocess, sys

root, copy = map(pathlib.Path, sys.argv[1:])
listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=root,
                        capture_output=True, check=True).stdout.decode()
for name in filter(None, listed.split("\0")):
    if (root / name).is_file():
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(root / name, copy / name)
PY

mkdir "$work/zentra_lumara_gov/dist"
cp "$wheel" "$root/dist/.zlg-wheel" "$work/zentra_lumara_gov/dist/"

echo "ci-own-environment: the README's commands, in a copy of the sources"
"$python" "$root/scripts/readme_blocks.py" "$section" bash > "$work/own-environment.sh"
cat "$work/own-environment.sh"
(cd "$work/zentra_lumara_gov" && env -u VIRTUAL_ENV bash -euo pipefail "$work/own-environment.sh") \
  2> >(grep -v "^WARNING: Location 'file:" >&2)

venv="$work/zlg-env"
[ -x "$venv/bin/python" ] || { echo "ci-own-environment: the README's commands made no ../zlg-env" >&2; exit 1; }
"$venv/bin/python" -m pip list --format=freeze 2>/dev/null | grep -iE '^(pandas|numpy|pydantic|zentra)' | tr '\n' ' '
echo

# The wheel ships py.typed and a stub beside every extension module.
"$venv/bin/python" - <<'PY'
import importlib.machinery, pathlib, zentra_lumara_gov
top = pathlib.Path(zentra_lumara_gov.__file__).parent
extensions = [p for p in top.rglob("*") if p.parent != top and p.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))]
missing = [str(p) for p in extensions if not p.with_name(p.name.split(".")[0] + ".pyi").is_file()]
assert (top / "py.typed").is_file() and len(extensions) == 7 and not missing, (extensions, missing)
assert all(p.name.endswith(".abi3.so") for p in extensions), extensions
print(f"ci-own-environment: the stable-ABI wheel ships py.typed and {len(extensions)} stubs")
PY

echo "ci-own-environment: the README's quickstart, run in the new environment"
mkdir "$work/user"
"$python" "$root/scripts/readme_blocks.py" "Quickstart" python > "$work/user/quickstart.py"
"$python" "$root/scripts/readme_blocks.py" "Quickstart" text > "$work/user/shown.txt"
(cd "$work/user" && "$venv/bin/python" quickstart.py | tee printed.txt)
diff -u "$work/user/shown.txt" "$work/user/printed.txt" || {
  echo "ci-own-environment: the quickstart printed something else than the README shows" >&2; exit 1; }

echo "ci-own-environment: the stand-ins installed alone"
python3.12 -m venv "$work/standins-env"
"$work/standins-env/bin/python" -m pip install -q "$work"/zentra_lumara_gov/dist/zentra_platform_standins-*.whl \
  2> >(grep -v "^WARNING: Location 'file:" >&2)
(cd "$work/user" && "$work/standins-env/bin/python" - <<'PY'
import importlib
import importlib.util

packages = ["tallyx", "verdix", "zentra_vigil_clearview", "zentra_lumara_ai", "zentra_metrics_plugin",
            "zentra_judge_server", "detection_service"]
for name in packages:
    importlib.import_module(name)
assert importlib.util.find_spec("zentra_lumara_gov") is None, "the stand-ins pulled in the SDK"
print("ci-own-environment: stand-ins alone import:", ", ".join(packages))
PY
)
