#include "provisioning/screen.h"

#include <gtest/gtest.h>
#include <string.h>

#include "app/arguments.h"
#include "fake/mapi.h"
#include "fake/messagebox.h"

namespace {

using fake::Effect;
using fake::Mapi;
using fake::Prop;
using fake::Rule;
using Texts = std::vector<std::string>;

const Prop User = {PR_PROFILE_USER, "svc-quorvane"};
const Prop Server = {PR_PROFILE_HOME_SERVER_DN, "/o=Quorvane/cn=MAIL1"};
const Prop UserError = {CHANGE_PROP_TYPE(PR_PROFILE_USER, PT_ERROR), ""};
const Prop ServerError = {CHANGE_PROP_TYPE(PR_PROFILE_HOME_SERVER_DN, PT_ERROR), ""};

// The steps in order, and what releases what each hands back.
const char* const Steps[] = {"MAPIAdminProfiles", "AdminServices", "OpenProfileSection",
                             "GetProps"};
const char* const Releases[] = {"ProfAdmin.Release", "ServiceAdmin.Release", "Section.Release",
                                "MAPIFreeBuffer"};

// Screens "Sales", whose global section holds `stored`, in a subsystem initialised as the
// workflow leaves it; then checks that everything handed out was given back exactly once and
// that the calls were the first `reached` steps, then the releases of the first `held`.
HRESULT Screen(const std::vector<Prop>& stored, std::vector<Rule> rules, int reached = 4,
               int held = 4) {
  strcpy(ProfileName, "Sales");
  Mapi.Reset(true);
  ClearShownBoxes();
  fake::Profile& profile = Mapi.profiles["Sales"];
  for (const Prop& prop : stored) profile.global[prop.tag] = prop.bytes;
  Mapi.rules = std::move(rules);
  HRESULT result = ScreenProfile();
  Texts expected(Steps, Steps + reached);
  for (int i = held - 1; i >= 0; i--) expected.push_back(Releases[i]);
  EXPECT_EQ(expected, Mapi.Names());
  EXPECT_EQ(Texts{}, Mapi.Problems());
  return result;
}

TEST(ScreenProfile, IsCompleteOnlyWhenBothTagsComeBackExactly) {
  const HRESULT warning = MAPI_W_ERRORS_RETURNED;
  struct {
    const char* name;
    std::vector<Prop> stored;
    std::vector<Rule> rules;
    HRESULT result;
  } cases[] = {
      {"both stored", {User, Server}, {}, S_OK},
      {"home server missing", {User}, {}, MAPI_E_NOT_FOUND},
      {"user missing", {Server}, {}, MAPI_E_NOT_FOUND},
      {"both, with the warning", {}, {fake::Values({User, Server}, warning)}, S_OK},
      {"user in error", {}, {fake::Values({UserError, Server}, warning)}, MAPI_E_NOT_FOUND},
      {"home server in error", {}, {fake::Values({User, ServerError}, warning)}, MAPI_E_NOT_FOUND},
      {"in the other order", {}, {fake::Values({Server, User})}, MAPI_E_NOT_FOUND},
      // The array has room for both; the value behind the count would pass if it were read.
      {"one value", {}, {fake::Values({User})}, MAPI_E_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, Screen(c.stored, c.rules));
    EXPECT_EQ(Texts{}, ShownTexts());
  }
}

TEST(ScreenProfile, ReportsTheFailingStepSkipsTheRestAndReleasesWhatItHolds) {
  const char* const messages[] = {
      "Failed to load the MAPI profile administration object (%08lx)",
      "Failed to access the message service administration object (%08lx)",
      "Failed to open the global profile section of the current profile (%08lx)",
      "Failed to load properties for the global profile section (%08lx)"};
  for (int step = 0; step < 4; step++) {
    for (Effect effect : {Effect::Fail, Effect::Empty, Effect::Throw, Effect::Fault}) {
      SCOPED_TRACE(std::string(Steps[step]) + ", effect " + std::to_string((int)effect));
      // A failure with MAPI_E_NOT_FOUND must not pass for a missing property.
      HRESULT status = effect == Effect::Fail ? MAPI_E_NOT_FOUND : S_OK;
      char expected[256];
      snprintf(expected, sizeof expected, messages[step], (unsigned long)(ULONG)status);
      if (effect == Effect::Throw || effect == Effect::Fault)
        strcpy(expected, "{Sales} ScreenProfile - Exception handled");
      EXPECT_EQ(E_FAIL,
                Screen({User, Server}, {{Steps[step], 1, effect, status, {}, {}}}, step + 1, step));
      EXPECT_EQ(Texts{expected}, ShownTexts());
    }
  }
}

TEST(ScreenProfile, RefusesAnEmptyNameWithoutCallingAnything) {
  Mapi.Reset(true);
  ClearShownBoxes();
  ProfileName[0] = '\0';
  EXPECT_EQ(E_FAIL, ScreenProfile());
  EXPECT_EQ(Texts{"An invalid profile name was requested"}, ShownTexts());
  EXPECT_EQ(Texts{}, Mapi.calls);
}

}  // namespace
