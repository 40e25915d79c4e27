#!/usr/bin/env bash
# Parallel writers on one store, each `qsreg add` a process of its own, as scripts run them:
#   1. WRITERS processes at once, each making ADDS adds one after another; every add is timed,
#      and afterwards every value must be in the store with its data, and no add may have failed;
#   2. one writer making ADDS/4 adds alone, then the same while another program holds a read
#      transaction open on the store (the sqlite3 shell, in the middle of BEGIN; SELECT ...).
# It prints p50, p99 and max of one add's wall time against the targets (p99 at most 100 ms with
# 16 writers; a reader adding at most a few ms). The figures are reported, never enforced: the
# exit status is 1 only when an add failed or a value was lost, and 2 for a broken environment.
#   bench/writers.sh QSREG [WRITERS] [ADDS]     (defaults 16 and 200)
set -euo pipefail
qsreg=$(realpath "${1:?usage: bench/writers.sh QSREG [WRITERS] [ADDS]}")
writers=${2:-16}
adds=${3:-200}
command -v sqlite3 >/dev/null || { echo "writers.sh: the sqlite3 shell is missing" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qswriters-XXXXXX")
reader=
cleanup() {
  [ -n "$reader" ] && kill "$reader" 2>/dev/null && wait "$reader" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work
store=$XDG_CONFIG_HOME/qsprofile/registry.db

# Adds count values under HKCU\Bench\<name>, timing each; one latency in ms per line in
# $work/<name>.ms, failures in $work/<name>.err.
writer() {
  local name=$1 count=$2 i start
  for ((i = 0; i < count; i++)); do
    start=$EPOCHREALTIME
    if ! "$qsreg" add "HKCU\\Bench\\$name" /v "v$i" /d "$name-$i" /f >/dev/null 2>>"$work/$name.err"; then
      echo "add $name v$i failed" >>"$work/$name.err"
    fi
    echo "$start $EPOCHREALTIME" >>"$work/$name.times"
  done
  awk '{ printf "%.3f\n", ($2 - $1) * 1000 }' "$work/$name.times" >"$work/$name.ms"
}

# p50, p99 and max of the latencies in the files given.
percentiles() {
  sort -n "$@" | awk '{ v[NR] = $1 } END {
    p50 = v[int((NR - 1) * 0.50) + 1]; p99 = v[int((NR - 1) * 0.99) + 1];
    printf "%6d adds   p50 %8.1f ms   p99 %8.1f ms   max %8.1f ms\n", NR, p50, p99, v[NR] }'
}

p99() { sort -n "$@" | awk '{ v[NR] = $1 } END { print v[int((NR - 1) * 0.99) + 1] }'; }
p50() { sort -n "$@" | awk '{ v[NR] = $1 } END { print v[int((NR - 1) * 0.50) + 1] }'; }

lost=0
# Checks that every value the writer named made is in the store with its data.
check_writer() {
  local name=$1 count=$2 found
  found=$("$qsreg" query "HKCU\\Bench\\$name" | awk -v n="$name" '$1 ~ /^v[0-9]+$/ && $3 == n "-" substr($1, 2) { c++ } END { print c + 0 }')
  if [ "$found" != "$count" ]; then
    echo "writers.sh: HKCU\\Bench\\$name holds $found of its $count values" >&2
    lost=1
  fi
}

"$qsreg" add 'HKCU\Bench' /f >/dev/null  # the store exists before the writers start

echo "writers.sh: $qsreg"
echo "$writers writers at once, $adds adds each:"
for ((w = 0; w < writers; w++)); do writer "w$w" "$adds" & done
wait
percentiles "$work"/w*.ms
for ((w = 0; w < writers; w++)); do check_writer "w$w" "$adds"; done
parallel99=$(p99 "$work"/w*.ms)

alone=$((adds / 4 > 0 ? adds / 4 : 1))
echo "one writer, $alone adds, alone:"
writer solo "$alone"
percentiles "$work/solo.ms"
check_writer solo "$alone"

echo "one writer, $alone adds, while another program holds a read transaction open:"
mkfifo "$work/reader.in"
sqlite3 "$store" <"$work/reader.in" >"$work/reader.out" 2>&1 &
reader=$!
exec 3>"$work/reader.in"
echo "BEGIN; SELECT count(*) FROM keys;" >&3
for ((i = 0; i < 100; i++)); do
  [ -s "$work/reader.out" ] && break
  sleep 0.05
done
writer held "$alone"
percentiles "$work/held.ms"
echo "COMMIT;" >&3
exec 3>&-
wait "$reader" || true
reader=
check_writer held "$alone"

failed=0
for f in "$work"/*.err; do
  if [ -s "$f" ]; then
    echo "writers.sh: $(basename "$f" .err):" >&2
    head -5 "$f" >&2
    failed=1
  fi
done
held=$(awk -v a="$(p50 "$work/solo.ms")" -v b="$(p50 "$work/held.ms")" 'BEGIN { printf "%.1f", b - a }')
echo
awk -v p="$parallel99" -v w="$writers" 'BEGIN {
  printf "p99 of one add, %d writers: %.1f ms   target <= 100 ms: %s\n", w, p, p <= 100 ? "met" : "MISSED" }'
awk -v d="$held" 'BEGIN {
  printf "a reader held open adds %.1f ms to an add (p50)   target: a few ms: %s\n", d, d <= 5 ? "met" : "MISSED" }'
if [ "$lost" = 0 ] && [ "$failed" = 0 ]; then
  echo "nothing lost, no add failed"
else
  exit 1
fi
