#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/mapi-posix-testing.h"

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
  MAPIINIT_0 future = {MAPI_INIT_VERSION + 1, 0};
  EXPECT_EQ(MAPI_E_VERSION, MAPIInitialize(&future));
  expectRefused("after a refused MAPIInitialize");
}

class MapiBufferTest : public MapiTest {};

TEST_F(MapiBufferTest, ChainsAreFreedWithTheirRoot) {
  LPVOID root = nullptr;
  ASSERT_EQ(S_OK, MAPIAllocateBuffer(24, &root));
  EXPECT_EQ(0u, (uintptr_t)root % alignof(std::max_align_t));
  // "More" blocks hang on the root, also when allocated on another "more" block.
  std::vector<LPVOID> more;
  for (ULONG size : {0u, 1u, 100u, 4096u}) {
    LPVOID block = nullptr;
    ASSERT_EQ(S_OK, MAPIAllocateMore(size, more.empty() ? root : more.back(), &block));
    EXPECT_EQ(0u, (uintptr_t)block % alignof(std::max_align_t));
    memset(block, 0xCD, size);
    more.push_back(block);
  }
  // A "more" block is freed only with its root; alone it is refused and stays usable.
  EXPECT_NE(0u, MAPIFreeBuffer(more[2]));
  memset(more[2], 0xEF, 100);
  // Freeing the root frees all five blocks: a leak fails the sanitizer build.
  EXPECT_EQ(0u, MAPIFreeBuffer(root));
  EXPECT_EQ(0u, MAPIFreeBuffer(nullptr));
  LPVOID block = (LPVOID)1;
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, MAPIAllocateMore(8, nullptr, &block));
  EXPECT_EQ(nullptr, block);
}

TEST_F(MapiBufferTest, ObjectsCountReferencesAndAnswerForIUnknown) {
  Held<IMsgServiceAdmin> services;
  Held<IMAPITable> table;
  Held<IProfSect> section;
  Held<IMAPISession> session;
  MakeProfile("Refs", &services, {});  // without an Exchange service it logs on at once
  ASSERT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
  ASSERT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr, 0,
                                               section.out()));
  ASSERT_EQ(S_OK, MAPILogonEx(0, (LPTSTR) "Refs", nullptr, 0, session.out()));
  const IID unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  const IID stranger = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  IUnknown* objects[] = {admin.get(), services.get(), table.get(), section.get(), session.get()};
  for (IUnknown* object : objects) {
    EXPECT_EQ(2u, object->AddRef());
    EXPECT_EQ(3u, object->AddRef());
    EXPECT_EQ(2u, object->Release());
    LPVOID same = nullptr, none = (LPVOID)1;
    EXPECT_EQ(S_OK, object->QueryInterface(unknown, &same));
    EXPECT_EQ((LPVOID)object, same);
    EXPECT_EQ(2u, object->Release());  // the reference QueryInterface added
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(stranger, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(1u, object->Release());
  }
  EXPECT_EQ(S_OK, session->Logoff(0, 0, 0));
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
    const char* what;
    HRESULT (*call)(IProfAdmin*, const char*);
    const char* name;
    HRESULT expected;
  } steps[] = {
      {"open before creation", Open, "Manager", MAPI_E_NOT_FOUND},
      {"delete before creation", Delete, "Manager", MAPI_E_NOT_FOUND},
      {"create", Create, "Manager", S_OK},
      {"create again", Create, "Manager", MAPI_E_NO_ACCESS},
      {"create in another case", Create, "MANAGER", MAPI_E_NO_ACCESS},
      {"open", Open, "Manager", S_OK},
      {"open in another case", Open, "manager", S_OK},
      {"create a second", Create, "Agent", S_OK},
      {"delete", Delete, "Manager", S_OK},
      {"delete again", Delete, "Manager", MAPI_E_NOT_FOUND},
      {"open after deletion", Open, "Manager", MAPI_E_NOT_FOUND},
      {"the other survives", Open, "Agent", S_OK},
      {"create after deletion", Create, "Manager", S_OK},
      {"empty name", Create, "", MAPI_E_INVALID_PARAMETER},
      {"null name", Create, nullptr, MAPI_E_INVALID_PARAMETER},
      {"a backslash reaches into another key", Create, "Manager\\x", MAPI_E_INVALID_PARAMETER},
      {"so none is found", Open, "Manager\\x", MAPI_E_NOT_FOUND},
      {"nor deleted", Delete, "Manager\\x", MAPI_E_NOT_FOUND},
  };
  for (const auto& step : steps)
    EXPECT_EQ(step.expected, step.call(admin.get(), step.name)) << step.what;
  EXPECT_TRUE(KeyExists(ProfilePath("Manager")));
}

