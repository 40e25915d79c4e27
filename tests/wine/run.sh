#!/usr/bin/env bash
# Runs build/windows-x64/qsprofile.exe under Wine over the simulated messaging subsystem, with
# its Exchange dialog answered from a file, as a user would run it on Windows with a MAPI
# installed.
#
#   WINEPREFIX=DIR tests/wine/run.sh ANSWERS -- ARGUMENT...
#
# The Wine prefix DIR is prepared on first use: made as a 64-bit prefix, with qsmapi.dll
# installed as prefix.sh says. A file in DIR marks it as prepared; later runs only refresh the
# DLL's copies. Without DISPLAY an X server of its own (Xvfb) serves the run and is stopped at
# the end, with the prefix's Wine processes (so such runs on one prefix go one at a time; with
# DISPLAY set, runs may share a prefix and its wineserver).
#
# ARGUMENTs go to qsprofile.exe as they are; the environment (QSMAPI_FAULT included) is passed
# through. ANSWERS answers the Exchange dialog as the terminal dialog's stdin does: the server,
# the mailbox (an empty line keeps the field's value) and check, ok or cancel (empty: check),
# again after each refused close; the end of the answers is Cancel.
#
# Prints the text of each message box, each followed by a line "----". Exits with 0 when the
# program ended by itself with 0; 1 when it could not start, 2 when it was ended after 60
# seconds, 3 when it exited with another code (stderr says which); 4 when the prefix could not
# be prepared or the X server did not start, 5 for a wrong command line.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QS_WINE_BUILD:-$root/build/windows-x64}
usage() {
  echo "usage: WINEPREFIX=DIR $0 ANSWERS -- ARGUMENT..." >&2
  exit 5
}
[ $# -ge 2 ] && [ "$2" = "--" ] || usage
answers=$1
shift 2
[ -n "${WINEPREFIX:-}" ] || usage
[ -r "$answers" ] || { echo "run.sh: cannot read $answers" >&2; exit 5; }
for f in qsprofile.exe boxreader.exe qsmapi.dll; do
  [ -f "$build/$f" ] || { echo "run.sh: missing $build/$f" >&2; exit 4; }
done

export WINEPREFIX WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML runtimes are wanted; asking for them would stop wineboot with a dialog.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

source "$root/tests/wine/prefix.sh"

# --- The X server ----------------------------------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-run.XXXXXX")
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    # The prefix's processes hold the display; they go with it.
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  # Xvfb picks a free display number itself and writes it to the pipe once it accepts clients.
  mkfifo "$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  if ! read -r -t 60 display <"$work/display" || [ -z "$display" ]; then
    echo "run.sh: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 4
  fi
  export DISPLAY=:$display
fi

# --- The prefix ------------------------------------------------------------------------------

# Bump when what preparing puts into the prefix changes, so that older prefixes get it too.
prepared_mark="qsmapi prefix 1"

prepare() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; return 1; }
  fi
  qsmapi_registry "$work" && echo "$prepared_mark" >"$WINEPREFIX/.qsmapi-prepared"
}

# One run at a time prepares a prefix.
mkdir -p "$WINEPREFIX" && exec 9>>"$WINEPREFIX/.qsmapi-lock" ||
  { echo "run.sh: cannot use $WINEPREFIX" >&2; exit 4; }
flock 9
if [ "$(cat "$WINEPREFIX/.qsmapi-prepared" 2>/dev/null)" != "$prepared_mark" ]; then
  prepare || { echo "run.sh: the Wine prefix $WINEPREFIX could not be prepared" >&2; exit 4; }
fi
if ! qsmapi_files "$build/qsmapi.dll"; then
  echo "run.sh: qsmapi.dll could not be installed in $WINEPREFIX" >&2
  exit 4
fi
exec 9>&-

# --- The run ---------------------------------------------------------------------------------

# boxreader.exe ends the program after 60 seconds; the outer limit is for Wine itself.
timeout 120 wine "$build/boxreader.exe" -r -t 60 -a "$(windows_path "$answers")" \
  "$(windows_path "$build/qsprofile.exe")" "$@"
status=$?
[ $status -eq 124 ] && { echo "run.sh: Wine did not end" >&2; status=2; }
exit $status
