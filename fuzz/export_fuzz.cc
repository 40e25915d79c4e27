// Fuzzes what qsreg export writes against what import reads: keys and values as a store holds
// them, written with KeyLine and ValueLine, read back through ParseRegFile as exactly those.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz/readback.h"

static std::string Name(FuzzedDataProvider* in, char without) {
  std::string name = in->ConsumeRandomLengthString(64);
  name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
  name.erase(std::remove(name.begin(), name.end(), without), name.end());
  return name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string text, line, error, key;
  std::vector<RegChange> expected;
  while (in.remaining_bytes() > 0 && expected.size() < 32) {
    RegChange change{RegChange::CreateKey, 0, key, "", REG_NONE, ""};
    bool written;
    if (key.empty() || in.ConsumeBool()) {  // a key: a subkey of the last, or a new top key
      std::string part = Name(&in, '\\');
      if (part.empty()) part = "k";
      key = key.empty() || in.ConsumeBool() ? part : key + "\\" + part;
      key = change.key = key.size() > 4000 ? part : key;
      std::string fullName = "HKEY_CURRENT_USER\\" + key;
      written = KeyLine(fullName, &line, &error);
      CHECK(written == (fullName.find_first_of("]\r\n") == std::string::npos));
      CHECK(written || error.find("Cannot export the key") == 0);
      if (!written) key.clear();
    } else {  // a value of the last key
      change = {RegChange::SetValue, 0, key, Name(&in, '\0'), REG_NONE, ""};
      change.type =
          in.ConsumeBool() ? in.ConsumeIntegralInRange<DWORD>(0, 11) : in.ConsumeIntegral<DWORD>();
      change.data = in.ConsumeRandomLengthString(256);
      written = ValueLine("HKEY_CURRENT_USER\\" + key, change.name, change.type, change.data, &line,
                          &error);
      CHECK(written == (change.name.find_first_of("\r\n") == std::string::npos));
      CHECK(written || error.find("Cannot export the value") == 0);
    }
    if (written) text += line + "\n", expected.push_back(change);
  }
  CheckReadsBackAs(text, expected);
  return 0;
}
