#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/mapi-posix-testing.h"
#include "support/process.h"

namespace {

using namespace mapitest;

const char* const Absent = nullptr;
const ULONG UiFlags = SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED;

std::string ServerDn(const std::string& server) {
  return "/o=Quorvane/ou=First Site/cn=Configuration/cn=Servers/cn=" + server;
}
std::string MailboxDn(const std::string& mailbox) {
  return "/o=Quorvane/ou=First Site/cn=Recipients/cn=" + mailbox;
}

// What the Exchange provider keeps in the global section; null for a property that is absent.
struct Exchange {
  const char *server = nullptr, *mailbox = nullptr, *serverDn = nullptr, *user = nullptr;
};
const ULONG ExchangeTags[4] = {PR_PROFILE_HOME_SERVER, PR_PROFILE_UNRESOLVED_NAME,
                               PR_PROFILE_HOME_SERVER_DN, PR_PROFILE_USER};

class ExchangeTest : public MapiTest {
 protected:
  // Makes stdin read the given text, as the dialog's administrator would type it.
  void Answer(const std::string& input) {
    WriteFile(configHome + "/answers.txt", input);
    ASSERT_NE(nullptr, freopen((configHome + "/answers.txt").c_str(), "r", stdin));
  }

  // A new profile with one Exchange service (its UID in *uid) and the given global section.
  void MakeExchangeProfile(const char* name, const Exchange& preset,
                           Held<IMsgServiceAdmin>* services, MAPIUID* uid) {
    MakeProfile(name, services);
    *uid = ServiceUids(services->get()).at(0);
    Held<IProfSect> section;
    ASSERT_EQ(S_OK, (*services)->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                                    MAPI_MODIFY, section.out()));
    const char* texts[4] = {preset.server, preset.mailbox, preset.serverDn, preset.user};
    std::vector<SPropValue> values;
    for (int i = 0; i < 4; i++)
      if (texts[i]) values.push_back(StringValue(ExchangeTags[i], texts[i]));
    ASSERT_EQ(S_OK, section->SetProps((ULONG)values.size(), values.data(), nullptr));
  }

  void ExpectStored(const char* profile, const Exchange& expected) {
    std::map<ULONG, std::string> global = GlobalStrings(profile);
    const char* texts[4] = {expected.server, expected.mailbox, expected.serverDn, expected.user};
    for (int i = 0; i < 4; i++) {
      auto found = global.find(ExchangeTags[i]);
      std::string stored = found == global.end() ? "(absent)" : found->second;
      EXPECT_EQ(texts[i] ? texts[i] : "(absent)", stored) << std::hex << ExchangeTags[i];
    }
  }
};

