#!/usr/bin/env bash
# qsreg against Wine's reg: each row of the table below starts both on an empty HKCU\Q, applies
# its setup to both, runs its operation on both, and compares
#   status  the exit status;
#   output  what a successful operation prints (an error's text is each tool's own, and Wine's
#           differs from Windows' anyway: only the status of a failure is compared);
#   state   the export of HKCU\Q afterwards, byte for byte (both write UTF-16LE with CRLF);
#   cross   each tool's export imported by the other, whose export of it must be the same file.
# A row may allow some of these to differ, giving the reason: a choice qsreg makes, each listed
# in the README, or a fault of Wine's where it departs from Windows. An allowed difference that
# does not show is a failure too, so that the table says what is true. "wine" as the allowed
# difference means Wine is not run at all, and qsreg must refuse (status 1).
# Usage: tests/e2e/conformance.sh QSREG [ROW...]. Prints a line per row and "N passed, N failed";
# exits non-zero when a row failed.
set -u
qsreg=$(realpath "${1:?usage: tests/e2e/conformance.sh QSREG [ROW...]}") || exit 2
shift
source "$(dirname "$0")/../wine/prefix.sh"
# Wine takes its ANSI code page from the locale; this one gives Windows-1252, as a Western
# Windows has.
unset DISPLAY
export LC_ALL=C.UTF-8
work=$(mktemp -d "${TMPDIR:-/tmp}/qsreg-conformance.XXXXXX")
export WINEPREFIX=$work/prefix XDG_CONFIG_HOME=$work/config
trap 'stop_wine; rm -rf "$work"' EXIT
make_prefix "$work" || exit 2
wineserver -p60

