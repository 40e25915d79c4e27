#include "provisioning/configure.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <map>

#include "app/arguments.h"
#include "qsmapi/plan.h"
#include "support/mapitest.h"
#include "support/messagebox.h"

namespace {

using namespace mapitest;
namespace plan = qsmapi::plan;
using plan::Kind;
using plan::Rule;
using qsmapi::BinaryProperty;
using qsmapi::ErrorProperty;
using qsmapi::Property;
using qsmapi::StringProperty;
using Texts = std::vector<std::string>;

const char Incomplete[] =
    "The (Sales) profile is invalid due to missing or invalid property tags.\n"
    "Ensure the specified profile information is valid and unique.";
const char InvalidRow[] = "Invalid properties in  MsgSvcTable (00000000)";
// The dialog's answers: Check Name resolves the names at once, OK leaves them to the logon.
const char Check[] = "srv\nbox\ncheck\n";
const char Ok[] = "srv\nbox\nok\n";
const std::string ServerDn = "/o=Quorvane/ou=First Site/cn=Configuration/cn=Servers/cn=srv";
const std::string UserDn = "/o=Quorvane/ou=First Site/cn=Recipients/cn=box";

// How "Sales" stands before the run. An existing profile lists a contacts service before
// Exchange, so that configuring any but the first service shows.
enum Scene {
  New,
  NoExchange,    // new, and the Exchange service is not installed
  Unresolved,    // existing, with the server and the mailbox typed, left to the logon
  Resolved,      // existing and complete
  ContactsOnly,  // existing, without Exchange: a logon resolves nothing
  Unserviced,    // existing, without services
};
// What became of it.
enum Fate { Kept, Deleted, NeverCreated };

Rule Planned(const char* call, int occurrence, Kind kind, HRESULT status = S_OK) {
  return {call, occurrence, kind, status, {}, {}};
}

class ConfigureProfileTest : public TempStoreTest {
 protected:
  // Runs the workflow on a fresh store holding the scene, with the dialog's answers on stdin and
  // the plan's rules, then checks what every run must leave: everything handed out given back
  // once, MAPIUninitialize exactly when MAPIInitialize succeeded, no service added to an
  // existing profile, and only its first service configured.
  bool Run(Scene scene, const char* answers, std::vector<Rule> rules) {
    TearDown();
    SetUp();
    mkdir(storeDir().c_str(), 0700);
    WriteFile(storeDir() + "/mapisvc.inf",
              scene == NoExchange
                  ? "[Services]\nCONTAB=Contacts\n[CONTAB]\n"
                  : "[Services]\nCONTAB=Contacts\nMSEMS=Exchange\n[CONTAB]\n[MSEMS]\n");
    plan::SetRules({});
    const SPropValue server = StringValue(PR_PROFILE_HOME_SERVER, "srv"),
                     mailbox = StringValue(PR_PROFILE_UNRESOLVED_NAME, "box");
    bool existing = scene >= Unresolved;
    if (scene == Unresolved) SeedProfile("Sales", {"CONTAB", "MSEMS"}, {server, mailbox});
    if (scene == Resolved)
      SeedProfile("Sales", {"CONTAB", "MSEMS"},
                  {server, mailbox, StringValue(PR_PROFILE_HOME_SERVER_DN, ServerDn.c_str()),
                   StringValue(PR_PROFILE_USER, UserDn.c_str())});
    if (scene == ContactsOnly) SeedProfile("Sales", {"CONTAB"}, {});
    if (scene == Unserviced) SeedProfile("Sales", {}, {});
    std::string firstUid = FirstServiceUid();
    WriteFile(configHome + "/answers", answers);
    EXPECT_NE(nullptr, freopen((configHome + "/answers").c_str(), "r", stdin));
    strcpy(ProfileName, "Sales");
    ClearShownBoxes();
    bool initialises = rules.empty() || rules[0].call != "MAPIInitialize";
    plan::Reset();
    plan::SetRules(std::move(rules));
    testing::internal::CaptureStderr();  // the dialog's prompts
    bool result = ConfigureProfile();
    testing::internal::GetCapturedStderr();
    plan::SetRules({});

    EXPECT_EQ(Texts{}, plan::Problems());
    EXPECT_EQ(initialises ? 1 : 0, plan::Count("MAPIUninitialize"));
    if (existing) {
      EXPECT_EQ(0, plan::Count("CreateMsgService"));
      for (const std::string& call : plan::Calls()) {
        if (call.rfind("ConfigureMsgService(", 0) == 0) {
          EXPECT_EQ(0u, call.rfind("ConfigureMsgService(" + firstUid + ",", 0)) << call;
        }
      }
    }
    return result;
  }

