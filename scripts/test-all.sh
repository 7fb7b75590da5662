#!/usr/bin/env bash
# Checks the format, then builds and runs every test: the native build with
# the Windows side under wine, then the native tests again under the
# sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "=== scripts/check-format.sh"
scripts/check-format.sh

run_preset() {
  echo "=== $1"
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

run_preset ci
run_preset asan

# Longer checks of their own, each in its own script.
for extra in scripts/reliability-checks.sh scripts/bench-smoke.sh; do
  if [ -x "$extra" ]; then
    echo "=== $extra"
    "$extra"
  fi
done
echo "=== all tests passed"
