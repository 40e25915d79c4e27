#include "provisioning/configure.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <set>
#include <tuple>

#include "app/arguments.h"
#include "provisioning/profilekey.h"
#include "provisioning/screen.h"
#include "qsmapi/plan.h"
#include "regstore/batch.h"
#include "support/mapitest.h"
extern std::vector<std::string> ShownTexts;  // what the message boxes showed, in order

namespace {

using namespace mapitest;
using namespace qsmapi;
using plan::Kind;
using plan::Rule;
using Texts = std::vector<std::string>;

const char Incomplete[] =
    "The (Sales) profile is invalid due to missing or invalid property tags.\n"
    "Ensure the specified profile information is valid and unique.";
const char InvalidRow[] = "Invalid properties in  MsgSvcTable (00000000)";
const HRESULT Warning = MAPI_W_ERRORS_RETURNED;

// How "Sales" stands before the run. An existing profile lists a contacts service before
// Exchange, so that configuring any but the first service shows.
enum Scene { New, Unresolved, ContactsOnly, Unserviced };
enum Fate { Kept, Deleted, NeverCreated };

void ExpectConfiguresOnly(const std::string& uid) {
  for (const std::string& call : plan::Calls())
    EXPECT_TRUE(call.rfind("ConfigureMsgService(", 0) != 0 || call.find(uid + ",") == 20) << call;
}

class ConfigureProfileTest : public TempStoreTest {
 protected:
  // Runs the workflow with the rules on a fresh store holding the scene. Every run gives back all
  // handed out once, ends the subsystem just when it started, configures only the first service.
  bool Run(Scene scene, std::vector<Rule> rules) {
    TearDown();
    SetUp();
    mkdir(storeDir().c_str(), 0700);
    WriteFile(storeDir() + "/mapisvc.inf",
              "[Services]\nCONTAB=Contacts\nMSEMS=Exchange\n[CONTAB]\n[MSEMS]\n");
    plan::SetRules({});
    const std::vector<SPropValue> typed = {StringValue(PR_PROFILE_HOME_SERVER, "srv"),
                                           StringValue(PR_PROFILE_UNRESOLVED_NAME, "box")};
    if (scene == Unresolved) SeedProfile("Sales", {"CONTAB", "MSEMS"}, typed);
    if (scene == ContactsOnly) SeedProfile("Sales", {"CONTAB"}, {});
    if (scene == Unserviced) SeedProfile("Sales", {}, {});
    std::string firstUid = FirstUidHex();
    WriteFile(configHome + "/answers", "srv\nbox\nok\n");  // OK leaves the names to the logon
    EXPECT_NE(nullptr, freopen((configHome + "/answers").c_str(), "r", stdin));
    strcpy(ProfileName, "Sales");
    ShownTexts.clear();
    bool initialises = rules.empty() || rules[0].call != "MAPIInitialize" ||
                       (rules[0].kind == Kind::Status && SUCCEEDED(rules[0].status));
    plan::Reset();
    plan::SetRules(std::move(rules));
    testing::internal::CaptureStderr();  // the dialog's prompts
    bool result = ConfigureProfile();
    testing::internal::GetCapturedStderr();
    plan::SetRules({});
    EXPECT_EQ(Texts{}, plan::Problems());
    EXPECT_EQ(initialises ? 1 : 0, plan::Count("MAPIUninitialize"));
    EXPECT_TRUE(scene == New || plan::Count("CreateMsgService") == 0);
    if (scene != New) ExpectConfiguresOnly(firstUid);
    return result;
  }

  static std::string FirstUidHex() { return plan::Hex({(char*)FirstUid("Sales").ab, 16}); }

