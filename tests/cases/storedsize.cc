// Prints, for each key given under HKEY_CURRENT_USER, one line telling how its MAPIProfile value
// reads through RegQueryValueExA: "exact" for a REG_SZ that holds a string and its one
// terminating NUL, "-" when there is no such value, otherwise TYPE:BYTES (1:5, a REG_SZ of 5
// bytes that are not a string and its terminator). Other
// programs read the value with calls that add no terminator, and the registry tools print the
// text alone, so the case drivers check the value's length with this. Built for POSIX over the
// store and for Windows over advapi32.
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
    if (status != ERROR_SUCCESS)
      puts("-");
    else if (type == REG_SZ && size > 0 && memchr(data, '\0', size) == data + size - 1)
      puts("exact");
    else
      printf("%lu:%lu\n", (unsigned long)type, (unsigned long)size);
  }
  return 0;
}
