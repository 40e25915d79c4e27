// On POSIX names are bytes: nothing converts them on their way in.
#include "platform/codepage.h"

bool ArgumentFitsCodePage(int, const char*) {
  return true;
}

bool StoredStringFitsCodePage(HKEY, const char*) {
  return true;
}
