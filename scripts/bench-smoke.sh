#!/usr/bin/env bash
# Smoke run of the benchmark: builds kivbench and runs its quick mode. It
# fails only when the build fails or the benchmark cannot run to its end; the
# figures of a few hundred exchanges on a shared machine are printed, not
# judged.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KIV_BENCH_BUILD_DIR:-build-bench-smoke}

# A build that exists keeps its configuration: the test command gives its ci build.
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON -DKIV_TESTS=OFF >/dev/null
cmake --build "$build" --target kivbench -j "$(nproc)"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bin/kivbench" --quick | tee "$out"
# Section 10 (kivgate) is built wherever kivgate is: it must have run and
# printed its figures (its MQTT figure may say it was skipped, without mosquitto).
if grep -q '^KIV_GATE:BOOL=ON' "$build/CMakeCache.txt" && [ "$(uname -s)" = Linux ]; then
  grep -q '^### 10\. kivgate' "$out" || { echo "bench-smoke: section 10 (kivgate) did not run" >&2; exit 1; }
  grep -q 'kivgate/alone, median round' "$out" || { echo "bench-smoke: section 10 did not finish" >&2; exit 1; }
fi
