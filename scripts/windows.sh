#!/usr/bin/env bash
# Builds and checks the Windows executables: installs what is missing, builds the presets
# windows-x64 and windows-x86, checks what each qsprofile.exe is (GUI subsystem, imports from
# system DLLs only, size, resources) and that the test DLL qsmapi.dll serves everything it imports
# from mapi32; under Wine, compares the POSIX qsreg with Wine's reg (tests/e2e/conformance.sh),
# and runs the x64 program without a messaging subsystem, the guard test, and the shared
# end-to-end cases over qsmapi.dll (tests/cases/wine.sh). Prints one line per check and
# closes with "N passed, N failed"; exits non-zero when anything failed.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 2
source scripts/checks.sh
source scripts/packages.sh
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

check "the build and test tools are installed" need_packages \
  x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix \
  i686-w64-mingw32-g++-posix:g++-mingw-w64-i686-posix wine:wine /usr/lib/wine/wine64:wine64 \
  Xvfb:xvfb cmake:cmake ninja:ninja-build file:file strings:binutils
[ "$failed" -eq 0 ] || finish

build() {  # build PRESET
  cmake --preset "$1" >"build/$1.configure.log" 2>&1 &&
    cmake --build --preset "$1" -j2 >"build/$1.build.log" 2>&1 && return 0
  tail -n 40 "build/$1.configure.log" "build/$1.build.log" 2>/dev/null
  return 1
}
mkdir -p build
for preset in windows-x64 windows-x86; do
  check "the $preset preset builds" build "$preset"
done

# --- What each file is -----------------------------------------------------------------------

dlls() { "$objdump" -p "$1" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z'; }
only_dlls() {  # only_dlls FILE "DLL...": FILE imports from these DLLs only
  local dll ok=0
  for dll in $(dlls "$1"); do
    case " $2 " in *" $dll "*) ;; *) echo "  imports $dll" && ok=1 ;; esac
  done
  return $ok
}
imports_function() { "$objdump" -p "$exe" | grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+$1\$"; }
mapi_imports() {
  "$objdump" -p "$exe" | awk '
    /^\tDLL Name: / { mapi = tolower($3) == "mapi32.dll"; next }
    mapi && NF == 0 { mapi = 0 }
    mapi && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print $3 }'
}
# Every function the program imports from mapi32, and the buffer allocators, are exported by
# qsmapi.dll under the same name.
serves() {
  local fn ok=0 exports
  exports=" $("$objdump" -p "$dll" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && NF == 0 { on = 0 } on { print $NF }' | tr '\n' ' ') "
  for fn in $(mapi_imports) MAPIAllocateBuffer MAPIAllocateMore; do
    case $exports in *" $fn "*) ;; *) echo "  qsmapi.dll does not export $fn" && ok=1 ;; esac
  done
  [ -n "$(mapi_imports)" ] && return $ok
}
# A 32-bit mapi32.dll exports the table utilities under their stdcall names only.
stdcall_utilities() {
  local names
  names=$(mapi_imports)
  grep -qx 'HrQueryAllRows@24' <<<"$names" && grep -qx 'FreeProws@4' <<<"$names" &&
    ! grep -qxE 'HrQueryAllRows|FreeProws' <<<"$names" && return 0
  echo "  imports from mapi32: $(echo $names)"
  return 1
}
# The resources, as "TYPE/ID" pairs from the resource directory objdump prints.
resources() {
  "$objdump" -p "$exe" | awk '
    /^[0-9a-f]+   Entry: ID:/ { type = $4; sub(",", "", type) }
    /^[0-9a-f]+     Entry: ID:/ { id = $4; sub(",", "", id); print type "/" id }'
}
has_resource() { resources | grep -qx "$1"; }
has_text() { strings -a ${2:-} "$exe" | grep -qxF "$1"; }  # has_text TEXT [-el]