  static void ExpectFate(Fate fate) {
    EXPECT_EQ(fate == Kept, ProfileExists("Sales"));
    EXPECT_EQ(fate == Deleted ? 1 : 0, plan::Count("DeleteProfile"));
  }
};

// What the service table and the screening may hand back, beyond what a profile can hold.
TEST_F(ConfigureProfileTest, OddRowsAndValues) {
  const std::string uid(16, 'u');  // stands for the real UID, which cannot be known beforehand
  const Property name = StringProperty(PR_SERVICE_NAME, "MSEMS");
  const Property user = StringProperty(PR_PROFILE_USER, "/o=Q/cn=box");
  auto rows = [](std::vector<Property> row, HRESULT status = S_OK) {
    return std::vector<Rule>{{"HrQueryAllRows", 0, Kind::Rows, status, {row}, {}}};
  };
  const std::string bytes = uid + "v";
  auto uidOf = [&](size_t size) { return BinaryProperty(PR_SERVICE_UID, bytes.data(), size); };
  // Each path, its scene and rules; the boxes shown, the profile's fate, the screenings made.
  const std::tuple<const char*, Scene, std::vector<Rule>, Texts, Fate, int> paths[] = {
      // clang-format off
      // Fewer values than asked for count as missing, whatever lies behind the count.
      {"one value", New, {{"GetProps", 0, Kind::Values, S_OK, {}, {user}}}, {Incomplete},
       Deleted, 2},
      {"value in error", New, {{"GetProps", 0, Kind::Values, Warning, {},
         {user, ErrorProperty(PR_PROFILE_HOME_SERVER_DN, MAPI_E_NOT_FOUND)}}},
       {Incomplete}, Deleted, 2},
      {"existing, incomplete after the logon", ContactsOnly, {}, {Incomplete}, Kept, 2},
      // A service table without a usable first row leaves nothing configured.
      {"existing, no services", Unserviced, {}, {InvalidRow}, Kept, 0},
      {"no rows", New, {{"HrQueryAllRows", 0, Kind::Rows, S_OK, {}, {}}}, {InvalidRow}, Deleted, 0},
      {"tags swapped", New, rows({uidOf(16), name}), {InvalidRow}, Deleted, 0},
      {"UID of 15 bytes", New, rows({name, uidOf(15)}), {InvalidRow}, Deleted, 0},
      // A longer UID is used by its first 16 bytes; no service has this one.
      {"UID of 17 bytes", New, rows({name, uidOf(17)}),
       {"ConfigureMsgService (8004010f)"}, Deleted, 0},
      {"one value, warning", New, rows({name}, Warning),
       {"Invalid properties in  MsgSvcTable (00040380)"}, Deleted, 0},
      // clang-format on
  };
  for (const auto& [path, scene, rules, messages, fate, screenings] : paths) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(Run(scene, rules));
    EXPECT_EQ(messages, ShownTexts);
    ExpectFate(fate);
    EXPECT_EQ(screenings, plan::Count("GetProps"));
    // The dialog is asked for the UID of the rows handed back.
    if (!rules.empty() && rules[0].kind == Kind::Rows) ExpectConfiguresOnly(plan::Hex(uid));
  }
  // The screening refuses to run without a name, calling nothing.
  plan::Reset();
  ShownTexts.clear();
  ProfileName[0] = '\0';
  EXPECT_EQ(E_FAIL, ScreenProfile());
  EXPECT_EQ(Texts{"An invalid profile name was requested"}, ShownTexts);
  EXPECT_EQ(Texts{}, plan::Calls());
}

// Each call of the fullest run (a new profile completed by the logon) in order, with its arguments
// as logged and the message its failure shows (also when it succeeds without its object). Calls
// that give something back are not made to fail: what they fail to give back, nobody can.
enum Where { Workflow, Screening, GivingBack };
struct Step {
  const char* call;
  std::string arguments = "";
  bool handsBack = false;  // an object, which may be missing
  Where where = GivingBack;
  const char* message = nullptr;  // by default the call's name and the status
};
const char GoesOn[] = "(the run goes on and succeeds)";

