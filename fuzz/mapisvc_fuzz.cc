// Fuzzes the parser of mapisvc.inf, the list of installed message services. Whatever the text,
// the parser returns; on refusal it lists no service and its diagnostic names the file and a
// line of it; on acceptance every service has a name, its display name, and no Organization or
// Site setting that would break a distinguished name. The same text always parses alike.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "fuzz/check.h"
#include "qsmapi/qsmapi.h"

using qsmapi::services::Service;

static bool IsPlain(const std::string& value) {
  for (unsigned char c : value)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text((const char*)data, size), path = "mapisvc.inf";
  std::vector<Service> services, again;
  std::string diagnostic, diagnosticAgain;
  bool accepted = qsmapi::services::ParseList(text, path, &services, &diagnostic);
  CHECK(accepted == qsmapi::services::ParseList(text, path, &again, &diagnosticAgain));
  CHECK(diagnostic == diagnosticAgain && services.size() == again.size());
  if (!accepted) {
    CHECK(services.empty());
    CHECK(diagnostic.rfind(path + ":", 0) == 0);
    long line = strtol(diagnostic.c_str() + path.size() + 1, nullptr, 10);
    CHECK(line >= 1 && (size_t)line <= size + 1);
    return 0;
  }
  for (const Service& service : services) {
    CHECK(!service.name.empty() && !service.displayName.empty());
    for (const auto& [key, value] : service.settings)
      if (qsmapi::SameName(key, "Organization") || qsmapi::SameName(key, "Site"))
        CHECK(IsPlain(value));
  }
  return 0;
}