version=$(sed -n 's/^project(qsprofile VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
system_dlls="kernel32.dll user32.dll advapi32.dll msvcrt.dll"
for arch in x64 x86; do
  exe=build/windows-$arch/qsprofile.exe dll=build/windows-$arch/qsmapi.dll
  if [ ! -f "$exe" ] || [ ! -f "$dll" ]; then
    check "$arch: qsprofile.exe and qsmapi.dll exist" false
    continue
  fi
  if [ $arch = x64 ]; then
    objdump=x86_64-w64-mingw32-objdump format="PE32+ executable (GUI) x86-64"
  else
    objdump=i686-w64-mingw32-objdump format="PE32 executable (GUI) Intel 80386"
  fi
  echo "$exe: $(stat -c %s "$exe") bytes; imports $(dlls "$exe" | tr '\n' ' ')"
  check "$arch: file reports $format" eval 'file -b "$exe" | grep -qF "$format"'
  check "$arch: imports only from system DLLs" only_dlls "$exe" "$system_dlls mapi32.dll"
  check "$arch: the ANSI message box, not the wide one" \
    eval 'imports_function MessageBoxA && ! imports_function MessageBoxW'
  check "$arch: at most 256 KiB" test "$(stat -c %s "$exe")" -le 262144
  check "$arch: the icon, with its 32x32 and 16x16 images" \
    eval 'has_resource 0x00000e/0x000001 && [ "$(resources | grep -c "^0x000003/")" -eq 2 ]'
  check "$arch: the version record says $version and Quorvane Server Profile" \
    eval 'has_resource 0x000010/0x000001 && has_text "$version" -el &&
          has_text "Quorvane Server Profile" -el'
  check "$arch: the manifest (RT_MANIFEST 1) holds its root element only" \
    eval 'has_resource 0x000018/0x000001 &&
          has_text "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>"'
  check "$arch: qsmapi.dll exports each of qsprofile.exe's mapi32 imports under its name" serves
  [ $arch = x64 ] || check "x86: mapi32's HrQueryAllRows@24 and FreeProws@4, not the plain names" \
    stdcall_utilities
  check "$arch: qsmapi.dll imports only from system DLLs" only_dlls "$dll" "$system_dlls"
done

# --- Under Wine ------------------------------------------------------------------------------

# The POSIX qsreg against Wine's reg, row by row of tests/e2e/conformance.sh; the rows that pass
# are in build/conformance.log.
conformance() {
  { cmake --preset dev && cmake --build --preset dev -j2 --target qsreg; } \
    >build/conformance-build.log 2>&1 || { tail -n 20 build/conformance-build.log; return 1; }
  (unset DISPLAY WINEPREFIX; tests/e2e/conformance.sh build/dev/qsreg) >build/conformance.log 2>&1
  local status=$?
  grep -v '^ok ' build/conformance.log | sed 's/^/  /'
  return $status
}
check "qsreg does what Wine's reg does, but for the differences its table allows" conformance

[ -f build/windows-x64/qsprofile.exe ] || finish
work=$(mktemp -d "${TMPDIR:-/tmp}/qs-windows.XXXXXX")
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
: >"$work/answers"

# Wine has no messaging subsystem, and its mapi32 says so at the first call; no name is stored.
without_subsystem() {
  local shown
  shown=$(env -u DISPLAY WINEPREFIX="$work/prefix" QS_WINE_MAPI=none \
    tests/wine/run.sh "$work/answers" -- -m) || return 1
  # run.sh has stopped the wineserver, which wrote the registry to user.reg.
  [ "$shown" = $'MAPIInitialize (80040605)\n----' ] && [ -f "$work/prefix/user.reg" ] &&
    ! grep -q MAPIProfile "$work/prefix/user.reg" && return 0
  echo "  shown: $shown"
  return 1
}
check "x64 without a messaging subsystem: MAPIInitialize (80040605), no name stored" \
  without_subsystem

# A `wine reg` call leaves its wineserver, which has no display, running for a few seconds. A
# run without DISPLAY waits for it and shows its box; a run whose session cannot show a window
# (here DISPLAY names no X server) fails instead of passing with nothing shown.
after_wine_reg() {
  local shown status
  env -u DISPLAY WINEPREFIX="$work/prefix" wine reg query 'HKCU\Software' >/dev/null 2>&1
  shown=$(env -u DISPLAY WINEPREFIX="$work/prefix" QS_WINE_MAPI=none \
    tests/wine/run.sh "$work/answers" -- -h 2>/dev/null)
  status=$?
  [ $status -eq 0 ] && [[ $shown == Usage:* ]] || { echo "  status $status, shown: $shown"; return 1; }
  env -u DISPLAY WINEPREFIX="$work/prefix" wine reg query 'HKCU\Software' >/dev/null 2>&1
  DISPLAY=:999 WINEPREFIX="$work/prefix" QS_WINE_MAPI=none \
    tests/wine/run.sh "$work/answers" -- -h >"$work/shown" 2>&1
  status=$?
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null
  [ $status -eq 4 ] && grep -q 'no window can be created' "$work/shown" && return 0
  echo "  status $status without a display driver"
  return 1
}
check "run.sh right after wine reg: waits and shows the box; without a display it fails" \
  after_wine_reg

# Two runs on one profile in one prefix, on one display: while the first waits in its dialog (its
# new profile exists), a second one, whose name differs in case only, is refused with its
# message; once the first is killed outright, a third one goes on and stores its name.
two_runs() (
  source tests/wine/prefix.sh
  export WINEPREFIX=$work/two-runs
  mkdir -p "$work/two-runs-x"
  xvfb_pid=
  trap stop_wine EXIT
  start_xvfb "$work/two-runs-x" 1024x768x24 && make_prefix "$work" build/windows-x64/qsmapi.dll ||
    exit 1
  wine build/windows-x64/qsprofile.exe -s -p Sales >/dev/null 2>&1 &
  local first=$! i shown
  local key='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging Subsystem\Profiles\Sales'
  for i in $(seq 120); do wine reg query "$key" >/dev/null 2>&1 && break; sleep 0.5; done
  shown=$(tests/wine/run.sh "$work/answers" -- -l -p SALES)
  [ "$shown" = "The (SALES) profile is being created or edited by another run of this program.
Try again when that run has ended.
----" ] || { echo "  the second run showed: $shown"; exit 1; }
  kill -9 $first
  { wait $first; } 2>/dev/null
  printf 'srv03\nuser3\ncheck\n' >"$work/answers-third"
  shown=$(tests/wine/run.sh "$work/answers-third" -- -l -p Sales) && [ -z "$shown" ] ||
    { echo "  the third run showed: $shown"; exit 1; }
  wine reg query 'HKCU\Software\Tessivar\Quorvane Enterprise Server\Management' /v MAPIProfile |
    grep -q 'REG_SZ *Sales' || { echo "  the third run stored no name"; exit 1; }
)
check "x64: a second run on a profile in use is refused; a killed first run blocks nothing" two_runs

# Names the code page (1252 here) cannot hold, given with -p (one that a best fit would turn into
# other letters among them) or stored with wine reg, are refused with their messages: no profile
# is created, nothing is stored, and the stored name stays as it was. Names it holds work, their
# profile keys included. The registry is read through exports, which are UTF-16.
code_page() (
  source tests/wine/prefix.sh
  export WINEPREFIX=$work/two-runs LC_ALL=C.UTF-8
  mkdir -p "$work/code-page-x"
  xvfb_pid=
  trap stop_wine EXIT
  start_xvfb "$work/code-page-x" 1024x768x24 || exit 1
  local agents='HKCU\Software\Tessivar\Quorvane Enterprise Server\Agents' name shown
  local profiles='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging Subsystem\Profiles'
  local cannot='contains characters that the system code page cannot represent.'
  exported() {
    wine reg export "$1" "$(windows_path "$work/exported.reg")" /y >/dev/null 2>&1
    iconv -f UTF-16 -t UTF-8 "$work/exported.reg" | tr -d '\r'
  }
  for name in 日本 Łukasz; do
    shown=$(tests/wine/run.sh "$work/answers" -- -m -p "$name")
    [ "$shown" = "Profile name $cannot"$'\n----' ] || { echo "  -p $name showed: $shown"; exit 1; }
  done
  wine reg add "$agents" /v MAPIProfile /d 中国 /f >/dev/null 2>&1
  shown=$(tests/wine/run.sh "$work/answers" -- -s)
  [ "$shown" = "The profile name stored under ${agents/HKCU/HKEY_CURRENT_USER} $cannot"$'\nGive the profile name with -p.\n----' ] ||
    { echo "  the stored name showed: $shown"; exit 1; }
  printf 'srv04\nuser4\ncheck\n' >"$work/answers-fit"
  shown=$(tests/wine/run.sh "$work/answers-fit" -- -m -p "Büro Zürich") && [ -z "$shown" ] ||
    { echo "  -p Büro Zürich showed: $shown"; exit 1; }
  exported 'HKCU\Software\Tessivar' | grep -qxF '"MAPIProfile"="中国"' &&
    exported 'HKCU\Software\Tessivar' | grep -qxF '"MAPIProfile"="Büro Zürich"' ||
    { echo "  stored: $(exported 'HKCU\Software\Tessivar' | grep MAPIProfile)"; exit 1; }
  wine reg add "$agents" /v MAPIProfile /d "Büro Zürich" /f >/dev/null 2>&1
  shown=$(tests/wine/run.sh "$work/answers-fit" -- -s) && [ -z "$shown" ] ||
    { echo "  the stored Büro Zürich showed: $shown"; exit 1; }
  # The profile keys: Büro Zürich's (ü is 0xFC, written [|DEL) and Sales, no other.
  exported "$profiles" | prefix="[${profiles/HKCU/HKEY_CURRENT_USER}\\" awk '
    index($0, ENVIRON["prefix"]) == 1 {
      name = substr($0, length(ENVIRON["prefix"]) + 1, length($0) - length(ENVIRON["prefix"]) - 1)
      if (index(name, "\\") == 0) print name
    }' | sort >"$work/profiles"
  printf 'B[|\177ro Z[|\177rich\nSales\n' | cmp -s - "$work/profiles" ||
    { echo "  profiles: $(cat -A "$work/profiles")"; exit 1; }
)
check "x64: names the code page cannot hold are refused, with -p and stored; others work" code_page

# The guard test, in the prefix just made, in which a crash ends the process with its code.
guard() {
  WINEPREFIX=$work/prefix wine "$1" 2>"$work/guard.log" >"$work/guard.out"
  local status=$?
  tr -d '\r' <"$work/guard.out" | sed 's/^/  /'
  [ $status -eq 0 ] && grep -qE '^[0-9]+ passed, 0 failed' "$work/guard.out"
}
check "x64: the guard test passes under Wine" guard build/windows-x64/guard_test.exe
# 32-bit programs run only where Wine has wine32 and the kernel executes them.
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  check "x86: the guard test passes under Wine" guard build/windows-x86/guard_test.exe
else
  skip "x86: the guard test under Wine (this machine's Wine runs 64-bit programs only)"
fi

# The shared end-to-end cases, each a whole run of the x64 program over qsmapi.dll under Wine,
# with the real dialog answered and the real message boxes read.
(unset DISPLAY QSMAPI_FAULT WINEPREFIX; tests/cases/wine.sh build/windows-x64) |
  tee build/windows-cases.log
cases_status=${PIPESTATUS[0]}
summary=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' build/windows-cases.log)
if [ -n "$summary" ]; then
  passed=$((passed + ${summary% *}))
  failed=$((failed + ${summary#* }))
fi
check "the shared cases ran to their end under Wine and passed" \
  test "$cases_status" -eq 0 -a -n "$summary"
finish
