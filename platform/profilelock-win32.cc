// The profile lock on Windows: a named mutex in the session's namespace (Local\), which the
// system hands to the next owner as abandoned when its holder ends without giving it back. Its
// name is the profile's key name with ASCII letters folded; a backslash, which a mutex name
// cannot hold, becomes U+2216, which no key name encodes to, since encoded names are ASCII.
#include "platform/profilelock.h"

static HANDLE LockMutex;

LONG LockProfile(const char* keyName) {
  static const wchar_t Prefix[] = L"Local\\QuorvaneServerProfile.";
  wchar_t name[sizeof Prefix / sizeof Prefix[0] + 256];
  size_t length = 0;
  for (const wchar_t* p = Prefix; *p; p++) name[length++] = *p;
  for (const unsigned char* p = (const unsigned char*)keyName;
       *p && length + 1 < sizeof name / sizeof name[0]; p++) {
    unsigned char c = *p >= 'A' && *p <= 'Z' ? *p + ('a' - 'A') : *p;
    name[length++] = c == '\\' ? L'\x2216' : (wchar_t)c;
  }
  name[length] = L'\0';
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return (LONG)GetLastError();
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    LockMutex = mutex;
    return ERROR_SUCCESS;
  }
  LONG status = waited == WAIT_TIMEOUT ? ERROR_LOCK_VIOLATION : (LONG)GetLastError();
  CloseHandle(mutex);
  return status;
}

void UnlockProfile(void) {
  if (LockMutex == nullptr) return;
  ReleaseMutex(LockMutex);
  CloseHandle(LockMutex);
  LockMutex = nullptr;
}
