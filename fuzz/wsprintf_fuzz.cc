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

#include "fuzz/check.h"
#include "platform/messagebox.h"

#define OUTPUT_SIZE 1024
#define MAX_ARGUMENTS 6

typedef std::variant<int32_t, const char*> Argument;

// A heap copy of text of its exact size, so that AddressSanitizer sees a read past its end.
static std::unique_ptr<char[]> Exact(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

struct Generated {
  std::string format;   // for wsprintfA
  std::string cFormat;  // the same for snprintf
  bool comparable = true;
  std::vector<Argument> arguments;
  std::vector<std::unique_ptr<char[]>> strings;

  void Add(const std::string& text, bool forC = true) {
    format += text;
    if (forC) cFormat += text;
  }

  // Calls f with the six arguments as their own types.
  template <class F>
  int Call(F f) const {
    return std::visit(f, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                      arguments[5]);
  }
};

// Flags, width and size prefix of one conversion; returns whether the flags include '0'.
static bool AddFlagsWidthAndSize(FuzzedDataProvider* in, Generated* g) {
  bool zero = false;
  for (int flags = in->ConsumeIntegralInRange(0, 3); flags > 0; flags--) {
    char flag = "-0#"[in->ConsumeIntegralInRange(0, 2)];
    g->comparable &= flag != '#';
    zero |= flag == '0';
    g->Add(std::string(1, flag));
  }
  int digits = in->ConsumeIntegralInRange(0, 12);
  g->comparable &= digits <= 4;  // past the buffer anyway, and past int for snprintf
  for (int i = 0; i < digits; i++) g->Add(std::string(1, '0' + in->ConsumeIntegralInRange(0, 9)));
  switch (in->ConsumeIntegralInRange(0, 2)) {
    case 1:
      g->Add("l", false);  // 32 bits here; snprintf's plain conversion is the same
      break;
    case 2:
      g->Add("h");
      g->comparable = false;
      break;
  }
  return zero;
}

static Generated Generate(FuzzedDataProvider* in) {
  Generated g;
  while (in->remaining_bytes() > 0 && g.arguments.size() < MAX_ARGUMENTS) {
    int kind = in->ConsumeIntegralInRange(0, 3);
    if (kind == 0) {  // literal text, any byte but '%' and NUL
      for (char c : in->ConsumeRandomLengthString(64))
        if (c != '%' && c != '\0') g.Add(std::string(1, c));
      continue;
    }
    if (kind == 1) {
      g.Add("%%");
      continue;
    }
    g.Add("%");
    bool zero = AddFlagsWidthAndSize(in, &g);
    if (kind == 3) {  // a conversion cut off by the end of the format
      g.comparable = false;
      return g;
    }
    char letter = "scdiuxXscdiuxXpfqZ%"[in->ConsumeIntegralInRange(0, 18)];
    g.Add(std::string(1, letter));
    if (letter == 's') {
      g.comparable &= !zero;
      if (in->ConsumeIntegralInRange(0, 15) == 0) {
        g.arguments.push_back((const char*)nullptr);
        g.comparable = false;
      } else {
        g.strings.push_back(Exact(in->ConsumeRandomLengthString(1500)));
        g.arguments.push_back(g.strings.back().get());
      }
    } else if (strchr("cdiuxX", letter) != nullptr) {
      g.comparable &= !(letter == 'c' && zero);
      g.arguments.push_back(in->ConsumeIntegral<int32_t>());
    } else {
      g.comparable = false;  // not the formatter's, or printf's '%' with flags
    }
  }
  return g;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Generated g = Generate(&in);
  while (g.arguments.size() < MAX_ARGUMENTS) g.arguments.push_back(0);

  std::unique_ptr<char[]> format = Exact(g.format), out(new char[OUTPUT_SIZE]);
  memset(out.get(), 0x55, OUTPUT_SIZE);
  int length =
      g.Call([&](auto... arguments) { return wsprintfA(out.get(), format.get(), arguments...); });
  CHECK(length >= 0 && length <= OUTPUT_SIZE - 1);
  CHECK(out[length] == '\0');
  if (!g.comparable) return 0;

  char expected[OUTPUT_SIZE];
  int full = g.Call([&](auto... arguments) {
    return snprintf(expected, OUTPUT_SIZE, g.cFormat.c_str(), arguments...);
  });
  CHECK(full >= 0);
  int cut = full < OUTPUT_SIZE - 1 ? full : OUTPUT_SIZE - 1;
  if (length != cut || memcmp(out.get(), expected, length) != 0) {
    fprintf(stderr, "format \"%s\"\nwsprintfA \"%s\"\nsnprintf  \"%s\"\n", g.format.c_str(),
            out.get(), expected);
    abort();
  }
  return 0;
}
