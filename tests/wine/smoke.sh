#!/usr/bin/env bash
# The Wine smoke test of the Windows build: runs build/windows-x64/qsprofile.exe under Wine, in a
# Wine prefix of its own and on an X server of its own (Xvfb), reads the real message boxes it
# shows through boxreader.exe, and follows its registry and messaging calls through Wine's relay
# trace. Also runs guard_test.exe, the test of the catch-all guard.
#
#   tests/wine/smoke.sh [BUILD_DIR]
#
# BUILD_DIR (default build/windows-x64) holds qsprofile.exe, boxreader.exe and guard_test.exe;
# QSPROFILE_EXE names another qsprofile.exe to check. QS_WINE_GUARD_X86 names a 32-bit
# guard_test.exe to run as well, when this Wine runs 32-bit programs. Prints one line per check
# and "smoke: N passed, N failed[, N skipped]"; exits non-zero when a check failed or the test
# could not run.
#
# The expected texts are written out here on purpose, not taken from the code: a change to a
# message, the usage text or a role's key must fail this test.
set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/windows-x64}" && pwd) || exit 2
exe=${QSPROFILE_EXE:-$build/qsprofile.exe}
reader=$build/boxreader.exe
guard=$build/guard_test.exe
for f in "$exe" "$reader" "$guard"; do
  [ -f "$f" ] || { echo "smoke: missing $f" >&2; exit 2; }
done
for tool in wine wineserver wineboot winepath Xvfb; do
  command -v "$tool" >/dev/null || { echo "smoke: $tool is not installed" >&2; exit 2; }
done

# --- What the program must show and touch ---------------------------------------------------

caption='Quorvane Server Profile'
length_message='Profile name is limited to 50 characters in length.'
no_subsystem_message='MAPIInitialize (80040605)'
agent_key='Software\Tessivar\Quorvane Enterprise Server\Agents'
manager_key='Software\Tessivar\Quorvane Enterprise Server\Manager\ExchangeAdaptor'
value_name='MAPIProfile'

usage_text() {
  printf 'Usage:\n\nTo create/edit Quorvane Enterprise Server Agent MAPI profile:\n\t%s -s [-p <Profile Name>]\n\nTo create/edit Quorvane Manager MAPI profile:\n\t%s -m [-p <Profile Name>]\n\nTo create/edit Legacy Quorvane Enterprise Server Management MMC Snap-in MAPI profile:\n\t%s -l [-p <Profile Name>]\n\nTo create/edit Quorvane Server Database Consistency Service MAPI profile:\n\t%s -c [-p <Profile Name>]\n\nTo display this help:\n\t%s -h' \
    "$1" "$1" "$1" "$1" "$1"
}

# --- Reporting -------------------------------------------------------------------------------

source "$root/scripts/checks.sh"

# --- A private X server and Wine prefix ------------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine-smoke.XXXXXX")
xvfb_pid=
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the pipe once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
if ! read -r -t 60 display <"$work/display" || [ -z "$display" ]; then
  echo "smoke: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 2
fi
export DISPLAY=:$display

# Wine creates the prefix; then one persistent wineserver serves the whole run, so that the
# system processes start once (without it, each program starts them anew, which is only
# slower). It may outlive the prefix by a moment at the end and complain that the folder went;
# that is of no interest.
if ! wineboot -i >"$work/wineboot.log" 2>&1; then
  echo "smoke: the Wine prefix could not be made" >&2
  cat "$work/wineboot.log" >&2
  exit 2
fi
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wineserver -p >/dev/null 2>&1
wine_reg() { wine reg "$@" >/dev/null 2>&1; }
# A crash under test ends the process with its code instead of starting the debugger.
wine_reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ \
  /d '' /f
