#include <gtest/gtest.h>

#include "support/mapitest.h"

namespace {

using namespace mapitest;

const ULONG UiFlags = SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED;
const std::string Site = "/o=Quorvane/ou=First Site";
const std::string SrvDn = Site + "/cn=Configuration/cn=Servers/cn=srv";
const std::string BoxDn = Site + "/cn=Recipients/cn=box";

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
      EXPECT_EQ(texts[i] ? texts[i] : "(absent)",
                found == global.end() ? "(absent)" : found->second)
          << std::hex << ExchangeTags[i];
    }
  }
};

TEST_F(ExchangeTest, TheDialogAsksForServerMailboxAndButton) {
  const std::string oldDn = Site + "/cn=Configuration/cn=Servers/cn=old";
  const std::string mbDn = Site + "/cn=Recipients/cn=mb";
  const Exchange none, typed = {"srv", "box"},
                       checked = {"srv", "box", SrvDn.c_str(), BoxDn.c_str()};
  const Exchange resolved = {"old", "mb", oldDn.c_str(), mbDn.c_str()};
  const std::string resolution =
      "Resolved the server srv to " + SrvDn + "\nResolved the mailbox box to " + BoxDn + "\n";
  // The prompts; stdin is a file here, so each answer is echoed after its prompt.
  const std::string H = "Microsoft Exchange Server\n", S = "Microsoft Exchange server: ",
                    M = "Mailbox: ", B = "Check Name, OK or Cancel [check]: ";
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
      // clang-format off
      {"check resolves at once", none, "srv\nbox\ncheck\n", S_OK, checked,
       H + S + "srv\n" + M + "box\n" + B + "check\n" + resolution},
      {"an empty answer is check", none, "srv\nbox\n\n", S_OK, checked,
       "..." + B + "\n" + resolution},
      {"ok leaves the names unresolved", none, "srv\nbox\nOK\n", S_OK, typed,
       H + S + "srv\n" + M + "box\n" + B + "OK\n"},
      {"cancel", none, "srv\nbox\n Cancel \n", MAPI_E_USER_CANCEL, none,
       "..." + B + "Cancel\nCancelled.\n"},
      {"end of input", none, "", MAPI_E_USER_CANCEL, none, H + S + "\nCancelled.\n"},
      {"an unknown answer is asked again", none, "srv\nbox\nmaybe\n  oK \n", S_OK, typed,
       "..." + B + "maybe\n" + again + B + "oK\n"},
      {"end of input after an unknown answer", none, "srv\nbox\nmaybe\n", MAPI_E_USER_CANCEL, none,
       "..." + again + B + "\nCancelled.\n"},
      {"empty answers keep the values", resolved, "\n\nok\n", S_OK, resolved,
       H + "Microsoft Exchange server [old]: \nMailbox [mb]: \n" + B + "ok\n"},
      {"a new server drops its resolved name", resolved, "new\n\nok\n", S_OK,
       {"new", "mb", nullptr, mbDn.c_str()}, "..."},
      {"a new mailbox drops its resolved name", resolved, "\nbox\nok\n", S_OK,
       {"old", "box", oldDn.c_str(), nullptr}, "..."},
      {"both names are needed", none, "\nbox\ncheck\nsrv\n\nok\n", S_OK, typed,
       "..." + B + "check\nBoth a Microsoft Exchange server and a mailbox are needed.\n" + S +
           "srv\nMailbox [box]: \n" + B + "ok\n"},
      {"unresolvable names are refused", none, "a/b\nsrv\nbo\x01x\nbox\nok\n", S_OK, typed,
       H + S + "a/b\n" + refused + S + "srv\n" + M + "bo\x01x\n" + refused + M + "box\n" + B +
           "ok\n"},
      {"an overlong name is refused", none, longest + "x\nsrv\nbox\nok\n", S_OK, typed,
       "...\nA name is at most 255 characters long.\n" + S + "srv\n"},
      {"the longest name is taken", none, longest + "\nbox\nok\n", S_OK,
       {longest.c_str(), "box"}, "..."},
      {"line ends and blanks around answers", none, "  srv \r\nbox\r\nok", S_OK, typed,
       "..." + S + "srv\n" + M + "box\n" + B + "ok\n"},
      // clang-format on
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

TEST_F(ExchangeTest, TheLogonResolvesTheNames) {
  WriteServiceList(
      "[Services]\nMSEMS=Microsoft Exchange\n[MSEMS]\nOrganization=Tessivar\nSite=Lab\n");
  const char* serverDn = "/o=Tessivar/ou=Lab/cn=Configuration/cn=Servers/cn=srv";
  const char* userDn = "/o=Tessivar/ou=Lab/cn=Recipients/cn=box";
  const Exchange blank, onlyBox = {nullptr, "box"}, typed = {"srv", "box"};
  const Exchange resolved = {"srv", "box", serverDn, userDn}, unresolvable = {"s/v", "box"};
  struct {
    Exchange preset;
    HRESULT expected;
    Exchange after;
  } cases[] = {
      {blank, MAPI_E_LOGON_FAILED, blank},
      {onlyBox, MAPI_E_LOGON_FAILED, onlyBox},
      {typed, S_OK, resolved},
      {{"srv", "box", "/o=Old/cn=x", "/o=Old/cn=y"}, S_OK, resolved},
      {unresolvable, MAPI_E_LOGON_FAILED, unresolvable},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string profile = "Logon " + std::to_string(n++);
    SCOPED_TRACE(profile);
    Held<IMsgServiceAdmin> services;
    MAPIUID uid;
    MakeExchangeProfile(profile.c_str(), c.preset, &services, &uid);
    for (int attempt = 0; attempt < 2; attempt++) {  // a second logon finds all done
      Held<IMAPISession> session;
      EXPECT_EQ(c.expected, MAPILogonEx(0, (LPTSTR)profile.c_str(), nullptr,
                                        MAPI_NO_MAIL | MAPI_EXPLICIT_PROFILE, session.out()));
      EXPECT_EQ(c.expected == S_OK, (bool)session);
      EXPECT_EQ(session ? S_OK : E_FAIL, session ? session->Logoff(0, 0, 0) : E_FAIL);
      ExpectStored(profile.c_str(), c.after);
    }
  }
  LPMAPISESSION session = (LPMAPISESSION)1;
  EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, (LPTSTR) "Nobody", nullptr, 0, &session));
  EXPECT_EQ(nullptr, session);
  EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, nullptr, nullptr, MAPI_USE_DEFAULT, &session));
}

}  // namespace
