// Fuzzes the command line: the input, split at its NUL bytes, is an argv whose first entry is
// the program path, each argument a heap block of its exact size; and NormaliseName on it.
#include <vector>

#include "app/arguments.h"
#include "app/messages.h"
#include "fuzz/check.h"
#include "platform/messagebox.h"

static int BoxesShown = 0;

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  CHECK(text != nullptr && memchr(text, '\0', 1024) != nullptr && caption != nullptr);
  BoxesShown++;
  return IDOK;
}

// No whitespace of the default locale, as names are normalised by, at either end.
static void CheckTrimmed(const char* name) {
  auto space = [](unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  size_t length = strlen(name);
  CHECK(length == 0 || (!space(name[0]) && !space(name[length - 1])));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char once[256] = {}, twice[256];
  memcpy(once, data, size < sizeof once - 1 ? size : sizeof once - 1);
  size_t before = strlen(once);
  NormaliseName(once);
  CHECK(strlen(once) <= before);
  CheckTrimmed(once);
  memcpy(twice, once, sizeof twice);
  NormaliseName(twice);
  CHECK(strcmp(once, twice) == 0);
  std::vector<std::unique_ptr<char[]>> pieces;
  std::vector<char*> argv;
  for (size_t start = 0, i = 0; i <= size; i++) {
    if (i < size && data[i] != '\0') continue;
    pieces.push_back(Exact(data + start, i - start));
    argv.push_back(pieces.back().get());
    start = i + 1;
  }
  argv.push_back(nullptr);
  Role = Agent, BoxesShown = 0;
  memset(ProfileName, 0, sizeof ProfileName);
  memset(MessageText, 0x55, sizeof MessageText);  // no stale terminator can hide an overrun
  bool goOn = ParseArguments((int)pieces.size(), argv.data());
  CHECK(Role >= Agent && Role <= DbConsistency);
  CHECK(memchr(ProfileName, '\0', sizeof ProfileName) != nullptr);
  CHECK(BoxesShown == (goOn ? 0 : 1));
  if (goOn) CHECK(strlen(ProfileName) <= MAX_COMMAND_LINE_NAME);
  if (goOn) CheckTrimmed(ProfileName);
  return 0;
}