# The calls the relay trace follows. Wine's advapi32 forwards the registry calls to kernelbase;
# both names are listed so that either shows.
relay_calls='user32.MessageBoxA'
for fn in RegOpenKeyExA RegQueryValueExA RegCreateKeyExA RegSetValueExA; do
  relay_calls="$relay_calls;advapi32.$fn;kernelbase.$fn"
done
for fn in MAPIInitialize MAPIUninitialize MAPIAdminProfiles MAPILogonEx; do
  relay_calls="$relay_calls;mapi32.$fn"
done
wine_reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "$relay_calls" /f

dos_exe=$(winepath -w "$exe")
dos_reader=$(winepath -w "$reader")

# --- Running the program ---------------------------------------------------------------------

# run NAME ARGUMENT...: runs qsprofile.exe under boxreader.exe with the relay trace on. Leaves
# the boxes in $work/NAME.boxes ("box CAPTION TEXT" lines, escaped as boxreader.exe writes them,
# then "exit CODE") and the traced calls in $work/NAME.calls, one "FUNCTION ARGUMENTS => RESULT"
# line per call.
run() {
  local name=$1
  shift
  WINEDEBUG=-all,+relay wine "$dos_reader" -t 60 "$dos_exe" "$@" \
    >"$work/$name.boxes" 2>"$work/$name.relay"
  calls <"$work/$name.relay" >"$work/$name.calls"
}