# The rows: NAME | SETUP | OPERATION | ALLOWED | REASON. SETUP is commands separated by ";" for
# both tools, with "key PATH" for an empty key, "file NAME TEXT" for a file (TEXT as printf takes
# it) and "file16 NAME TEXT" for one in UTF-16LE with a byte order mark. @NAME in an argument is
# the file's path.
rows=$(cat <<'EOF'
sz            | | add 'HKCU\Q' /v s /d 'say "hi" C:\x' /f | |
expand        | | add 'HKCU\Q' /v e /t REG_EXPAND_SZ /d '%P%;x' /f | |
multi         | | add 'HKCU\Q' /v m /t reg_multi_sz /d 'a\0bc\0' /f | |
dword         | | add 'HKCU\Q' /v d /t REG_DWORD /d 4294967295 /f | |
dword-hex     | | add 'HKCU\Q' /v d /t REG_DWORD /d 0x10 /f | |
qword         | | add 'HKCU\Q' /v q /t REG_QWORD /d 0x123456789 /f | |
binary-lines  | | add 'HKCU\Q' /v b /t REG_BINARY /d 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f /f | |
default       | | add 'HKCU\Q' /ve /d 'x y' /f | |
add-key       | | add 'HKCU\Q\New' /f | state | Wine: add without /v, /ve, /t or /d sets the default value to empty text
overwrite     | add 'HKCU\Q' /v s /d old /f | add 'HKCU\Q' /v s /d new /f | |
non-ascii     | | add 'HKCU\Q\Köln' /v 'café' /d 'naïve 日本' /f | |
item2-ve      | key 'HKCU\Q' | query 'HKCU\Q' /ve | output | Wine: leaves out the blank line after a default value that is not set
item3-dword   | key 'HKCU\Q' | add 'HKCU\Q' /v d /t REG_DWORD /f | |
item3-ve      | key 'HKCU\Q' | add 'HKCU\Q' /ve /t REG_DWORD /f | |
item4-d       | | add 'HKCU\Q' /d text /f | |
item4-t       | | add 'HKCU\Q' /t REG_DWORD /d 5 /f | |
item5-odd     | | add 'HKCU\Q' /v b /t REG_BINARY /d abc /f | |
item6-sep     | | add 'HKCU\Q' /v m /t REG_MULTI_SZ /s é /d 'aébéc' /f | |
item6-empty   | | add 'HKCU\Q' /v m /t REG_MULTI_SZ /d '\0' /f | |
item7-none    | | add 'HKCU\Q' /v n /t REG_NONE /d 0a0b /f | state | choice: REG_NONE data is the text's 8-bit bytes in the store, UTF-16 in Windows'
item7-none-0  | | add 'HKCU\Q' /v n /t REG_NONE /f | state | choice: REG_NONE data is the text's 8-bit bytes in the store, UTF-16 in Windows'
item8-novalue | key 'HKCU\Q\E'; add 'HKCU\Q\E\S' /v a /d 1 /f; key 'HKCU\Q\E\T' | query 'HKCU\Q\E' | |
item8-s       | key 'HKCU\Q\E'; add 'HKCU\Q\E\S' /v a /d 1 /f; key 'HKCU\Q\E\S\T' | query 'HKCU\Q\E' /s | |
query         | add 'HKCU\Q' /v a /d 1 /f; add 'HKCU\Q' /v b /t REG_MULTI_SZ /d 'x\0y' /f; add 'HKCU\Q\S' /v c /t REG_BINARY /d 0aff /f | query 'HKCU\Q' | |
query-s       | add 'HKCU\Q' /v a /t REG_EXPAND_SZ /d '%x%' /f; add 'HKCU\Q\S' /v b /t REG_DWORD /d 7 /f | query 'HKCU\Q' /s | |
query-v       | add 'HKCU\Q' /v a /d 1 /f; add 'HKCU\Q' /v b /d 2 /f | query 'HKCU\Q' /v b | |
query-ve      | add 'HKCU\Q' /ve /d 1 /f | query 'HKCU\Q' /ve | |
query-missing | key 'HKCU\Q' | query 'HKCU\Q' /v nothing | |
query-nokey   | | query 'HKCU\Q\None' | |
query-qword   | add 'HKCU\Q' /v q /t REG_QWORD /d 0x10 /f | query 'HKCU\Q' | output | Wine: shows REG_QWORD data as (null)
query-order   | add 'HKCU\Q' /v b /d 1 /f; add 'HKCU\Q' /v a /d 2 /f | query 'HKCU\Q' | output state cross | Wine: lists values by name, Windows in the order they were set
query-case    | add 'HKCU\Q' /v Name /d 1 /f | query 'HKCU\Q' /v NAME | output | choice: qsreg shows a value by the name it was set with
query-s-v     | add 'HKCU\Q\S' /v a /d 1 /f | query 'HKCU\Q' /v a /s | output | choice: qsreg does not close a search with a count of its matches
query-s-none  | add 'HKCU\Q\S' /v a /d 1 /f | query 'HKCU\Q' /v b /s | status output | choice: a search that finds nothing fails
query-non-ascii | add 'HKCU\Q' /v 'é' /d 'ü' /f | query 'HKCU\Q' | output | choice: qsreg prints UTF-8; reg writes its console code page to a pipe
query-hklm    | | query 'HKLM\Software' | status output | choice: qsreg keeps HKEY_CURRENT_USER only
delete-v      | add 'HKCU\Q' /v a /d 1 /f; add 'HKCU\Q' /v b /d 2 /f | delete 'HKCU\Q' /v a /f | |
delete-ve     | add 'HKCU\Q' /ve /d 1 /f; add 'HKCU\Q' /v b /d 2 /f | delete 'HKCU\Q' /ve /f | |
delete-va     | add 'HKCU\Q' /v a /d 1 /f; add 'HKCU\Q\S' /v b /d 2 /f | delete 'HKCU\Q' /va /f | |
delete-key    | add 'HKCU\Q\S\T' /v b /d 2 /f; add 'HKCU\Q' /v a /d 1 /f | delete 'HKCU\Q\S' /f | |
delete-none   | key 'HKCU\Q' | delete 'HKCU\Q' /v nothing /f | |
ask-add       | add 'HKCU\Q' /v a /d 1 /f | add 'HKCU\Q' /v a /d 2 | wine | choice: without /f and without a terminal qsreg refuses (Wine asks again and again)
bad-type      | | add 'HKCU\Q' /v a /t REG_FOO /d 1 /f | state | Wine: a failed add leaves behind the key it made
bad-dword     | key 'HKCU\Q' | add 'HKCU\Q' /v a /t REG_DWORD /d 4294967296 /f | |
bad-hex       | key 'HKCU\Q' | add 'HKCU\Q' /v a /t REG_BINARY /d 0g /f | |
bad-multi     | key 'HKCU\Q' | add 'HKCU\Q' /v a /t REG_MULTI_SZ /d 'a\0\0b' /f | |
bad-options   | | add 'HKCU\Q' /v a /ve /d 1 /f | |
bad-option    | | query 'HKCU\Q' /x | |
long-name     | | add "HKCU\\Q\\$(printf 'X%.0s' {1..256})" /v a /d 1 /f | status output state | Wine: takes a key name of 256 characters; Windows' limit is 255
import-4      | file a.reg 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Q\\K]\r\n@=dword:00000002\r\n"a"="x"\r\n"m"=hex(7):61,00,62,00,00\r\n' | import @a.reg | output | Wine: prints nothing when an import succeeds
import-1252   | file a.reg 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Q\\K\xe9]\r\n"n\xe9"="d\xe9\x80"\r\n"x"=hex(2):e9,00\r\n' | import @a.reg | output | Wine: prints nothing when an import succeeds
import-utf8   | file a.reg 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Q]\r\n"n\xc3\xa9"="d\xc3\xa9"\r\n' | import @a.reg | output state | choice: the POSIX code page is UTF-8, so a REGEDIT4 file that is valid UTF-8 is read as UTF-8 (and Wine prints nothing)
import-raw    | file a.reg 'REGEDIT4\r\n[HKEY_CURRENT_USER\\Q]\r\n"x"=hex(1):e9,00\r\n' | import @a.reg | output state | choice: hex(1) bytes of a REGEDIT4 file that is valid UTF-8 are kept, here a byte that is not UTF-8, and its export carries it to Wine and back (Wine prints nothing)
import-5      | file16 a.reg 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Q\\日]\r\n"m"=hex(7):e9,00,00,00,00,00\r\n"é"="本"\r\n' | import @a.reg | output | Wine: prints nothing when an import succeeds
import-delete | add 'HKCU\Q\A' /v a /d 1 /f; add 'HKCU\Q\B' /v b /d 1 /f; file a.reg 'REGEDIT4\r\n[-HKEY_CURRENT_USER\\Q\\A]\r\n[HKEY_CURRENT_USER\\Q\\B]\r\n"b"=-\r\n' | import @a.reg | output | Wine: prints nothing when an import succeeds
import-bad    | key 'HKCU\Q'; file a.reg 'REGEDIT4\r\n[HKEY_CURRENT_USER\\Q\\A]\r\n"a"="1"\r\n"b"=nonsense\r\n' | import @a.reg | status state | choice: an import takes effect whole or not at all (Wine keeps what came before the fault)
import-hklm   | key 'HKCU\Q'; file a.reg 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Q]\r\n"a"="1"\r\n' | import @a.reg | status | choice: qsreg keeps HKEY_CURRENT_USER only
export        | add 'HKCU\Q\S' /v a /t REG_MULTI_SZ /d 'é\0x' /f | export 'HKCU\Q' @out.reg /y | output | Wine: prints nothing when an export succeeds
export-ask    | key 'HKCU\Q'; file out.reg x | export 'HKCU\Q' @out.reg | wine | choice: without /y and without a terminal qsreg refuses (Wine asks again and again)
EOF
)

