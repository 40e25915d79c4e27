// Fuzzes what qsreg export writes against what import reads. The input makes a tree of keys and
// values as a store can hold them: key names of 1 to 64 bytes without a backslash, value names
// and data of any bytes but NUL in names, any type. They are written with the export writer
// (KeyLine, ValueLine) into a REGEDIT4 file, which ParseRegFile must read back as exactly those
// keys and values, in order. The writer must refuse just the names it cannot write so that they
// read back: a key name with ] or a line break, a value name with a line break.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "tools/qsreg-regfile.h"

static std::string Name(FuzzedDataProvider* in, size_t most) {
  std::string name = in->ConsumeRandomLengthString(most);
  name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
  return name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string text = "REGEDIT4\n\n", line, error, key;
  std::vector<RegChange> expected;
  while (in.remaining_bytes() > 0 && expected.size() < 32) {
    if (key.empty() || in.ConsumeBool()) {  // a key: a subkey of the last, or a new top key
      std::string part = Name(&in, 64);
      part.erase(std::remove(part.begin(), part.end(), '\\'), part.end());
      if (part.empty()) part = "k";
      key = key.empty() || in.ConsumeBool() ? part : key + "\\" + part;
      if (key.size() > 4000) key = part;
      std::string fullName = "HKEY_CURRENT_USER\\" + key;
      bool written = KeyLine(fullName, &line, &error);
      CHECK(written == (fullName.find_first_of("]\r\n") == std::string::npos));
      if (!written) {
        CHECK(error.find("Cannot export the key") == 0);
        key.clear();
        continue;
      }
      text += line + "\n";
      expected.push_back(RegChange{RegChange::CreateKey, 0, key, "", REG_NONE, ""});
    } else {  // a value of the last key
      RegChange value{RegChange::SetValue, 0, key, Name(&in, 64), REG_NONE, ""};
      value.type =
          in.ConsumeBool() ? in.ConsumeIntegralInRange<DWORD>(0, 11) : in.ConsumeIntegral<DWORD>();
      value.data = in.ConsumeRandomLengthString(256);
      bool written =
          ValueLine("HKEY_CURRENT_USER\\" + key, value.name, value.type, value.data, &line, &error);
      CHECK(written == (value.name.find_first_of("\r\n") == std::string::npos));
      if (!written) {
        CHECK(error.find("Cannot export the value") == 0);
        continue;
      }
      text += line + "\n";
      expected.push_back(value);
    }
  }
  std::vector<RegChange> changes;
  if (!ParseRegFile(text, "export.reg", &changes, &error)) {
    fprintf(stderr, "exported:\n%s\nrefused: %s\n", text.c_str(), error.c_str());
    abort();
  }
  CHECK(changes.size() == expected.size());
  for (size_t i = 0; i < changes.size(); i++) {
    const RegChange &got = changes[i], &want = expected[i];
    CHECK(got.kind == want.kind && got.key == want.key && got.name == want.name);
    CHECK(got.type == want.type && got.data == want.data);
  }
  return 0;
}
