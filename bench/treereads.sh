#!/usr/bin/env bash
# Whole-tree reads of a large store: `qsreg query HKCU /s` and `qsreg export HKCU FILE` on a store
# of PROFILES profiles (seeded with `qsbench --seed`), against `sqlite3 registry.db .dump` of the
# same file, each RUNS times, interleaved. It prints the median wall times and the ratios against
# the target (each at most twice the dump). The figures are reported, never enforced: the exit
# status is 1 only when a command fails, and 2 for a broken environment.
#   bench/treereads.sh BUILD_DIR [RUNS] [PROFILES]     (defaults 5 and 10000)
set -euo pipefail
build=$(realpath "${1:?usage: bench/treereads.sh BUILD_DIR [RUNS] [PROFILES]}")
runs=${2:-5}
profiles=${3:-10000}
command -v sqlite3 >/dev/null || { echo "treereads.sh: the sqlite3 shell is missing" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qstreereads-XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work
mkdir -p "$XDG_CONFIG_HOME"
"$build/qsbench" --profiles "$profiles" --seed "$XDG_CONFIG_HOME"
store=$XDG_CONFIG_HOME/qsprofile/registry.db

# Runs a command with its output to a file and appends its wall time in ms to $work/NAME.
timed() {
  local name=$1 start end
  shift
  start=$EPOCHREALTIME
  "$@" >"$work/$name.out"
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f\n", (e - s) * 1000 }' >>"$work/$name.ms"
}

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for ((i = 0; i <= runs; i++)); do  # the first round warms the caches and is not counted
  timed dump sqlite3 "$store" .dump
  timed query "$build/qsreg" query HKCU /s
  timed export "$build/qsreg" export HKCU "$work/export.reg" /y
  if ((i == 0)); then rm "$work"/*.ms; fi
done

dump=$(median "$work/dump.ms")
echo "treereads.sh: $build, $profiles profiles, $runs runs ($(grep -c . "$work/query.out") lines of query)"
printf "%-28s %10s\n" "command" "wall ms (median)"
printf "%-28s %10.1f\n" "sqlite3 .dump" "$dump"
for name in query export; do
  ms=$(median "$work/$name.ms")
  awk -v n="qsreg $name" -v m="$ms" -v d="$dump" 'BEGIN {
    r = m / d; printf "%-28s %10.1f   %.2f x dump, target <= 2: %s\n", n, m, r, r <= 2 ? "met" : "MISSED" }'
done