  // The UID of the first service of "Sales" in hex, as the log shows it; empty without one.
  static std::string FirstServiceUid() {
    HKEY key = nullptr;
    BYTE uids[64];
    DWORD size = sizeof uids;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, ProfilePath("Sales").c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      return "";
    LONG status = RegQueryValueExA(key, "Services", nullptr, nullptr, uids, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size >= 16 ? plan::Hex(std::string((char*)uids, 16)) : "";
  }

  static void ExpectFate(Fate fate) {
    EXPECT_EQ(fate == Kept, KeyExists(ProfilePath("Sales")));
    EXPECT_EQ(fate == Deleted ? 1 : 0, plan::Count("DeleteProfile"));
  }
};

TEST_F(ConfigureProfileTest, Paths) {
  const HRESULT warned = MAPI_W_ERRORS_RETURNED;
  const Rule warning = Planned("MAPILogonEx", 1, Kind::Empty, warned);
  const char NotInstalled[] = "Unable to find Exchange Server MAPI component";
  const char Warned[] = "Invalid properties in  MsgSvcTable (00040380)";
  // Odd service rows: the UID stands for the real one, which the run cannot know beforehand.
  const std::string uid(16, 'u');
  const Property name = StringProperty(PR_SERVICE_NAME, "MSEMS");
  const Property error = ErrorProperty(PR_SERVICE_NAME, MAPI_E_NOT_FOUND);
  const Property uid16 = BinaryProperty(PR_SERVICE_UID, uid.data(), 16);
  const Property uid15 = BinaryProperty(PR_SERVICE_UID, uid.data(), 15);
  const Property uid17 = BinaryProperty(PR_SERVICE_UID, (uid + 'u').data(), 17);
  auto rows = [](std::vector<std::vector<Property>> given, HRESULT status = S_OK) {
    Rule rule = Planned("HrQueryAllRows", 1, Kind::Rows, status);
    rule.rows = std::move(given);
    return rule;
  };
  Rule userOnly = Planned("GetProps", 2, Kind::Values);
  userOnly.values = {StringProperty(PR_PROFILE_USER, UserDn)};
  struct {
    const char* name;
    Scene scene;
    const char* answers;
    std::vector<Rule> rules;
    Texts messages;
    bool result;
    Fate fate;
    int screenings;
  } paths[] = {
      // clang-format off
      {"new, resolved in the dialog", New, Check, {}, {}, true, Kept, 1},
      {"new, completed by the logon", New, Ok, {}, {}, true, Kept, 2},
      {"new, incomplete after the logon", New, Ok, {userOnly}, {Incomplete}, false, Deleted, 2},
      {"new, Exchange not installed", NoExchange, Ok, {}, {NotInstalled}, false, Deleted, 0},
      {"new, cancelled", New, "srv\nbox\ncancel\n", {}, {}, false, Deleted, 0},
      {"existing, complete", Resolved, "", {}, {}, true, Kept, 1},
      {"existing, completed by the logon", Unresolved, "", {}, {}, true, Kept, 2},
      {"existing, incomplete after the logon", ContactsOnly, "", {}, {Incomplete}, false, Kept, 2},
      {"existing, cancelled", Unresolved, "",
       {Planned("ConfigureMsgService", 1, Kind::Status, MAPI_E_USER_CANCEL)}, {}, false, Kept, 0},
      {"name refused, no key", New, Ok, {Planned("CreateProfile", 1, Kind::Status, MAPI_E_NO_ACCESS)},
       {"CreateProfile (80070005)"}, false, NeverCreated, 0},
      // A service table without a usable first row leaves nothing configured.
      {"existing, no services", Unserviced, "", {}, {InvalidRow}, false, Kept, 0},
      {"no rows", New, Ok, {rows({})}, {InvalidRow}, false, Deleted, 0},
      {"tags swapped", New, Ok, {rows({{uid16, name}})}, {InvalidRow}, false, Deleted, 0},
      {"name in error", New, Ok, {rows({{error, uid16}})}, {InvalidRow}, false, Deleted, 0},
      {"one value", New, Ok, {rows({{name}})}, {InvalidRow}, false, Deleted, 0},
      {"UID of 15 bytes", New, Ok, {rows({{name, uid15}})}, {InvalidRow}, false, Deleted, 0},
      {"UID of 17 bytes", New, Ok, {rows({{name, uid17}})}, {InvalidRow}, false, Deleted, 0},
      {"one value, warning", New, Ok, {rows({{name}}, warned)}, {Warned}, false, Deleted, 0},
      // A warning as the final status keeps no new profile, so none may be reported as made.
      {"new, final warning", New, Ok, {warning}, {}, false, Deleted, 1},
      // clang-format on
  };
  for (const auto& c : paths) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, Run(c.scene, c.answers, c.rules));
    EXPECT_EQ(c.messages, ShownTexts());
    ExpectFate(c.fate);
    EXPECT_EQ(c.screenings, plan::Count("GetProps"));
  }
}

