#!/usr/bin/env bash
# Runs every test inside a virtual environment of the repository (.venv, made on the first
# run and reused), so the interpreter that runs this script is left as it was:
#   1. installs movra and the test requirements into the environment;
#   2. pytest against the installed module, the examples included;
#   3. mypy --strict, pyright and stubtest against the installed stub, from a folder
#      outside the repository;
#   4. a Debug build with AddressSanitizer and UndefinedBehaviorSanitizer of the module
#      and of the GoogleTest suites; pytest against that module, then the GoogleTest
#      suites through CTest.
# GoogleTest comes from the system's packages: as root it is installed with apt-get when
# missing; otherwise the C++ suites are skipped with a note on how to get them (and the
# run fails instead when MOVRA_REQUIRE_CPP_SUITES=1, as in CI).
#
# Settings: PYTHON (interpreter for the environment, python3), MOVRA_VENV (.venv),
# MOVRA_TEST_BUILD_DIR (build/tests), JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}
VENV=${MOVRA_VENV:-$ROOT/.venv}
BUILD=${MOVRA_TEST_BUILD_DIR:-build/tests}
JOBS=${JOBS:-2}
LOGS=$ROOT/build/logs

# Leak detection, in one place. The GoogleTest suites check for leaks, and so does pytest
# under the sanitizer build: tests/python/conftest.py runs the check (MOVRA_LEAK_CHECK=1)
# once the suites have run, while the interpreter is whole and everything it keeps is
# reachable; its own teardown, which leaves much unfreed, is not checked
# (leak_check_at_exit=0). PYTHONMALLOC=malloc lets the sanitizer see inside Python objects;
# tests/lsan.supp names the interpreter's own bookkeeping, nothing of ours.
GTEST_DETECT_LEAKS=1
PYTEST_DETECT_LEAKS=1
PYTEST_LEAK_CHECK="MOVRA_LEAK_CHECK=1 PYTHONMALLOC=malloc"
LSAN_SUPPRESSIONS="$ROOT/tests/lsan.supp"
sanitizer_env() {  # $1: detect_leaks (0 or 1); $2: more ASAN_OPTIONS, if any
  local lsan=print_suppressions=0
  [ -n "$LSAN_SUPPRESSIONS" ] && lsan="$lsan:suppressions=$LSAN_SUPPRESSIONS"
  echo "ASAN_OPTIONS=detect_leaks=$1${2:+:$2} LSAN_OPTIONS=$lsan UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
}

export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
mkdir -p "$LOGS"

step() { printf '\n== %s\n' "$*"; }
# Runs a command with its output in a log file, shown only when it fails.
quiet() {
  local log="$LOGS/$1.log"
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    echo "failed: $* (log: $log)" >&2
    return 1
  fi
}
# pytest's own summary is the report; exit status 5 means it collected nothing.
run_pytest() {
  local status=0
  "$@" || status=$?
  if [ "$status" = 5 ]; then echo "pytest collected no tests" >&2; fi
  return "$status"
}

step "preparing the test environment ($VENV)"
if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys' 2>/dev/null; then
  quiet venv "$PY" -m venv --clear "$VENV"
fi
VPY=$VENV/bin/python
export PATH="$VENV/bin:$PATH"
# The requirements: the build tools, and the extra "test" of pyproject.toml. They are
# installed again only when that list changes.
REQUIREMENTS=$("$VPY" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
build = project["build-system"]["requires"] + ["ninja", "cmake>=3.18"]
print("\n".join(build + project["project"]["optional-dependencies"]["test"]))
EOF
)
STAMP=$VENV/.movra-requirements
if [ "$(cat "$STAMP" 2>/dev/null)" != "$REQUIREMENTS" ]; then
  mapfile -t reqs <<<"$REQUIREMENTS"
  quiet pip-requirements "$VPY" -m pip install -q "${reqs[@]}"
  printf '%s' "$REQUIREMENTS" >"$STAMP"
fi
"$VPY" -c 'import sys; print("Python", sys.version.split()[0], "in", sys.prefix)'

