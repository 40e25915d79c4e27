// Fuzzes the reading of .reg files (ParseRegFile) against their writing (KeyLine, ValueLine): a
// refusal names the file and a line; what is read, written back a line per change, reads back as
// the same changes.
#include "fuzz/readback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<RegChange> changes;
  std::string error, line, text;
  if (!ParseRegFile(std::string((const char*)data, size), "in.reg", &changes, &error)) {
    CHECK(error.rfind("in.reg:", 0) == 0);
    long number = strtol(error.c_str() + 7, nullptr, 10);
    CHECK(number >= 1 && (size_t)number <= size + 1);
    return 0;
  }
  for (const RegChange& change : changes) {
    CHECK(change.line >= 2 && change.line <= size + 1);
    std::string keyName = "HKEY_CURRENT_USER" + (change.key.empty() ? "" : "\\" + change.key);
    bool written, deleting = change.kind == RegChange::DeleteValue;
    if (change.kind == RegChange::CreateKey || change.kind == RegChange::DeleteKey) {
      written = KeyLine(keyName, &line, &error);
      CHECK(written == (keyName.find_first_of("]\r\n") == std::string::npos));
      if (written && change.kind == RegChange::DeleteKey) line.insert(1, "-");
    } else {
      written = ValueLine(keyName, change.name, deleting ? REG_BINARY : change.type,
                          deleting ? "" : change.data, &line, &error);
      CHECK(written == (change.name.find_first_of("\r\n") == std::string::npos));
      if (written && deleting) line.replace(line.size() - 4, 4, "-");  // "hex:" becomes "-"
    }
    if (!written) return 0;  // the writer cannot give it back
    text += line + "\n";
  }
  CheckReadsBackAs(text, changes);
  return 0;
}
