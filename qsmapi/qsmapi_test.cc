// The simulated subsystem's own guarantees, beyond what the workflow's runs show.
#include <gtest/gtest.h>

#include "support/mapitest.h"

namespace {

using namespace mapitest;

class MapiInitTest : public TempStoreTest {};

TEST_F(MapiInitTest, InitialisationsAreCountedAndNeededByEveryCall) {
  auto refused = [] {
    LPPROFADMIN admin = (LPPROFADMIN)1;
    HRESULT status = MAPIAdminProfiles(0, &admin);
    if (SUCCEEDED(status)) admin->Release();
    return status == MAPI_E_NOT_INITIALIZED && admin == nullptr;
  };
  EXPECT_TRUE(refused());
  ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
  ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
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

class MapiSubsystemTest : public MapiTest {};

TEST_F(MapiSubsystemTest, ProfilesAreNamedInAnyCaseAndAKeyBelongsToItsFirstName) {
  auto create = [&](const std::string& name) {
    return admin->CreateProfile((LPTSTR)name.c_str(), nullptr, 0, 0);
  };
  auto remove = [&](const std::string& name) {
    return admin->DeleteProfile((LPTSTR)name.c_str(), 0);
  };
  auto open = [&](const std::string& name) {
    Held<IMsgServiceAdmin> services;
    return admin->AdminServices((LPTSTR)name.c_str(), nullptr, 0, 0, services.out());
  };
  EXPECT_EQ(S_OK, create("Manager"));
  EXPECT_EQ(MAPI_E_NO_ACCESS, create("MANAGER"));
  EXPECT_EQ(S_OK, open("manager"));
  for (const char* bad : {"", "Manager\\x"}) EXPECT_EQ(MAPI_E_INVALID_PARAMETER, create(bad));
  // Names that share an encoded key: the second neither creates, opens, logs on to nor deletes it.
  struct {
    std::string name, sharer;
  } cases[] = {{"\xE9t\xE9", "[y~t[y~"}, {std::string(65, '\xE9'), std::string(64, '\xE9')}};
  for (const auto& c : cases) {
    LPMAPISESSION session = nullptr;
    ASSERT_EQ(S_OK, create(c.name));
    EXPECT_EQ(MAPI_E_NO_ACCESS, create(c.sharer));
    EXPECT_EQ(MAPI_E_NOT_FOUND, open(c.sharer));
    EXPECT_EQ(MAPI_E_NOT_FOUND, remove(c.sharer));
    EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, (LPTSTR)c.sharer.c_str(), nullptr, 0, &session));
    EXPECT_EQ(S_OK, remove(c.name));
    EXPECT_EQ(MAPI_E_NOT_FOUND, remove(c.name));
  }
}

TEST_F(MapiSubsystemTest, ADeletedProfileIsNeverBroughtBack) {
  Held<IMsgServiceAdmin> services;
  Held<IProfSect> section, another;
  Held<IMAPITable> table;
  MakeProfile("Gone", &services);
  ASSERT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                               MAPI_MODIFY, section.out()));
  MAPIUID uid = FirstUid(services.get());
  ASSERT_EQ(S_OK, admin->DeleteProfile((LPTSTR) "Gone", 0));
  SPropValue value = StringValue(PR_DISPLAY_NAME, "x");
  EXPECT_EQ(MAPI_E_NOT_FOUND, section->SetProps(1, &value, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->CreateMsgService((LPTSTR) "MSEMS", nullptr, 0, 0));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->ConfigureMsgService(&uid, 0, 0, 0, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->OpenProfileSection(&uid, nullptr, 0, another.out()));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->GetMsgServiceTable(0, table.out()));
  EXPECT_FALSE(KeyExists(ProfilePath("Gone")));
}

TEST_F(MapiSubsystemTest, SectionsKeepTypesReportProblemsAndReadOnlyOnesRefuseWrites) {
  Held<IMsgServiceAdmin> services;
  Held<IProfSect> section, readable;
  ULONG count = 0;
  Buffer<SPropValue> got;
  Buffer<SPropProblemArray> problems;
  MakeProfile("Props", &services);
  MAPIUID uid = {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0,
                  0xE0, 0xF0, 0x01}};
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, MAPI_MODIFY, section.out()));
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, 0, readable.out()));
  BYTE blob[] = {0, 1, 0xFF, 0};
  SPropValue values[5] = {StringValue(PROP_TAG(PT_STRING8, 0x6700), "text \xE9"),
                          StringValue(PROP_TAG(PT_BINARY, 0x6701), nullptr),
                          StringValue(PROP_TAG(PT_I8, 0x6704), nullptr),
                          StringValue(PROP_TAG(PT_ERROR, 0x6721), nullptr),
                          StringValue(PROP_TAG(PT_STRING8, 0x6722), nullptr)};
  values[1].Value.bin = {sizeof blob, blob};
  values[2].Value.li.QuadPart = -(1LL << 40);
  ASSERT_EQ(S_OK, section->SetProps(5, values, problems.out()));
  ASSERT_TRUE(problems);
  ASSERT_EQ(2u, problems->cProblem);
  EXPECT_EQ(MAPI_E_NO_SUPPORT, problems->aProblem[0].scode);
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, problems->aProblem[1].scode);
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->SetProps(1, values, nullptr));
  SizedSPropTagArray(1, deleted) = {1, {PROP_TAG(PT_I8, 0x6704)}};
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->DeleteProps((LPSPropTagArray)&deleted, nullptr));

  // The other section sees the writes at once; a missing property comes back in error.
  const ULONG absent = PROP_TAG(PT_STRING8, 0x6710);
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

}  // namespace
