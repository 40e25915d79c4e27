#!/usr/bin/env bash
# Builds and checks the Windows executables: installs what is missing (Debian's mingw-w64, Wine,
# Xvfb, CMake, Ninja), builds the presets windows-x64 and windows-x86, checks what each
# qsprofile.exe is (GUI subsystem, imports from system DLLs only, size, resources) and that the
# test DLL qsmapi.dll serves everything it imports from mapi32, runs the Wine smoke test
# (tests/wine/smoke.sh) on the x64 build, and the shared end-to-end cases over qsmapi.dll
# (tests/cases/wine.sh). Prints one line per check and closes with "N passed, N failed"; exits
# non-zero when anything failed.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 2

source "$root/scripts/checks.sh"
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# --- Packages --------------------------------------------------------------------------------

# The Debian packages: the cross compilers (with their binutils and windres), Wine for 64-bit
# programs, the X server, the build tools.
needed=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb cmake ninja-build
  file binutils)
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
install_missing() {
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null
}
check "the build and test tools are installed" install_missing
[ "$failed" -eq 0 ] || finish

# --- Builds ----------------------------------------------------------------------------------

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

# --- What each executable is -----------------------------------------------------------------

# The DLLs an executable may import: the system's own, and the messaging subsystem's.
allowed_dlls=" kernel32.dll user32.dll advapi32.dll mapi32.dll msvcrt.dll "

