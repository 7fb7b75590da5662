#!/usr/bin/env bash
# The longer reliability checks:
#   the native build (KIV_REL_BUILD_DIR: the test command's build-ci, or a
#               build-rel of its own)   the reliability tests, the short soak,
#               and valgrind memcheck over the integration suite and the
#               reliability tests;
#   build-tsan  the threaded code only, under ThreadSanitizer: four channels
#               on four threads, and kivgate's tests (its line owner, servers
#               and write queue share snapshots and writes across threads);
#               the single-threaded suites run under AddressSanitizer instead;
#   the fuzz targets (KIV_FUZZ_BUILD_DIR: the test command's build-asan, which
#               clang builds with the fuzzer's instrumentation, or a
#               build-fuzz of its own)   each for a bounded time under
#               AddressSanitizer and UndefinedBehaviorSanitizer.
# Works from a fresh clone: it configures and builds what it needs, and
# builds nothing twice when given the test command's builds.
# Environment: KIV_FUZZ_SECONDS (default 60) per fuzz target,
# KIV_SOAK_EXCHANGES (default 3000; 0 for none).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${KIV_FUZZ_SECONDS:-60}
soak_exchanges=${KIV_SOAK_EXCHANGES:-3000}
rel=${KIV_REL_BUILD_DIR:-build-rel}
fuzz=${KIV_FUZZ_BUILD_DIR:-build-fuzz}
logs=$rel/reliability-logs
started=$SECONDS

step_start=0
step() {
  step_start=$SECONDS
  echo "--- $*"
}
done_step() {
  echo "    ok ($((SECONDS - step_start)) s)"
}
# Runs a command with its output in a log; shows the log's tail on failure.
run_logged() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "FAILED: $*"
    tail -n 60 "$log"
    echo "(whole log: $log)"
    exit 1
  fi
}

step "native build ($rel)"
# A build that exists keeps its configuration: the test command's is its ci build.
[ -f "$rel/CMakeCache.txt" ] || cmake -S . -B "$rel" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON >/dev/null
cmake --build "$rel" -j "$jobs" --target \
  driver_integration_tests reliability_tests reliability_threads_test reliability_alloc_test soak_exchanges >/dev/null
mkdir -p "$logs"
done_step

step "reliability tests: bad input, descriptors, the line, threads, heap"
for t in reliability_tests reliability_threads_test reliability_alloc_test; do
  run_logged "$logs/$t.log" "$rel/bin/$t"
done
done_step

if [ "$soak_exchanges" -gt 0 ]; then
  step "short soak: $soak_exchanges exchanges"
  run_logged "$logs/soak.log" "$rel/bin/soak_exchanges" --exchanges "$soak_exchanges" --seed 1 --fault-rate 0.15
  grep -E "^soak:|^attempts:|^violations:" "$logs/soak.log" | sed 's/^/    /'
  done_step
else
  echo "--- short soak: not here (KIV_SOAK_EXCHANGES=0; the test command's ctest runs it as soak_short)"
fi

if command -v valgrind >/dev/null; then
  step "valgrind memcheck: integration suite and reliability tests"
  for t in driver_integration_tests reliability_tests; do
    run_logged "$logs/valgrind-$t.log" valgrind -q --error-exitcode=1 --leak-check=full "$rel/bin/$t"
  done
  done_step
else
  echo "--- valgrind not installed: memcheck skipped"
fi

step "ThreadSanitizer (build-tsan)"
cmake --preset tsan >/dev/null
tsan_tests=(reliability_threads_test)
# kivgate needs libmodbus and libmosquitto; without them it is not built at all.
if grep -q '^KIV_GATE:BOOL=ON' build-tsan/CMakeCache.txt; then
  tsan_tests+=(kivgate_modbus_tests kivgate_mqtt_tests kivgate_line_tests)
fi
cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}" >/dev/null
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for t in "${tsan_tests[@]}"; do
  run_logged "$logs/tsan-$t.log" "build-tsan/bin/$t"
done
done_step

if command -v clang++ >/dev/null; then
  step "fuzz targets ($fuzz), ${fuzz_seconds} s each, side by side"
  [ -f "$fuzz/CMakeCache.txt" ] || cmake --preset fuzz >/dev/null
  grep -q '^KIV_FUZZ:BOOL=ON' "$fuzz/CMakeCache.txt" || { echo "reliability-checks: $fuzz is no fuzz build" >&2; exit 1; }
  targets=(address_parser_fuzz decode_reply_fuzz exchange_fuzz lifecycle_fuzz trace_dump_fuzz tag_list_fuzz)
  # kivgate's request and payload rules, wherever kivgate is built.
  if grep -q '^KIV_GATE:BOOL=ON' "$fuzz/CMakeCache.txt"; then
    targets+=(modbus_request_fuzz mqtt_payload_fuzz)
  fi
  cmake --build "$fuzz" -j "$jobs" --target "${targets[@]}" >/dev/null
  export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
  pids=()
  for t in "${targets[@]}"; do
    # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
    mkdir -p "$fuzz/corpus/$t" "$fuzz/artifacts"
    # A small stack, as a service's threads may have: an input that makes a
    # parse recurse with its depth crashes here first.
    (ulimit -s 2048 && exec "$fuzz/bin/$t" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$fuzz/artifacts/$t-" "$fuzz/corpus/$t" "fuzz/corpus/$t") \
      >"$logs/fuzz-$t.log" 2>&1 &
    pids+=($!)
  done
  failed=0
  for i in "${!targets[@]}"; do
    if ! wait "${pids[$i]}"; then
      echo "FAILED: ${targets[$i]}"
      tail -n 60 "$logs/fuzz-${targets[$i]}.log"
      failed=1
    else
      echo "    ${targets[$i]}: $(grep -E '^stat::number_of_executed_units' "$logs/fuzz-${targets[$i]}.log" | awk '{print $2}') runs"
    fi
  done
  [ "$failed" -eq 0 ] || exit 1
  done_step
else
  echo "--- clang not installed: fuzzing skipped"
fi

echo "=== reliability checks passed ($((SECONDS - started)) s)"