// Each call of the fullest run, a new profile completed by the logon, in order: the message its
// failure shows and the one its success without its object shows (null where that does not
// apply). Calls that give something back are not made to fail: what they fail to give back
// cannot be given back by anyone.
enum Where { Workflow, Screening, GivingBack };
struct Step {
  const char* call;
  const char* failure = nullptr;
  const char* empty = nullptr;
  Where where = GivingBack;
};
const char GoesOn[] = "(the run goes on and succeeds)";

const char Open[] = "Failed to open the global profile section of the current profile (%08lx)";

std::vector<Step> FullestRun() {
  std::vector<Step> steps = {
      {"MAPIInitialize", "MAPIInitialize (%08lx)", nullptr, Workflow},
      {"MAPIAdminProfiles", "MAPIAdminProfiles (%08lx)", "MAPIAdminProfiles (%08lx)", Workflow},
      {"CreateProfile", "CreateProfile (%08lx)", nullptr, Workflow},
      {"AdminServices", "AdminServices (%08lx)", "AdminServices (%08lx)", Workflow},
      {"CreateMsgService", "CreateMsgService (%08lx)", nullptr, Workflow},
      {"GetMsgServiceTable", "GetMsgServiceTable (%08lx)", "GetMsgServiceTable (%08lx)", Workflow},
      {"HrQueryAllRows", "HrQueryAllRows (%08lx)", "HrQueryAllRows (%08lx)", Workflow},
      {"OpenProfileSection", Open, Open, Workflow},
      {"DeleteProps", "Failed to delete any previous authentication package (%08lx)", nullptr,
       Workflow},
      {"ConfigureMsgService", "ConfigureMsgService (%08lx)", nullptr, Workflow},
  };
  const std::vector<Step> screening = {
      {"MAPIAdminProfiles", "Failed to load the MAPI profile administration object (%08lx)",
       "Failed to load the MAPI profile administration object (%08lx)", Screening},
      {"AdminServices", "Failed to access the message service administration object (%08lx)",
       "Failed to access the message service administration object (%08lx)", Screening},
      {"OpenProfileSection", Open, Open, Screening},
      {"GetProps", "Failed to load properties for the global profile section (%08lx)",
       "Failed to load properties for the global profile section (%08lx)", Screening},
      {"MAPIFreeBuffer"},
      {"Section.Release"},
      {"ServiceAdmin.Release"},
      {"ProfAdmin.Release"}};
  steps.insert(steps.end(), screening.begin(), screening.end());
  steps.insert(steps.end(), {{"MAPILogonEx", "", nullptr, Workflow},
                             {"Logoff", GoesOn, nullptr, Workflow},
                             {"Session.Release"}});
  steps.insert(steps.end(), screening.begin(), screening.end());
  steps.insert(steps.end(), {{"Section.Release"},
                             {"FreeProws"},
                             {"Table.Release"},
                             {"ServiceAdmin.Release"},
                             {"ProfAdmin.Release"},
                             {"MAPIUninitialize"}});
  return steps;
}