imports() { "$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z'; }
imports_only_system_dlls() {
  local dll ok=0
  for dll in $(imports); do
    case $allowed_dlls in *" $dll "*) ;; *) echo "  imports $dll" && ok=1 ;; esac
  done
  return $ok
}
imports_function() { "$objdump" -p "$exe" | grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+$1\$"; }
file_says() { file -b "$exe" | grep -qF "$1"; }
at_most() { [ "$(stat -c %s "$exe")" -le "$1" ]; }
# The resources, as "TYPE/ID" pairs from the resource directory objdump prints.
resources() {
  "$objdump" -p "$exe" | awk '
    /^[0-9a-f]+   Entry: ID:/ { type = $4; sub(",", "", type) }
    /^[0-9a-f]+     Entry: ID:/ { id = $4; sub(",", "", id); print type "/" id }'
}
has_resource() { resources | grep -qx "$1"; }
icon_images() { [ "$(resources | grep -c '^0x000003/')" -eq 2 ]; }
has_text() { strings -a "$exe" | grep -qxF "$1"; }
has_wide_text() { strings -a -el "$exe" | grep -qxF "$1"; }

version=$(sed -n 's/^project(qsprofile VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for arch in x64 x86; do
  exe=build/windows-$arch/qsprofile.exe
  if [ ! -f "$exe" ]; then
    check "build/windows-$arch/qsprofile.exe exists" false
    continue
  fi
  if [ $arch = x64 ]; then
    objdump=x86_64-w64-mingw32-objdump
    format="PE32+ executable (GUI) x86-64"
  else
    objdump=i686-w64-mingw32-objdump
    format="PE32 executable (GUI) Intel 80386"
  fi
  echo "$exe: $(stat -c %s "$exe") bytes; $(file -b "$exe")"
  echo "$exe imports: $(imports | tr '\n' ' ')"
  check "$arch: file reports $format" file_says "$format"
  check "$arch: imports only from system DLLs" imports_only_system_dlls
  check "$arch: the ANSI message box, not the wide one" \
    eval 'imports_function MessageBoxA && ! imports_function MessageBoxW'
  check "$arch: at most 256 KiB" at_most 262144
  check "$arch: the icon, with its 32x32 and 16x16 images" \
    eval 'has_resource 0x00000e/0x000001 && icon_images'
  check "$arch: the version record says $version and Quorvane Server Profile" \
    eval 'has_resource 0x000010/0x000001 && has_wide_text "$version" &&
          has_wide_text "Quorvane Server Profile"'
  check "$arch: the manifest (RT_MANIFEST 1) holds its root element only" \
    eval 'has_resource 0x000018/0x000001 &&
          has_text "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>"'
done

# --- The simulated messaging subsystem, qsmapi.dll --------------------------------------------

# dll_imports FILE and mapi_imports FILE: the DLLs a file imports from, and the functions it
# imports from mapi32; dll_exports FILE: the names a DLL exports.
dll_imports() { "$objdump" -p "$1" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z'; }
mapi_imports() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { mapi = tolower($3) == "mapi32.dll"; next }
    mapi && NF == 0 { mapi = 0 }
    mapi && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print $3 }'
}
dll_exports() {
  "$objdump" -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && NF == 0 { on = 0 } on { print $NF }'
}
# serves EXE DLL: every function EXE imports from mapi32, and the buffer allocators, are exported
# by DLL under the same name.
serves() {
  local fn ok=0 exports
  exports=" $(dll_exports "$2" | tr '\n' ' ') "
  for fn in $(mapi_imports "$1") MAPIAllocateBuffer MAPIAllocateMore; do
    case $exports in *" $fn "*) ;; *) echo "  $2 does not export $fn" && ok=1 ;; esac
  done
  [ -n "$(mapi_imports "$1")" ] && return $ok
}
# stdcall_utilities EXE: EXE imports the table utilities from mapi32 under the stdcall names a
# 32-bit mapi32.dll exports them by, and not under the plain names.
stdcall_utilities() {
  local names
  names=$(mapi_imports "$1")
  grep -qx 'HrQueryAllRows@24' <<<"$names" && grep -qx 'FreeProws@4' <<<"$names" &&
    ! grep -qxE 'HrQueryAllRows|FreeProws' <<<"$names" && return 0
  echo "  imports from mapi32: $(echo $names)"
  return 1
}
dll_imports_only_system_dlls() {
  local dll ok=0
  for dll in $(dll_imports "$1"); do
    case " kernel32.dll user32.dll advapi32.dll msvcrt.dll " in
      *" $dll "*) ;;
      *) echo "  imports $dll" && ok=1 ;;
    esac
  done
  return $ok
}
for arch in x64 x86; do
  dll=build/windows-$arch/qsmapi.dll
  exe=build/windows-$arch/qsprofile.exe
  if [ ! -f "$dll" ] || [ ! -f "$exe" ]; then
    check "build/windows-$arch/qsmapi.dll and qsprofile.exe exist" false
    continue
  fi
  [ $arch = x64 ] && objdump=x86_64-w64-mingw32-objdump || objdump=i686-w64-mingw32-objdump
  echo "$dll: $(stat -c %s "$dll") bytes; $(file -b "$dll")"
  check "$arch: qsmapi.dll exports each of qsprofile.exe's mapi32 imports under its name" \
    serves "$exe" "$dll"
  if [ $arch = x86 ]; then
    check "x86: qsprofile.exe imports HrQueryAllRows@24 and FreeProws@4, not the plain names" \
      stdcall_utilities "$exe"
  fi
  check "$arch: qsmapi.dll imports only from system DLLs" dll_imports_only_system_dlls "$dll"
done

# --- Under Wine ------------------------------------------------------------------------------

if [ -f build/windows-x64/qsprofile.exe ]; then
  # The 32-bit guard test runs too where this machine runs 32-bit Wine (it needs wine32 and a
  # kernel that executes 32-bit programs).
  x86_guard=build/windows-x86/guard_test.exe
  if [ -f "$x86_guard" ] && [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
  then
    export QS_WINE_GUARD_X86=$root/$x86_guard
  else
    skip "the x86 guard test under Wine (this machine's Wine runs 64-bit programs only)"
  fi
  tests/wine/smoke.sh build/windows-x64 | tee build/windows-smoke.log
  smoke_status=${PIPESTATUS[0]}
  summary=$(sed -n 's/^smoke: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' build/windows-smoke.log)
  if [ -n "$summary" ]; then
    passed=$((passed + ${summary% *}))
    failed=$((failed + ${summary#* }))
  fi
  check "the Wine smoke test ran to its end and passed" \
    test "$smoke_status" -eq 0 -a -n "$summary"

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
fi

finish
