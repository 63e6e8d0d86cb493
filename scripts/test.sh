#!/usr/bin/env bash
# Installs what is needed, checks the layers and the format, builds everything with GCC,
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, then builds everything
# with Clang and runs the unit tests. Warnings are errors in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
# Wrong-way includes between the layers and unformatted files fail before anything is built.
/usr/bin/python3 scripts/check_layers.py
scripts/check_format.sh

echo "== GCC, sanitizers: build and every test"
CXX=g++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTABULIX_SANITIZE=ON -DTABULIX_WERROR=ON -DTABULIX_BUILD_BENCH=ON >/dev/null
cmake --build build/test
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/test --output-on-failure -j "$(nproc)"
echo "== GCC pass done at ${SECONDS} s"

# The second compiler catches what the first lets through; its pass builds without
# optimisation or sanitizers, to keep CI short, and runs the quick tests only.
echo "== Clang: build and the unit tests"
CXX=clang++ cmake -S . -B build/test-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTABULIX_WERROR=ON -DTABULIX_BUILD_BENCH=ON >/dev/null
cmake --build build/test-clang
ctest --test-dir build/test-clang --output-on-failure -j "$(nproc)" -L unit
echo "== Clang pass done at ${SECONDS} s"