TEST_F(MapiProfileTest, KeysAreNamedByTheEncodedName) {
  std::string allBytes, highKey;
  for (int c = 1; c < 256; c++)
    if (c != '\\') allBytes += (char)c;
  for (int i = 0; i < 64; i++) highKey += "[\x7f\x7f";
  struct {
    std::string name, key;
  } cases[] = {
      {"Plain Name", "Plain Name"},
      {"\xE9t\xE9", "[y~t[y~"},
      {"\x80\xFF", "[px[\x7f\x7f"},
      {std::string(70, 'x'), std::string(64, 'x')},
      {std::string(255, '\xFF'), highKey},
      {allBytes, allBytes.substr(0, 64)},  // bytes 1 to 64 are copied as they are
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ASSERT_EQ(S_OK, Create(admin.get(), c.name.c_str()));
    EXPECT_TRUE(KeyExists(ProfilePath(c.key)));
    EXPECT_EQ(std::make_pair((DWORD)REG_SZ, c.name + '\0'),
              ReadRegValue(ProfilePath(c.key), "ProfileName"));
    EXPECT_EQ(S_OK, Open(admin.get(), c.name.c_str()));
    EXPECT_EQ(S_OK, Delete(admin.get(), c.name.c_str()));
    EXPECT_FALSE(KeyExists(ProfilePath(c.key)));
  }
}

