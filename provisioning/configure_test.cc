#include "provisioning/configure.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "app/arguments.h"
#include "fake/mapi.h"
#include "fake/messagebox.h"
#include "platform/registry.h"
#include "provisioning/profilekey.h"
#include "support/tempstore.h"

namespace {

using fake::Effect;
using fake::Empty;
using fake::Fail;
using fake::Mapi;
using fake::Prop;
using fake::Rows;
using fake::Rule;
using Texts = std::vector<std::string>;

const Prop User = {PR_PROFILE_USER, "svc-quorvane"};
const Prop Server = {PR_PROFILE_HOME_SERVER_DN, "/o=Quorvane/cn=MAIL1"};
const std::vector<Prop> Both = {User, Server};
const char Incomplete[] =
    "The (Sales) profile is invalid due to missing or invalid property tags.\n"
    "Ensure the specified profile information is valid and unique.";
const char InvalidRow[] = "Invalid properties in  MsgSvcTable (00000000)";
const std::string FirstUid = "service-uid-0001";  // the first service added after Reset
const std::string ConfigureFirst = "ConfigureMsgService(" + fake::Hex(FirstUid) + ", 0, 0x12";

// How "Sales" stands before the run. Existing profiles list another service before Exchange;
// Unserviced has none; Unregistered is known to the subsystem but has no registry key.
enum Start { New, Existing, Unserviced, Unregistered };
// What became of it.
enum Fate { Kept, Deleted, NeverCreated };

class ConfigureProfileTest : public TempStoreTest {
 public:
  // Runs the workflow on the scene, then checks what every run must leave: everything held
  // released once, every buffer freed once, MAPIUninitialize exactly when MAPIInitialize
  // succeeded, no service added to an existing profile, only the first service configured.
  bool Run(Start start, std::vector<Prop> dialog, std::vector<Prop> logon,
           std::vector<Rule> rules) {
    strcpy(ProfileName, "Sales");
    Mapi.Reset();
    ClearShownBoxes();
    if (start != New) Mapi.profiles["Sales"].global[PR_PROFILE_AUTH_PACKAGE] = "";
    if (start == Existing || start == Unregistered) {
      Mapi.AddService("Sales", "CONTAB");
      Mapi.AddService("Sales", "MSEMS");
    }
    std::string key = std::string(ProfileStorePrefix) + "Sales";
    HKEY handle = nullptr;
    if (start == Existing || start == Unserviced) {
      EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0,
                                               KEY_WRITE, nullptr, &handle, nullptr));
      RegCloseKey(handle);
    } else {
      RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    }
    Mapi.dialogWrites = std::move(dialog);
    Mapi.logonWrites = std::move(logon);
    Mapi.rules = std::move(rules);

    bool result = ConfigureProfile();
    EXPECT_EQ(Texts{}, Mapi.Problems());
    bool initialised = Mapi.rules.empty() || Mapi.rules[0].call != "MAPIInitialize";
    EXPECT_EQ(initialised ? 1 : 0, Mapi.Count("MAPIUninitialize"));
    if (start != New) {
      EXPECT_EQ(0, Mapi.Count("CreateMsgService"));
    }
    for (const std::string& call : Mapi.calls) {
      if (call.rfind("ConfigureMsgService(", 0) == 0) {
        EXPECT_EQ(0u, call.rfind(ConfigureFirst, 0));
      }
    }
    return result;
  }

  static void ExpectFate(Fate fate) {
    EXPECT_EQ(fate == Kept, Mapi.profiles.count("Sales") == 1);
    EXPECT_EQ(fate == Deleted ? 1 : 0, Mapi.Count("DeleteProfile"));
  }
};

