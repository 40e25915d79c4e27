// The Exchange provider's guarantees that the end-to-end cases' answers cannot show: what its
// dialog refuses to keep, and which resolved names an edit or a logon replaces.
#include <gtest/gtest.h>

#include "support/mapitest.h"

namespace {

using namespace mapitest;

const std::string Site = "/o=Quorvane/ou=First Site";
const std::string SrvDn = Site + "/cn=Configuration/cn=Servers/cn=srv";
const std::string BoxDn = Site + "/cn=Recipients/cn=box";
const ULONG ExchangeTags[4] = {PR_PROFILE_HOME_SERVER, PR_PROFILE_UNRESOLVED_NAME,
                               PR_PROFILE_HOME_SERVER_DN, PR_PROFILE_USER};
// The global section's server, mailbox and their resolved names; "" for one that is absent.
using Global = std::vector<std::string>;

class ExchangeTest : public MapiTest {};

TEST_F(ExchangeTest, TheDialogAndTheLogonKeepOnlyResolvableNamesAndNoStaleResolution) {
  const std::string longest(255, 'x'), oldDn = Site + "/cn=Configuration/cn=Servers/cn=old",
                                       mbDn = Site + "/cn=Recipients/cn=mb";
  const Global none = {"", "", "", ""}, typed = {"srv", "box", "", ""},
               resolved = {"srv", "box", SrvDn, BoxDn}, old = {"old", "mb", oldDn, mbDn};
  struct {
    Global preset;
    std::string input;  // the dialog's answers; none: a logon instead
    HRESULT expected;
    Global after;
  } cases[] = {
      {none, "a/b\nsrv\nbo\x01x\nbox\nok\n", S_OK, typed},
      {none, longest + "x\nsrv\nbox\nok\n", S_OK, typed},  // one too long
      {none, longest + "\nbox\nok\n", S_OK, {longest, "box", "", ""}},
      {none, "  srv \r\nbox\r\ncheck", S_OK, resolved},
      {old, "new\n\nok\n", S_OK, {"new", "mb", "", mbDn}},
      {old, "\nbox\nok\n", S_OK, {"old", "box", oldDn, ""}},
      {{"", "box", "", ""}, "", MAPI_E_LOGON_FAILED, {"", "box", "", ""}},
      {{"s/v", "box", "", ""}, "", MAPI_E_LOGON_FAILED, {"s/v", "box", "", ""}},
      {typed, "", S_OK, resolved},
      {{"srv", "box", "/o=Old/cn=x", "/o=Old/cn=y"}, "", S_OK, resolved},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string profile = "Profile " + std::to_string(n++);
    SCOPED_TRACE(profile);
    std::vector<SPropValue> values;
    for (int i = 0; i < 4; i++)
      if (!c.preset[i].empty()) values.push_back(StringValue(ExchangeTags[i], c.preset[i].c_str()));
    Held<IMsgServiceAdmin> services;
    MakeProfile(profile.c_str(), &services, {"MSEMS"}, values);
    for (int attempt = 0; attempt < 2; attempt++) {  // a second logon finds all done
      bool dialog = !c.input.empty();
      if (dialog && attempt > 0) break;
      HRESULT status;
      if (dialog) {
        MAPIUID uid = FirstUid(services.get());
        WriteFile(configHome + "/answers.txt", c.input);
        ASSERT_NE(nullptr, freopen((configHome + "/answers.txt").c_str(), "r", stdin));
        testing::internal::CaptureStderr();
        status = services->ConfigureMsgService(&uid, 0, SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED, 0,
                                               nullptr);
        testing::internal::GetCapturedStderr();
      } else {
        Held<IMAPISession> session;
        status = MAPILogonEx(0, (LPTSTR)profile.c_str(), nullptr,
                             MAPI_NO_MAIL | MAPI_EXPLICIT_PROFILE, session.out());
        EXPECT_EQ(SUCCEEDED(status), (bool)session);
        if (session) {
          EXPECT_EQ(S_OK, session->Logoff(0, 0, 0));
        }
      }
      EXPECT_EQ(c.expected, status);
      std::map<ULONG, std::string> global = GlobalStrings(profile.c_str());
      Global after;
      for (ULONG tag : ExchangeTags) after.push_back(global.count(tag) ? global[tag] : "");
      EXPECT_EQ(c.after, after);
    }
  }
}

}  // namespace
