#include "provisioning/profilekey.h"

#include <gtest/gtest.h>
#include <string.h>

#include "platform/registry.h"
#include "support/tempstore.h"

namespace {

std::string Repeat(const std::string& part, int times) {
  std::string whole;
  while (times-- > 0) whole += part;
  return whole;
}

class ProfileKeyTest : public TempStoreTest {};

TEST_F(ProfileKeyTest, EncodesTheFirst64BytesAndFindsOnlyKeysThatExist) {
  const std::string longest(64, '\xE9');
  struct {
    std::string name, key;
  } cases[] = {
      {"Sales", "Sales"},
      {"Caf\xE9 Nord", "Caf[y~ Nord"},
      {"\x80", "[px"},
      {"\xFF", "[\x7F\x7F"},
      {"[a]", "[a]"},
      {"", ""},
      {std::string(70, 'p'), std::string(64, 'p')},
      {longest, Repeat("[y~", 64)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.key, EncodeProfileKeyName(c.name.c_str())) << c.key;
    EXPECT_STREQ("S", EncodeProfileKeyName("S")) << "nothing of a longer key is left behind";
  }
  EXPECT_EQ(274u, strlen(ProfileStorePrefix) + strlen(EncodeProfileKeyName(longest.c_str())));

  for (const std::string& name : {std::string("Caf\xE9"), longest}) {
    std::string path = std::string(ProfileStorePrefix) + EncodeProfileKeyName(name.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr));
    RegCloseKey(key);
  }
  struct {
    std::string name;
    bool exists;
  } names[] = {{"Caf\xE9", true}, {"Caf[y~", true},         {"Cafe", false},
               {longest, true},   {longest + "tail", true}, {"Absent", false}};
  for (const auto& c : names) EXPECT_EQ(c.exists, ProfileKeyExists(c.name.c_str())) << c.name;
}

}  // namespace