TEST_F(MapiProfileTest, NamesSharingAKeyAreOneExistingProfile) {
  struct {
    const char* what;
    std::string first, second;
  } cases[] = {
      {"'[' spelled out against a high byte", "[qx", "\x81"},
      {"alike in the first 64 bytes", std::string(64, 'n') + "1", std::string(64, 'n') + "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(S_OK, Create(admin.get(), c.first.c_str()));
    EXPECT_EQ(MAPI_E_NO_ACCESS, Create(admin.get(), c.second.c_str()));
    // The key is the first profile's: the other name neither opens nor deletes it.
    LPMAPISESSION session = nullptr;
    EXPECT_EQ(MAPI_E_NOT_FOUND, Open(admin.get(), c.second.c_str()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, Delete(admin.get(), c.second.c_str()));
    EXPECT_EQ(MAPI_E_NOT_FOUND, MAPILogonEx(0, (LPTSTR)c.second.c_str(), nullptr, 0, &session));
    EXPECT_EQ(S_OK, Delete(admin.get(), c.first.c_str()));
  }
  // A key without a stored name (seeded with the registry tool) is the profile of its name.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, ProfilePath("Seeded").c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(MAPI_E_NO_ACCESS, Create(admin.get(), "Seeded"));
  EXPECT_EQ(S_OK, Open(admin.get(), "Seeded"));
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
  const std::string garbage(8192, 'g');
  WriteFile(storePath(), garbage);
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

TEST_F(MapiServiceTest, ServicesAreListedInCreationOrder) {
  WriteServiceList(
      "[Services]\nMSEMS=Microsoft Exchange\nMSPST MS=Personal Folders\nCONTAB=Contacts\n"
      "[MSEMS]\n[MSPST MS]\n[CONTAB]\n");
  Held<IMsgServiceAdmin> services;
  MakeProfile("Ordered", &services, {});
  struct {
    const char *service, *displayName;
    HRESULT expected;
    const char *listedAs, *shownAs;
  } cases[] = {
      {"MSEMS", "Microsoft Exchange", S_OK, "MSEMS", "Microsoft Exchange"},
      {"NOPE", nullptr, MAPI_E_NOT_FOUND, nullptr, nullptr},
      {"contab", nullptr, S_OK, "CONTAB", "Contacts"},
      {"MSPST MS", "My Folders", S_OK, "MSPST MS", "My Folders"},
      {"", nullptr, MAPI_E_INVALID_PARAMETER, nullptr, nullptr},
      {"MSEMS", "", S_OK, "MSEMS", "Microsoft Exchange"},
  };
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected,
              services->CreateMsgService((LPTSTR)c.service, (LPTSTR)c.displayName, 0, 0))
        << c.service;
    if (c.listedAs) expected.emplace_back(c.listedAs, c.shownAs);
  }
  Held<IMAPITable> table;
  Rows rows;
  ULONG count = 0;
  ASSERT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
  ASSERT_EQ(S_OK, table->GetRowCount(0, &count));
  EXPECT_EQ(expected.size(), count);
  ASSERT_EQ(S_OK, table->QueryRows(100, 0, rows.out()));  // the default columns
  ASSERT_EQ(expected.size(), rows->cRows);
  std::set<std::string> uids;
  for (ULONG i = 0; i < rows->cRows; i++) {
    const SPropValue* props = rows->aRow[i].lpProps;
    ASSERT_EQ(4u, rows->aRow[i].cValues);
    EXPECT_EQ(PR_DISPLAY_NAME, props[0].ulPropTag);
    EXPECT_EQ(expected[i].second, props[0].Value.lpszA);
    EXPECT_EQ(PR_SERVICE_NAME, props[1].ulPropTag);
    EXPECT_EQ(expected[i].first, props[1].Value.lpszA);
    EXPECT_EQ(PR_SERVICE_UID, props[2].ulPropTag);
    EXPECT_EQ(PR_RESOURCE_FLAGS, props[3].ulPropTag);
    uids.insert(std::string((char*)props[2].Value.bin.lpb, props[2].Value.bin.cb));
  }
  EXPECT_EQ(expected.size(), uids.size()) << "every service has a UID of its own";
}

TEST_F(MapiServiceTest, TablesShowExactlyTheColumnsSet) {
  Held<IMsgServiceAdmin> services;
  Held<IMAPITable> table;
  Buffer<SPropTagArray> shown;
  MakeProfile("Columns", &services, {"MSEMS", "MSEMS", "MSEMS"});
  ASSERT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
  const ULONG missing = PROP_TAG(PT_LONG, 0x6700);
  Tags columns = {PR_SERVICE_NAME, missing, PR_SERVICE_UID};
  ASSERT_EQ(S_OK, table->SetColumns(columns.get(), 0));
  ASSERT_EQ(S_OK, table->QueryColumns(0, shown.out()));
  EXPECT_EQ(std::vector<ULONG>(columns.aulPropTag, columns.aulPropTag + 3),
            std::vector<ULONG>(shown->aulPropTag, shown->aulPropTag + shown->cValues));
  struct {
    const char* what;
    BOOKMARK origin;
    LONG seek, sought, count;
    ULONG flags, rows, positionAfter;
  } cases[] = {
      {"two from the start", BOOKMARK_BEGINNING, 0, 0, 2, 0, 2, 2},
      {"past the end from row 1", BOOKMARK_BEGINNING, 1, 1, 10, 0, 2, 3},
      {"at the end", BOOKMARK_END, 0, 0, 5, 0, 0, 3},
      {"seek clamps at the start", BOOKMARK_CURRENT, -9, -3, 1, 0, 1, 1},
      {"without advancing", BOOKMARK_BEGINNING, 2, 2, 5, TBL_NOADVANCE, 1, 2},
      {"backwards from the end", BOOKMARK_END, 0, 0, -2, 0, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LONG sought = 99;
    ULONG position = 0, numerator = 0, denominator = 0;
    Rows rows;
    ASSERT_EQ(S_OK, table->SeekRow(c.origin, c.seek, &sought));
    EXPECT_EQ(c.sought, sought);
    ASSERT_EQ(S_OK, table->QueryRows(c.count, c.flags, rows.out()));
    ASSERT_EQ(c.rows, rows->cRows);
    for (ULONG i = 0; i < rows->cRows; i++) {
      const SPropValue* props = rows->aRow[i].lpProps;
      ASSERT_EQ(3u, rows->aRow[i].cValues);
      EXPECT_EQ(PR_SERVICE_NAME, props[0].ulPropTag);
      EXPECT_EQ(CHANGE_PROP_TYPE(missing, PT_ERROR), props[1].ulPropTag);
      EXPECT_EQ(MAPI_E_NOT_FOUND, props[1].Value.err);
      EXPECT_EQ(PR_SERVICE_UID, props[2].ulPropTag);
    }
    ASSERT_EQ(S_OK, table->QueryPosition(&position, &numerator, &denominator));
    EXPECT_EQ(c.positionAfter, position);
  }
  EXPECT_EQ(MAPI_E_INVALID_BOOKMARK, table->SeekRow(7, 0, nullptr));
}

// A table for HrQueryAllRows: rows numbered 0..n-1 in one PT_LONG column, handed out at most
// `chunk` at a time, whose QueryRows can fail on a given call and which cannot filter.
class NumberTable : public IMAPITable {
 public:
  NumberTable(ULONG rows, ULONG chunk, ULONG failOnCall)
      : rows_(rows), chunk_(chunk), failOnCall_(failOnCall) {}
  ULONG columnsSet = 0;

#define UNSERVED(signature)    \
  HRESULT signature override { \
    return MAPI_E_NO_SUPPORT;  \
  }
  HRESULT QueryInterface(REFIID, LPVOID*) override {
    return E_NOINTERFACE;
  }
  ULONG AddRef() override {
    return 1;
  }
  ULONG Release() override {
    return 1;
  }
  UNSERVED(GetLastError(HRESULT, ULONG, LPMAPIERROR*))
  UNSERVED(Advise(ULONG, LPMAPIADVISESINK, ULONG*))
  UNSERVED(Unadvise(ULONG))
  UNSERVED(GetStatus(ULONG*, ULONG*))
  UNSERVED(QueryColumns(ULONG, LPSPropTagArray*))
  UNSERVED(GetRowCount(ULONG, ULONG*))
  UNSERVED(SeekRowApprox(ULONG, ULONG))
  UNSERVED(QueryPosition(ULONG*, ULONG*, ULONG*))
  UNSERVED(FindRow(LPSRestriction, BOOKMARK, ULONG))
  UNSERVED(Restrict(LPSRestriction, ULONG))
  UNSERVED(CreateBookmark(BOOKMARK*))
  UNSERVED(FreeBookmark(BOOKMARK))
  UNSERVED(SortTable(LPSSortOrderSet, ULONG))
  UNSERVED(QuerySortOrder(LPSSortOrderSet*))
  UNSERVED(Abort())
  UNSERVED(ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*))
  UNSERVED(CollapseRow(ULONG, LPBYTE, ULONG, ULONG*))
  UNSERVED(WaitForCompletion(ULONG, ULONG, ULONG*))
  UNSERVED(GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*))
  UNSERVED(SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*))
