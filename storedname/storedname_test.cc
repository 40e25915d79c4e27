#include "storedname/storedname.h"

#include <string.h>

#include "regstore/batch.h"
#include "support/tempstore.h"

namespace {

class StoredNameTest : public TempStoreTest {
 protected:
  // The name the role settles on when -p gave none; no key handle may stay open.
  static std::string Load(ServerRole role) {
    Role = role;
    memset(ProfileName, 0, sizeof ProfileName);
    EXPECT_TRUE(LoadProfileName());
    EXPECT_EQ(0, RegOpenHandleCount());
    return ProfileName;
  }
  static bool Save(ServerRole role, const char* name) {
    Role = role;
    strcpy(ProfileName, name);
    bool saved = SaveProfileName();
    EXPECT_EQ(0, RegOpenHandleCount());
    return saved;
  }
};

// The stored values a command line cannot write: the other types and the normalising are the
// end-to-end cases' (tests/cases/cases.txt).
TEST_F(StoredNameTest, OnlyAValueThatFitsWithItsTerminatorIsUsed) {
  const std::pair<std::string, std::string> cases[] = {
      {"Sales", "Sales"},  // no terminator: ended at the length read
      {std::string(255, 'F') + '\0', std::string(255, 'F')},
      {std::string(256, 'F'), "QuorvaneServer"},  // fills the buffer without a NUL: absent
      {std::string(300, 'F') + '\0', "QuorvaneServer"},
  };
  for (const auto& [stored, expected] : cases) {
    HKEY key = Create(RoleTable[Agent].key);
    ASSERT_EQ(ERROR_SUCCESS, Set(key, "MAPIProfile", stored));
    RegCloseKey(key);
    EXPECT_EQ(expected, Load(Agent)) << stored.size();
  }
}

TEST_F(StoredNameTest, SavedNameLastsAndAReadOnlyStoreIsReadButAnUnusableOneFallsBack) {
  ASSERT_TRUE(Save(Manager, "Desk"));
  RegUnloadVolatileKeys();
  ASSERT_EQ(0, chmod(storePath().c_str(), 0400));
  EXPECT_EQ("Desk", Load(Manager));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Save(Manager, "Other"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("read-only"));
  EXPECT_EQ("Desk", Load(Manager));
  const std::string unusable = UseHome("unusable") + "/registry.db";
  WriteFile(unusable, std::string(4096, '\x5a'));
  testing::internal::CaptureStderr();
  EXPECT_EQ("QuorvaneManager", Load(Manager));
  EXPECT_FALSE(Save(Manager, "Desk"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(unusable));
}

}  // namespace
