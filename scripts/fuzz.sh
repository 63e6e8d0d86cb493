#!/usr/bin/env bash
# Fuzzes the main job (load by every route, recover, save to memory, read back) with
# libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh [--build DIR] [SECONDS]      (default: build/fuzz, 600 seconds)
#
# Seeds: the corpus files up to 16 KB, the odd files, the inputs under
# tests/fuzz/regressions and damaged copies made by tools/damage.py. What the fuzzer adds
# is kept in DIR/fuzz-corpus for the next run. A crash, a hang (10 s on one input), a leak
# or running out of memory (2 GB) stops it with exit status 1 and leaves the input in
# DIR/fuzz-artifacts: add it to tests/fuzz/regressions with the mend.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
if [[ "${1:-}" == "--build" ]]; then
  build=$2
  shift 2
fi
seconds=${1:-600}
corpus=${TABULIX_CORPUS_DIR:-../shared/corpus}

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTABULIX_SANITIZE=ON -DTABULIX_FUZZ=ON -DTABULIX_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target fuzz_load tabulix-cellmap

seeds="$build/fuzz-seeds"
mkdir -p "$seeds" "$build/fuzz-corpus" "$build/fuzz-artifacts"
find "$corpus/real" "$corpus/odd" tests/fuzz/regressions -type f -size -16k \
  ! -name '*.md' ! -name '*.tsv' -exec cp -f {} "$seeds/" \; 2>/dev/null || true
# Damaged copies: every model on every twentieth corpus file.
for file in $(ls "$corpus"/real/*.xls 2>/dev/null | awk 'NR % 20 == 0'); do
  for model in $(/usr/bin/python3 tools/damage.py --list | awk '{print $1}'); do
    /usr/bin/python3 tools/damage.py "$model" 1 "$file" "$seeds/$model-$(basename "$file")" \
      --cellmap "$build/tabulix-cellmap" >/dev/null 2>&1 || true
  done
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== fuzzing for ${seconds} s on $(nproc) workers"
"$build/tests/fuzz_load" -jobs="$(nproc)" -workers="$(nproc)" -max_total_time="$seconds" \
  -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" "$build/fuzz-corpus" "$seeds" \
  > "$build/fuzz.log" 2>&1 || true
cat fuzz-*.log > "$build/fuzz-workers.log" 2>/dev/null && rm -f fuzz-*.log
{ grep -h "stat::number_of_executed_units" "$build/fuzz-workers.log" || true; } |
  awk '{n += $2} END {print "fuzz: " n + 0 " executions"}'
if ls "$build"/fuzz-artifacts/* >/dev/null 2>&1; then
  echo "fuzz: found a fault; the inputs are in $build/fuzz-artifacts:" >&2
  ls -l "$build"/fuzz-artifacts/ >&2
  { grep -h -A30 "ERROR: \|==ERROR\|runtime error\|main job fault" "$build/fuzz-workers.log" || true; } |
    head -80 >&2
  exit 1
fi
echo "fuzz: no crash, hang, leak or out-of-memory"
