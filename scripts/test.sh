#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test, then runs the suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer (with the fuzz targets) and the
# threaded tests under ThreadSanitizer. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

jobs=${JOBS:-$(nproc)}
step() { printf '\n==== %s ====\n' "$*"; }

step "build (gcc, RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
step "tests"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

step "build (clang, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVEX_SANITIZE=address -DSORVEX_BENCH=OFF -DSORVEX_FUZZ=ON >/dev/null
cmake --build build-asan -j "$jobs"
step "tests under ASan + UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600

step "build (clang, ThreadSanitizer)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVEX_SANITIZE=thread -DSORVEX_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs"
step "threaded tests under TSan"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded --timeout 600

step "all tests passed"
