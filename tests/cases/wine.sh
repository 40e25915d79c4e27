#!/usr/bin/env bash
# Runs the cases of cases.txt against the Windows x64 build under Wine, through
# tests/wine/run.sh, which answers the real dialog and reads the real message boxes. All cases
# share one Wine prefix: between cases the roles' keys, the profiles and mapisvc.inf go.
#
#   tests/cases/wine.sh [BUILD_DIR] [CASE...]
#
# BUILD_DIR (default build/windows-x64) holds qsprofile.exe. WINEPREFIX names the prefix; without
# it a temporary one is made and removed afterwards. Prints one line per case and
# "N passed, N failed"; exits non-zero when a case failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build/windows-x64
if [ $# -gt 0 ] && [ -d "$1" ]; then build=$1; shift; fi
build=$(cd "$build" && pwd) || exit 2
exe=$build/qsprofile.exe
runner=$root/tests/wine/run.sh
for f in "$exe" "$runner"; do [ -f "$f" ] || { echo "wine.sh: missing $f" >&2; exit 2; }; done
source "$here/lib.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-cases.XXXXXX")
own_prefix=
[ -n "${WINEPREFIX:-}" ] || { export WINEPREFIX=$WORK/prefix; own_prefix=1; }
export QS_WINE_BUILD=$build WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
source "$root/tests/wine/prefix.sh"
PROGRAM=$(windows_path "$exe")
mapisvc=$WINEPREFIX/drive_c/windows/system32/mapisvc.inf

# One X server and one wineserver serve all the runs; run.sh would start and stop them per run.
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid$own_prefix" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  mkfifo "$WORK/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
  xvfb_pid=$!
  read -r -t 60 display <"$WORK/display" && [ -n "$display" ] ||
    { echo "wine.sh: Xvfb did not start" >&2; cat "$WORK/xvfb.log" >&2; exit 2; }
  export DISPLAY=:$display
fi
# The first run prepares the prefix.
: >"$WORK/answers"
"$runner" "$WORK/answers" -- -h >/dev/null || { echo "wine.sh: run.sh failed" >&2; exit 2; }
wineserver -p30 >/dev/null 2>&1

drv_reg() { wine reg "$@" 2>/dev/null | tr -d '\r'; }

drv_reset() {
  drv_reg delete 'HKCU\Software\Tessivar' /f >/dev/null
  drv_reg delete "$PROFILES" /f >/dev/null
  rm -f "$mapisvc"
}

# The file gets the line ends it has on Windows.
drv_mapisvc() { sed 's/$/\r/' >"$mapisvc"; }

drv_run() {
  local fault=$1 status
  shift
  cat >"$WORK/answers"
  if [ -n "$fault" ]; then
    QSMAPI_FAULT=$fault "$runner" "$WORK/answers" -- "$@" >"$WORK/stdout" 2>"$WORK/stderr"
  else
    env -u QSMAPI_FAULT "$runner" "$WORK/answers" -- "$@" >"$WORK/stdout" 2>"$WORK/stderr"
  fi
  status=$?
  tr -d '\r' <"$WORK/stdout"
  [ $status = 0 ] || sed 's/^/    | /' "$WORK/stderr" >&2
  return $status
}

# The runs start in a folder holding files that a wildcard argument would match, so that a
# runtime expanding wildcards would change what the program is given.
mkdir "$WORK/cwd" && touch "$WORK/cwd/Sales1" "$WORK/cwd/SalesX" && cd "$WORK/cwd" || exit 2
run_cases "$here/cases.txt" "$@"