#undef UNSERVED
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    columnsSet = tags->cValues;
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK, LONG, LONG*) override {
    position_ = 0;
    return S_OK;
  }
  HRESULT QueryRows(LONG count, ULONG, LPSRowSet* result) override {
    if (++queries_ == failOnCall_) return MAPI_E_CALL_FAILED;
    ULONG n = std::min({(ULONG)count, chunk_, rows_ - position_});
    LPVOID set = nullptr, props = nullptr;
    EXPECT_EQ(S_OK, MAPIAllocateBuffer((ULONG)CbNewSRowSet(n), &set));
    *result = (LPSRowSet)set;
    (*result)->cRows = n;
    for (ULONG i = 0; i < n; i++) {
      EXPECT_EQ(S_OK, MAPIAllocateBuffer(sizeof(SPropValue), &props));
      (*result)->aRow[i] = {0, 1, (LPSPropValue)props};
      *(LPSPropValue)props = LongValue(PR_RESOURCE_FLAGS, (LONG)position_++);
    }
    return S_OK;
  }

 private:
  ULONG rows_, chunk_, failOnCall_, position_ = 0, queries_ = 0;
};

TEST_F(MapiServiceTest, HrQueryAllRowsReadsAnyTableThroughItsMethods) {
  static char opaque[64];  // a restriction is never looked into
  LPSRestriction restriction = (LPSRestriction)opaque;
  struct {
    const char* what;
    ULONG rows, chunk;
    LONG crowsMax;
    bool restricted;
    ULONG failOnCall;
    HRESULT expected;
  } cases[] = {
      {"empty", 0, 5, 0, false, 0, S_OK},
      {"one short batch", 3, 5, 0, false, 0, S_OK},
      {"many small batches", 200, 7, 0, false, 0, S_OK},
      {"exactly the limit", 10, 3, 10, false, 0, S_OK},
      {"one over the limit", 11, 3, 10, false, 0, MAPI_E_TABLE_TOO_BIG},
      {"far over the limit", 500, 64, 1, false, 0, MAPI_E_TABLE_TOO_BIG},
      {"a restriction the table cannot honour", 3, 5, 0, true, 0, MAPI_E_TOO_COMPLEX},
      {"a failure after some batches", 50, 4, 0, false, 3, MAPI_E_CALL_FAILED},
      {"a negative limit", 3, 5, -1, false, 0, MAPI_E_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NumberTable table(c.rows, c.chunk, c.failOnCall);
    Tags columns = {PR_RESOURCE_FLAGS};
    Rows rows;
    EXPECT_EQ(c.expected,
              HrQueryAllRows(&table, columns.get(), c.restricted ? restriction : nullptr, nullptr,
                             c.crowsMax, rows.out()));
    EXPECT_EQ(c.expected == S_OK, (bool)rows);
    if (!rows) continue;
    EXPECT_EQ(1u, table.columnsSet);
    ASSERT_EQ(c.rows, rows->cRows);
    for (ULONG i = 0; i < c.rows; i++) EXPECT_EQ((LONG)i, rows->aRow[i].lpProps[0].Value.l);
  }
  // The subsystem's own table can neither filter nor sort.
  Held<IMsgServiceAdmin> services;
  Held<IMAPITable> table;
  Rows rows;
  SSortOrderSet order = {1, 0, 0, {{PR_DISPLAY_NAME, 0}}};
  MakeProfile("Sorted", &services);
  ASSERT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
  EXPECT_EQ(MAPI_E_TOO_COMPLEX,
            HrQueryAllRows(table.get(), nullptr, nullptr, &order, 0, rows.out()));
  EXPECT_EQ(MAPI_E_TOO_COMPLEX,
            HrQueryAllRows(table.get(), nullptr, restriction, nullptr, 0, rows.out()));
  EXPECT_EQ(S_OK, HrQueryAllRows(table.get(), nullptr, nullptr, nullptr, 1, rows.out()));
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
  BYTE blob[] = {0, 1, 2, 0xFF, 0};
  SPropValue values[6] = {StringValue(PROP_TAG(PT_STRING8, 0x6700), "text \xE9"),
                          LongValue(PROP_TAG(PT_LONG, 0x6701), -5)};
  values[2].ulPropTag = PROP_TAG(PT_BOOLEAN, 0x6702);
  values[2].Value.b = 7;
  values[3].ulPropTag = PROP_TAG(PT_BINARY, 0x6703);
  values[3].Value.bin = {sizeof blob, blob};
  values[4].ulPropTag = PROP_TAG(PT_I8, 0x6704);
  values[4].Value.li.QuadPart = -(1LL << 40);
  values[5].ulPropTag = PROP_TAG(PT_I2, 0x6705);
  values[5].Value.i = -2;
  ASSERT_EQ(S_OK, section->SetProps(6, values, nullptr));

  const ULONG absent = PROP_TAG(PT_STRING8, 0x6710);
  Tags asked = {absent,
                values[3].ulPropTag,
                values[1].ulPropTag,
                values[0].ulPropTag,
                values[2].ulPropTag,
                values[4].ulPropTag,
                values[5].ulPropTag,
                PROP_TAG(PT_UNSPECIFIED, 0x6701)};
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED, section->GetProps(asked.get(), 0, &count, got.out()));
  ASSERT_EQ(8u, count);
  EXPECT_EQ(CHANGE_PROP_TYPE(absent, PT_ERROR), got[0].ulPropTag);
  EXPECT_EQ(MAPI_E_NOT_FOUND, got[0].Value.err);
  EXPECT_EQ(std::string((char*)blob, 5),
            std::string((char*)got[1].Value.bin.lpb, got[1].Value.bin.cb));
  EXPECT_EQ(-5, got[2].Value.l);
  EXPECT_STREQ("text \xE9", got[3].Value.lpszA);
  EXPECT_EQ(1, got[4].Value.b);
  EXPECT_EQ(-(1LL << 40), got[5].Value.li.QuadPart);
  EXPECT_EQ(-2, got[6].Value.i);
  EXPECT_EQ(values[1].ulPropTag, got[7].ulPropTag) << "PT_UNSPECIFIED finds any type";
  Tags present = {values[1].ulPropTag};
  EXPECT_EQ(S_OK, section->GetProps(present.get(), 0, &count, got.out()));
  EXPECT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(6u, count) << "no tags: every property";

  // Stored readably, one registry value per property.
  EXPECT_EQ(std::make_pair((DWORD)REG_SZ, std::string("text \xE9") + '\0'),
            ReadRegValue(path, "6700001e"));
  const std::pair<const char*, DWORD> types[] = {{"67010003", REG_DWORD},
                                                 {"6702000b", REG_DWORD},
                                                 {"67030102", REG_BINARY},
                                                 {"67040014", REG_QWORD},
                                                 {"67050002", REG_DWORD}};
  for (const auto& [name, type] : types) EXPECT_EQ(type, ReadRegValue(path, name).first) << name;
}

