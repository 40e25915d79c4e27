// Fuzzes the reading of .reg files (ParseRegFile) against their writing (KeyLine, ValueLine).
// The input is a whole file. When it is refused, the error names the file and a line of it.
// When it is read, its changes are written back as a REGEDIT4 file, a line each, with the
// writer's key and value lines ([-KEY] and "NAME"=- made from them); that file must read back
// as the same changes. The writer may refuse only a name it cannot write: a key name with ] or a
// line break, a value name with a line break.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/check.h"
#include "tools/qsreg-regfile.h"

static bool Same(const RegChange& a, const RegChange& b) {
  return a.kind == b.kind && a.key == b.key && a.name == b.name && a.type == b.type &&
         a.data == b.data;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes((const char*)data, size);
  std::vector<RegChange> changes, again;
  std::string error, line;
  if (!ParseRegFile(bytes, "in.reg", &changes, &error)) {
    CHECK(error.rfind("in.reg:", 0) == 0);
    long number = strtol(error.c_str() + 7, nullptr, 10);
    CHECK(number >= 1 && (size_t)number <= size + 1);
    return 0;
  }
  std::string text = "REGEDIT4\n";
  for (const RegChange& change : changes) {
    CHECK(change.line >= 2 && change.line <= size + 1);
    std::string keyName = "HKEY_CURRENT_USER" + (change.key.empty() ? "" : "\\" + change.key);
    bool written;
    if (change.kind == RegChange::CreateKey || change.kind == RegChange::DeleteKey) {
      written = KeyLine(keyName, &line, &error);
      CHECK(written == (keyName.find_first_of("]\r\n") == std::string::npos));
      if (written && change.kind == RegChange::DeleteKey) line.insert(1, "-");
    } else {
      bool deleting = change.kind == RegChange::DeleteValue;
      written = ValueLine(keyName, change.name, deleting ? REG_BINARY : change.type,
                          deleting ? "" : change.data, &line, &error);
      CHECK(written == (change.name.find_first_of("\r\n") == std::string::npos));
      if (written && deleting) line.replace(line.size() - 4, 4, "-");  // "hex:" becomes "-"
    }
    if (!written) return 0;
    text += line + "\n";
  }
  if (!ParseRegFile(text, "out.reg", &again, &error)) {
    fprintf(stderr, "written back:\n%s\nrefused: %s\n", text.c_str(), error.c_str());
    abort();
  }
  CHECK(again.size() == changes.size());
  for (size_t i = 0; i < changes.size(); i++) CHECK(Same(changes[i], again[i]));
  return 0;
}
