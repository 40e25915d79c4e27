#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "support/mapitest.h"

namespace {

using namespace mapitest;

class MapiInitTest : public TempStoreTest {};

TEST_F(MapiInitTest, EveryCallNeedsAnInitialisedSubsystem) {
  auto expectRefused = [](const char* when) {
    LPPROFADMIN admin = (LPPROFADMIN)1;
    LPMAPISESSION session = nullptr;
    LPVOID buffer = nullptr;
    EXPECT_EQ(MAPI_E_NOT_INITIALIZED, MAPIAdminProfiles(0, &admin)) << when;
    EXPECT_EQ(nullptr, admin) << when;
    EXPECT_EQ(MAPI_E_NOT_INITIALIZED, MAPILogonEx(0, (LPTSTR) "P", nullptr, 0, &session)) << when;
    EXPECT_EQ(MAPI_E_NOT_INITIALIZED, MAPIAllocateBuffer(8, &buffer)) << when;
  };
  expectRefused("before the first MAPIInitialize");

  // Initialisations are counted: only the last MAPIUninitialize ends them.
  MAPIINIT_0 init = {MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
  ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
  ASSERT_EQ(S_OK, MAPIInitialize(&init));
  Held<IProfAdmin> admin;
  Held<IMsgServiceAdmin> services;
  LPVOID kept = nullptr;
  ASSERT_EQ(S_OK, MAPIAdminProfiles(0, admin.out()));
  ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR) "P", nullptr, 0, 0));
  ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR) "P", nullptr, 0, 0, services.out()));
  ASSERT_EQ(S_OK, MAPIAllocateBuffer(8, &kept));
  MAPIUninitialize();
  EXPECT_EQ(MAPI_E_NOT_FOUND, admin->DeleteProfile((LPTSTR) "Absent", 0)) << "still initialised";
  MAPIUninitialize();
  expectRefused("after the last MAPIUninitialize");

  // Objects that outlive the subsystem refuse their work but can be released; buffers freed.
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, admin->CreateProfile((LPTSTR) "Q", nullptr, 0, 0));
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, services->GetMsgServiceTable(0, &table));
  EXPECT_EQ(0u, MAPIFreeBuffer(kept));
  MAPIUninitialize();  // one too many is ignored
  expectRefused("after an unbalanced MAPIUninitialize");
}

class MapiBufferTest : public MapiTest {};

TEST_F(MapiBufferTest, ChainsAreFreedWithTheirRoot) {
  LPVOID root = nullptr, block = nullptr;
  ASSERT_EQ(S_OK, MAPIAllocateBuffer(24, &root));
  EXPECT_EQ(0u, (uintptr_t)root % alignof(std::max_align_t));
  // "More" blocks hang on the root, also when allocated on another "more" block.
  std::vector<LPVOID> more = {root};
  for (ULONG size : {0u, 1u, 100u, 4096u}) {
    ASSERT_EQ(S_OK, MAPIAllocateMore(size, more.back(), &block));
    EXPECT_EQ(0u, (uintptr_t)block % alignof(std::max_align_t));
    memset(block, 0xCD, size);
    more.push_back(block);
  }
  // A "more" block is freed only with its root; alone it is refused and stays usable.
  EXPECT_NE(0u, MAPIFreeBuffer(more[3]));
  memset(more[3], 0xEF, 100);
  // Freeing the root frees all five blocks: a leak fails the sanitizer build.
  EXPECT_EQ(0u, MAPIFreeBuffer(root));
  EXPECT_EQ(0u, MAPIFreeBuffer(nullptr));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, MAPIAllocateMore(8, nullptr, &block));
  EXPECT_EQ(nullptr, block);
}

class MapiProfileTest : public MapiTest {};

HRESULT Create(IProfAdmin* admin, const char* name) {
  return admin->CreateProfile((LPTSTR)name, nullptr, 0, 0);
}
HRESULT Delete(IProfAdmin* admin, const char* name) {
  return admin->DeleteProfile((LPTSTR)name, 0);
}
HRESULT Open(IProfAdmin* admin, const char* name) {
  Held<IMsgServiceAdmin> services;
  HRESULT status = admin->AdminServices((LPTSTR)name, nullptr, 0, MAPI_DIALOG, services.out());
  EXPECT_EQ(SUCCEEDED(status), (bool)services);
  return status;
}

