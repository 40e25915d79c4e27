#include <gtest/gtest.h>

#include "qsmapi/qsmapi.h"

namespace {

using qsmapi::services::Service;

TEST(ServiceList, AMalformedFileInstallsNothingAndNamesItsLineAndProblem) {
  struct {
    std::string text;
    const char* diagnostic;
  } cases[] = {
      {"MSEMS=Microsoft Exchange\n", "f.inf:1: line outside a section"},
      {"; c\n[Services]\nMSEMS\n", "f.inf:3: line without '='"},
      {"[Services\n", "f.inf:1: unterminated section header"},
      {"[Services]\nMSEMS=Microsoft Exchange\n\n[Other]\n",
       "f.inf:2: service MSEMS has no [MSEMS] section"},
      {"[Services]\n[MSEMS]\n[services]\n",
       "f.inf:3: section [services] appears again (first at line 1)"},
      {"[Services]\nA=1\na=2\n[A]\n", "f.inf:3: service a is listed again (first at line 2)"},
      // The directory's names are built from Organization and Site.
      {"[MSEMS]\nOrganization=Q/x\n",
       "f.inf:2: Organization cannot contain '/' or control characters"},
      {std::string("[MSEMS]\nSite=A\0B\n", 16),
       "f.inf:2: Site cannot contain '/' or control characters"},
  };
  for (const auto& c : cases) {
    std::vector<Service> services = {{"stale", "", {}}};
    std::string diagnostic;
    EXPECT_FALSE(qsmapi::services::ParseList(c.text, "f.inf", &services, &diagnostic)) << c.text;
    EXPECT_EQ(std::string(c.diagnostic) + "; no message services are installed", diagnostic);
    EXPECT_TRUE(services.empty());
  }
}

}  // namespace
