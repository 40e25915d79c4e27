#include "provisioning/profilekey.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/registry.h"
#include "support/tempstore.h"

namespace {

std::string Repeat(const std::string& part, int times) {
  std::string whole;
  for (int i = 0; i < times; i++) whole += part;
  return whole;
}

TEST(EncodeProfileKeyName, CopiesPlainBytesAndSpellsOutHighOnes) {
  struct {
    const char* name;
    std::string input;
    std::string key;
  } cases[] = {
      {"plain", "Sales", "Sales"},
      {"0xE9", "\xE9", "[y~"},
      {"0x80", "\x80", "[px"},
      {"0xFF", "\xFF", "[\x7F\x7F"},
      {"0x7F stays", "\x7F", "\x7F"},
      {"a bracket is copied", "[a]", "[a]"},
      {"mixed", "Caf\xE9 Nord", "Caf[y~ Nord"},
      {"empty", "", ""},
      {"70 plain bytes", std::string(70, 'p'), std::string(64, 'p')},
      {"64 high bytes", std::string(64, '\xE9'), Repeat("[y~", 64)},
      {"65 high bytes", std::string(65, '\x80'), Repeat("[px", 64)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.key, EncodeProfileKeyName(c.input.c_str())) << c.name;
    // The next call rewrites the buffer: nothing of a longer key is left behind.
    EXPECT_STREQ("S", EncodeProfileKeyName("S")) << c.name;
  }
}

class ProfileKeyExistsTest : public TempStoreTest {
 protected:
  static void Seed(const std::string& name) {
    std::string path = std::string(ProfileStorePrefix) + EncodeProfileKeyName(name.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr))
        << path;
    RegCloseKey(key);
  }
};

TEST_F(ProfileKeyExistsTest, FindsTheKeysThatExistOnly) {
  const std::string longest(64, '\xE9');
  EXPECT_EQ(82u, strlen(ProfileStorePrefix));
  EXPECT_EQ(274u, strlen(ProfileStorePrefix) + strlen(EncodeProfileKeyName(longest.c_str())));
  Seed("Sales");
  Seed("Caf\xE9");
  Seed(longest);
  struct {
    std::string name;
    bool exists;
  } cases[] = {
      {"Sales", true},  {"Caf\xE9", true},
      {longest, true},  {longest + "tail", true},  // only the first 64 bytes name the key
      {"Sale", false},  {"Sales2", false},
      {"Caf[y~", true},  // the encoded spelling is the same key
      {"Cafe", false},  {"Absent", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.exists, ProfileKeyExists(c.name.c_str())) << c.name;
}

}  // namespace
