#!/usr/bin/env bash
# Runs qsprofile.exe under Wine over the simulated messaging subsystem, its Exchange dialog
# answered from a file:  WINEPREFIX=DIR tests/wine/run.sh ANSWERS -- ARGUMENT...
# QS_WINE_BUILD (default build/windows-x64) holds qsprofile.exe, boxreader.exe and qsmapi.dll.
# DIR is prepared on first use (prefix.sh); QS_WINE_MAPI=none gives a new DIR no messaging
# subsystem. Without DISPLAY an X server of its own serves the run and is stopped at the end with
# the prefix's Wine processes, so such runs on one prefix go one at a time; and Wine programs
# already running in DIR (a `wine reg` leaves its wineserver for a few seconds) are waited for,
# as a program joining their display-less wineserver could show no window.
# The ARGUMENTs and the environment go to qsprofile.exe. Prints and exits as boxreader.exe does
# (4: no window can be shown); exits with 2 when Wine did not end, 4 when the prefix or X server
# could not be set up, 5 for a wrong command line, 6 when those other Wine programs still run.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QS_WINE_BUILD:-$root/build/windows-x64}
[ $# -ge 2 ] && [ "$2" = "--" ] && [ -n "${WINEPREFIX:-}" ] ||
  { echo "usage: WINEPREFIX=DIR $0 ANSWERS -- ARGUMENT..." >&2; exit 5; }
answers=$1 dll=$build/qsmapi.dll
shift 2
[ "${QS_WINE_MAPI:-}" = none ] && dll=
source "$root/tests/wine/prefix.sh"

if [ -z "${DISPLAY:-}" ] && [ -d "$WINEPREFIX" ] && ! timeout 0.2 wineserver -w 2>/dev/null; then
  echo "run.sh: waiting for the Wine programs running in $WINEPREFIX to end" >&2
  timeout 130 wineserver -w 2>/dev/null || {
    echo "run.sh: Wine programs started without this run's display still run in $WINEPREFIX;" \
      "end them (WINEPREFIX=$WINEPREFIX wineserver -k) or give their DISPLAY" >&2
    exit 6
  }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-run.XXXXXX") xvfb_pid=
trap '[ -z "$xvfb_pid" ] || stop_wine; rm -rf "$work"' EXIT
[ -n "${DISPLAY:-}" ] || start_xvfb "$work" 1024x768x24 || exit 4
make_prefix "$work" ${dll:+"$dll"} || { echo "run.sh: could not prepare $WINEPREFIX" >&2; exit 4; }

# boxreader.exe ends the program after 60 seconds; the outer limit is for Wine itself.
timeout 120 wine "$build/boxreader.exe" -t 60 -a "$(windows_path "$answers")" \
  "$(windows_path "$build/qsprofile.exe")" "$@"
status=$?
[ $status -ne 124 ] || { echo "run.sh: Wine did not end" >&2; exit 2; }
exit $status
