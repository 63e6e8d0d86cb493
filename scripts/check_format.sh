#!/usr/bin/env bash
# Fails, listing them, when tracked .cpp or .hpp files differ from what clang-format makes of
# them with the repository's .clang-format. The tree follows Debian 12's clang-format (14):
# another version may lay some lines out differently. CLANG_FORMAT names another binary.
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "check_format: $clang_format not found: install clang-format (scripts/bootstrap.sh does)" >&2
  exit 2
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "check_format: not a git checkout: the check covers the files git tracks" >&2
  exit 2
fi

files=()
while IFS= read -r -d '' file; do
  if [ -f "$file" ]; then files+=("$file"); fi  # deleted but not yet staged: skipped
done < <(git ls-files -z -- '*.cpp' '*.hpp')
if [ ${#files[@]} -eq 0 ]; then
  echo "check_format: no tracked .cpp or .hpp files" >&2
  exit 2
fi

# One clang-format for the whole tree is quick; only when it objects is each file compared
# on its own, to name them all.
if "$clang_format" --style=file --dry-run --Werror "${files[@]}" >/dev/null 2>&1; then
  echo "check_format: ${#files[@]} files match clang-format"
  exit 0
fi
formatted=$(mktemp)
trap 'rm -f "$formatted"' EXIT
unformatted=()
for file in "${files[@]}"; do
  if ! "$clang_format" --style=file "$file" >"$formatted"; then
    echo "check_format: $clang_format failed on $file" >&2
    exit 2
  fi
  cmp -s "$formatted" "$file" || unformatted+=("$file")
done

if [ ${#unformatted[@]} -gt 0 ]; then
  echo "check_format: ${#unformatted[@]} of ${#files[@]} files differ from $("$clang_format" --version):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "check_format: fix with: $clang_format -i FILE..." >&2
  exit 1
fi
echo "check_format: clang-format objects to the tree, but each file matches on its own" >&2
exit 2
