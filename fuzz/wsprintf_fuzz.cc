// Fuzzes user32's formatter. The input drives a small generator that builds a format of literal
// text and conversions (flags '-', '0', '#', widths, the prefixes 'l' and 'h', the letters the
// formatter knows and some it does not, a '%' at the very end) together with matching
// arguments: a string for %s, a 32-bit integer for the others. The output buffer is a heap
// block of exactly 1024 bytes, so AddressSanitizer sees any write past it. Every run checks
// that the output is terminated at the returned length, which is at most 1023. When the format
// uses only what the C library's snprintf defines the same way (no '#', no 'h', no '0' with %s
// or %c, no unknown letter, no null string, widths of up to four digits), the output must be
// snprintf's, cut to 1023 characters; 'l' is dropped for snprintf, as it means 32 bits here.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/messagebox.h"

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

#define OUTPUT_SIZE 1024
#define MAX_ARGUMENTS 6

typedef std::variant<int32_t, const char*> Argument;

struct Generated {
  std::string format;   // for wsprintfA
  std::string cFormat;  // the same for snprintf
  bool comparable = true;
  std::vector<Argument> arguments;
  std::vector<std::unique_ptr<char[]>> strings;  // each of its exact size
};

static const char* KeepString(Generated* g, const std::string& text) {
  g->strings.emplace_back(new char[text.size() + 1]);
  memcpy(g->strings.back().get(), text.c_str(), text.size() + 1);
  return g->strings.back().get();
}

// Flags, width and size prefix of one conversion, written to both formats.
static void AddSpecification(FuzzedDataProvider* in, Generated* g, bool* zeroFlag) {
  int flags = in->ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < flags; i++) {
    char flag = "-0#"[in->ConsumeIntegralInRange(0, 2)];
    if (flag == '#') g->comparable = false;
    if (flag == '0') *zeroFlag = true;
    g->format += flag;
    g->cFormat += flag;
  }
  int digits = in->ConsumeIntegralInRange(0, 12);
  if (digits > 4) g->comparable = false;  // past the buffer anyway, and past int for snprintf
  for (int i = 0; i < digits; i++) {
    char digit = (char)('0' + in->ConsumeIntegralInRange(0, 9));
    g->format += digit;
    g->cFormat += digit;
  }
  switch (in->ConsumeIntegralInRange(0, 2)) {
    case 1:
      g->format += 'l';  // 32 bits here; snprintf's plain conversion is the same
      break;
    case 2:
      g->format += 'h';
      g->cFormat += 'h';
      g->comparable = false;
      break;
  }
}

static Generated Generate(FuzzedDataProvider* in) {
  Generated g;
  while (in->remaining_bytes() > 0 && g.arguments.size() < MAX_ARGUMENTS) {
    switch (in->ConsumeIntegralInRange(0, 3)) {
      case 0: {  // literal text, any byte but '%' and NUL
        std::string text = in->ConsumeRandomLengthString(64);
        for (char c : text)
          if (c != '%' && c != '\0') {
            g.format += c;
            g.cFormat += c;
          }
        break;
      }
      case 1:
        g.format += "%%";
        g.cFormat += "%%";
        break;
      case 2: {
        g.format += '%';
        g.cFormat += '%';
        bool zeroFlag = false;
        AddSpecification(in, &g, &zeroFlag);
        char letter = "scdiuxXscdiuxXpfqZ%"[in->ConsumeIntegralInRange(0, 18)];
        g.format += letter;
        g.cFormat += letter;
        if (letter == 's') {
          if (zeroFlag) g.comparable = false;
          if (in->ConsumeIntegralInRange(0, 15) == 0) {
            g.arguments.push_back((const char*)nullptr);
            g.comparable = false;
          } else {
            g.arguments.push_back(KeepString(&g, in->ConsumeRandomLengthString(1500)));
          }
        } else if (strchr("cdiuxX", letter) != nullptr) {
          if (letter == 'c' && zeroFlag) g.comparable = false;
          g.arguments.push_back(in->ConsumeIntegral<int32_t>());
        } else {
          g.comparable = false;  // not the formatter's, or printf's '%' with flags
        }
        break;
      }
      case 3: {  // a conversion cut off by the end of the format
        g.format += '%';
        bool zeroFlag = false;
        AddSpecification(in, &g, &zeroFlag);
        g.comparable = false;
        return g;
      }
    }
  }
  return g;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Generated g = Generate(&in);
  while (g.arguments.size() < MAX_ARGUMENTS) g.arguments.push_back(0);

  std::unique_ptr<char[]> format(new char[g.format.size() + 1]);
  memcpy(format.get(), g.format.c_str(), g.format.size() + 1);
  std::unique_ptr<char[]> out(new char[OUTPUT_SIZE]);
  memset(out.get(), 0x55, OUTPUT_SIZE);

  int length = std::visit(
      [&](auto... arguments) { return wsprintfA(out.get(), format.get(), arguments...); },
      g.arguments[0], g.arguments[1], g.arguments[2], g.arguments[3], g.arguments[4],
      g.arguments[5]);
  CHECK(length >= 0 && length <= OUTPUT_SIZE - 1);
  CHECK(out[length] == '\0');

  if (g.comparable) {
    std::unique_ptr<char[]> expected(new char[OUTPUT_SIZE]);
    int full = std::visit(
        [&](auto... arguments) {
          return snprintf(expected.get(), OUTPUT_SIZE, g.cFormat.c_str(), arguments...);
        },
        g.arguments[0], g.arguments[1], g.arguments[2], g.arguments[3], g.arguments[4],
        g.arguments[5]);
    CHECK(full >= 0);
    int cut = full < OUTPUT_SIZE - 1 ? full : OUTPUT_SIZE - 1;
    if (length != cut || memcmp(out.get(), expected.get(), length) != 0) {
      fprintf(stderr, "format \"%s\"\nwsprintfA \"%s\"\nsnprintf  \"%s\"\n", g.format.c_str(),
              out.get(), expected.get());
      abort();
    }
  }
  return 0;
}
