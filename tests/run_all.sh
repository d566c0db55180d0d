#!/usr/bin/env bash
# Runs every test: installs the module and runs the pytest suites against it, runs the
# same suites against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer, then builds and runs the GoogleTest suites (engine and
# conversions) under both sanitizers through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD=${MOVRA_TEST_BUILD_DIR:-build/tests}
JOBS=${JOBS:-2}

step() { printf '\n== %s\n' "$*"; }

if [ ! -f /usr/include/gtest/gtest.h ]; then
  step "installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  fi
fi

step "installing movra and the test requirements"
"$PY" -m pip install -q pytest numpy "dask[distributed]"
if "$PY" -c "import scikit_build_core, ninja" 2>/dev/null; then
  "$PY" -m pip install -q --no-build-isolation -C cmake.define.MOVRA_WERROR=ON .
else
  "$PY" -m pip install -q -C cmake.define.MOVRA_WERROR=ON .
fi

step "pytest against the installed module"
# Run from the tests folder so the installed module is the one imported.
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .)

step "checking the type stub against the installed module"
"$PY" -m pip install -q mypy
# stubtest writes its cache into the working directory: give it a scratch one.
STUB_DIR=$(mktemp -d)
(cd "$STUB_DIR" && MYPYPATH="$OLDPWD" "$PY" -m mypy.stubtest movra)
rm -rf "$STUB_DIR"

step "building the sanitizer build (module and GoogleTest suites)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRA_BUILD_TESTS=ON -DMOVRA_WERROR=ON \
  -DMOVRA_SANITIZE=address,undefined -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

step "pytest against the sanitizer build of the module"
# The interpreter itself is not instrumented, so the sanitizer runtime is preloaded, with
# the C++ runtime beside it so that exceptions are intercepted; the interpreter's own
# allocations at exit are not leaks of ours.
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
(cd tests/python && LD_PRELOAD="$PRELOAD" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$OLDPWD/$BUILD" \
  MOVRA_SANITIZED=1 "$PY" -m pytest -q -p no:cacheprovider .)

step "GoogleTest suites under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