TEST_F(ConfigureProfileTest, Paths) {
  const Rule cancel = Fail("ConfigureMsgService", MAPI_E_USER_CANCEL);
  const HRESULT warned = MAPI_W_ERRORS_RETURNED;
  const Rule warning = Empty("MAPILogonEx", warned);
  const Rule missing = Fail("CreateMsgService", MAPI_E_NOT_FOUND);
  const char NoExchange[] = "Unable to find Exchange Server MAPI component";
  const char Denied[] = "CreateProfile (80070005)";
  const char Warned[] = "Invalid properties in  MsgSvcTable (00040380)";
  const Prop name = {PR_SERVICE_NAME, "MSEMS"}, uid = {PR_SERVICE_UID, FirstUid};
  const Prop error = {CHANGE_PROP_TYPE(PR_SERVICE_NAME, PT_ERROR), ""};
  // The real UID cut short, and with a byte more: its first 16 bytes would do.
  const Prop uid15 = {PR_SERVICE_UID, FirstUid.substr(1)};
  const Prop uid17 = {PR_SERVICE_UID, FirstUid + '\0'};
  struct {
    const char* name;
    Start start;
    std::vector<Prop> dialog, logon;  // what the dialog and the logon store
    std::vector<Rule> rules;
    Texts messages;
    bool result;
    Fate fate;
    int screenings;
  } paths[] = {
      {"new, complete at once", New, Both, {}, {}, {}, true, Kept, 1},
      {"new, completed by the logon", New, {User}, {Server}, {}, {}, true, Kept, 2},
      {"new, incomplete after the logon", New, {User}, {}, {}, {Incomplete}, false, Deleted, 2},
      {"new, provider missing", New, Both, {}, {missing}, {NoExchange}, false, Deleted, 0},
      {"new, cancelled", New, Both, {}, {cancel}, {}, false, Deleted, 0},
      {"access denied, key present", Existing, Both, {}, {}, {}, true, Kept, 1},
      {"access denied, no key", Unregistered, Both, {}, {}, {Denied}, false, Kept, 0},
      {"existing, incomplete after the logon", Existing, {}, {}, {}, {Incomplete}, false, Kept, 2},
      {"existing, cancelled", Existing, Both, {}, {cancel}, {}, false, Kept, 0},
      // A service table without a usable first row leaves nothing configured: no rows, tags
      // swapped, a name in error, a short row, a UID not of 16 bytes.
      {"existing, no services", Unserviced, Both, {}, {}, {InvalidRow}, false, Kept, 0},
      {"no rows", New, Both, {}, {Rows({})}, {InvalidRow}, false, Deleted, 0},
      {"tags swapped", New, Both, {}, {Rows({{uid, name}})}, {InvalidRow}, false, Deleted, 0},
      {"name in error", New, Both, {}, {Rows({{error, uid}})}, {InvalidRow}, false, Deleted, 0},
      {"one value", New, Both, {}, {Rows({{name}})}, {InvalidRow}, false, Deleted, 0},
      {"UID of 15 bytes", New, Both, {}, {Rows({{name, uid15}})}, {InvalidRow}, false, Deleted, 0},
      {"UID of 17 bytes", New, Both, {}, {Rows({{name, uid17}})}, {InvalidRow}, false, Deleted, 0},
      {"one value, warning", New, Both, {}, {Rows({{name}}, warned)}, {Warned}, false, Deleted, 0},
      // A warning as the final status keeps no new profile, so none may be reported as made.
      {"new, final warning", New, {User}, {}, {warning}, {}, false, Deleted, 1},
      {"existing, final warning", Existing, {User}, {}, {warning}, {}, true, Kept, 1},
  };
  for (const auto& c : paths) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, Run(c.start, c.dialog, c.logon, c.rules));
    EXPECT_EQ(c.messages, ShownTexts());
    ExpectFate(c.fate);
    EXPECT_EQ(c.screenings, Mapi.Count("GetProps"));
  }
}

TEST_F(ConfigureProfileTest, CallsTheSubsystemInOrderAndCleansUpInReverse) {
  EXPECT_TRUE(Run(New, {User}, {Server}, {}));
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
                    ConfigureFirst + ", 0, null)"};
  expected.insert(expected.end(), screening.begin(), screening.end());
  expected.insert(expected.end(), {"MAPILogonEx(0, \"Sales\", null, 0x8072)", "Logoff(0, 0x0, 0)",
                                   "Session.Release()"});
  expected.insert(expected.end(), screening.begin(), screening.end());
  expected.insert(expected.end(),
                  {"Section.Release()", "FreeProws()", "Table.Release()", "ServiceAdmin.Release()",
                   "ProfAdmin.Release()", "MAPIUninitialize()"});
  EXPECT_EQ(expected, Mapi.calls);
}

// Each call of the fullest run (the profile completed by the logon) in turn made to fail, to
// succeed without handing back its object, to throw and to fault.
const char* const NotApplicable = nullptr;
const char GoesOn[] = "(the run goes on and succeeds)";
const char Open[] = "Failed to open the global profile section of the current profile (%08lx)";
const char LoadAdmin[] = "Failed to load the MAPI profile administration object (%08lx)";
const char Access[] = "Failed to access the message service administration object (%08lx)";
const char Props[] = "Failed to load properties for the global profile section (%08lx)";

