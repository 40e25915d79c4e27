// The simulated subsystem's own guarantees, beyond what the workflow's runs show.
#include <gtest/gtest.h>

#include "qsmapi/plan.h"
#include "support/mapitest.h"

namespace {

using namespace mapitest;
using qsmapi::plan::ParseRule;
using qsmapi::plan::Rule;
using qsmapi::services::Service;

TEST_F(TempStoreTest, InitialisationsAreCountedAndNeededByEveryCall) {
  auto refused = [] {
    LPPROFADMIN admin = (LPPROFADMIN)1;
    HRESULT status = MAPIAdminProfiles(0, &admin);
    if (SUCCEEDED(status)) admin->Release();
    return status == MAPI_E_NOT_INITIALIZED && admin == nullptr;
  };
  EXPECT_TRUE(refused());
  for (int i = 0; i < 2; i++) ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
  Held<IProfAdmin> admin;
  LPVOID kept = nullptr;
  ASSERT_EQ(S_OK, MAPIAdminProfiles(0, admin.out()));
  ASSERT_EQ(S_OK, MAPIAllocateBuffer(8, &kept));
  MAPIUninitialize();
  EXPECT_FALSE(refused()) << "only the last MAPIUninitialize ends the subsystem";
  MAPIUninitialize();
  EXPECT_TRUE(refused());
  // Objects that outlive the subsystem refuse their work but can be released; buffers freed.
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, admin->CreateProfile((LPTSTR) "Q", nullptr, 0, 0));
  EXPECT_EQ(0u, MAPIFreeBuffer(kept));
  MAPIUninitialize();  // one too many is ignored
  EXPECT_TRUE(refused());
}

TEST_F(MapiTest, ProfilesAreNamedInAnyCaseAndAKeyBelongsToItsFirstName) {
  LPMAPISESSION session = nullptr;
  auto t = [](const std::string& text) { return (LPTSTR)text.c_str(); };
  EXPECT_EQ(S_OK, admin->CreateProfile(t("Manager"), nullptr, 0, 0));
  EXPECT_EQ(MAPI_E_NO_ACCESS, admin->CreateProfile(t("MANAGER"), nullptr, 0, 0));
  EXPECT_EQ(S_OK, admin->AdminServices(t("manager"), nullptr, 0, 0, services.out()));
  for (const char* bad : {"", "Manager\\x"})
    EXPECT_EQ(MAPI_E_INVALID_PARAMETER, admin->CreateProfile(t(bad), nullptr, 0, 0));
  // Names that share an encoded key: the second neither creates, opens, logs on to nor deletes it.
  const std::pair<std::string, std::string> cases[] = {
      {"\xE9t\xE9", "[y~t[y~"}, {std::string(65, '\xE9'), std::string(64, '\xE9')}};
  for (const auto& [name, sharer] : cases) {
    ASSERT_EQ(S_OK, admin->CreateProfile(t(name), nullptr, 0, 0));
    EXPECT_EQ(MAPI_E_NO_ACCESS, admin->CreateProfile(t(sharer), nullptr, 0, 0));
    EXPECT_EQ(MAPI_E_NOT_FOUND, admin->AdminServices(t(sharer), nullptr, 0, 0, services.out()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, admin->DeleteProfile(t(sharer), 0));
    EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, t(sharer), nullptr, 0, &session));
    EXPECT_EQ(S_OK, admin->DeleteProfile(t(name), 0));
    EXPECT_EQ(MAPI_E_NOT_FOUND, admin->DeleteProfile(t(name), 0));
  }
}

TEST_F(MapiTest, ADeletedProfileIsNeverBroughtBack) {
  Held<IProfSect> section, another;
  Held<IMAPITable> table;
  MakeProfile("Gone");
  ASSERT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                               MAPI_MODIFY, section.out()));
  MAPIUID uid = FirstUid("Gone");
  ASSERT_EQ(S_OK, admin->DeleteProfile((LPTSTR) "Gone", 0));
  SPropValue value = StringValue(PR_DISPLAY_NAME, "x");
  EXPECT_EQ(MAPI_E_NOT_FOUND, section->SetProps(1, &value, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->CreateMsgService((LPTSTR) "MSEMS", nullptr, 0, 0));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->ConfigureMsgService(&uid, 0, 0, 0, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->OpenProfileSection(&uid, nullptr, 0, another.out()));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->GetMsgServiceTable(0, table.out()));
  EXPECT_FALSE(ProfileExists("Gone"));
}