std::vector<Step> FullestRun(const std::string& uid) {
  const char* const open =
      "Failed to open the global profile section of the current profile (%08lx)";
  std::vector<Step> steps = {
      {"MAPIInitialize", "0, 0x1", false, Workflow},
      {"MAPIAdminProfiles", "0x0", true, Workflow},
      {"CreateProfile", "\"Sales\", \"\", 0, 0x0", false, Workflow},
      {"AdminServices", "\"Sales\", null, 0, 0x8", true, Workflow},
      {"CreateMsgService", "\"MSEMS\", \"Microsoft Exchange\", 0, 0x0", false, Workflow},
      {"GetMsgServiceTable", "0x0", true, Workflow},
      {"HrQueryAllRows", "{0x3D09001E, 0x3D0C0102}, null, null, 0", true, Workflow},
      {"OpenProfileSection", "global, null, 0x1", true, Workflow, open},
      {"DeleteProps", "{0x66190003}, null", false, Workflow,
       "Failed to delete any previous authentication package (%08lx)"},
      {"ConfigureMsgService", uid + ", 0, 0x12, 0, null", false, Workflow},
  };
  std::vector<Step> screening = {
      {"MAPIAdminProfiles", "0x0", true, Screening,
       "Failed to load the MAPI profile administration object (%08lx)"},
      {"AdminServices", "\"Sales\", null, 0, 0x0", true, Screening,
       "Failed to access the message service administration object (%08lx)"},
      {"OpenProfileSection", "global, null, 0x0", true, Screening, open},
      {"GetProps", "{0x6603001E, 0x6612001E}, 0x0", true, Screening,
       "Failed to load properties for the global profile section (%08lx)"}};
  for (const char* call :
       {"MAPIFreeBuffer", "Section.Release", "ServiceAdmin.Release", "ProfAdmin.Release"})
    screening.push_back({call});
  steps.insert(steps.end(), screening.begin(), screening.end());
  steps.insert(steps.end(), {{"MAPILogonEx", "0, \"Sales\", null, 0x8072", true, Workflow, ""},
                             {"Logoff", "0, 0x0, 0", false, Workflow, GoesOn},
                             {"Session.Release"}});
  steps.insert(steps.end(), screening.begin(), screening.end());
  for (const char* call : {"Section.Release", "FreeProws", "Table.Release", "ServiceAdmin.Release",
                           "ProfAdmin.Release", "MAPIUninitialize"})
    steps.push_back({call});
  return steps;
}

TEST_F(ConfigureProfileTest, CallsTheSubsystemInOrderWithItsArgumentsAndCleansUpInReverse) {
  ASSERT_TRUE(Run(New, {}));
  Texts expected;
  for (const Step& step : FullestRun(FirstUidHex()))
    expected.push_back(std::string(step.call) + "(" + step.arguments + ")");
  EXPECT_EQ(expected, plan::Calls());
}

// True when the calls after the occurrence-th call of name are the pattern's, in its order.
bool OnlyAfter(const Texts& names, const std::string& name, int occurrence, const Texts& pattern) {
  size_t i = 0, at = 0;
  while (i < names.size() && (names[i] != name || --occurrence > 0)) i++;
  for (i++; i < names.size(); i++, at++)
    while (at < pattern.size() && pattern[at] != names[i]) at++;
  return at <= pattern.size();
}