TEST_F(ConfigureProfileTest, CallsTheSubsystemInOrderAndCleansUpInReverse) {
  ASSERT_TRUE(Run(New, Ok, {}));
  const Texts screening = {"MAPIAdminProfiles(0x0)",
                           "AdminServices(\"Sales\", null, 0, 0x0)",
                           "OpenProfileSection(global, null, 0x0)",
                           "GetProps({0x6603001E, 0x6612001E}, 0x0)",
                           "MAPIFreeBuffer()",
                           "Section.Release()",
                           "ServiceAdmin.Release()",
                           "ProfAdmin.Release()"};
  Texts expected = {"MAPIInitialize(0, 0x1)",
                    "MAPIAdminProfiles(0x0)",
                    "CreateProfile(\"Sales\", \"\", 0, 0x0)",
                    "AdminServices(\"Sales\", null, 0, 0x8)",
                    "CreateMsgService(\"MSEMS\", \"Microsoft Exchange\", 0, 0x0)",
                    "GetMsgServiceTable(0x0)",
                    "HrQueryAllRows({0x3D09001E, 0x3D0C0102}, null, null, 0)",
                    "OpenProfileSection(global, null, 0x1)",
                    "DeleteProps({0x66190003}, null)",
                    "ConfigureMsgService(" + FirstServiceUid() + ", 0, 0x12, 0, null)"};
  expected.insert(expected.end(), screening.begin(), screening.end());
  expected.insert(expected.end(), {"MAPILogonEx(0, \"Sales\", null, 0x8072)", "Logoff(0, 0x0, 0)",
                                   "Session.Release()"});
  expected.insert(expected.end(), screening.begin(), screening.end());
  expected.insert(expected.end(),
                  {"Section.Release()", "FreeProws()", "Table.Release()", "ServiceAdmin.Release()",
                   "ProfAdmin.Release()", "MAPIUninitialize()"});
  EXPECT_EQ(expected, plan::Calls());
  // The failure table below covers exactly this run.
  Texts steps;
  for (const Step& step : FullestRun()) steps.push_back(step.call);
  EXPECT_EQ(steps, plan::Names());
}

// True when the calls after the occurrence-th call of name are the pattern's, in its order.
bool OnlyAfter(const Texts& names, const std::string& name, int occurrence, const Texts& pattern) {
  size_t i = 0, at = 0;
  while (i < names.size() && (names[i] != name || --occurrence > 0)) i++;
  for (i++; i < names.size(); i++, at++)
    while (at < pattern.size() && pattern[at] != names[i]) at++;
  return at <= pattern.size();
}

TEST_F(ConfigureProfileTest, EveryCallFailingInTurn) {
  const Texts screeningCleanup = {"MAPIFreeBuffer", "Section.Release", "ServiceAdmin.Release",
                                  "ProfAdmin.Release"};
  const Texts cleanup = {"Logoff",        "Session.Release",   "Section.Release",
                         "FreeProws",     "Table.Release",     "ServiceAdmin.Release",
                         "DeleteProfile", "ProfAdmin.Release", "MAPIUninitialize"};
  const std::vector<Step> steps = FullestRun();
  for (Scene scene : {New, Unresolved}) {
    bool created = false;  // whether a new profile exists when the step's call is made
    std::map<std::string, int> seen;
    for (const Step& step : steps) {
      int occurrence = ++seen[step.call];
      if (seen.count("CreateProfile") && strcmp(step.call, "CreateProfile") != 0) created = true;
      if (step.where == GivingBack) continue;
      if (scene != New && strcmp(step.call, "CreateMsgService") == 0) continue;
      for (Kind kind : {Kind::Status, Kind::Empty, Kind::Raise, Kind::Fault}) {
        const char* format = kind == Kind::Status      ? step.failure
                             : kind == Kind::Empty     ? step.empty
                             : step.where == Screening ? "{Sales} ScreenProfile - Exception handled"
                                                       : "Exception caught";
        if (format == nullptr) continue;
        SCOPED_TRACE(std::string(scene == New ? "new, " : "existing, ") + step.call + " #" +
                     std::to_string(occurrence) + ", kind " + std::to_string((int)kind));
        // A screening that fails with MAPI_E_NOT_FOUND must not pass for an incomplete profile.
        HRESULT status = kind != Kind::Status      ? S_OK
                         : step.where == Screening ? MAPI_E_NOT_FOUND
                                                   : MAPI_E_NETWORK_ERROR;
        bool goesOn = format == GoesOn;
        EXPECT_EQ(goesOn, Run(scene, Ok, {Planned(step.call, occurrence, kind, status)}));
        char text[256];
        snprintf(text, sizeof text, format, (unsigned long)(ULONG)status);
        EXPECT_EQ(goesOn || !*format ? Texts{} : Texts{text}, ShownTexts());
        ExpectFate(scene != New || goesOn ? Kept : created ? Deleted : NeverCreated);
        if (goesOn) continue;
        // After the planned call nothing but the cleanup runs, in its order.
        Texts pattern = step.where == Screening ? screeningCleanup : Texts{};
        pattern.insert(pattern.end(), cleanup.begin(), cleanup.end());
        EXPECT_TRUE(OnlyAfter(plan::Names(), step.call, occurrence, pattern));
      }
    }
  }
}

}  // namespace
