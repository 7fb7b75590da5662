#!/usr/bin/env bash
# System calls per exchange of each side of kivbench's comparisons, counted
# by strace -c. Each side runs alone (kivbench --count-calls) with N and with
# 3N exchanges; the difference over 2N leaves out the setup and warm-up.
# "Calling thread" is strace -c without -f: the thread that makes the
# exchanges, alone. "Process" is strace -f -c: the responder's thread too.
# Prints a Markdown table; failed calls (a read that finds nothing yet) are
# counted with the rest and shown apart.
#   scripts/bench-syscalls.sh [BUILD_DIR [N]]   (default build-bench, 5000;
#                                               kivbench built there first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
n=${2:-5000}
kivbench=$build/bin/kivbench
if ! command -v strace >/dev/null; then
  echo "bench-syscalls: strace not found (Debian: apt-get install strace)" >&2
  exit 2
fi
[ -x "$kivbench" ] || { echo "bench-syscalls: no $kivbench; build the kivbench target first" >&2; exit 2; }

sides=$("$kivbench" --help | sed -n 's/.*the sides: //p' | tr -d ,)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count FILE: "name calls errors" per system call of a strace -c summary.
count() {
  awk '/^-----/ { part++; next } part >= 1 { print $NF, $4, (NF == 6 ? $5 : 0) }' "$1"
}

# per_exchange FEW MANY: calls per exchange by name, then the total, from two
# summaries.
per_exchange() {
  awk -v exchanges=$((2 * n)) '
    FNR == NR { calls[$1] -= $2; errors[$1] -= $3; next }
    { calls[$1] += $2; errors[$1] += $3 }
    END {
      # By name, for a stable order.
      k = 0
      for (name in calls)
        if (name != "total" && calls[name] / exchanges >= 0.005)
          names[++k] = name
      for (i = 2; i <= k; i++)
        for (j = i; j > 1 && names[j - 1] > names[j]; j--) {
          t = names[j]; names[j] = names[j - 1]; names[j - 1] = t
        }
      for (i = 1; i <= k; i++) {
        name = names[i]
        line = line sprintf("%s%s %.2f", i == 1 ? "" : ", ", name, calls[name] / exchanges)
        if (errors[name] / exchanges >= 0.005)
          line = line sprintf(" (%.2f failed)", errors[name] / exchanges)
      }
      printf "%.2f|%s\n", calls["total"] / exchanges, line
    }' <(count "$1") <(count "$2")
}

echo "| side | calls per exchange, calling thread | of them | calls per exchange, process (strace -f) |"
echo "|---|---|---|---|"
for side in $sides; do
  for follow in "" -f; do
    for m in "$n" $((3 * n)); do
      strace $follow -c -o "$work/$side$follow.$m" "$kivbench" --count-calls "$side" "$m"
    done
  done
  IFS='|' read -r total detail < <(per_exchange "$work/$side.$n" "$work/$side.$((3 * n))")
  IFS='|' read -r process _ < <(per_exchange "$work/$side-f.$n" "$work/$side-f.$((3 * n))")
  echo "| $side | $total | $detail | $process |"
done
