#include "provisioning/screen.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/arguments.h"
#include "fake/mapi.h"
#include "fake/messagebox.h"

namespace {

using fake::Effect;
using fake::Mapi;
using fake::Prop;
using fake::Rule;

const Prop User = {PR_PROFILE_USER, "svc-quorvane"};
const Prop Server = {PR_PROFILE_HOME_SERVER_DN, "/o=Quorvane/cn=MAIL1"};
const ULONG UserError = CHANGE_PROP_TYPE(PR_PROFILE_USER, PT_ERROR);
const ULONG ServerError = CHANGE_PROP_TYPE(PR_PROFILE_HOME_SERVER_DN, PT_ERROR);

// The four steps in order, and what releases what each hands back, in the order of release.
const char* const Steps[] = {"MAPIAdminProfiles", "AdminServices", "OpenProfileSection",
                             "GetProps"};
const char* const Releases[] = {"ProfAdmin.Release", "ServiceAdmin.Release", "Section.Release",
                                "MAPIFreeBuffer"};

// Screens "Sales", whose global section holds `stored`, under the rules; the subsystem is
// initialised as the workflow leaves it.
HRESULT Screen(const std::vector<Prop>& stored, std::vector<Rule> rules) {
  strcpy(ProfileName, "Sales");
  Mapi.Reset(true);
  ClearShownBoxes();
  fake::Profile& profile = Mapi.profiles["Sales"];
  for (const Prop& prop : stored) profile.global[prop.tag] = prop.bytes;
  Mapi.rules = std::move(rules);
  return ScreenProfile();
}

// The calls of a screening that ran `reached` steps and got something back from `held` of them.
std::vector<std::string> ExpectedCalls(int reached, int held) {
  std::vector<std::string> calls(Steps, Steps + reached);
  for (int i = held - 1; i >= 0; i--) calls.push_back(Releases[i]);
  return calls;
}

TEST(ScreenProfile, ReadsBothPropertiesFromTheGlobalSectionReadOnly) {
  EXPECT_EQ(S_OK, Screen({User, Server}, {}));
  EXPECT_EQ((std::vector<std::string>{
                "MAPIAdminProfiles(0x0)", "AdminServices(\"Sales\", null, 0, 0x0)",
                "OpenProfileSection(global, null, 0x0)", "GetProps({0x6603001E, 0x6612001E}, 0x0)",
                "MAPIFreeBuffer()", "Section.Release()", "ServiceAdmin.Release()",
                "ProfAdmin.Release()"}),
            Mapi.calls);
  EXPECT_EQ(std::vector<std::string>{}, Mapi.Problems());
}

TEST(ScreenProfile, IsCompleteOnlyWhenBothTagsComeBackExactly) {
  struct {
    const char* name;
    std::vector<Prop> stored;
    std::vector<Rule> rules;
    HRESULT result;
  } cases[] = {
      {"both stored", {User, Server}, {}, S_OK},
      {"home server missing", {User}, {}, MAPI_E_NOT_FOUND},
      {"user missing", {Server}, {}, MAPI_E_NOT_FOUND},
      {"neither stored", {}, {}, MAPI_E_NOT_FOUND},
      {"both, with the warning", {}, {fake::Values({User, Server}, MAPI_W_ERRORS_RETURNED)}, S_OK},
      {"user in error",
       {},
       {fake::Values({{UserError, ""}, Server}, MAPI_W_ERRORS_RETURNED)},
       MAPI_E_NOT_FOUND},
      {"home server in error",
       {},
       {fake::Values({User, {ServerError, ""}}, MAPI_W_ERRORS_RETURNED)},
       MAPI_E_NOT_FOUND},
      {"home server of another type",
       {},
       {fake::Values({User, {CHANGE_PROP_TYPE(PR_PROFILE_HOME_SERVER_DN, PT_UNICODE), ""}})},
       MAPI_E_NOT_FOUND},
      {"in the other order", {}, {fake::Values({Server, User})}, MAPI_E_NOT_FOUND},
      // The array has room for both; the one behind the count would pass if it were read.
      {"one value", {}, {fake::Values({User})}, MAPI_E_NOT_FOUND},
      {"no values", {}, {fake::Values({})}, MAPI_E_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, Screen(c.stored, c.rules)) << c.name;
    EXPECT_EQ(std::vector<std::string>{}, ShownTexts()) << c.name;
    EXPECT_EQ(ExpectedCalls(4, 4), Mapi.Names()) << c.name;
    EXPECT_EQ(std::vector<std::string>{}, Mapi.Problems()) << c.name;
  }
}

TEST(ScreenProfile, ReportsTheFailingStepSkipsTheRestAndReleasesWhatItHolds) {
  const char* const messages[] = {
      "Failed to load the MAPI profile administration object (%08lx)",
      "Failed to access the message service administration object (%08lx)",
      "Failed to open the global profile section of the current profile (%08lx)",
      "Failed to load properties for the global profile section (%08lx)"};
  const char Handled[] = "{Sales} ScreenProfile - Exception handled";
  for (int step = 0; step < 4; step++) {
    struct {
      Rule rule;
      HRESULT shown;  // the status in the message, or S_FALSE for the exception message
    } cases[] = {
        {fake::Fail(Steps[step], MAPI_E_NETWORK_ERROR), MAPI_E_NETWORK_ERROR},
        {fake::Fail(Steps[step], MAPI_E_NOT_FOUND), MAPI_E_NOT_FOUND},
        {fake::Empty(Steps[step]), S_OK},
        {fake::Throw(Steps[step]), S_FALSE},
        {fake::Fault(Steps[step]), S_FALSE},
    };
    for (const auto& c : cases) {
      std::string name = std::string(Steps[step]) + ", " + fake::Describe(c.rule.effect);
      char expected[256];
      snprintf(expected, sizeof expected, c.shown == S_FALSE ? Handled : messages[step],
               (unsigned long)(ULONG)c.shown);
      EXPECT_EQ(E_FAIL, Screen({User, Server}, {c.rule})) << name;
      EXPECT_EQ(std::vector<std::string>{expected}, ShownTexts()) << name;
      EXPECT_EQ(ExpectedCalls(step + 1, step), Mapi.Names()) << name;
      EXPECT_EQ(std::vector<std::string>{}, Mapi.Problems()) << name;
    }
  }
}

TEST(ScreenProfile, RefusesAnEmptyNameWithoutCallingAnything) {
  Mapi.Reset(true);
  ClearShownBoxes();
  ProfileName[0] = '\0';
  EXPECT_EQ(E_FAIL, ScreenProfile());
  EXPECT_EQ(std::vector<std::string>{"An invalid profile name was requested"}, ShownTexts());
  EXPECT_EQ(std::vector<std::string>{}, Mapi.calls);
}

}  // namespace
