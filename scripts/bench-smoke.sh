#!/usr/bin/env bash
# Smoke run of the benchmark: builds kivbench and runs its quick mode. It
# fails only when the build fails or the benchmark cannot run to its end; the
# figures of a few hundred exchanges on a shared machine are printed, not
# judged.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KIV_BENCH_BUILD_DIR:-build-bench-smoke}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON -DKIV_TESTS=OFF >/dev/null
cmake --build "$build" --target kivbench -j "$(nproc)"
"$build/bin/kivbench" --quick
