#!/usr/bin/env bash
# Checks every C++ file of the repository against .clang-format and names
# the files that differ. With --fix, formats them in place instead.
# CLANG_FORMAT picks the program (default: clang-format; the tree is kept
# in the layout of clang-format 14, which other versions may lay out
# differently).
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}

if ! command -v "$clang_format" >/dev/null; then
  echo "check-format: $clang_format not found (Debian: apt-get install clang-format)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i "${files[@]}"
  exit 0
fi

unformatted=0
for file in "${files[@]}"; do
  if ! "$clang_format" "$file" | cmp -s - "$file"; then
    echo "not formatted: $file"
    unformatted=$((unformatted + 1))
  fi
done
if [ "$unformatted" -gt 0 ]; then
  echo "check-format: $unformatted of ${#files[@]} files differ from .clang-format (scripts/check-format.sh --fix formats them)"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
