#include "provisioning/profilekey.h"

#include <gtest/gtest.h>
#include <string.h>

#include "regstore/batch.h"
#include "support/mapitest.h"

namespace {

using namespace mapitest;

class ProfileKeyTest : public MapiTest {};

// The workflow tells a refused name from an existing profile by the key the subsystem made for
// it: its name's first 64 bytes, each byte above 0x7F written as '[' and two characters.
TEST_F(ProfileKeyTest, FindsTheKeysTheSubsystemMakesEvenInAReadOnlyStore) {
  const std::string high(64, '\xE9');
  for (const char* name : {"Caf\xE9", high.c_str()})
    ASSERT_EQ(S_OK, admin->CreateProfile((LPTSTR)name, nullptr, 0, 0));
  EXPECT_STREQ("Caf[y~ Nord", EncodeProfileKeyName("Caf\xE9 Nord"));
  struct {
    std::string name;
    bool exists;
  } names[] = {{"Caf\xE9", true}, {"Caf[y~", true},      {"Cafe", false},
               {high, true},      {high + "tail", true}, {high.substr(1), false}};
  for (bool readOnly : {false, true}) {
    chmod(storePath().c_str(), readOnly ? 0400 : 0600);
    for (const auto& c : names) {
      EXPECT_EQ(c.exists, ProfileKeyExists(c.name.c_str())) << c.name << ", " << readOnly;
      EXPECT_EQ(0, RegOpenHandleCount());
    }
  }
  chmod(storePath().c_str(), 0600);
}

}  // namespace