TEST_F(MapiTest, SectionsKeepTypesReportProblemsAndReadOnlyOnesRefuseWrites) {
  Held<IProfSect> section, readable;
  ULONG count = 0;
  Held<SPropValue> got;
  Held<SPropProblemArray> problems;
  MakeProfile("Props");
  MAPIUID uid = {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0,
                  0xE0, 0xF0, 0x01}};
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, MAPI_MODIFY, section.out()));
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, 0, readable.out()));
  BYTE blob[] = {0, 1, 0xFF, 0};
  // A string, binary data, a 64-bit number; a type no section keeps, and a string without text.
  SPropValue values[5] = {StringValue(0x6700001E, "text \xE9"), StringValue(0x67010102, nullptr),
                          StringValue(0x67040014, nullptr), StringValue(0x6721000A, nullptr),
                          StringValue(0x6722001E, nullptr)};
  values[1].Value.bin = {sizeof blob, blob};
  values[2].Value.li.QuadPart = -(1LL << 40);
  ASSERT_EQ(S_OK, section->SetProps(5, values, problems.out()));
  ASSERT_TRUE(problems && problems->cProblem == 2);
  EXPECT_EQ(MAPI_E_NO_SUPPORT, problems->aProblem[0].scode);
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, problems->aProblem[1].scode);
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->SetProps(1, values, nullptr));
  SizedSPropTagArray(1, deleted) = {1, {0x67040014}};
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->DeleteProps((LPSPropTagArray)&deleted, nullptr));
  // The other section sees the writes at once; a missing property comes back in error.
  const ULONG absent = 0x6710001E;
  SizedSPropTagArray(4, asked) = {4, {0x6700001E, 0x67010102, 0x67040014, absent}};
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED,
            readable->GetProps((LPSPropTagArray)&asked, 0, &count, got.out()));
  ASSERT_EQ(4u, count);
  EXPECT_STREQ("text \xE9", got[0].Value.lpszA);
  EXPECT_EQ(std::string((char*)blob, 4), std::string((char*)got[1].Value.bin.lpb, 4));
  EXPECT_EQ(-(1LL << 40), got[2].Value.li.QuadPart);
  EXPECT_EQ(CHANGE_PROP_TYPE(absent, PT_ERROR), got[3].ulPropTag);
  ASSERT_EQ(S_OK, section->DeleteProps((LPSPropTagArray)&deleted, nullptr));
  ASSERT_EQ(S_OK, readable->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(2u, count);
}

// The Exchange provider's guarantees that the end-to-end cases' answers cannot show: what its
// dialog refuses to keep, and which resolved names an edit or a logon replaces. A Global is the
// global section's server, mailbox and their resolved names; "" for one that is absent.
using Global = std::vector<std::string>;
SizedSPropTagArray(4, ExchangeTags) = {4,
                                       {PR_PROFILE_HOME_SERVER, PR_PROFILE_UNRESOLVED_NAME,
                                        PR_PROFILE_HOME_SERVER_DN, PR_PROFILE_USER}};

Global Read(IMsgServiceAdmin* services) {
  Held<IProfSect> section;
  Held<SPropValue> values;
  ULONG count = 0;
  Global global;
  EXPECT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr, 0,
                                               section.out()));
  section->GetProps((LPSPropTagArray)&ExchangeTags, 0, &count, values.out());
  for (ULONG i = 0; i < count; i++)
    global.push_back(values[i].ulPropTag == ExchangeTags.aulPropTag[i] ? values[i].Value.lpszA
                                                                       : "");
  return global;
}

TEST_F(MapiTest, TheDialogAndTheLogonKeepOnlyResolvableNamesAndNoStaleResolution) {
  const std::string longest(255, 'x'),
      site = "/o=Quorvane/ou=First Site",
      server = site + "/cn=Configuration/cn=Servers/cn=", box = site + "/cn=Recipients/cn=";
  const Global none = {"", "", "", ""}, typed = {"srv", "box", "", ""},
               resolved = {"srv", "box", server + "srv", box + "box"},
               old = {"old", "mb", server + "old", box + "mb"};
  // The section before, the dialog's answers (none: a logon instead, twice), status, section after.
  const std::tuple<Global, std::string, HRESULT, Global> cases[] = {
      {none, "a/b\nsrv\nbo\x01x\nbox\nok\n", S_OK, typed},
      {none, longest + "x\nsrv\nbox\nok\n", S_OK, typed},  // one too long
      {none, longest + "\nbox\nok\n", S_OK, {longest, "box", "", ""}},
      {none, "  srv \r\nbox\r\ncheck", S_OK, resolved},
      {old, "new\n\nok\n", S_OK, {"new", "mb", "", box + "mb"}},
      {old, "\nbox\nok\n", S_OK, {"old", "box", server + "old", ""}},
      {{"", "box", "", ""}, "", MAPI_E_LOGON_FAILED, {"", "box", "", ""}},
      {{"s/v", "box", "", ""}, "", MAPI_E_LOGON_FAILED, {"s/v", "box", "", ""}},
      {typed, "", S_OK, resolved},
      {{"srv", "box", "/o=Old/cn=x", "/o=Old/cn=y"}, "", S_OK, resolved},
  };
  int number = 0;
  for (const auto& [preset, input, expected, after] : cases) {
    std::string profile = "Profile " + std::to_string(number++);
    SCOPED_TRACE(profile);
    std::vector<SPropValue> values;
    for (int i = 0; i < 4; i++)
      if (!preset[i].empty())
        values.push_back(StringValue(ExchangeTags.aulPropTag[i], preset[i].c_str()));
    MakeProfile(profile.c_str(), values);
    MAPIUID uid = FirstUid(profile);
    WriteFile(configHome + "/answers.txt", input);
    ASSERT_NE(nullptr, freopen((configHome + "/answers.txt").c_str(), "r", stdin));
    for (int attempt = 0; attempt < (input.empty() ? 2 : 1); attempt++) {
      Held<IMAPISession> session;
      testing::internal::CaptureStderr();  // the dialog's prompts
      HRESULT status = input.empty()
                           ? MAPILogonEx(0, (LPTSTR)profile.c_str(), nullptr,
                                         MAPI_NO_MAIL | MAPI_EXPLICIT_PROFILE, session.out())
                           : services->ConfigureMsgService(
                                 &uid, 0, SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED, 0, nullptr);
      testing::internal::GetCapturedStderr();
      EXPECT_EQ(input.empty() && SUCCEEDED(status), (bool)session);
      EXPECT_EQ(S_OK, session ? session->Logoff(0, 0, 0) : S_OK);
      EXPECT_EQ(expected, status);
      EXPECT_EQ(after, Read(services.value));
    }
  }
}

