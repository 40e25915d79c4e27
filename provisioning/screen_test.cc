#include "provisioning/screen.h"

#include <gtest/gtest.h>
#include <string.h>

#include "app/arguments.h"
#include "qsmapi/plan.h"
#include "support/mapitest.h"
#include "support/messagebox.h"

namespace {

using namespace mapitest;
namespace plan = qsmapi::plan;
using qsmapi::ErrorProperty;
using qsmapi::Property;
using qsmapi::StringProperty;
using Texts = std::vector<std::string>;

class ScreenProfileTest : public TempStoreTest {
 protected:
  // Screens "Sales", whose global section holds stored, in a subsystem initialised as the
  // workflow leaves it; GetProps hands back given instead when there is any. Checks that no
  // message was shown and that everything handed out was given back once.
  HRESULT Screen(std::vector<SPropValue> stored, std::vector<Property> given = {},
                 HRESULT status = S_OK) {
    TearDown();
    SetUp();
    plan::SetRules({});
    SeedProfile("Sales", {}, std::move(stored));
    strcpy(ProfileName, "Sales");
    ClearShownBoxes();
    EXPECT_EQ(S_OK, MAPIInitialize(nullptr));
    plan::Reset();
    if (!given.empty()) plan::SetRules({{"GetProps", 1, plan::Kind::Values, status, {}, given}});
    HRESULT result = ScreenProfile();
    plan::SetRules({});
    EXPECT_EQ(Texts{}, ShownTexts());
    EXPECT_EQ(Texts{}, plan::Problems());
    MAPIUninitialize();
    return result;
  }
};

// How the screening fails is part of the workflow's failure table (configure_test.cc).
TEST_F(ScreenProfileTest, IsCompleteOnlyWhenBothTagsComeBackExactly) {
  const SPropValue storedUser = StringValue(PR_PROFILE_USER, "/o=Q/cn=box"),
                   storedServer = StringValue(PR_PROFILE_HOME_SERVER_DN, "/o=Q/cn=srv");
  const Property user = StringProperty(PR_PROFILE_USER, "/o=Q/cn=box"),
                 server = StringProperty(PR_PROFILE_HOME_SERVER_DN, "/o=Q/cn=srv");
  const Property userError = ErrorProperty(PR_PROFILE_USER, MAPI_E_NOT_FOUND),
                 serverError = ErrorProperty(PR_PROFILE_HOME_SERVER_DN, MAPI_E_NOT_FOUND);
  const HRESULT warning = MAPI_W_ERRORS_RETURNED;
  struct {
    const char* name;
    std::vector<SPropValue> stored;
    std::vector<Property> given;
    HRESULT status, result;
  } cases[] = {
      {"both stored", {storedUser, storedServer}, {}, S_OK, S_OK},
      {"home server missing", {storedUser}, {}, S_OK, MAPI_E_NOT_FOUND},
      {"user missing", {storedServer}, {}, S_OK, MAPI_E_NOT_FOUND},
      {"both, with the warning", {}, {user, server}, warning, S_OK},
      {"user in error", {}, {userError, server}, warning, MAPI_E_NOT_FOUND},
      {"home server in error", {}, {user, serverError}, warning, MAPI_E_NOT_FOUND},
      {"in the other order", {}, {server, user}, S_OK, MAPI_E_NOT_FOUND},
      // The array has room for both; the value behind the count would pass if it were read.
      {"one value", {}, {user}, S_OK, MAPI_E_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, Screen(c.stored, c.given, c.status));
  }
}

TEST_F(ScreenProfileTest, RefusesAnEmptyNameWithoutCallingAnything) {
  plan::Reset();
  ClearShownBoxes();
  ProfileName[0] = '\0';
  EXPECT_EQ(E_FAIL, ScreenProfile());
  EXPECT_EQ(Texts{"An invalid profile name was requested"}, ShownTexts());
  EXPECT_EQ(Texts{}, plan::Calls());
}

}  // namespace
