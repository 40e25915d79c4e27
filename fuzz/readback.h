// The round-trip check of the .reg fuzz targets: lines that qsreg wrote, behind its header and as
// UTF-16LE as an export holds them, read back as exactly the changes they were written from.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "tools/qsreg-regfile.h"
#include "tools/qsreg-text.h"

inline void CheckReadsBackAs(const std::string& lines, const std::vector<RegChange>& expected) {
  std::vector<RegChange> changes;
  std::string error, text = "\xFF\xFE";
  AppendUtf16(ExportHeader + lines, true, &text);
  if (!ParseRegFile(text, "written.reg", &changes, &error)) {
    fprintf(stderr, "written:\n%s\nrefused: %s\n", lines.c_str(), error.c_str());
    abort();
  }
  auto same = [](const RegChange& a, const RegChange& b) {
    return a.kind == b.kind && a.key == b.key && a.name == b.name && a.type == b.type &&
           a.data == b.data;
  };
  CHECK(std::equal(changes.begin(), changes.end(), expected.begin(), expected.end(), same));
}
