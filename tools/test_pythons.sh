#!/usr/bin/env bash
# The Python test suite against a build for every other CPython on this machine:
#   1. each CPython 3.11 or newer found by tools/find_pythons.sh, except the version of
#      PYTHON (python3), which tests/run_all.sh covers: a venv and a build of its own under
#      build/pythons/3.X, then pytest;
#   2. CPython 3.14 from Debian's development distribution in a chroot (MOVRA_SID_ROOT,
#      /opt/sid; made on the first run, about 2 minutes, and kept): pytest against a build
#      for python3.14, then tools/leak_hunt.py against a build for its debug interpreter,
#      python3.14-dbg. This needs root and the package archives; without them the stage
#      says so and is skipped (MOVRA_SKIP_314=1 skips it on purpose).
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
SID=${MOVRA_SID_ROOT:-/opt/sid}
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
source tools/find_pythons.sh
mkdir -p "$WORK"
failed=()
ONLY="$*"

step() { printf '\n== %s\n' "$*"; }
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

# What the suite imports: the extra "test" without the type checkers, which run_all.sh runs
# once; and the build tools, since the module is built without isolation.
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
  local dir=$WORK/$1 reqs stamp
  local venv=$dir/venv
  mkdir -p "$dir"
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c '' 2>/dev/null; then
    quiet "$dir/venv.log" "$2" -m venv --clear "$venv" || return 1
  fi
  reqs=$(requirements "$venv/bin/python") || return 1
  stamp=$venv/.movra-requirements
  if [ "$(cat "$stamp" 2>/dev/null)" != "$reqs" ]; then
    mapfile -t list <<<"$reqs"
    quiet "$dir/pip.log" "$venv/bin/python" -m pip install -q "${list[@]}" || return 1
    printf '%s' "$reqs" >"$stamp"
  fi
  quiet "$dir/build.log" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C build-dir="$dir/build" -C cmake.define.MOVRA_WERROR=ON . || return 1
  # From the tests folder, so the installed module is the one imported.
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

own=$(${PYTHON:-python3} -c 'import sys; print("%d.%d" % sys.version_info[:2])')
while read -r version py; do
  [ "$version" = "$own" ] && [ -z "$ONLY" ] && continue
  [ -n "$ONLY" ] && [[ " $ONLY " != *" $version "* ]] && continue
  step "CPython $version ($py): pytest against its own build"
  host_stage "$version" "$py" || failed+=("$version")
done < <(find_pythons)

# ---- CPython 3.14 in a chroot of Debian's development distribution ----------------------

SID_LOG=$WORK/sid-setup.log
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || umount -l "${mounted[i]}" || true; done
  mounted=()
}
trap unmount_all EXIT
mount_in_sid() {  # $1: mount point in the tree, then mount's arguments
  local target=$SID$1
  shift
  mkdir -p "$target"
  mountpoint -q "$target" && return 0  # someone else's: left to them
  mount "$@" "$target" && mounted+=("$target")
}

sid_setup() {
  local mirror
  if [ ! -x "$SID/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; }
    mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
    debootstrap --variant=minbase sid "$SID" "${mirror:-http://deb.debian.org/debian}"
  fi
  # The archive the machine sees may be older than its Release file's validity window.
  echo 'Acquire::Check-Valid-Until "false";' >"$SID/etc/apt/apt.conf.d/99novalid"
  mkdir -p "$SID/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/certs/"
  cp /etc/resolv.conf "$SID/etc/resolv.conf"
  mount_in_sid /proc --bind /proc
  mount_in_sid /dev/shm -t tmpfs tmpfs  # semaphores of the process pools
  local packages="python3.14-dev python3.14-venv python3.14-dbg g++ cmake ninja-build ca-certificates"
  # shellcheck disable=SC2086
  if ! chroot "$SID" dpkg -s $packages >/dev/null 2>&1; then
    chroot "$SID" apt-get update -qq
    chroot "$SID" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages
  fi
  # Installing ca-certificates inside rewrites the bundle: the machine's own is the trusted one.
  cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/certs/"
}

sid_stage() {
  local inside=/var/movra  # everything of ours in the tree
  # The working tree as it is (uncommitted changes too), without builds and environments.
  mkdir -p "$SID$inside/src"
  tar -C "$ROOT" --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude=__pycache__ -cf - . | tar -C "$SID$inside/src" --overwrite -xf -
  requirements "${PYTHON:-python3}" >"$SID$inside/requirements.txt"
  # A clean environment: nothing of the host's pip set-up (its find-links folder) gets in.
  chroot "$SID" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_ROOT_USER_ACTION=ignore \
    PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL="$CMAKE_BUILD_PARALLEL_LEVEL" \
    bash -euo pipefail -c '
    cd /var/movra
    quiet() { local log=$1; shift; "$@" >"$log" 2>&1 || { tail -n 60 "$log"; echo "failed: $* (log: '"$SID"'$log)" >&2; return 1; }; }
    status=0
    echo "== CPython $(python3.14 -c "import sys; print(sys.version.split()[0])") (Debian sid chroot '"$SID"'): pytest against its own build"
    [ -x venv/bin/python ] || quiet venv.log python3.14 -m venv venv
    if ! cmp -s requirements.txt venv/.movra-requirements; then
      quiet pip.log venv/bin/pip install -q -r requirements.txt && cp requirements.txt venv/.movra-requirements
    fi
    cd src
    quiet ../build.log ../venv/bin/pip install -q --no-build-isolation --no-deps \
      -C build-dir=/var/movra/build -C cmake.define.MOVRA_WERROR=ON .
    (cd tests/python && /var/movra/venv/bin/python -m pytest -q -p no:cacheprovider .) || status=1
    echo
    echo "== leak hunt on the debug interpreter ($(python3.14-dbg -c "import sys; print(sys.version.split()[0])")-dbg)"
    [ -x ../venv-dbg/bin/python ] || quiet ../venv-dbg.log python3.14-dbg -m venv ../venv-dbg
    ../venv-dbg/bin/python -c "import scikit_build_core" 2>/dev/null ||
      quiet ../pip-dbg.log ../venv-dbg/bin/pip install -q "scikit-build-core>=0.10"
    # The system cmake and ninja; the debug interpreter has its own ABI, hence its own build.
    quiet ../build-dbg.log ../venv-dbg/bin/pip install -q --no-build-isolation --no-deps \
      -C build-dir=/var/movra/build-dbg -C cmake.define.MOVRA_WERROR=ON .
    (cd tests/python && /var/movra/venv-dbg/bin/python ../../tools/leak_hunt.py) || status=1
    exit $status'
}

step "CPython 3.14 in a chroot of Debian's development distribution ($SID)"
if [ -n "$ONLY" ] && [[ " $ONLY " != *" 3.14 "* ]]; then
  echo "skipped: not named"
elif [ -n "${MOVRA_SKIP_314:-}" ]; then
  echo "skipped: MOVRA_SKIP_314 is set"
elif [ "$(id -u)" != 0 ]; then
  echo "skipped: the chroot needs root (run this script as root to test CPython 3.14)"
elif ! sid_setup >"$SID_LOG" 2>&1; then
  tail -n 20 "$SID_LOG"
  echo "skipped: CPython 3.14 could not be set up in $SID (no network or package archive?);"
  echo "the log is $SID_LOG"
else
  sid_stage || failed+=(3.14)
fi
unmount_all

echo
if [ ${#failed[@]} != 0 ]; then
  echo "red on CPython ${failed[*]}" >&2
  exit 1
fi
echo "green on every CPython tested"
