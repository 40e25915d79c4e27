// For the tests of the simulated messaging subsystem: an owner of what it hands out, profiles
// seeded as earlier runs leave them, a fixture with a fresh store and an initialised subsystem.
#pragma once

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/exchange.h"
#include "qsmapi/mapisvc.h"
#include "support/tempstore.h"

namespace mapitest {

// Owns what a call hands back through out() and gives it back when it goes: rows to FreeProws,
// an object to its Release, anything else to MAPIFreeBuffer.
template <class T>
struct Held {
  T* value = nullptr;
  Held() = default;
  Held(const Held&) = delete;
  ~Held() { reset(); }
  static void Free(SRowSet* rows) { FreeProws(rows); }
  static void Free(IUnknown* object) { object->Release(); }
  static void Free(void* buffer) { MAPIFreeBuffer(buffer); }
  void reset() {
    if (value) Free(std::exchange(value, nullptr));
  }
  T** out() { return reset(), &value; }
  T* operator->() const { return value; }
  T& operator[](size_t i) const { return value[i]; }
  explicit operator bool() const { return value != nullptr; }
};

inline SPropValue StringValue(ULONG tag, const char* text) {
  return {.ulPropTag = tag, .dwAlignPad = 0, .Value = {.lpszA = (LPSTR)text}};
}

// The key the subsystem keeps profiles under, and whether that of an encoded name exists.
inline const std::string ProfilesKey =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\";
inline bool ProfileExists(const std::string& encodedName) {
  HKEY key = nullptr;
  LONG status =
      RegOpenKeyExA(HKEY_CURRENT_USER, (ProfilesKey + encodedName).c_str(), 0, KEY_READ, &key);
  return status == ERROR_SUCCESS && RegCloseKey(key) == ERROR_SUCCESS;
}

// The UID of a profile's first service as its key keeps it; zeros without one.
inline MAPIUID FirstUid(const std::string& encodedName) {
  MAPIUID uid = {};
  std::string uids = Get(ProfilesKey + encodedName, "Services");
  if (uids.size() >= 16 && uids.rfind("error ", 0) != 0) memcpy(uid.ab, uids.data(), 16);
  return uid;
}

// Creates a profile with its services, in order, and string properties in its global section.
inline void SeedProfile(const char* name, const std::vector<const char*>& services,
                        std::vector<SPropValue> global) {
  Held<IProfAdmin> admin;
  Held<IMsgServiceAdmin> serviceAdmin;
  Held<IProfSect> section;
  ASSERT_EQ(S_OK, MAPIInitialize(nullptr));
  ASSERT_EQ(S_OK, MAPIAdminProfiles(0, admin.out()));
  ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR)name, nullptr, 0, 0));
  ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, serviceAdmin.out()));
  for (const char* service : services)
    ASSERT_EQ(S_OK, serviceAdmin->CreateMsgService((LPTSTR)service, nullptr, 0, 0));
  ASSERT_EQ(S_OK, serviceAdmin->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                                   MAPI_MODIFY, section.out()));
  ASSERT_EQ(S_OK, section->SetProps((ULONG)global.size(), global.data(), nullptr));
  section.reset(), serviceAdmin.reset(), admin.reset();  // all released before the subsystem ends
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
    services.reset(), admin.reset();
    MAPIUninitialize();
    TempStoreTest::TearDown();
  }

  // Opens in `services` the administration of a new profile with Exchange and the global values.
  void MakeProfile(const char* name, std::vector<SPropValue> global = {}) {
    SeedProfile(name, {"MSEMS"}, global);
    ASSERT_EQ(S_OK, admin->AdminServices((LPTSTR)name, nullptr, 0, 0, services.out()));
  }

  Held<IProfAdmin> admin;
  Held<IMsgServiceAdmin> services;
};

}  // namespace mapitest
