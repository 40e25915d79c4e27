// What the tests of the simulated messaging subsystem share: owners that give back what the
// subsystem hands out, value builders, profiles seeded as earlier runs leave them, and a fixture
// with a fresh store and an initialised subsystem.
#pragma once

#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "qsmapi/qsmapi.h"
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

inline SPropValue StringValue(ULONG tag, const char* text) {
  SPropValue value{};
  value.ulPropTag = tag;
  value.Value.lpszA = (LPSTR)text;
  return value;
}

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

// Creates a profile with its services, in order, and string properties in its global section.
// Initialises the subsystem for the purpose (initialisations are counted).
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

  // Opens the service administration of a profile, seeded with the services and global values.
  void MakeProfile(const char* name, Held<IMsgServiceAdmin>* services,
                   std::vector<const char*> serviceNames = {"MSEMS"},
                   std::vector<SPropValue> global = {}) {
    SeedProfile(name, serviceNames, global);
    ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, services->out()));
  }

  // The UID of a profile's first service.
  MAPIUID FirstUid(IMsgServiceAdmin* services) {
    MAPIUID uid = {};
    Held<IMAPITable> table;
    SizedSPropTagArray(1, columns) = {1, {PR_SERVICE_UID}};
    Rows rows;
    EXPECT_EQ(S_OK, services->GetMsgServiceTable(0, table.out()));
    EXPECT_EQ(S_OK, HrQueryAllRows(table.get(), (LPSPropTagArray)&columns, nullptr, nullptr, 0,
                                   rows.out()));
    if (rows && rows->cRows > 0) memcpy(uid.ab, rows->aRow[0].lpProps[0].Value.bin.lpb, 16);
    return uid;
  }

  // The string properties of a profile's global section.
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
