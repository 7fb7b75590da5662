#!/usr/bin/env bash
# Runs a program and checks its exit status and what it printed.
#   kivhost_expect.sh STATUS [out:TEXT | err:TEXT]... -- COMMAND [ARGS...]
# out:TEXT must appear in standard output, err:TEXT in standard error.
set -uo pipefail
want_status=$1
shift
checks=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  checks+=("$1")
  shift
done
shift
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err"
status=$?
failed=0
if [ "$status" != "$want_status" ]; then
  echo "FAIL: exit status $status, expected $want_status"
  failed=1
fi
for check in "${checks[@]}"; do
  stream=${check%%:*}
  text=${check#*:}
  file=$out
  [ "$stream" = err ] && file=$err
  if ! grep -qF -- "$text" "$file"; then
    echo "FAIL: \"$text\" not in standard $([ "$stream" = err ] && echo error || echo output)"
    failed=1
  fi
done
if [ $failed != 0 ]; then
  echo "--- standard output"; cat "$out"
  echo "--- standard error"; cat "$err"
  exit 1
fi
echo "ok: $*"