TEST_F(MapiProfileTest, CreateRefuseReuseDelete) {
  struct {
    HRESULT (*call)(IProfAdmin*, const char*);
    const char* name;
    HRESULT expected;
  } steps[] = {
      {Open, "Manager", MAPI_E_NOT_FOUND},
      {Delete, "Manager", MAPI_E_NOT_FOUND},
      {Create, "Manager", S_OK},
      {Create, "MANAGER", MAPI_E_NO_ACCESS},  // names are compared in any case
      {Open, "manager", S_OK},
      {Create, "Agent", S_OK},
      {Delete, "Manager", S_OK},
      {Delete, "Manager", MAPI_E_NOT_FOUND},
      {Open, "Manager", MAPI_E_NOT_FOUND},
      {Open, "Agent", S_OK},
      {Create, "Manager", S_OK},
      {Create, "", MAPI_E_INVALID_PARAMETER},
      {Create, nullptr, MAPI_E_INVALID_PARAMETER},
      {Create, "Manager\\x", MAPI_E_INVALID_PARAMETER},  // it would reach into another key
      {Delete, "Manager\\x", MAPI_E_NOT_FOUND},
  };
  int n = 0;
  for (const auto& step : steps)
    EXPECT_EQ(step.expected, step.call(admin.get(), step.name)) << "step " << n++;
  EXPECT_TRUE(KeyExists(ProfilePath("Manager")));
}

TEST_F(MapiProfileTest, KeysAreNamedByTheEncodedNameWhichNamesMayShare) {
  std::string allBytes, highKey;
  for (int c = 1; c < 256; c++)
    if (c != '\\') allBytes += (char)c;
  for (int i = 0; i < 64; i++) highKey += "[y~";
  struct {
    std::string name, key, sharer;  // sharer: another name of the same key
  } cases[] = {
      {"\xE9t\xE9", "[y~t[y~", "[y~t[y~"},
      {std::string(70, 'x'), std::string(64, 'x'), std::string(64, 'x') + "2"},
      {std::string(65, '\xE9'), highKey, std::string(64, '\xE9')},
      {allBytes, allBytes.substr(0, 64), allBytes.substr(0, 64)},  // bytes 1 to 64 as they are
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    LPMAPISESSION session = nullptr;
    ASSERT_EQ(S_OK, Create(admin.get(), c.name.c_str()));
    EXPECT_TRUE(KeyExists(ProfilePath(c.key)));
    EXPECT_EQ(S_OK, Open(admin.get(), c.name.c_str()));
    // The key is the first name's: the other name neither creates, opens nor deletes it.
    EXPECT_EQ(MAPI_E_NO_ACCESS, Create(admin.get(), c.sharer.c_str()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, Open(admin.get(), c.sharer.c_str()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, Delete(admin.get(), c.sharer.c_str()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, (LPTSTR)c.sharer.c_str(), nullptr, 0, &session));
    EXPECT_EQ(S_OK, Delete(admin.get(), c.name.c_str()));
    EXPECT_FALSE(KeyExists(ProfilePath(c.key)));
  }
}

TEST_F(MapiProfileTest, ADeletedProfileIsNeverBroughtBack) {
  Held<IMsgServiceAdmin> services;
  Held<IProfSect> section, another;
  Held<IMAPITable> table;
  MakeProfile("Gone", &services);
  ASSERT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                               MAPI_MODIFY, section.out()));
  std::vector<MAPIUID> uids = ServiceUids(services.get());
  ASSERT_EQ(S_OK, Delete(admin.get(), "Gone"));
  SPropValue value = StringValue(PR_DISPLAY_NAME, "x");
  EXPECT_EQ(MAPI_E_NOT_FOUND, section->SetProps(1, &value, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->CreateMsgService((LPTSTR) "MSEMS", nullptr, 0, 0));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->ConfigureMsgService(&uids[0], 0, 0, 0, nullptr));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->OpenProfileSection(&uids[0], nullptr, 0, another.out()));
  EXPECT_EQ(MAPI_E_NOT_FOUND, services->GetMsgServiceTable(0, table.out()));
  EXPECT_FALSE(KeyExists(ProfilePath("Gone")));
}

TEST_F(MapiProfileTest, AnUnusableStoreFailsCleanly) {
  Held<IMsgServiceAdmin> services;
  Held<IMAPITable> table;
  LPMAPISESSION session = nullptr;
  MakeProfile("Kept", &services);
  // Another file takes the store's place while it is in use. (Overwriting the file in place
  // under a live write-ahead log is damage SQLite cannot see until it reads the damaged pages.)
  const std::string garbage(8192, 'g');
  WriteFile(storePath() + ".new", garbage);
  ASSERT_EQ(0, rename((storePath() + ".new").c_str(), storePath().c_str()));
  testing::internal::CaptureStderr();  // the registry says why, once
  EXPECT_TRUE(FAILED(Create(admin.get(), "New")));
  EXPECT_TRUE(FAILED(Open(admin.get(), "Kept")));
  EXPECT_TRUE(FAILED(services->GetMsgServiceTable(0, table.out())));
  EXPECT_TRUE(FAILED(MAPILogonEx(0, (LPTSTR) "Kept", nullptr, 0, &session)));
  EXPECT_EQ(nullptr, session);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(garbage, ReadFile(storePath())) << "the store is left as it was found";
}