// Each rule and what it parses to (call, occurrence, Kind and status), or "" when it is refused.
TEST(ParseRule, TakesCallNumberAndKindAndRefusesAnythingElse) {
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"GetProps#2:0X0004abCD", "GetProps 2 0 0004abcd"}, {"Logoff:empty", "Logoff 1 1 00000000"},
      {"Session.Release#1000000:raise", "Session.Release 1000000 3 e0515300"},
      {"Logoff:raise", "Logoff 1 3 e0515300"}, {"Logoff:raise=0x000006ba", "Logoff 1 3 000006ba"},
      {"GetProps:empty=0x00040380", "GetProps 1 1 00040380"},
      {"CreateProfile", ""}, {":raise", ""}, {"Create Profile:raise", ""}, {"A:B:raise", ""},
      {"Logoff#0:raise", ""}, {"Logoff#2x:raise", ""}, {"Logoff#1000001:raise", ""},
      {"Logoff:Raise", ""}, {"Logoff:0x8004011", ""}, {"Logoff:0x8004011G", ""},
      {"Logoff:fault=0x00000001", ""}, {"Logoff:empty=", ""}, {"Logoff:raise=6ba", ""},
      {"Logoff:0x00000001=0x00000001", ""}, {"Logoff:=0x00000001", ""},
      // clang-format on
  };
  for (auto [text, parsed] : cases) {
    Rule rule;
    std::string problem;
    char got[64] = "";
    if (ParseRule(text, &rule, &problem))
      snprintf(got, sizeof got, "%s %d %d %08lx", rule.call.c_str(), rule.occurrence,
               (int)rule.kind, (unsigned long)(ULONG)rule.status);
    EXPECT_STREQ(parsed, got) << text << ": " << problem;
    EXPECT_TRUE(*got || !problem.empty()) << text;
  }
}

TEST(ServiceList, AMalformedFileInstallsNothingAndNamesItsLineAndProblem) {
  const std::pair<std::string, const char*> cases[] = {
      {"MSEMS=Microsoft Exchange\n", "1: line outside a section"},
      {"; c\n[Services]\nMSEMS\n", "3: line without '='"},
      {"[Services\n", "1: unterminated section header"},
      {"[Services]\nMSEMS=Exchange\n\n[Other]\n", "2: service MSEMS has no [MSEMS] section"},
      {"[Services]\n[MSEMS]\n[services]\n",
       "3: section [services] appears again (first at line 1)"},
      {"[Services]\nA=1\na=2\n[A]\n", "3: service a is listed again (first at line 2)"},
      // The directory's names are built from Organization and Site.
      {"[MSEMS]\nOrganization=Q/x\n", "2: Organization cannot contain '/' or control characters"},
      {std::string("[MSEMS]\nSite=A\0B\n", 16), "2: Site cannot contain '/' or control characters"},
  };
  for (const auto& [text, diagnostic] : cases) {
    std::vector<Service> services = {{"stale", "", {}}};
    std::string got;
    EXPECT_FALSE(qsmapi::services::ParseList(text, "f", &services, &got)) << text;
    EXPECT_EQ("f:" + std::string(diagnostic) + "; no message services are installed", got);
    EXPECT_TRUE(services.empty());
  }
}

}  // namespace