TEST_F(ExchangeTest, TheDialogAsksForServerMailboxAndButton) {
  const std::string srvDn = ServerDn("srv"), boxDn = MailboxDn("box");
  const std::string oldDn = ServerDn("old"), mbDn = MailboxDn("mb");
  const Exchange none = {Absent, Absent, Absent, Absent};
  const Exchange resolved = {"old", "mb", oldDn.c_str(), mbDn.c_str()};
  const Exchange typed = {"srv", "box", Absent, Absent};
  const Exchange checked = {"srv", "box", srvDn.c_str(), boxDn.c_str()};
  const std::string resolution =
      "Resolved the server srv to " + srvDn + "\nResolved the mailbox box to " + boxDn + "\n";
  // The prompts; stdin is a file here, so each answer is echoed after its prompt.
  const std::string heading = "Microsoft Exchange Server\n";
  const std::string server = "Microsoft Exchange server: ", mailbox = "Mailbox: ";
  const std::string button = "Check Name, OK or Cancel [check]: ";
  const std::string again = "Please answer check, ok or cancel.\n";
  const std::string refused = "A name cannot contain '/' or control characters.\n";
  const std::string longest(255, 'x');
  struct {
    const char* what;
    Exchange preset;
    std::string input;
    HRESULT expected;
    Exchange after;
    std::string err;  // what stderr holds: exactly, or as a part when it starts with "..."
  } cases[] = {
      {"check resolves at once", none, "srv\nbox\ncheck\n", S_OK, checked,
       heading + server + "srv\n" + mailbox + "box\n" + button + "check\n" + resolution},
      {"an empty answer is check", none, "srv\nbox\n\n", S_OK, checked,
       "..." + button + "\n" + resolution},
      {"ok leaves the names unresolved", none, "srv\nbox\nOK\n", S_OK, typed,
       heading + server + "srv\n" + mailbox + "box\n" + button + "OK\n"},
      {"cancel changes nothing", none, "srv\nbox\n Cancel \n", MAPI_E_USER_CANCEL, none,
       "..." + button + "Cancel\nCancelled.\n"},
      {"end of input at the server", none, "", MAPI_E_USER_CANCEL, none,
       heading + server + "\nCancelled.\n"},
      {"end of input at the mailbox", none, "srv\n", MAPI_E_USER_CANCEL, none,
       heading + server + "srv\n" + mailbox + "\nCancelled.\n"},
      {"end of input at the button", none, "srv\nbox\n", MAPI_E_USER_CANCEL, none,
       heading + server + "srv\n" + mailbox + "box\n" + button + "\nCancelled.\n"},
      {"an unknown answer is asked again", none, "srv\nbox\nmaybe\n  oK \n", S_OK, typed,
       "..." + button + "maybe\n" + again + button + "oK\n"},
      {"end of input after an unknown answer", none, "srv\nbox\nmaybe\n", MAPI_E_USER_CANCEL, none,
       "..." + again + button + "\nCancelled.\n"},
      {"empty answers keep the values", resolved, "\n\nok\n", S_OK, resolved,
       heading + "Microsoft Exchange server [old]: \nMailbox [mb]: \n" + button + "ok\n"},
      {"a new server drops its resolved name",
       resolved,
       "new\n\nok\n",
       S_OK,
       {"new", "mb", Absent, mbDn.c_str()},
       "..."},
      {"a new mailbox drops its resolved name",
       resolved,
       "\nbox\nok\n",
       S_OK,
       {"old", "box", oldDn.c_str(), Absent},
       "..."},
      {"check resolves the new names", resolved, "srv\nbox\ncheck\n", S_OK, checked,
       "..." + resolution},
      {"cancel keeps what was there", resolved, "srv\nbox\ncancel\n", MAPI_E_USER_CANCEL, resolved,
       "..."},
      {"both names are needed", none, "\nbox\ncheck\nsrv\n\nok\n", S_OK, typed,
       "..." + button + "check\nBoth a Microsoft Exchange server and a mailbox are needed.\n" +
           server + "srv\nMailbox [box]: \n" + button + "ok\n"},
      {"names that cannot be resolved are refused", none, "a/b\nsrv\nbo\x01x\nbox\nok\n", S_OK,
       typed,
       heading + server + "a/b\n" + refused + server + "srv\n" + mailbox + "bo\x01x\n" + refused +
           mailbox + "box\n" + button + "ok\n"},
      {"an overlong name is refused", none, std::string(256, 'x') + "\nsrv\nbox\nok\n", S_OK, typed,
       "...\nA name is at most 255 characters long.\n" + server + "srv\n"},
      {"the longest name is taken",
       none,
       longest + "\nbox\nok\n",
       S_OK,
       {longest.c_str(), "box", Absent, Absent},
       "..."},
      {"line ends and blanks around answers", none, "  srv \r\nbox\r\nok", S_OK, typed,
       "..." + server + "srv\n" + mailbox + "box\n" + button + "ok\n"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string profile = "Dialog " + std::to_string(n++);
    Held<IMsgServiceAdmin> services;
    MAPIUID uid;
    MakeExchangeProfile(profile.c_str(), c.preset, &services, &uid);
    Answer(c.input);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.expected, services->ConfigureMsgService(&uid, 0, UiFlags, 0, nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    if (c.err.rfind("...", 0) == 0) {
      EXPECT_NE(std::string::npos, err.find(c.err.substr(3))) << err;
    } else {
      EXPECT_EQ(c.err, err);
    }
    ExpectStored(profile.c_str(), c.after);
  }
}

TEST_F(ExchangeTest, WithoutTheDialogTheServiceMustBeConfiguredAlready) {
  WriteServiceList("[Services]\nMSEMS=Microsoft Exchange\nOTHER=Other\n[MSEMS]\n[OTHER]\n");
  Held<IMsgServiceAdmin> services;
  MakeProfile("Quiet", &services, {"MSEMS", "OTHER"});
  std::vector<MAPIUID> uids = ServiceUids(services.get());
  ASSERT_EQ(2u, uids.size());
  SPropValue given[] = {StringValue(PR_PROFILE_HOME_SERVER, "given"),
                        StringValue(PR_PROFILE_UNRESOLVED_NAME, "someone")};
  SPropValue broken = StringValue(PR_PROFILE_HOME_SERVER, "a/b");
  MAPIUID stranger = {{9}};
  struct {
    const char* what;
    MAPIUID* uid;
    ULONG flags;
    ULONG count;
    SPropValue* props;
    HRESULT expected;
  } cases[] = {
      {"no server, no dialog", &uids[0], 0, 0, nullptr, MAPI_E_UNCONFIGURED},
      {"a server only", &uids[0], 0, 1, given, MAPI_E_UNCONFIGURED},
      {"a name that cannot be resolved", &uids[0], SERVICE_UI_ALLOWED, 1, &broken,
       MAPI_E_INVALID_PARAMETER},
      {"given server and mailbox need no dialog", &uids[0], SERVICE_UI_ALLOWED, 2, given, S_OK},
      {"configured already", &uids[0], 0, 0, nullptr, S_OK},
      {"another provider has no dialog", &uids[1], UiFlags, 0, nullptr, S_OK},
      {"an unknown service", &stranger, UiFlags, 0, nullptr, MAPI_E_NOT_FOUND},
      {"no service", nullptr, UiFlags, 0, nullptr, MAPI_E_INVALID_PARAMETER},
  };
  Answer("");  // a dialog would be cancelled at once
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.expected, services->ConfigureMsgService(c.uid, 0, c.flags, c.count, c.props));
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "no dialog";
  }
  ExpectStored("Quiet", {"given", "someone", Absent, Absent});

  // Given values fill the dialog in.
  SPropValue other = StringValue(PR_PROFILE_HOME_SERVER, "other");
  Answer("\n\ncancel\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(MAPI_E_USER_CANCEL, services->ConfigureMsgService(&uids[0], 0, UiFlags, 1, &other));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                   "Microsoft Exchange server [other]: \nMailbox [someone]: \n"));
  ExpectStored("Quiet", {"given", "someone", Absent, Absent});
}

TEST_F(ExchangeTest, TheFirstLogonResolvesTheNames) {
  WriteServiceList(
      "[Services]\nMSEMS=Microsoft Exchange\n[MSEMS]\nOrganization=Tessivar\nSite=Lab\n");
  const char* serverDn = "/o=Tessivar/ou=Lab/cn=Configuration/cn=Servers/cn=srv";
  const char* userDn = "/o=Tessivar/ou=Lab/cn=Recipients/cn=box";
  const Exchange blank = {}, onlyBox = {Absent, "box"}, onlyServer = {"srv"},
                 typed = {"srv", "box"};
  const Exchange resolved = {"srv", "box", serverDn, userDn};
  struct {
    const char* what;
    Exchange preset;
    HRESULT expected;
    Exchange after;
  } cases[] = {
      {"nothing configured", blank, MAPI_E_LOGON_FAILED, blank},
      {"no server", onlyBox, MAPI_E_LOGON_FAILED, onlyBox},
      {"no mailbox", onlyServer, MAPI_E_LOGON_FAILED, onlyServer},
      {"after ok", typed, S_OK, resolved},
      {"a mailbox resolved before",
       {"srv", Absent, Absent, userDn},
       S_OK,
       {"srv", Absent, serverDn, userDn}},
      {"stale resolutions", {"srv", "box", "/o=Old/cn=x", "/o=Old/cn=y"}, S_OK, resolved},
      {"a name that cannot be resolved", {"s/v", "box"}, MAPI_E_LOGON_FAILED, {"s/v", "box"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string profile = "Logon " + std::to_string(n++);
    Held<IMsgServiceAdmin> services;
    MAPIUID uid;
    MakeExchangeProfile(profile.c_str(), c.preset, &services, &uid);
    for (int attempt = 0; attempt < 2; attempt++) {  // a second logon finds all done
      LPMAPISESSION raw = nullptr;
      EXPECT_EQ(c.expected, MAPILogonEx(0, (LPTSTR)profile.c_str(), nullptr,
                                        MAPI_NO_MAIL | MAPI_USE_DEFAULT | MAPI_EXTENDED |
                                            MAPI_EXPLICIT_PROFILE | MAPI_NEW_SESSION,
                                        &raw));
      Held<IMAPISession> session(raw);
      EXPECT_EQ(c.expected == S_OK, session.get() != nullptr);
      if (session) {
        EXPECT_EQ(S_OK, session->Logoff(0, 0, 0));
      }
      ExpectStored(profile.c_str(), c.after);
    }
  }
  LPMAPISESSION session = (LPMAPISESSION)1;
  EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, (LPTSTR) "Nobody", nullptr, 0, &session));
  EXPECT_EQ(nullptr, session);
  EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, nullptr, nullptr, MAPI_USE_DEFAULT, &session));
}