# Pairs each traced call with its return, per thread.
calls() {
  local line thread rest fn args
  declare -A pending_fn pending_args
  while IFS= read -r line; do
    thread=${line%%:*}
    rest=${line#*:}
    case $rest in
      Call\ *)
        rest=${rest#Call }
        fn=${rest%%(*}
        case $fn in *.*) ;; *) continue ;; esac
        args=${rest#*(}
        pending_fn[$thread]=${fn#*.}
        pending_args[$thread]=${args% ret=*}
        ;;
      Ret\ *)
        rest=${rest#Ret }
        rest=${rest# }
        fn=${rest%%(*}
        fn=${fn#*.}
        [ "${pending_fn[$thread]:-}" = "$fn" ] || continue
        local result=${rest#*retval=}
        echo "$fn ${pending_args[$thread]} => ${result%% *}"
        pending_fn[$thread]=
        ;;
    esac
  done
}

# The escaping boxreader.exe writes a text in.
escape() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//$'\n'/\\n}
  s=${s//$'\t'/\\t}
  s=${s//$'\r'/\\r}
  s=${s// /\\s}
  printf '%s' "$s"
}

# A registry key as the relay trace writes it in a call: quoted, backslashes doubled.
traced() { printf '"%s"' "${1//\\/\\\\}"; }

# shows_only NAME TEXT...: the run showed exactly these boxes, in order, with the caption, and
# ended.
shows_only() {
  local name=$1 text expected=
  shift
  for text in "$@"; do
    expected+="box $(escape "$caption") $(escape "$text")"$'\n'
  done
  expected+="exit 0"
  local actual
  actual=$(cat "$work/$name.boxes")
  [ "$actual" = "$expected" ] && return 0
  echo "  expected: $expected" | head -c 2000
  echo
  echo "  shown:    $actual" | head -c 2000
  echo
  return 1
}
shows_box() { grep -qxF "box $(escape "$caption") $(escape "$2")" "$work/$1.boxes"; }
ended() { grep -qx 'exit 0' "$work/$1.boxes"; }
# called NAME FUNCTION ARGUMENT-PATTERN RESULT: a traced call of FUNCTION whose arguments contain
# the text and that returned RESULT (any, when empty).
called() {
  local line
  while IFS= read -r line; do
    case $line in
      "$2 "*"$3"*" => $4"*) return 0 ;;
    esac
  done <"$work/$1.calls"
  return 1
}
not() { ! "$@"; }
stored_value() {  # stored_value KEY: the MAPIProfile data under HKCU\KEY, or nothing
  wine reg query "HKCU\\$1" /v "$value_name" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$value_name *REG_SZ *//p"
}

# --- The checks ------------------------------------------------------------------------------

# The guard.
# run_guard LABEL EXE: runs a guard test and shows its failures and its closing line. What Wine
# writes about the deliberate crash of its child goes to a log.
run_guard() {
  wine "$(winepath -w "$2")" 2>"$work/guard-$1.log" | tr -d '\r' >"$work/guard-$1.out"
  local status=${PIPESTATUS[0]}
  grep -v '^ok:' "$work/guard-$1.out" | sed "s/^/  guard $1: /"
  [ "$status" -eq 0 ] && grep -qx '[0-9]* passed, 0 failed' "$work/guard-$1.out"
}
check "the guard test passes for x64 under Wine" run_guard x64 "$guard"
if [ -n "${QS_WINE_GUARD_X86:-}" ]; then
  check "the guard test passes for x86 under Wine" run_guard x86 "$QS_WINE_GUARD_X86"
fi

# The usage text, with the program path as the runtime passed it in all five places.
run no-arguments
check "no arguments: the usage text, byte for byte" shows_only no-arguments "$(usage_text "$dos_exe")"
check "no arguments: the run ends before the registry" \
  not called no-arguments RegOpenKeyExA "Tessivar" ""
run help -h
check "-h: the usage text, byte for byte" shows_only help "$(usage_text "$dos_exe")"

# The command line's limit on a profile name: 50 bytes pass, 51 are refused.
name50=$(printf 'N%.0s' $(seq 50))
run name50 -s -p "$name50"
check "-p with 50 bytes: no length message" not shows_box name50 "$length_message"
check "-p with 50 bytes: the run goes on to the role's stored name" \
  called name50 RegOpenKeyExA "$(traced "$agent_key")" ""
check "-p with 50 bytes: the run ends" ended name50
run name51 -s -p "${name50}N"
check "-p with 51 bytes: the length message alone" shows_only name51 "$length_message"
check "-p with 51 bytes: the run ends before the registry" \
  not called name51 RegOpenKeyExA "Tessivar" ""

# The Manager role reaches the messaging subsystem, which Wine lacks, and stores no name.
wine_reg delete "HKCU\\$manager_key" /f
run manager -m
check "-m: the Manager role's key is looked up" \
  called manager RegOpenKeyExA "$(traced "$manager_key")" ""
if called manager MAPIInitialize "" ""; then
  check "-m: the run reaches the messaging subsystem and shows its status" \
    shows_only manager "$no_subsystem_message"
else
  skip "-m: this build does not call the messaging subsystem yet"
  check "-m: no message box while it does not" shows_only manager
fi
check "-m: the Manager role's $value_name is not written" \
  test -z "$(stored_value "$manager_key")"
check "-m: no registry value is set" not called manager RegSetValueExA "" ""

# A stored name is opened and read; the failed run leaves it as it was.
wine_reg delete "HKCU\\$agent_key" /f
run agent-unset -s
check "-s without a stored name: the role's key is looked up and not found" \
  called agent-unset RegOpenKeyExA "$(traced "$agent_key")" "00000002"
wine_reg add "HKCU\\$agent_key" /v "$value_name" /t REG_SZ /d 'Stored Agent Profile' /f
run agent-stored -s
check "-s with a stored name: the role's key is opened" \
  called agent-stored RegOpenKeyExA "$(traced "$agent_key")" "00000000"
check "-s with a stored name: its $value_name is read" \
  called agent-stored RegQueryValueExA "\"$value_name\"" "00000000"
check "-s with a stored name: the run ends" ended agent-stored
check "-s with a stored name: the stored name is left as it was" \
  test "$(stored_value "$agent_key")" = 'Stored Agent Profile'

line="smoke: $passed passed, $failed failed"
[ "$skipped" -gt 0 ] && line+=", $skipped skipped"
echo "$line"
[ "$failed" -eq 0 ]