TEST_F(MapiSectionTest, WritesReplaceDeleteAndReportProblems) {
  // A section that does not exist yet reads empty and is made by its first write.
  ASSERT_EQ(S_OK, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(0u, count);
  Tags deleted = {PROP_TAG(PT_LONG, 0x6720)};
  EXPECT_EQ(S_OK, section->DeleteProps(deleted.get(), nullptr)) << "absent is fine";
  EXPECT_FALSE(KeyExists(path));
  SPropValue values[3] = {LongValue(PROP_TAG(PT_LONG, 0x6720), 1),
                          LongValue(PROP_TAG(PT_ERROR, 0x6721), 0),
                          StringValue(PROP_TAG(PT_STRING8, 0x6722), nullptr)};
  Buffer<SPropProblemArray> problems;
  ASSERT_EQ(S_OK, section->SetProps(3, values, problems.out()));
  EXPECT_TRUE(KeyExists(path));
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

  // A value seeded with a registry type that does not fit its tag reads as corrupt; a value
  // whose name is not a tag is no property.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "67300003", 0, REG_SZ, (const BYTE*)"x", 2));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "not a tag", 0, REG_SZ, (const BYTE*)"x", 2));
  RegCloseKey(key);
  Tags corrupt = {PROP_TAG(PT_LONG, 0x6730)};
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED, section->GetProps(corrupt.get(), 0, &count, got.out()));
  EXPECT_EQ(PROP_TAG(PT_ERROR, 0x6730), got[0].ulPropTag);
  EXPECT_EQ(MAPI_E_CORRUPT_DATA, got[0].Value.err);
  ASSERT_EQ(MAPI_W_ERRORS_RETURNED, section->GetProps(nullptr, 0, &count, got.out()));
  EXPECT_EQ(1u, count);
}

TEST_F(MapiSectionTest, ReadOnlySectionsRefuseWrites) {
  Held<IProfSect> readable, none;
  ASSERT_EQ(S_OK, services->OpenProfileSection(&uid, nullptr, 0, readable.out()));
  SPropValue value = StringValue(PR_PROFILE_USER, "/o=X/cn=Y");
  Tags tags = {PR_PROFILE_USER};
  Buffer<SPropProblemArray> problems;
  ASSERT_EQ(S_OK, section->SetProps(1, &value, nullptr));
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->SetProps(1, &value, problems.out()));
  EXPECT_FALSE(problems);
  EXPECT_EQ(MAPI_E_NO_ACCESS, readable->DeleteProps(tags.get(), nullptr));
  ASSERT_EQ(S_OK, readable->GetProps(tags.get(), 0, &count, got.out()));
  EXPECT_STREQ("/o=X/cn=Y", got[0].Value.lpszA) << "it sees the other's write at once";
  const IID stranger = {1, 2, 3, {4}};
  EXPECT_EQ(MAPI_E_INTERFACE_NOT_SUPPORTED,
            services->OpenProfileSection(&uid, &stranger, 0, none.out()));
}

}  // namespace