HAVE_GTEST=0
for dir in /usr/include /usr/local/include ${GTEST_ROOT:+"$GTEST_ROOT/include"}; do
  [ -f "$dir/gtest/gtest.h" ] && HAVE_GTEST=1
done
if [ "$HAVE_GTEST" = 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  step "installing GoogleTest (libgtest-dev) from the system's packages"
  quiet apt-get apt-get update -qq
  quiet apt-get sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev'
  HAVE_GTEST=1
fi
if [ "$HAVE_GTEST" = 0 ] && [ "${MOVRA_REQUIRE_CPP_SUITES:-0}" = 1 ]; then
  echo "GoogleTest is missing and the C++ suites are required (MOVRA_REQUIRE_CPP_SUITES=1)" >&2
  exit 1
fi

# The sanitizer build (module and GoogleTest suites) runs in the background meanwhile:
# the Python stages below keep only one core busy.
build_sanitized() {
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DMOVRA_BUILD_TESTS="$([ "$HAVE_GTEST" = 1 ] && echo ON || echo OFF)" \
    -DMOVRA_SANITIZE=address,undefined -DMOVRA_WERROR=ON -DPython_EXECUTABLE="$VPY" &&
    # Test discovery runs the suites while building: keep the leak checker's report quiet.
    env $(sanitizer_env "$GTEST_DETECT_LEAKS") cmake --build "$BUILD" -j "$JOBS"
}
build_sanitized >"$LOGS/sanitizer-build.log" 2>&1 &
SANITIZER_BUILD=$!
TYPING_DIR=$(mktemp -d)
trap 'kill "$SANITIZER_BUILD" 2>/dev/null || true; rm -rf "$TYPING_DIR"' EXIT

step "installing movra into the test environment"
quiet pip-movra "$VPY" -m pip install -q --no-build-isolation --no-deps \
  -C build-dir=build/release -C cmake.define.MOVRA_WERROR=ON .

step "pytest against the installed module"
# From the tests folder, so the installed module is the one imported.
(cd tests/python && run_pytest "$VPY" -m pytest -q -p no:cacheprovider .)

step "type checkers against the installed stub (from outside the repository)"
cp tests/typing/uses_movra.py "$TYPING_DIR/"
(cd "$TYPING_DIR" && unset MYPYPATH PYTHONPATH &&
  "$VPY" -m mypy --strict --no-incremental uses_movra.py &&
  pyright --pythonpath "$VPY" uses_movra.py &&
  "$VPY" -m mypy.stubtest movra)

step "building the module with AddressSanitizer and UndefinedBehaviorSanitizer"
if ! wait "$SANITIZER_BUILD"; then
  cat "$LOGS/sanitizer-build.log"
  echo "failed: the sanitizer build (log: $LOGS/sanitizer-build.log)" >&2
  exit 1
fi
echo "built $BUILD"

step "pytest against the sanitizer build of the module"
# The interpreter is not instrumented, so the sanitizer runtime is preloaded, with the
# C++ runtime beside it so that exceptions are intercepted.
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
(cd tests/python && run_pytest env LD_PRELOAD="$PRELOAD" \
  $(sanitizer_env "$PYTEST_DETECT_LEAKS" leak_check_at_exit=0) $PYTEST_LEAK_CHECK \
  PYTHONPATH="$ROOT/$BUILD/python" MOVRA_SANITIZED=1 "$VPY" -m pytest -q -p no:cacheprovider .)

step "GoogleTest suites under AddressSanitizer and UndefinedBehaviorSanitizer"
if [ "$HAVE_GTEST" = 0 ]; then
  echo "skipped: GoogleTest is not installed. Install it (Debian/Ubuntu: sudo apt-get install"
  echo "libgtest-dev; elsewhere build it and set GTEST_ROOT) and run this script again."
  exit 0
fi
# One line per passing case would bury the summary: only failures and the totals show.
env $(sanitizer_env "$GTEST_DETECT_LEAKS") ctest --test-dir "$BUILD" -j "$JOBS" \
  --output-on-failure | grep -v -E '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed '
