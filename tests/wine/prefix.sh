# Sourced by run.sh, tests/cases/wine.sh and scripts/screenshot.sh: 64-bit prefixes, their X
# server, and qsmapi.dll installed as a mail client's MAPI (DLLPathEx of HKLM\Software\Clients\Mail,
# to which Wine's mapi32 forwards) and, as Wine's mapi32 exports HrQueryAllRows and FreeProws only
# with the stdcall suffix, as system32\mapi32.dll too (mapi32=native).

export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML runtimes are wanted; asking for them would stop wineboot with a dialog.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# windows_path PATH: the Windows path of a file of this machine, through drive Z:, which maps /.
windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

# start_xvfb WORK GEOMETRY [OPTION...]: starts an X server of its own on a free display, and sets
# DISPLAY and xvfb_pid. WORK is a folder for scratch files.
start_xvfb() {
  local display
  mkfifo "$1/display" || return 1
  # Xvfb writes the display number it picked to the pipe once it accepts clients.
  Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp "${@:3}" 3>"$1/display" >"$1/xvfb.log" 2>&1 &
  xvfb_pid=$!
  read -r -t 60 display <"$1/display" && [ -n "$display" ] && export DISPLAY=:$display && return
  { echo "Xvfb did not start"; cat "$1/xvfb.log"; } >&2; return 1
}

# stop_wine: ends the prefix's Wine processes, and the X server start_xvfb started.
stop_wine() {
  wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
  [ -z "${xvfb_pid:-}" ] || { kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null; }
  return 0
}

# make_prefix WORK [DLL]: makes WINEPREFIX a prefix in which a crash ends the process with its code
# instead of starting the debugger, with DLL as the messaging subsystem. One caller at a time sets
# up the registry, once (a mark file records what went in); the DLL's copies are refreshed.
make_prefix() {
  local mark="qs prefix 2${2:+ qsmapi}" target
  mkdir -p "$WINEPREFIX" || return 1
  (
    flock 9
    [ "$(cat "$WINEPREFIX/.qs-prepared" 2>/dev/null)" = "$mark" ] && exit 0
    # The Wine processes started here outlive the lock; they must not hold it (9>&-).
    [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >"$1/wineboot.log" 2>&1 9>&- ||
      { cat "$1/wineboot.log" >&2; exit 1; }
    {
      printf '%s\r\n' REGEDIT4 '' \
        '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]' '"Debugger"=""'
      [ -z "${2:-}" ] || printf '%s\r\n' '' \
        '[HKEY_LOCAL_MACHINE\Software\Clients\Mail]' '@="qsmapi"' '' \
        '[HKEY_LOCAL_MACHINE\Software\Clients\Mail\qsmapi]' '@="Simulated messaging subsystem"' \
        '"DLLPathEx"="C:\\Program Files\\qsmapi\\qsmapi.dll"' '' \
        '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]' '"mapi32"="native"'
    } >"$1/prefix.reg"
    wine reg import "$(windows_path "$1/prefix.reg")" >"$1/reg.log" 2>&1 9>&- ||
      { cat "$1/reg.log" >&2; exit 1; }
    echo "$mark" >"$WINEPREFIX/.qs-prepared"
  ) 9>>"$WINEPREFIX/.qs-lock" || return 1
  [ -n "${2:-}" ] || return 0
  for target in "$WINEPREFIX/drive_c/Program Files/qsmapi/qsmapi.dll" \
    "$WINEPREFIX/drive_c/windows/system32/mapi32.dll"; do
    mkdir -p "$(dirname "$target")" && { cmp -s "$2" "$target" || cp "$2" "$target"; } || return 1
  done
}
