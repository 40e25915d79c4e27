// Fuzzes user32's formatter with generated formats and matching arguments: the output is
// terminated at the returned length, at most 1023, and where snprintf defines the format alike
// ('l' dropped, as it means 32 bits here), it is snprintf's, cut to 1023 characters.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <variant>
#include <vector>

#include "fuzz/check.h"
#include "platform/messagebox.h"

struct Generated {
  std::string format, cFormat;  // for wsprintfA, and the same for snprintf
  bool comparable = true;
  std::vector<std::variant<int32_t, const char*>> args;
  std::vector<std::unique_ptr<char[]>> strings;

  void Add(char c, bool forC = true) { format += c, cFormat += forC ? std::string{c} : ""; }
  template <class F>
  int Call(F f) const {  // f with the six arguments as their own types
    return std::visit(f, args[0], args[1], args[2], args[3], args[4], args[5]);
  }
};

static Generated Generate(FuzzedDataProvider* in) {
  Generated g;
  while (in->remaining_bytes() > 0 && g.args.size() < 6) {
    int kind = in->ConsumeIntegralInRange(0, 3);
    if (kind == 0) {  // literal text, any byte but '%' and NUL
      for (char c : in->ConsumeRandomLengthString(64))
        if (c != '%' && c != '\0') g.Add(c);
      continue;
    }
    g.Add('%');
    if (kind == 1) g.Add('%');
    if (kind == 1) continue;
    bool zero = false;
    for (int flags = in->ConsumeIntegralInRange(0, 3); flags > 0; flags--) {
      char flag = "-0#"[in->ConsumeIntegralInRange(0, 2)];
      g.comparable &= flag != '#';
      zero |= flag == '0';
      g.Add(flag);
    }
    int digits = in->ConsumeIntegralInRange(0, 12);
    g.comparable &= digits <= 4;  // past the buffer anyway, and past int for snprintf
    for (int i = 0; i < digits; i++) g.Add((char)('0' + in->ConsumeIntegralInRange(0, 9)));
    int size = in->ConsumeIntegralInRange(0, 2);
    if (size > 0) g.Add("lh"[size - 1], size == 2);
    g.comparable &= size != 2 && kind != 3;
    if (kind == 3) return g;  // a conversion cut off by the end of the format
    char letter = "scdiuxXscdiuxXpfqZ%"[in->ConsumeIntegralInRange(0, 18)];
    g.Add(letter);
    if (letter == 's' && in->ConsumeIntegralInRange(0, 15) == 0) {
      g.args.push_back((const char*)nullptr);
      g.comparable = false;
    } else if (letter == 's') {
      g.comparable &= !zero;
      std::string text = in->ConsumeRandomLengthString(1500);
      g.strings.push_back(Exact(text.data(), text.size()));
      g.args.push_back(g.strings.back().get());
    } else if (strchr("cdiuxX", letter) != nullptr) {
      g.comparable &= !(letter == 'c' && zero);
      g.args.push_back(in->ConsumeIntegral<int32_t>());
    } else {
      g.comparable = false;  // not the formatter's, or printf's '%' with flags
    }
  }
  return g;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Generated g = Generate(&in);
  while (g.args.size() < 6) g.args.push_back(0);
  std::unique_ptr<char[]> format = Exact(g.format.data(), g.format.size()), out(new char[1024]);
  memset(out.get(), 0x55, 1024);
  int length = g.Call([&](auto... a) { return wsprintfA(out.get(), format.get(), a...); });
  CHECK(length >= 0 && length <= 1023 && out[length] == '\0');
  if (!g.comparable) return 0;
  char expected[1024];
  int full = g.Call([&](auto... a) { return snprintf(expected, 1024, g.cFormat.c_str(), a...); });
  CHECK(full >= 0);
  if (length != (full < 1023 ? full : 1023) || memcmp(out.get(), expected, length) != 0) {
    fprintf(stderr, "format \"%s\"\nwsprintfA \"%s\"\nsnprintf  \"%s\"\n", g.format.c_str(),
            out.get(), expected);
    abort();
  }
  return 0;
}
