// What the tests of the simulated messaging subsystem share: owners that give back what the
// subsystem hands out, value builders, and a fixture with a fresh store and an initialised
// subsystem.
#pragma once

#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "qsmapi/qsmapi.h"
#include "platform/registry.h"
#include "support/tempstore.h"

namespace mapitest {

// Owns what a call hands back through out() and gives it back when it goes.
template <class T, void (*Give)(T*)>
struct Owned {
  T* value = nullptr;
  Owned() = default;
  Owned(const Owned&) = delete;
  ~Owned() { reset(); }
  void reset() {
    if (value) Give(value);
    value = nullptr;
  }
  T** out() {
    reset();
    return &value;
  }
  T* get() const { return value; }
  T* operator->() const { return value; }
  T& operator[](size_t i) const { return value[i]; }
  explicit operator bool() const { return value != nullptr; }
};
template <class T>
void ReleaseObject(T* object) {
  object->Release();
}
template <class T>
void FreeMapiBuffer(T* buffer) {
  MAPIFreeBuffer(buffer);
}
template <class T>
using Held = Owned<T, ReleaseObject<T>>;
template <class T>
using Buffer = Owned<T, FreeMapiBuffer<T>>;
using Rows = Owned<SRowSet, FreeProws>;

// A tag array of up to eight tags.
struct Tags {
  ULONG cValues;
  ULONG aulPropTag[8];
  Tags(std::initializer_list<ULONG> tags) : cValues((ULONG)tags.size()), aulPropTag{} {
    std::copy(tags.begin(), tags.end(), aulPropTag);
  }
  LPSPropTagArray get() { return (LPSPropTagArray)this; }
};

inline SPropValue StringValue(ULONG tag, const char* text) {
  SPropValue value{};
  value.ulPropTag = tag;
  value.Value.lpszA = (LPSTR)text;
  return value;
}

// The registry path of a profile's key, and whether a key exists.
inline std::string ProfilePath(const std::string& encodedName) {
  return "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging "
         "Subsystem\\Profiles\\" +
         encodedName;
}
inline bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// Leaves a profile as an earlier run would have: its services, in order, and string properties
// in its global section. The subsystem is initialised for the purpose only.
inline void SeedProfile(const char* name, const std::vector<const char*>& services,
                        std::vector<SPropValue> global) {
  ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
  {
    Held<IProfAdmin> admin;
    Held<IMsgServiceAdmin> serviceAdmin;
    Held<IProfSect> section;
    ASSERT_EQ(S_OK, MAPIAdminProfiles(0, admin.out()));
    ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR)name, nullptr, 0, 0));
    ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, serviceAdmin.out()));
    for (const char* service : services)
      ASSERT_EQ(S_OK, serviceAdmin->CreateMsgService((LPTSTR)service, nullptr, 0, 0));
    ASSERT_EQ(S_OK, serviceAdmin->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                                     MAPI_MODIFY, section.out()));
    ASSERT_EQ(S_OK, section->SetProps((ULONG)global.size(), global.data(), nullptr));
  }
  MAPIUninitialize();
}

class MapiTest : public TempStoreTest {
 protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
    ASSERT_EQ(S_OK, MAPIAdminProfiles(0, admin.out()));
  }
  void TearDown() override {
    admin.reset();
    MAPIUninitialize();
    TempStoreTest::TearDown();
  }

  // Writes mapisvc.inf, which is read at its first need after an initialisation.
  void WriteServiceList(const std::string& text) {
    mkdir(storeDir().c_str(), 0700);
    WriteFile(storeDir() + "/mapisvc.inf", text);
  }

  // Creates a profile with the given services and opens its service administration.
  void MakeProfile(const char* name, Held<IMsgServiceAdmin>* services,
                   std::vector<const char*> serviceNames = {"MSEMS"}) {
    ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR)name, nullptr, 0, 0));
    ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, services->out()));
    for (const char* service : serviceNames)
      ASSERT_EQ(S_OK, (*services)->CreateMsgService((LPTSTR)service, nullptr, 0, 0));
  }

  // The UIDs of a profile's services, in table order.
  std::vector<MAPIUID> ServiceUids(IMsgServiceAdmin* services) {
    std::vector<MAPIUID> uids;
    Held<IMAPITable> table;
    Tags columns = {PR_SERVICE_UID};
    Rows rows;
    EXPECT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
    EXPECT_EQ(S_OK, HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, rows.out()));
    for (ULONG i = 0; rows && i < rows->cRows; i++) {
      uids.emplace_back();
      EXPECT_EQ(16u, rows->aRow[i].lpProps[0].Value.bin.cb);
      memcpy(uids.back().ab, rows->aRow[i].lpProps[0].Value.bin.lpb, 16);
    }
    return uids;
  }

  // The string properties of a profile's global section, read through a read-only section.
  std::map<ULONG, std::string> GlobalStrings(const char* name) {
    std::map<ULONG, std::string> result;
    Held<IMsgServiceAdmin> services;
    Held<IProfSect> section;
    ULONG count = 0;
    Buffer<SPropValue> values;
    EXPECT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, services.out()));
    EXPECT_EQ(S_OK, services->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr, 0,
                                                 section.out()));
    EXPECT_EQ(S_OK, section->GetProps(nullptr, 0, &count, values.out()));
    for (ULONG i = 0; i < count; i++)
      if (PROP_TYPE(values[i].ulPropTag) == PT_STRING8)
        result[values[i].ulPropTag] = values[i].Value.lpszA;
    return result;
  }

  Held<IProfAdmin> admin;
};

}  // namespace mapitest
