#!/usr/bin/env bash
# WINEPREFIX=DIR tests/wine/run.sh ANSWERS -- ARGUMENT...: runs qsprofile.exe of QS_WINE_BUILD
# (default build/windows-x64) under Wine with the ARGUMENTs and the environment, over qsmapi.dll
# (none in a new DIR with QS_WINE_MAPI=none), boxreader.exe answering from ANSWERS. Without DISPLAY
# an X server of its own serves the run and is stopped at the end with the prefix's Wine processes,
# so such runs on one prefix go one at a time. Prints and exits as boxreader.exe does; 2: Wine did
# not end, 4: no prefix or X server, 5: wrong command line, 6: other Wine programs run in DIR.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QS_WINE_BUILD:-$root/build/windows-x64}
[ $# -ge 2 ] && [ "$2" = "--" ] && [ -n "${WINEPREFIX:-}" ] ||
  { echo "usage: WINEPREFIX=DIR $0 ANSWERS -- ARGUMENT..." >&2; exit 5; }
answers=$1 dll=$build/qsmapi.dll && shift 2
[ "${QS_WINE_MAPI:-}" = none ] && dll=
source "$root/tests/wine/prefix.sh"

# A program joining a display-less wineserver (as `wine reg` leaves) could show no window.
if [ -z "${DISPLAY:-}" ] && [ -d "$WINEPREFIX" ] && ! timeout 0.2 wineserver -w 2>/dev/null; then
  echo "run.sh: waiting for the Wine programs running in $WINEPREFIX to end" >&2
  timeout 130 wineserver -w 2>/dev/null || { echo "run.sh: Wine programs started without this" \
    "run's display still run in $WINEPREFIX; end them (WINEPREFIX=$WINEPREFIX wineserver -k) or" \
    "give their DISPLAY" >&2; exit 6; }
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