struct Step {
  const char* call;
  int occurrence;
  const char* failure;  // the message when it fails, with its status
  const char* empty;    // the message when it succeeds without its object
  bool screening;       // inside a ScreenProfile call
};
// clang-format off
const Step Workflow[] = {
    {"MAPIInitialize",      1, "MAPIInitialize (%08lx)",      NotApplicable,                 false},
    {"MAPIAdminProfiles",   1, "MAPIAdminProfiles (%08lx)",   "MAPIAdminProfiles (%08lx)",   false},
    {"CreateProfile",       1, "CreateProfile (%08lx)",       NotApplicable,                 false},
    {"AdminServices",       1, "AdminServices (%08lx)",       "AdminServices (%08lx)",       false},
    {"CreateMsgService",    1, "CreateMsgService (%08lx)",    NotApplicable,                 false},
    {"GetMsgServiceTable",  1, "GetMsgServiceTable (%08lx)",  "GetMsgServiceTable (%08lx)",  false},
    {"HrQueryAllRows",      1, "HrQueryAllRows (%08lx)",      "HrQueryAllRows (%08lx)",      false},
    {"OpenProfileSection",  1, Open,                          Open,                          false},
    {"DeleteProps",         1, "Failed to delete any previous authentication package (%08lx)",
                                                              NotApplicable,                 false},
    {"ConfigureMsgService", 1, "ConfigureMsgService (%08lx)", NotApplicable,                 false},
    {"MAPIAdminProfiles",   2, LoadAdmin,                     LoadAdmin,                     true},
    {"AdminServices",       2, Access,                        Access,                        true},
    {"OpenProfileSection",  2, Open,                          Open,                          true},
    {"GetProps",            1, Props,                         Props,                         true},
    {"MAPILogonEx",         1, "",                            GoesOn,                        false},
    {"Logoff",              1, GoesOn,                        NotApplicable,                 false},
    {"Session.Release",     1, NotApplicable,                 NotApplicable,                 false},
    {"MAPIAdminProfiles",   3, LoadAdmin,                     LoadAdmin,                     true},
    {"AdminServices",       3, Access,                        Access,                        true},
    {"OpenProfileSection",  3, Open,                          Open,                          true},
    {"GetProps",            2, Props,                         Props,                         true},
};
// clang-format on
const int CreateProfileStep = 2;

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
  for (Start start : {New, Existing}) {
    for (int i = 0; i < (int)(sizeof Workflow / sizeof Workflow[0]); i++) {
      const Step& step = Workflow[i];
      if (start == Existing && strcmp(step.call, "CreateMsgService") == 0) continue;
      for (Effect effect : {Effect::Fail, Effect::Empty, Effect::Throw, Effect::Fault}) {
        const char* format = effect == Effect::Fail    ? step.failure
                             : effect == Effect::Empty ? step.empty
                             : step.screening          ? "{Sales} ScreenProfile - Exception handled"
                                                       : "Exception caught";
        if (format == NotApplicable) continue;
        SCOPED_TRACE(std::string(start == New ? "new, " : "existing, ") + step.call + " #" +
                     std::to_string(step.occurrence) + ", effect " + std::to_string((int)effect));
        HRESULT status = effect == Effect::Fail ? MAPI_E_NETWORK_ERROR : S_OK;
        bool goesOn = format == GoesOn;
        EXPECT_EQ(goesOn, Run(start, {User}, {Server},
                              {{step.call, step.occurrence, effect, status, {}, {}}}));
        char text[256];
        snprintf(text, sizeof text, format, (unsigned long)(ULONG)status);
        EXPECT_EQ(goesOn || !*format ? Texts{} : Texts{text}, ShownTexts());
        ExpectFate(start != New || goesOn ? Kept : i <= CreateProfileStep ? NeverCreated : Deleted);
        if (goesOn) continue;
        // After the injected call nothing but the cleanup runs, in its order.
        Texts pattern = step.screening ? screeningCleanup : Texts{};
        pattern.insert(pattern.end(), cleanup.begin(), cleanup.end());
        EXPECT_TRUE(OnlyAfter(Mapi.Names(), step.call, step.occurrence, pattern));
      }
    }
  }
}

}  // namespace