# run TOOL COMMAND...: runs a command of a row (or nothing) on qsreg (q) or Wine's reg (w); false
# when it fails. The status of a reg command goes to $work/status, and what it printed on success
# to $work/output.
run() {
  local tool=$1 arg args=()
  case ${2-} in
    '') return ;;
    key) run "$tool" add "$3" /v _ /d _ /f && run "$tool" delete "$3" /v _ /f; return ;;
    file) printf "$4" >"$work/files/$3"; return ;;
    file16) { printf '\xff\xfe' && printf "$4" | iconv -t UTF-16LE; } >"$work/files/$3"; return ;;
  esac
  for arg in "${@:2}"; do
    [[ $arg == @* ]] && arg=$work/files/${arg#@} && [ "$tool" = w ] && arg=$(windows_path "$arg")
    args+=("$arg")
  done
  if [ "$tool" = q ]; then
    "$qsreg" "${args[@]}" </dev/null >"$work/output" 2>/dev/null
  else
    # CRLF to LF, without Wine's "reg: " and with the period it leaves off.
    timeout 60 wine reg "${args[@]}" </dev/null 2>/dev/null | tr -d '\r' |
      sed 's/^reg: //; s/^The operation completed successfully$/&./' >"$work/output"
    (exit "${PIPESTATUS[0]}") # reg's status, not sed's
  fi
  echo $? >"$work/status"
  [ "$(<"$work/status")" = 0 ] || { : >"$work/output" && return 1; }
}

