#!/usr/bin/env bash
# Installs what is needed, checks the layers and the format, builds everything with GCC,
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test (the quality floors
# among them), then builds everything with Clang, the sanitizers and the fuzzer's coverage,
# runs the unit tests and fuzzes the main job. Warnings are errors in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
# Wrong-way includes between the layers and unformatted files fail before anything is built.
/usr/bin/python3 scripts/check_layers.py
scripts/check_format.sh

echo "== GCC, sanitizers: build and every test"
CXX=g++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTABULIX_SANITIZE=ON -DTABULIX_WERROR=ON -DTABULIX_BUILD_BENCH=ON -DTABULIX_BUILD_GUI=ON >/dev/null
cmake --build build/test
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/test --output-on-failure -j "$(nproc)"
echo "== GCC pass done at ${SECONDS} s"

# The second compiler catches what the first lets through. Its build carries the sanitizers
# and the fuzzer's coverage: it runs the quick tests, then fuzzes the main job for three
# minutes (scripts/fuzz.sh; longer runs by hand).
echo "== Clang, sanitizers, fuzzer coverage: build, the unit tests, fuzzing"
CXX=clang++ cmake -S . -B build/test-clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTABULIX_SANITIZE=ON -DTABULIX_FUZZ=ON -DTABULIX_WERROR=ON -DTABULIX_BUILD_BENCH=ON -DTABULIX_BUILD_GUI=ON >/dev/null
cmake --build build/test-clang
ctest --test-dir build/test-clang --output-on-failure -j "$(nproc)" -L unit
scripts/fuzz.sh --build build/test-clang 180
echo "== Clang pass done at ${SECONDS} s"
