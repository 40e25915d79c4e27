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
#include "fuzz/silent-messagebox.h"

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

// The default locale's whitespace, as names are normalised by.
static bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

static void CheckNormalisedForm(const char* name) {
  size_t length = strlen(name);
  if (length == 0) return;
  CHECK(!IsSpace((unsigned char)name[0]));
  CHECK(!IsSpace((unsigned char)name[length - 1]));
}

// NormaliseName on its own: applied twice it gives what it gave once.
static void CheckNormaliseName(const uint8_t* data, size_t size) {
  char once[256];
  size_t length = size < sizeof once - 1 ? size : sizeof once - 1;
  memcpy(once, data, length);
  once[length] = '\0';
  size_t before = strlen(once);
  NormaliseName(once);
  CHECK(strlen(once) <= before);
  CheckNormalisedForm(once);
  char twice[256];
  memcpy(twice, once, sizeof twice);
  NormaliseName(twice);
  CHECK(strcmp(once, twice) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckNormaliseName(data, size);

  // Split at NUL bytes; the first piece is the program path, so argc is at least 1.
  std::vector<std::unique_ptr<char[]>> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= size; i++) {
    if (i == size || data[i] == '\0') {
      size_t length = i - start;
      pieces.emplace_back(new char[length + 1]);
      memcpy(pieces.back().get(), data + start, length);
      pieces.back()[length] = '\0';
      start = i + 1;
    }
  }
  std::vector<char*> argv;
  for (auto& piece : pieces) argv.push_back(piece.get());
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
    CheckNormalisedForm(ProfileName);
  } else {
    CHECK(BoxesShown == 1);
    CHECK(memchr(MessageText, '\0', SHOWN_TEXT_LIMIT) != nullptr);
  }
  return 0;
}
