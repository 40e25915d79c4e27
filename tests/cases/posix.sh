#!/usr/bin/env bash
# tests/cases/posix.sh QSPROFILE QSREG [CASE...]: runs the cases of cases.txt against the POSIX
# build, each on a fresh store (a temporary XDG_CONFIG_HOME), reading the message boxes from
# stderr. Prints one line per case and "N passed, N failed"; exits non-zero when a case failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 QSPROFILE QSREG [CASE...]" >&2; exit 2; }
qsprofile=$1 PROGRAM=$1 qsreg=$2 storedsize=$(dirname "$2")/storedsize
[ -x "$storedsize" ] || { echo "$0: missing $storedsize" >&2; exit 2; }
source "$here/lib.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qs-cases.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME=$WORK/config

drv_reset() { rm -rf "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_CONFIG_HOME"; }
drv_mapisvc() { mkdir -p -m 700 "$XDG_CONFIG_HOME/qsprofile" && cat >"$_/mapisvc.inf"; }
drv_reg() { "$qsreg" "$@" 2>/dev/null; }
drv_sizes() { "$storedsize" "$@"; }

# The boxes are the blocks from a line "[Quorvane Server Profile]" to a line "[OK]"; the rest of
# stderr (the dialog, a sanitizer's report) is not compared.
drv_run() {
  QSMAPI_FAULT=$1 "$qsprofile" "${@:2}" 2>"$WORK/stderr" >/dev/null
  local status=$?
  awk '$0 == "[Quorvane Server Profile]" { inbox = 1; next }
       inbox && $0 == "[OK]" { print "----"; inbox = 0; next }
       inbox' "$WORK/stderr"
  return $status
}

run_cases "$here/cases.txt" "${@:3}"
