// The round-trip check of the .reg fuzz targets: text that qsreg wrote must read back as exactly
// the changes it was written from, in their order.
#pragma once

#include <string>
#include <vector>

#include "fuzz/check.h"
#include "tools/qsreg-regfile.h"

inline void CheckReadsBackAs(const std::string& text, const std::vector<RegChange>& expected) {
  std::vector<RegChange> changes;
  std::string error;
  if (!ParseRegFile(text, "written.reg", &changes, &error)) {
    fprintf(stderr, "written:\n%s\nrefused: %s\n", text.c_str(), error.c_str());
    abort();
  }
  CHECK(changes.size() == expected.size());
  for (size_t i = 0; i < changes.size(); i++) {
    const RegChange &got = changes[i], &want = expected[i];
    CHECK(got.kind == want.kind && got.key == want.key && got.name == want.name &&
          got.type == want.type && got.data == want.data);
  }
}
