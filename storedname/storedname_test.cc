#include "storedname/storedname.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

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

  static bool Stored(ServerRole role, DWORD* type, std::string* bytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RoleTable[role].key, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    BYTE data[1024];
    DWORD size = sizeof data;
    LONG result = RegQueryValueExA(key, "MAPIProfile", nullptr, type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return false;
    bytes->assign((const char*)data, size);
    return true;
  }
};

struct LoadCase {
  const char* what;
  ServerRole role;
  DWORD type;            // REG_NONE: nothing stored
  std::string stored;    // the value's bytes
  const char* given;     // the name from -p, or ""
  std::string expected;  // ProfileName afterwards
};

TEST_F(StoredNameTest, LoadCompletesTheName) {
  const std::string sz = std::string("Mail Box") + '\0';
  const std::string longName = std::string(120, 'L') + '\0';
  const LoadCase cases[] = {
      {"first run, agent", Agent, REG_NONE, "", "", "QuorvaneServer"},
      {"first run, manager", Manager, REG_NONE, "", "", "QuorvaneManager"},
      {"first run, legacy", LegacyManagement, REG_NONE, "", "", "QuorvaneServer"},
      {"first run, consistency", DbConsistency, REG_NONE, "", "", "QuorvaneServer"},
      {"first run with -p keeps it", Manager, REG_NONE, "", "Sales", "Sales"},
      {"stored name used", Agent, REG_SZ, sz, "", "Mail Box"},
      {"-p wins over stored", Agent, REG_SZ, sz, "Sales", "Sales"},
      {"stored is normalised", Agent, REG_SZ, std::string("  x  ") + '\0', "", "__x"},
      {"whitespace only is absent", Agent, REG_SZ, std::string(" \t ") + '\0', "",
       "QuorvaneServer"},
      {"whitespace only, -p kept", Agent, REG_SZ, std::string(" ") + '\0', "Sales", "Sales"},
      {"empty is absent", Manager, REG_SZ, std::string(1, '\0'), "", "QuorvaneManager"},
      {"no data is absent", Manager, REG_SZ, "", "", "QuorvaneManager"},
      {"REG_DWORD", Agent, REG_DWORD, std::string("\x2a\0\0\0", 4), "", "QuorvaneServer"},
      {"REG_BINARY", Agent, REG_BINARY, sz, "", "QuorvaneServer"},
      {"REG_EXPAND_SZ", Agent, REG_EXPAND_SZ, sz, "", "QuorvaneServer"},
      {"REG_MULTI_SZ", Agent, REG_MULTI_SZ, sz + '\0', "", "QuorvaneServer"},
      {"over 50 bytes from the store", Agent, REG_SZ, longName, "", std::string(120, 'L')},
      {"no terminator, ended at the length read", Agent, REG_SZ, "Sales", "", "Sales"},
      {"255 bytes and terminator fit", Agent, REG_SZ, std::string(255, 'F') + '\0', "",
       std::string(255, 'F')},
      {"256 bytes without terminator", Agent, REG_SZ, std::string(256, 'F'), "", "QuorvaneServer"},
      {"too large for the buffer", Agent, REG_SZ, std::string(300, 'F') + '\0', "",
       "QuorvaneServer"},
  };
  for (const LoadCase& c : cases) {
    TearDown();
    SetUp();
    if (c.type != REG_NONE) Store(c.role, c.type, c.stored);
    Role = c.role;
    strcpy(ProfileName, c.given);
    EXPECT_TRUE(LoadProfileName()) << c.what;
    EXPECT_EQ(c.expected, ProfileName) << c.what;
  }
}

TEST_F(StoredNameTest, ValueNameIsCaseInsensitive) {
  Store(Agent, REG_SZ, std::string("Sales") + '\0', "mapiprofile");
  LoadProfileName();
  EXPECT_STREQ("Sales", ProfileName);
}

TEST_F(StoredNameTest, SaveWritesTheNameWithItsTerminatorUnderTheRolesKey) {
  const ServerRole roles[] = {Agent, Manager, LegacyManagement, DbConsistency};
  for (ServerRole role : roles) {
    Role = role;
    snprintf(ProfileName, sizeof ProfileName, "Profile %d", (int)role);
    EXPECT_TRUE(SaveProfileName());
  }
  for (ServerRole role : roles) {
    DWORD type = REG_NONE;
    std::string bytes;
    ASSERT_TRUE(Stored(role, &type, &bytes));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ("Profile " + std::to_string(role) + '\0', bytes);
  }
  // The next run of a role reads back what the last one saved.
  memset(ProfileName, 0, sizeof ProfileName);
  Role = Manager;
  LoadProfileName();
  EXPECT_STREQ("Profile 1", ProfileName);
}

TEST_F(StoredNameTest, SaveReplacesAValueOfAnotherType) {
  Store(DbConsistency, REG_DWORD, std::string("\1\0\0\0", 4));
  Role = DbConsistency;
  strcpy(ProfileName, "Sales");
  EXPECT_TRUE(SaveProfileName());
  DWORD type = REG_NONE;
  std::string bytes;
  ASSERT_TRUE(Stored(DbConsistency, &type, &bytes));
  EXPECT_EQ((DWORD)REG_SZ, type);
  EXPECT_EQ(std::string("Sales") + '\0', bytes);
}

TEST_F(StoredNameTest, AnUnusableStoreFallsBackAndSaveReportsFailure) {
  // A store file that is no database: reading falls back to the default, saving fails, and
  // the file is left exactly as it was.
  ASSERT_EQ(0, mkdir(storeDir().c_str(), 0700));
  const std::string garbage(4096, '\x5a');
  WriteFile(storePath(), garbage);
  testing::internal::CaptureStderr();
  Role = Manager;
  EXPECT_TRUE(LoadProfileName());
  EXPECT_STREQ("QuorvaneManager", ProfileName);
  EXPECT_FALSE(SaveProfileName());
  std::string diagnostics = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, diagnostics.find(storePath())) << diagnostics;
  EXPECT_EQ(garbage, ReadFile(storePath()));
}

}  // namespace
