#include <gtest/gtest.h>

#include <algorithm>

#include "support/mapitest.h"

namespace {

using namespace mapitest;
using qsmapi::services::Service;

TEST(ServiceList, MalformedFilesAreNamedWithLineAndProblem) {
  struct {
    std::string text;
    const char* diagnostic;
  } cases[] = {
      {"MSEMS=Microsoft Exchange\n", "f.inf:1: line outside a section"},
      {"; c\n[Services]\nMSEMS\n", "f.inf:3: line without '='"},
      {"[Services\nMSEMS=Microsoft Exchange\n", "f.inf:1: unterminated section header"},
      {"[Services]\nMSEMS=Microsoft Exchange\n\n[Other]\n",
       "f.inf:2: service MSEMS has no [MSEMS] section"},
      {"[Services]\n=Nameless\n", "f.inf:2: setting without a name before '='"},
      {"[ ]\n", "f.inf:1: section header without a name"},
      {"[Services]\n[MSEMS]\n[services]\n",
       "f.inf:3: section [services] appears again (first at line 1)"},
      {"[Services]\nA=1\na=2\n[A]\n", "f.inf:3: service a is listed again (first at line 2)"},
      // The directory's names are built from Organization and Site.
      {"[MSEMS]\nOrganization=Q/x\n",
       "f.inf:2: Organization cannot contain '/' or control characters"},
      {"[MSEMS]\nsite=A\tB\n", "f.inf:2: site cannot contain '/' or control characters"},
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

class ServiceListTest : public MapiTest {};

TEST_F(ServiceListTest, TheFileDecidesWhatCanBeCreated) {
  struct {
    const char* file;  // null: no file; "(folder)": a folder in its place
    HRESULT exchange, other;
    const char* diagnostic;  // what stderr must say, or null for nothing
  } cases[] = {
      {nullptr, S_OK, MAPI_E_NOT_FOUND, nullptr},  // Exchange alone
      {"; listed\r\n[Services]\r\n MSEMS = Microsoft Exchange "
       "\r\nOTHER=\"Other\"\n\n[msems]\nSite=A\n"
       "[OTHER]",
       S_OK, S_OK, nullptr},
      {"[Services]\nOTHER=Other\n[OTHER]\n", MAPI_E_NOT_FOUND, S_OK, nullptr},
      {"[Services]\nMSEMS=Microsoft Exchange\nOTHER\n[MSEMS]\n", MAPI_E_NOT_FOUND, MAPI_E_NOT_FOUND,
       "/qsprofile/mapisvc.inf:3: line without '='"},
      {"(folder)", MAPI_E_NOT_FOUND, MAPI_E_NOT_FOUND,
       "/qsprofile/mapisvc.inf: cannot be read (Is a directory)"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "Profile " + std::to_string(n++);
    SCOPED_TRACE(name);
    // The file is read once per initialisation.
    MAPIUninitialize();
    ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
    std::string path = storeDir() + "/mapisvc.inf";
    remove(path.c_str());
    if (c.file && strcmp(c.file, "(folder)") == 0) {
      mkdir(path.c_str(), 0700);
    } else if (c.file) {
      WriteServiceList(c.file);
    }
    Held<IMsgServiceAdmin> services;
    MakeProfile(name.c_str(), &services, {});
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.exchange, services->CreateMsgService((LPTSTR) "MSEMS", nullptr, 0, 0));
    EXPECT_EQ(c.other, services->CreateMsgService((LPTSTR) "OTHER", nullptr, 0, 0));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(c.diagnostic ? c.diagnostic : "")) << err;
    EXPECT_EQ(c.diagnostic ? 1 : 0, std::count(err.begin(), err.end(), '\n')) << err;
  }
}

}  // namespace
