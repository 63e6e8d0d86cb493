#!/usr/bin/env bash
# Builds tabulix, tabulix-cellmap and tabulix-verify (Release) and runs the recovery quality
# benchmark with the arguments given, every output checked by the verifier, for example:
#   scripts/quality.sh --peers --out bench/quality/results   # the full table: about 45 min
#   scripts/quality.sh --files bench/quality/ci_sample.txt --seeds 1,2 \
#       --floors bench/quality/floors.csv                     # the CI-sized run: a minute
# See bench/quality/quality.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTABULIX_BUILD_TESTS=OFF -DTABULIX_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target tabulix tabulix-cellmap tabulix-verify
exec /usr/bin/python3 bench/quality/quality.py \
  --tabulix build/release/tabulix --cellmap build/release/tabulix-cellmap \
  --verify build/release/tabulix-verify "$@"
