// The code page checks on Windows: the wide form of an argument (split by the C runtime, which
// split the 8-bit ones) or of a registry string, converted to the ANSI code page without
// best-fit mappings, so that a character without an exact counterpart shows as a default one.
#include "platform/codepage.h"

#include <stdlib.h>
#include <string.h>

#ifndef WC_ERR_INVALID_CHARS
#define WC_ERR_INVALID_CHARS 0x80
#endif

// The C runtime's splitter of the wide command line, as msvcrt exports it.
struct StartupInfo {
  int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, StartupInfo* info);

// Converts length wide characters (-1: up to and with the terminator) to the code page; false
// when a character has no exact counterpart there, or, with expected, when the result is not
// expected and its terminator. A UTF-8 code page holds every character, but not a lone
// surrogate.
static bool ConvertsExactly(const wchar_t* wide, int length, const char* expected) {
  bool utf8 = GetACP() == CP_UTF8;
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  int size = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr,
                                 utf8 ? nullptr : &usedDefault);
  if (size <= 0 || usedDefault) return size == 0 && length == 0 && expected == nullptr;
  if (expected == nullptr) return true;
  if ((size_t)size != strlen(expected) + 1) return false;
  char* text = (char*)malloc((size_t)size);
  bool same =
      text != nullptr &&
      WideCharToMultiByte(CP_ACP, flags, wide, length, text, size, nullptr, nullptr) == size &&
      memcmp(text, expected, (size_t)size) == 0;
  free(text);
  return same;
}

bool ArgumentFitsCodePage(int index, const char* text) {
  int argc = 0;
  wchar_t **argv = nullptr, **environment = nullptr;
  StartupInfo info = {0};
  if (__wgetmainargs(&argc, &argv, &environment, 0, &info) < 0 || argv == nullptr || index < 0 ||
      index >= argc)
    return false;
  return ConvertsExactly(argv[index], -1, text);
}

bool StoredStringFitsCodePage(HKEY key, const char* valueName) {
  wchar_t name[256];
  if (MultiByteToWideChar(CP_ACP, 0, valueName, -1, name, 256) == 0) return true;
  wchar_t data[1024];
  DWORD type = REG_NONE, size = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, (BYTE*)data, &size) != ERROR_SUCCESS) return true;
  // The 8-bit read ends at the first terminator, and so does what is compared.
  int length = 0;
  while ((DWORD)length < size / sizeof(wchar_t) && data[length] != L'\0') length++;
  return ConvertsExactly(data, length, nullptr);
}