// The other process of the test below: this test executable run again with this test alone,
// on the store that test names. Not run otherwise.
TEST_F(ExchangeTest, DISABLED_OtherProcess) {
  const char* store = getenv("QS_TEST_OTHER_STORE");
  const char* action = getenv("QS_TEST_OTHER_ACTION");
  ASSERT_TRUE(store && action);
  setenv("XDG_CONFIG_HOME", store, 1);
  HRESULT status;
  if (strcmp(action, "configure") == 0) {
    Held<IMsgServiceAdmin> services;
    MakeProfile("Across", &services);
    MAPIUID uid = ServiceUids(services.get()).at(0);
    status = services->ConfigureMsgService(&uid, 0, UiFlags, 0, nullptr);
  } else {
    Held<IMAPISession> session;
    status = MAPILogonEx(0, (LPTSTR) "Across", nullptr, 0, session.out());
  }
  printf("status=%08x\n", (unsigned)status);
}

// Runs the test above in another process on the given store; returns the status it printed.
std::string RunOther(const std::string& store, const std::string& action, const std::string& input,
                     std::string* err = nullptr) {
  char self[PATH_MAX] = {};
  EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  ProcessResult result =
      RunProcess({self, "--gtest_filter=ExchangeTest.DISABLED_OtherProcess",
                  "--gtest_also_run_disabled_tests"},
                 input, {"QS_TEST_OTHER_STORE=" + store, "QS_TEST_OTHER_ACTION=" + action});
  EXPECT_EQ(0, result.exitCode) << result.out << result.err;
  if (err) *err = result.err;
  size_t at = result.out.find("status=");
  return at == std::string::npos ? "none" : result.out.substr(at + 7, 8);
}

