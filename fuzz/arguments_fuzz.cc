// Fuzzes the command line. The input is split at its NUL bytes into an argv whose first entry
// is the program path; every argument is a heap block of its exact size, so that AddressSanitizer
// sees a read past a terminator. Each run starts from the process's initial state (role Agent,
// empty ProfileName) and checks what every later stage relies on:
//   - ProfileName is terminated within its 256 bytes;
//   - when the run may go on, ProfileName is at most 50 bytes, with no whitespace at either end,
//     and no box was shown; when it must end, exactly one box was shown;
//   - MessageText is terminated within the formatter's 1024 bytes;
//   - NormaliseName is idempotent and leaves no whitespace at either end.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "app/arguments.h"
#include "app/messages.h"
#include "fuzz/check.h"
#include "fuzz/silent-messagebox.h"

// No whitespace of the default locale, as names are normalised by, at either end.
static void CheckTrimmed(const char* name) {
  auto space = [](unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  size_t length = strlen(name);
  CHECK(length == 0 || (!space(name[0]) && !space(name[length - 1])));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // NormaliseName on its own: applied twice it gives what it gave once.
  char once[256] = {}, twice[256];
  memcpy(once, data, size < sizeof once - 1 ? size : sizeof once - 1);
  size_t before = strlen(once);
  NormaliseName(once);
  CHECK(strlen(once) <= before);
  CheckTrimmed(once);
  memcpy(twice, once, sizeof twice);
  NormaliseName(twice);
  CHECK(strcmp(once, twice) == 0);

  // Split at NUL bytes; the first piece is the program path, so argc is at least 1.
  std::vector<std::unique_ptr<char[]>> pieces;
  std::vector<char*> argv;
  for (size_t start = 0, i = 0; i <= size; i++) {
    if (i < size && data[i] != '\0') continue;
    pieces.emplace_back(new char[i - start + 1]);
    memcpy(pieces.back().get(), data + start, i - start);
    pieces.back()[i - start] = '\0';
    argv.push_back(pieces.back().get());
    start = i + 1;
  }
  argv.push_back(nullptr);

  Role = Agent;
  memset(ProfileName, 0, sizeof ProfileName);
  memset(MessageText, 0x55, sizeof MessageText);  // no stale terminator can hide an overrun
  BoxesShown = 0;
  bool goOn = ParseArguments((int)pieces.size(), argv.data());

  CHECK(Role >= Agent && Role <= DbConsistency);
  CHECK(memchr(ProfileName, '\0', sizeof ProfileName) != nullptr);
  if (goOn) {
    CHECK(BoxesShown == 0);
    CHECK(strlen(ProfileName) <= MAX_COMMAND_LINE_NAME);
    CheckTrimmed(ProfileName);
  } else {
    CHECK(BoxesShown == 1);
    CHECK(memchr(MessageText, '\0', SHOWN_TEXT_LIMIT) != nullptr);
  }
  return 0;
}
