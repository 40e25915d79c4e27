// Fuzzes the parser of mapisvc.inf: the same text always parses alike; a refusal lists no service
// and names the file and a line of it; on acceptance every service has a name, a display name,
// and no Organization or Site setting that would break a distinguished name.
#include <string>

#include "fuzz/check.h"
#include "qsmapi/mapisvc.h"
#include "qsmapi/props.h"

using qsmapi::services::Service;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text((const char*)data, size), path = "mapisvc.inf";
  std::vector<Service> services, again;
  std::string diagnostic, diagnosticAgain;
  bool accepted = qsmapi::services::ParseList(text, path, &services, &diagnostic);
  CHECK(accepted == qsmapi::services::ParseList(text, path, &again, &diagnosticAgain));
  CHECK(diagnostic == diagnosticAgain && services.size() == again.size());
  if (!accepted) {
    CHECK(services.empty() && diagnostic.rfind(path + ":", 0) == 0);
    long line = strtol(diagnostic.c_str() + path.size() + 1, nullptr, 10);
    CHECK(line >= 1 && (size_t)line <= size + 1);
  }
  for (const Service& service : services) {
    CHECK(!service.name.empty() && !service.displayName.empty());
    for (const auto& [key, value] : service.settings)
      for (unsigned char c : value)
        CHECK((!qsmapi::SameName(key, "Organization") && !qsmapi::SameName(key, "Site")) ||
              (c != '/' && c >= 0x20 && c != 0x7F));
  }
  return 0;
}
