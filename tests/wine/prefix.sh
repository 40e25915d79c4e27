# Installs the simulated messaging subsystem, qsmapi.dll, in a Wine prefix, the way a mail client
# installs its MAPI on Windows; sourced by run.sh and screenshot.sh.
#
# The DLL goes to C:\Program Files\qsmapi and is registered as the default mail client's MAPI:
# the default value of HKLM\Software\Clients\Mail names the client, whose key's DLLPathEx names
# the DLL. Wine's own mapi32 forwards MAPIInitialize, MAPIUninitialize, MAPIAdminProfiles,
# MAPILogonEx, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer and HrQueryAllRows there.
# But qsprofile.exe imports HrQueryAllRows and FreeProws under their plain names, which Wine's
# mapi32 exports only with the stdcall suffix (HrQueryAllRows@24, FreeProws@4), so the DLL is
# also copied over system32\mapi32.dll and put in its place with the override mapi32=native.
# Crashes end the process with their code instead of starting the debugger.

# windows_path PATH: the Windows path of a file of this machine, through drive Z:, which maps /.
windows_path() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

# qsmapi_registry WORK: imports the registry settings; WORK is a folder for the files it needs.
qsmapi_registry() {
  printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\Software\Clients\Mail]' '@="qsmapi"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Clients\Mail\qsmapi]' '@="Simulated messaging subsystem"' \
    '"DLLPathEx"="C:\\Program Files\\qsmapi\\qsmapi.dll"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]' '"mapi32"="native"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]' '"Debugger"=""' \
    >"$1/qsmapi.reg"
  wine reg import "$(windows_path "$1/qsmapi.reg")" >"$1/qsmapi-reg.log" 2>&1 ||
    { cat "$1/qsmapi-reg.log" >&2; return 1; }
}

# qsmapi_files DLL: copies the DLL to both places, unless the copy there is the same already.
qsmapi_files() {
  local target
  for target in "$WINEPREFIX/drive_c/Program Files/qsmapi/qsmapi.dll" \
    "$WINEPREFIX/drive_c/windows/system32/mapi32.dll"; do
    mkdir -p "$(dirname "$target")" && { cmp -s "$1" "$target" || cp "$1" "$target"; } || return 1
  done
}
