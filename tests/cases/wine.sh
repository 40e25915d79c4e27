#!/usr/bin/env bash
# tests/cases/wine.sh [BUILD_DIR] [CASE...]: runs the cases of cases.txt against the Windows build
# in BUILD_DIR (default build/windows-x64) under Wine, through tests/wine/run.sh, which answers the
# real dialog and reads the real message boxes. The cases share the prefix WINEPREFIX (default a
# temporary one), cleared between them. Prints a line per case and "N passed, N failed".
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build/windows-x64
if [ $# -gt 0 ] && [ -d "$1" ]; then build=$1; shift; fi
build=$(cd "$build" && pwd) || exit 2
for file in qsprofile.exe storedsize.exe; do
  [ -f "$build/$file" ] || { echo "wine.sh: missing $build/$file" >&2; exit 2; }
done
runner=$root/tests/wine/run.sh
source "$here/lib.sh"
source "$root/tests/wine/prefix.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-cases.XXXXXX") own_prefix= xvfb_pid=
[ -n "${WINEPREFIX:-}" ] || { export WINEPREFIX=$WORK/prefix; own_prefix=1; }
export QS_WINE_BUILD=$build
PROGRAM=$(windows_path "$build/qsprofile.exe")
mapisvc=$WINEPREFIX/drive_c/windows/system32/mapisvc.inf

# One X server and one wineserver serve all the runs; run.sh would start and stop them per run.
trap '[ -z "$xvfb_pid$own_prefix" ] || stop_wine; rm -rf "$WORK"' EXIT
[ -n "${DISPLAY:-}" ] || start_xvfb "$WORK" 1024x768x24 || exit 2
# The first run prepares the prefix.
: >"$WORK/answers"
"$runner" "$WORK/answers" -- -h >/dev/null || { echo "wine.sh: run.sh failed" >&2; exit 2; }
wineserver -p30 >/dev/null 2>&1

drv_reg() { wine reg "$@" 2>/dev/null | tr -d '\r'; }
drv_sizes() { wine "$build/storedsize.exe" "$@" 2>/dev/null | tr -d '\r'; }

drv_reset() {
  { drv_reg delete 'HKCU\Software\Tessivar' /f; drv_reg delete "$PROFILES" /f; } >/dev/null
  rm -f "$mapisvc"
}
drv_mapisvc() { sed 's/$/\r/' >"$mapisvc"; }  # with Windows line ends

drv_run() {
  cat >"$WORK/answers"
  env -u QSMAPI_FAULT ${1:+"QSMAPI_FAULT=$1"} "$runner" "$WORK/answers" -- "${@:2}" \
    2>"$WORK/stderr" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# The runs start in a folder holding files that a wildcard argument would match, so that a
# runtime expanding wildcards would change what the program is given.
mkdir "$WORK/cwd" && touch "$WORK/cwd/Sales1" "$WORK/cwd/SalesX" && cd "$WORK/cwd" || exit 2
run_cases "$here/cases.txt" "$@"