class MapiServiceTest : public MapiTest {};

TEST_F(MapiServiceTest, ServicesAreListedInCreationOrderWithTheColumnsSet) {
  WriteServiceList("[Services]\nMSEMS=Microsoft Exchange\nCONTAB=Contacts\n[MSEMS]\n[CONTAB]\n");
  Held<IMsgServiceAdmin> services;
  MakeProfile("Ordered", &services, {});
  auto create = [&](const char* service, const char* shown) {
    return services->CreateMsgService((LPTSTR)service, (LPTSTR)shown, 0, 0);
  };
  EXPECT_EQ(MAPI_E_NOT_FOUND, create("NOPE", nullptr));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, create("", nullptr));
  ASSERT_EQ(S_OK, create("contab", nullptr));  // any case; the listed display name
  ASSERT_EQ(S_OK, create("MSEMS", "Mine"));
  ASSERT_EQ(S_OK, create("MSEMS", ""));
  Held<IMAPITable> table;
  Rows rows;
  const ULONG missing = PROP_TAG(PT_LONG, 0x6700);
  Tags columns = {PR_DISPLAY_NAME, PR_SERVICE_NAME, PR_SERVICE_UID, missing};
  ASSERT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
  ASSERT_EQ(S_OK, HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 3, rows.out()));
  ASSERT_EQ(3u, rows->cRows);
  std::vector<std::string> shown;
  std::set<std::string> uids;
  for (ULONG i = 0; i < rows->cRows; i++) {
    const SPropValue* props = rows->aRow[i].lpProps;
    ASSERT_EQ(4u, rows->aRow[i].cValues);
    shown.insert(shown.end(), {props[0].Value.lpszA, props[1].Value.lpszA});
    uids.insert(std::string((char*)props[2].Value.bin.lpb, props[2].Value.bin.cb));
    EXPECT_EQ(CHANGE_PROP_TYPE(missing, PT_ERROR), props[3].ulPropTag);
    EXPECT_EQ(MAPI_E_NOT_FOUND, props[3].Value.err);
  }
  EXPECT_EQ((std::vector<std::string>{"Contacts", "CONTAB", "Mine", "MSEMS", "Microsoft Exchange",
                                      "MSEMS"}),
            shown);
  EXPECT_EQ(3u, uids.size()) << "every service has a UID of its own";

  // The table can neither filter nor sort, and a row limit is kept.
  static char opaque[64];  // a restriction is never looked into
  SSortOrderSet order = {1, 0, 0, {{PR_DISPLAY_NAME, 0}}};
  EXPECT_EQ(MAPI_E_TABLE_TOO_BIG,
            HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 2, rows.out()));
  EXPECT_EQ(MAPI_E_TOO_COMPLEX,
            HrQueryAllRows(table.get(), nullptr, nullptr, &order, 0, rows.out()));
  EXPECT_EQ(MAPI_E_TOO_COMPLEX,
            HrQueryAllRows(table.get(), nullptr, (LPSRestriction)opaque, nullptr, 0, rows.out()));
  EXPECT_FALSE(rows);
}

class MapiSectionTest : public MapiTest {
 protected:
  void SetUp() override {
    MapiTest::SetUp();
    MakeProfile("Props", &services);
    ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, MAPI_MODIFY, section.out()));
  }
  void TearDown() override {
    section.reset();
    services.reset();
    MapiTest::TearDown();
  }
  MAPIUID uid = {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0,
                  0xE0, 0xF0, 0x01}};
  std::string path = ProfilePath("Props") + "\\102030405060708090a0b0c0d0e0f001";
  Held<IMsgServiceAdmin> services;
  Held<IProfSect> section;
  ULONG count = 0;
  Buffer<SPropValue> got;
};