TEST_F(ExchangeTest, WhatOneProcessStoresTheNextFinds) {
  // The dialog answered through a pipe, in another process.
  std::string err;
  EXPECT_EQ("00000000", RunOther(configHome, "configure", "srv\nbox\nok\n", &err));
  EXPECT_NE(std::string::npos,
            err.find("Microsoft Exchange Server\nMicrosoft Exchange server: srv\nMailbox: box\n"
                     "Check Name, OK or Cancel [check]: ok\n"))
      << err;
  EXPECT_EQ(MAPI_E_NO_ACCESS, admin->CreateProfile((LPTSTR) "Across", nullptr, 0, 0));
  Held<IMsgServiceAdmin> services;
  ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR) "Across", nullptr, 0, 0, services.out()));
  EXPECT_EQ(1u, ServiceUids(services.get()).size());
  ExpectStored("Across", {"srv", "box", Absent, Absent});

  // The next process's logon resolves the names.
  EXPECT_EQ("00000000", RunOther(configHome, "logon", ""));
  ExpectStored("Across", {"srv", "box", ServerDn("srv").c_str(), MailboxDn("box").c_str()});

  // Once this process deletes the profile, the next one finds none.
  ASSERT_EQ(S_OK, admin->DeleteProfile((LPTSTR) "Across", 0));
  EXPECT_EQ("8004010f", RunOther(configHome, "logon", ""));
  // End of input in the other process's dialog cancels, and the profile it made stays.
  EXPECT_EQ("80040113", RunOther(configHome, "configure", "srv\n"));
  ExpectStored("Across", {Absent, Absent, Absent, Absent});
}

}  // namespace
