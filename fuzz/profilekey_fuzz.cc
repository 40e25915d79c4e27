// Fuzzes the key name a profile is stored under. The input, up to its first NUL, is the profile
// name, in a heap block of its exact size.
#include <string>

#include "fuzz/check.h"
#include "provisioning/profilekey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> name = Exact(data, size);
  const char* key = EncodeProfileKeyName(name.get());
  CHECK(memchr(key, '\0', PROFILE_KEY_NAME_SIZE) != nullptr);
  std::string expected;
  for (size_t i = 0; i < 64 && name[i] != '\0'; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c < 0x80) expected += (char)c;
    if (c >= 0x80) expected += {'[', (char)(0x70 + (c & 0x0F)), (char)(0x70 + (c >> 4))};
  }
  CHECK(expected == key);  // and so 7-bit bytes only
  return 0;
}
