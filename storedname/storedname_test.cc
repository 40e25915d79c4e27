#include "storedname/storedname.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/registry.h"
#include "support/tempstore.h"

namespace {

class StoredNameTest : public TempStoreTest {
 protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    memset(ProfileName, 0, sizeof ProfileName);
    memset(StoredNameBuffer, 0, sizeof StoredNameBuffer);
    Role = Agent;
  }

  static void Store(ServerRole role, DWORD type, const std::string& bytes,
                    const char* valueName = "MAPIProfile") {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, RoleTable[role].key, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, valueName, 0, type, (const BYTE*)bytes.data(),
                                            (DWORD)bytes.size()));
    RegCloseKey(key);
  }

  // The role's value as type and bytes; REG_NONE when there is none.
  static std::pair<DWORD, std::string> Stored(ServerRole role) {
    HKEY key = nullptr;
    BYTE data[1024];
    DWORD type = REG_NONE, size = sizeof data;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RoleTable[role].key, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      if (RegQueryValueExA(key, "MAPIProfile", nullptr, &type, data, &size) != ERROR_SUCCESS)
        type = REG_NONE;
      RegCloseKey(key);
    }
    return {type, type == REG_NONE ? "" : std::string((const char*)data, size)};
  }
};

// The defaults, normalising and the value types other than REG_SZ are pinned end to end.
TEST_F(StoredNameTest, LoadCompletesTheName) {
  const std::string sz = std::string("Mail Box") + '\0';
  struct {
    ServerRole role;
    DWORD type;            // REG_NONE: nothing stored
    std::string stored;    // the value's bytes
    const char* given;     // the name from -p, or ""
    std::string expected;  // ProfileName afterwards
  } cases[] = {
      {Manager, REG_NONE, "", "Sales", "Sales"},
      {Agent, REG_SZ, sz, "", "Mail Box"},
      {Agent, REG_SZ, sz, "Sales", "Sales"},
      {Manager, REG_SZ, std::string(1, '\0'), "", "QuorvaneManager"},
      {Manager, REG_SZ, "", "", "QuorvaneManager"},
      {Agent, REG_EXPAND_SZ, sz, "", "QuorvaneServer"},
      {Agent, REG_SZ, "Sales", "", "Sales"},  // no terminator: ended at the length read
      {Agent, REG_SZ, std::string(255, 'F') + '\0', "", std::string(255, 'F')},
      {Agent, REG_SZ, std::string(256, 'F'), "", "QuorvaneServer"},
      {Agent, REG_SZ, std::string(300, 'F') + '\0', "", "QuorvaneServer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected + " from " + c.stored.substr(0, 20));
    TearDown();
    SetUp();
    if (c.type != REG_NONE) Store(c.role, c.type, c.stored);
    Role = c.role;
    strcpy(ProfileName, c.given);
    EXPECT_TRUE(LoadProfileName());
    EXPECT_EQ(c.expected, ProfileName);
  }
  // The value's name is matched in any case.
  Store(Agent, REG_SZ, std::string("Sales") + '\0', "mapiprofile");
  memset(ProfileName, 0, sizeof ProfileName);
  Role = Agent;
  LoadProfileName();
  EXPECT_STREQ("Sales", ProfileName);
}

TEST_F(StoredNameTest, SaveWritesTheNameWithItsTerminatorUnderTheRolesKey) {
  Store(DbConsistency, REG_DWORD, std::string("\1\0\0\0", 4));  // replaced by the REG_SZ
  for (ServerRole role : {Agent, Manager, LegacyManagement, DbConsistency}) {
    Role = role;
    snprintf(ProfileName, sizeof ProfileName, "Profile %d", (int)role);
    EXPECT_TRUE(SaveProfileName());
  }
  for (ServerRole role : {Agent, Manager, LegacyManagement, DbConsistency})
    EXPECT_EQ(std::make_pair((DWORD)REG_SZ, "Profile " + std::to_string(role) + '\0'),
              Stored(role));
  // The next run of a role reads back what the last one saved.
  memset(ProfileName, 0, sizeof ProfileName);
  Role = Manager;
  LoadProfileName();
  EXPECT_STREQ("Profile 1", ProfileName);
}

TEST_F(StoredNameTest, AnUnusableStoreFallsBackAndSaveReportsFailure) {
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  WriteFile(storePath(), std::string(4096, '\x5a'));
  testing::internal::CaptureStderr();
  Role = Manager;
  EXPECT_TRUE(LoadProfileName());
  EXPECT_STREQ("QuorvaneManager", ProfileName);
  EXPECT_FALSE(SaveProfileName());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(storePath()));
}

}  // namespace
