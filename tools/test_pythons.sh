#!/usr/bin/env bash
# The Python test suite against a build for every other CPython on this machine:
#   1. each CPython 3.11 or newer that tools/find_pythons.sh finds, except the version of
#      PYTHON (python3), which tests/run_all.sh covers: a venv and a build of its own
#      under build/pythons/3.X, then pytest and tools/leak_hunt.py;
#   2. CPython 3.14 from Debian's development distribution in a chroot (tools/sid_chroot.sh,
#      as root): pytest against a build for python3.14, then tools/leak_hunt.py against a
#      build for its debug interpreter python3.14-dbg. Without root or the package
#      archives the stage says so and is skipped; MOVRA_SKIP_314=1 skips it on purpose.
# Each stage prints pytest's summary line; the script fails when any stage is red.
#
#   bash tools/test_pythons.sh            # every version
#   bash tools/test_pythons.sh 3.12 3.14  # only those
#
# Settings: PYTHON (python3), MOVRA_SID_ROOT (/opt/sid), MOVRA_SKIP_314, JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/pythons
ONLY=" $* "
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
source tools/find_pythons.sh
source tools/sid_chroot.sh
mkdir -p "$WORK"
failed=()

step() { printf '\n== %s\n' "$*"; }
wanted() { [ "$ONLY" = "  " ] || [[ $ONLY == *" $1 "* ]]; }
# Runs a command with its output in a log file, shown only when it fails.
quiet() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "failed: $* (log: $log)" >&2
    return 1
  fi
}

# What the suite imports: the extra "test" without the type checkers, which run_all.sh
# runs once; and the build tools, since the module is built without isolation.
requirements() {
  "$1" - <<'PY'
import re, tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
tests = [r for r in project["project"]["optional-dependencies"]["test"]
         if re.match(r"[A-Za-z0-9_.-]+", r)[0] not in ("mypy", "pyright")]
print("\n".join(project["build-system"]["requires"] + ["ninja", "cmake>=3.18"] + tests))
PY
}

host_stage() {  # $1: X.Y, $2: interpreter
  local dir=$WORK/$1 reqs
  local venv=$dir/venv
  mkdir -p "$dir"
  if ! "$venv/bin/python" -c '' 2>/dev/null; then
    quiet "$dir/venv.log" "$2" -m venv --clear "$venv" || return 1
  fi
  reqs=$(requirements "$venv/bin/python") || return 1
  if [ "$(cat "$venv/.movra-requirements" 2>/dev/null)" != "$reqs" ]; then
    mapfile -t list <<<"$reqs"
    quiet "$dir/pip.log" "$venv/bin/python" -m pip install -q "${list[@]}" || return 1
    printf '%s' "$reqs" >"$venv/.movra-requirements"
  fi
  quiet "$dir/build.log" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C build-dir="$dir/build" -C cmake.define.MOVRA_WERROR=ON . || return 1
  # From the tests folder, so the installed module is the one imported. The leak hunt
  # (a second): without a debug interpreter it watches blocks and objects only.
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider . &&
    "$venv/bin/python" ../../tools/leak_hunt.py | grep -E '^(LEAK|[0-9]+ leaking)')
}

own=$("${PYTHON:-python3}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
while read -r version py; do
  if [ "$ONLY" = "  " ] && [ "$version" = "$own" ]; then continue; fi
  wanted "$version" || continue
  step "CPython $version ($py): pytest against its own build"
  host_stage "$version" "$py" || failed+=("$version")
done < <(find_pythons)

# Inside the chroot, in $SID_WORK: pytest against a build for python3.14, then the leak
# hunt against a build for python3.14-dbg (its own ABI, so its own build; the system's
# cmake and ninja).
SID_STAGE='
status=0
echo "== CPython $(python3.14 -c "import sys; print(sys.version.split()[0])") (Debian sid chroot $SID): pytest against its own build"
[ -x venv/bin/python ] || quiet venv.log python3.14 -m venv venv
if ! cmp -s requirements.txt venv/.movra-requirements; then
  quiet pip.log venv/bin/pip install -q -r requirements.txt && cp requirements.txt venv/.movra-requirements
fi
cd src
quiet ../build.log ../venv/bin/pip install -q --no-build-isolation --no-deps \
  -C build-dir=/var/movra/build -C cmake.define.MOVRA_WERROR=ON .
(cd tests/python && /var/movra/venv/bin/python -m pytest -q -p no:cacheprovider .) || status=1
echo
echo "== leak hunt on the debug interpreter, python3.14-dbg"
[ -x ../venv-dbg/bin/python ] || quiet ../venv-dbg.log python3.14-dbg -m venv ../venv-dbg
../venv-dbg/bin/python -c "import scikit_build_core" 2>/dev/null ||
  quiet ../pip-dbg.log ../venv-dbg/bin/pip install -q "scikit-build-core>=0.10"
quiet ../build-dbg.log ../venv-dbg/bin/pip install -q --no-build-isolation --no-deps \
  -C build-dir=/var/movra/build-dbg -C cmake.define.MOVRA_WERROR=ON .
(cd tests/python && /var/movra/venv-dbg/bin/python ../../tools/leak_hunt.py) || status=1
exit $status'

if wanted 3.14; then
  step "CPython 3.14 in a chroot of Debian's development distribution ($SID)"
  if [ -n "${MOVRA_SKIP_314:-}" ]; then
    echo "skipped: MOVRA_SKIP_314 is set"
  elif ! why=$(sid_available); then
    echo "skipped: $why (run as root to test CPython 3.14)"
  elif ! sid_setup "$WORK/sid-setup.log"; then
    tail -n 20 "$WORK/sid-setup.log"
    echo "skipped: CPython 3.14 could not be set up in $SID (no network or package archive?);"
    echo "the log is $WORK/sid-setup.log"
  else
    sid_copy_tree "$ROOT"
    requirements "${PYTHON:-python3}" >"$SID$SID_WORK/requirements.txt"
    sid_run "$SID_STAGE" || failed+=(3.14)
  fi
  sid_unmount
fi

echo
if [ ${#failed[@]} != 0 ]; then
  echo "red on CPython ${failed[*]}" >&2
  exit 1
fi
echo "green on every CPython tested"
