#include "qsmapi/host.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

// The system's random number generator, as advapi32 exports it.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace qsmapi::host {

HRESULT NewUid(MAPIUID* uid) {
  return SystemFunction036(uid->ab, sizeof uid->ab) ? S_OK : MAPI_E_CALL_FAILED;
}

// In the Windows system folder, where a MAPI keeps it.
std::string ServiceListPath() {
  char folder[MAX_PATH];
  UINT length = GetSystemDirectoryA(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return "";
  return std::string(folder, length) + "\\mapisvc.inf";
}

LONG BeginGroup(bool) {
  return ERROR_SUCCESS;
}

LONG EndGroup(bool) {
  return ERROR_SUCCESS;
}

bool Interrupted() {
  return false;
}

void Fault() {
  static volatile int* page;
  if (page == nullptr) {
    void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    if (reserved == nullptr) abort();
    page = (volatile int*)reserved;
  }
  *page = 1;
}

// Raised as an RPC runtime raises its statuses: the guard takes it, whatever its severity, as it
// would any exception nothing inside handled.
void Raise(const char*, ULONG code) {
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  abort();
}

void Abandon(const std::string& report) {
  fputs(report.c_str(), stderr);
  fflush(stderr);
  OutputDebugStringA(report.c_str());
  TerminateProcess(GetCurrentProcess(), 3);
  abort();
}

}  // namespace qsmapi::host
