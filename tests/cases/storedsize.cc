// Prints, per key given under HKEY_CURRENT_USER, how its MAPIProfile reads through
// RegQueryValueExA: "exact" for a REG_SZ of a string and its one terminating NUL, "-" without the
// value, else TYPE:BYTES. The registry tools print the text alone, so the case drivers check the
// value's length with this. Built for POSIX over the store and for Windows over advapi32.
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/registry.h"
#endif

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    HKEY key = nullptr;
    BYTE data[1024];
    DWORD type = REG_NONE, size = sizeof data;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, argv[i], 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) {
      status = RegQueryValueExA(key, "MAPIProfile", nullptr, &type, data, &size);
      RegCloseKey(key);
    }
    bool read = status == ERROR_SUCCESS;
    if (!read || (type == REG_SZ && size > 0 && memchr(data, '\0', size) == data + size - 1))
      puts(read ? "exact" : "-");
    else
      printf("%lu:%lu\n", (unsigned long)type, (unsigned long)size);
  }
  return 0;
}
