#!/usr/bin/env bash
# Installs what is needed, builds tabulix and runs the main job on the bundled damaged sample:
# the recovered workbook goes to build/release/truncated-29942_recovered.xls.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTABULIX_BUILD_TESTS=OFF -DTABULIX_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target tabulix
# --force: a second run of the demo replaces the output of the first.
build/release/tabulix recover samples/truncated-29942.xls \
  -o build/release/truncated-29942_recovered.xls --force "$@"