TEST_F(MapiSectionTest, PropertiesKeepTheirTypesAndMissingOnesAreErrors) {
  // A section that does not exist yet reads empty and is made by its first write.
  ASSERT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(0u, count);
  EXPECT_FALSE(KeyExists(path));
  BYTE blob[] = {0, 1, 2, 0xFF, 0};
  SPropValue values[6] = {StringValue(PROP_TAG(PT_STRING8, 0x6700), "text \xE9"),
                          StringValue(PROP_TAG(PT_BINARY, 0x6701), nullptr),
                          StringValue(PROP_TAG(PT_LONG, 0x6702), nullptr),
                          StringValue(PROP_TAG(PT_BOOLEAN, 0x6703), nullptr),
                          StringValue(PROP_TAG(PT_I8, 0x6704), nullptr),
                          StringValue(PROP_TAG(PT_I2, 0x6705), nullptr)};
  values[1].Value.bin = {sizeof blob, blob};
  values[2].Value.l = -5;
  values[3].Value.b = 7;
  values[4].Value.li.QuadPart = -(1LL << 40);
  values[5].Value.i = -2;
  ASSERT_EQ(S_OK, section->SetProps(6, values, nullptr));
  EXPECT_TRUE(KeyExists(path));

  const ULONG absent = PROP_TAG(PT_STRING8, 0x6710), anyType = PROP_TAG(PT_UNSPECIFIED, 0x6702);
  Tags asked = {absent,     0x67050002, 0x67040014, 0x6703000B,
                0x67020003, 0x67010102, 0x6700001E, anyType};
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED, section->GetProps(asked.get(), 0, &count, got.out()));
  ASSERT_EQ(8u, count);
  for (ULONG i = 1; i < 7; i++) EXPECT_EQ(asked.aulPropTag[i], got[i].ulPropTag);
  EXPECT_EQ(CHANGE_PROP_TYPE(absent, PT_ERROR), got[0].ulPropTag);
  EXPECT_EQ(MAPI_E_NOT_FOUND, got[0].Value.err);
  EXPECT_EQ(-2, got[1].Value.i);
  EXPECT_EQ(-(1LL << 40), got[2].Value.li.QuadPart);
  EXPECT_EQ(1, got[3].Value.b);
  EXPECT_EQ(-5, got[4].Value.l);
  EXPECT_EQ(std::string((char*)blob, 5),
            std::string((char*)got[5].Value.bin.lpb, got[5].Value.bin.cb));
  EXPECT_STREQ("text \xE9", got[6].Value.lpszA);
  EXPECT_EQ(0x67020003u, got[7].ulPropTag) << "PT_UNSPECIFIED finds any type";
  Tags present = {0x67020003};
  EXPECT_EQ(S_OK, section->GetProps(present.get(), 0, &count, got.out()));
  EXPECT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(6u, count) << "no tags: every property";
}

TEST_F(MapiSectionTest, WritesReplaceDeleteAndReportProblems) {
  Tags deleted = {PROP_TAG(PT_LONG, 0x6720)};
  EXPECT_EQ(S_OK, section->DeleteProps(deleted.get(), nullptr)) << "absent is fine";
  SPropValue values[3] = {StringValue(PROP_TAG(PT_LONG, 0x6720), nullptr),
                          StringValue(PROP_TAG(PT_ERROR, 0x6721), nullptr),
                          StringValue(PROP_TAG(PT_STRING8, 0x6722), nullptr)};
  Buffer<SPropProblemArray> problems;
  ASSERT_EQ(S_OK, section->SetProps(3, values, problems.out()));
  ASSERT_TRUE(problems);
  ASSERT_EQ(2u, problems->cProblem);
  EXPECT_EQ(1u, problems->aProblem[0].ulIndex);
  EXPECT_EQ(MAPI_E_NO_SUPPORT, problems->aProblem[0].scode);
  EXPECT_EQ(2u, problems->aProblem[1].ulIndex);
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, problems->aProblem[1].scode);

  // A value of another type for an identifier replaces the old one; deleting goes by identifier.
  SPropValue retyped = StringValue(PROP_TAG(PT_STRING8, 0x6720), "now text");
  ASSERT_EQ(S_OK, section->SetProps(1, &retyped, nullptr));
  ASSERT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(retyped.ulPropTag, got[0].ulPropTag);
  ASSERT_EQ(S_OK, section->DeleteProps(deleted.get(), nullptr));
  ASSERT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(0u, count);

  // A section opened without MAPI_MODIFY only reads, and sees the other's writes at once.
  Held<IProfSect> readable, none;
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, 0, readable.out()));
  ASSERT_EQ(S_OK, section->SetProps(1, &retyped, nullptr));
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->SetProps(1, &retyped, problems.out()));
  EXPECT_FALSE(problems);
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->DeleteProps(deleted.get(), nullptr));
  Tags text = {retyped.ulPropTag};
  ASSERT_EQ(S_OK, readable->GetProps(text.get(), 0, &count, got.out()));
  EXPECT_STREQ("now text", got[0].Value.lpszA);
  const IID stranger = {1, 2, 3, {4}};
  EXPECT_EQ(MAPI_E_INTERFACE_NOT_SUPPORTED,
            services->OpenProfileSection(&uid, &stranger, 0, none.out()));
}

}  // namespace