# state TOOL FILE: the tool's export of HKCU\Q to FILE, or "absent".
state() {
  run "$1" export 'HKCU\Q' @state.reg /y
  mv "$work/files/state.reg" "$2" 2>/dev/null || echo absent >"$2"
}

# cross FROM TO: TO imports FROM's export into an empty HKCU\Q; its export goes to $work/TO.cross.
cross() {
  cp "$work/$1.state" "$work/files/cross.reg" && run "$2" delete 'HKCU\Q' /f
  run "$2" import @cross.reg; state "$2" "$work/$2.cross"
}

passed=0 failed=0
while IFS='|' read -r name set operation allowed reason; do
  name=$(echo $name) allowed=" $(echo $allowed) " differs=" " problems="" tools="q w"
  [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  rm -rf "$work/files" "$work/config" "$work"/[qw].* && mkdir -p "$work/files"
  run w delete 'HKCU\Q' /f
  [ "$allowed" = " wine " ] && tools=q
  for tool in $tools; do
    # SETUP's commands on this tool, stopping at the first that fails (-e is ignored under ||).
    (set -e; eval "run $tool ${set//;/; run $tool }")
    [ $? = 0 ] || { problems+=" setup-on-$tool" && continue; }
    eval "run $tool $operation"
    cp "$work/status" "$work/$tool.status" && cp "$work/output" "$work/$tool.output"
    state $tool "$work/$tool.state"
  done
  if [ "$tools" = q ]; then
    [ "$(cat "$work/q.status")" = 1 ] || problems+=" status"
  elif [ -z "$problems" ]; then
    for aspect in status output state; do
      cmp -s "$work/q.$aspect" "$work/w.$aspect" || differs+="$aspect "
    done
    if ! grep -qx absent "$work/q.state" "$work/w.state"; then
      cross w q && cross q w
      { cmp -s "$work/q.cross" "$work/w.state" && cmp -s "$work/w.cross" "$work/q.state"; } ||
        differs+="cross "
    fi
  fi
  for aspect in $differs; do [[ "$allowed" == *" $aspect "* ]] || problems+=" $aspect"; done
  for aspect in $allowed; do
    [ "$aspect" = wine ] || [[ "$differs" == *" $aspect "* ]] || problems+=" $aspect-as-allowed"
  done
  if [ -z "$problems" ]; then
    passed=$((passed + 1))
    echo "ok     $name${reason:+  (allowed:$allowed- $(echo $reason))}"
    continue
  fi
  failed=$((failed + 1))
  echo "FAILED $name:$problems"
  for tool in q w; do
    [ -f "$work/$tool.status" ] || continue
    { echo "status $(<"$work/$tool.status"), output:" && cat "$work/$tool.output" && echo state:
      { iconv -f UTF-16LE -t UTF-8 "$work/$tool.state" 2>/dev/null || cat "$work/$tool.state"; } |
        tr -d '\r'; } | sed "s/^/  $tool | /"
  done
done <<<"$rows"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