// Every call of the workflow and its screenings in turn fails with a status, succeeds without its
// object, raises, faults, or warns: with its object that counts as success, without as failure.
TEST_F(ConfigureProfileTest, EveryCallFailingInTurn) {
  const Texts cleanup = {"MAPIFreeBuffer",       "Section.Release", "ServiceAdmin.Release",
                         "ProfAdmin.Release",    "Logoff",          "Session.Release",
                         "Section.Release",      "FreeProws",       "Table.Release",
                         "ServiceAdmin.Release", "DeleteProfile",   "ProfAdmin.Release",
                         "MAPIUninitialize"};
  const Kind kinds[] = {Kind::Status, Kind::Empty,  Kind::Raise,
                        Kind::Fault,  Kind::Status, Kind::Empty};
  // Every call, also in a cleanup, with the arguments the fullest run gives it.
  std::set<std::string> spelled = {"DeleteProfile(\"Sales\", 0x0)"};
  for (const Step& step : FullestRun("")) spelled.insert(step.call + ("(" + step.arguments + ")"));
  for (Scene scene : {New, Unresolved}) {
    bool created = false;  // whether a new profile exists when the step's call is made
    std::map<std::string, int> seen;
    for (const Step& step : FullestRun("")) {
      int occurrence = ++seen[step.call];
      if (seen.count("CreateProfile") && strcmp(step.call, "CreateProfile") != 0) created = true;
      if (step.where == GivingBack) continue;
      if (scene != New && strcmp(step.call, "CreateMsgService") == 0) continue;
      std::string message = step.message ? step.message : step.call + std::string(" (%08lx)");
      for (int variant = 0; variant < 6; variant++) {
        bool warned = variant >= 4, empty = kinds[variant] == Kind::Empty;
        // A screening that fails with MAPI_E_NOT_FOUND must not pass for an incomplete profile.
        HRESULT status = warned                    ? Warning
                         : variant > 0             ? S_OK
                         : step.where == Screening ? MAPI_E_NOT_FOUND
                                                   : MAPI_E_NETWORK_ERROR;
        std::string format = warned || variant < 2     ? message
                             : step.where == Screening ? "{Sales} ScreenProfile - Exception handled"
                                                       : "Exception caught";
        if (empty && !step.handsBack) continue;
        SCOPED_TRACE(std::string(scene == New ? "new, " : "existing, ") + step.call + " #" +
                     std::to_string(occurrence) + ", variant " + std::to_string(variant));
        bool goesOn = (warned && !empty) || format == GoesOn;
        EXPECT_EQ(goesOn,
                  Run(scene, {Rule{step.call, occurrence, kinds[variant], status, {}, {}}}));
        char text[256];
        snprintf(text, sizeof text, format.c_str(), (unsigned long)(ULONG)status);
        EXPECT_EQ(goesOn || format.empty() ? Texts{} : Texts{text}, ShownTexts);
        ExpectFate(scene != New || goesOn ? Kept : created ? Deleted : NeverCreated);
        for (std::string call : plan::Calls()) {
          if (call.rfind("ConfigureMsgService(", 0) == 0)
            call = "ConfigureMsgService(" + call.substr(call.find(','));
          EXPECT_TRUE(spelled.count(call)) << call;
        }
        // After the planned call nothing but the cleanup runs, in its order.
        Texts pattern(cleanup.begin() + (step.where == Screening ? 0 : 4), cleanup.end());
        EXPECT_TRUE(goesOn || OnlyAfter(plan::Names(), step.call, occurrence, pattern));
      }
    }
  }
}

// The workflow tells a refused name from an existing profile by the key the subsystem made for
// it: its name's first 64 bytes, each byte above 0x7F written as '[' and two characters.
TEST_F(MapiTest, FindsTheKeysTheSubsystemMakesEvenInAReadOnlyStore) {
  const std::string high(64, '\xE9');
  for (const char* name : {"Caf\xE9", high.c_str()})
    ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR)name, nullptr, 0, 0));
  const std::pair<std::string, bool> names[] = {{"Caf\xE9", true},     {"Caf[y~", true},
                                                {"Cafe", false},       {high, true},
                                                {high + "tail", true}, {high.substr(1), false}};
  for (bool readOnly : {false, true}) {
    chmod(storePath().c_str(), readOnly ? 0400 : 0600);
    for (const auto& [name, exists] : names) {
      EXPECT_EQ(exists, ProfileKeyExists(name.c_str())) << name << ", " << readOnly;
      EXPECT_EQ(0, RegOpenHandleCount());
    }
  }
}

}  // namespace
