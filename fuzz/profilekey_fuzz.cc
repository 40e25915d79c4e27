// Fuzzes the key name a profile is stored under. The input, up to its first NUL, is the profile
// name, in a heap block of its exact size. The key name must be terminated within
// PROFILE_KEY_NAME_SIZE bytes, hold only 7-bit bytes, and be the first 64 name bytes with each
// byte of 0x80 or above written as '[', 0x70 + low nibble, 0x70 + high nibble. Where the name
// has no '[' of its own, decoding the key name gives those 64 bytes back.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz/check.h"
#include "provisioning/profilekey.h"

static std::string Decode(const char* key) {
  std::string name;
  for (size_t i = 0; key[i] != '\0'; i++) {
    if (key[i] == '[' && key[i + 1] != '\0' && key[i + 2] != '\0') {
      unsigned low = (unsigned char)key[i + 1] - 0x70u, high = (unsigned char)key[i + 2] - 0x70u;
      name += (char)(low | high << 4);
      i += 2;
    } else {
      name += key[i];
    }
  }
  return name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> name(new char[size + 1]);
  memcpy(name.get(), data, size);
  name[size] = '\0';

  const char* key = EncodeProfileKeyName(name.get());
  CHECK(memchr(key, '\0', PROFILE_KEY_NAME_SIZE) != nullptr);
  size_t keyLength = strlen(key);
  CHECK(keyLength <= PROFILE_KEY_NAME_SIZE - 1);

  // Walk the name and the key name together.
  size_t used = strnlen(name.get(), 64);
  size_t k = 0;
  bool bracket = false;
  for (size_t i = 0; i < used; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c == '[') bracket = true;
    if (c < 0x80) {
      CHECK(k < keyLength && (unsigned char)key[k] == c);
      k++;
    } else {
      CHECK(k + 3 <= keyLength);
      CHECK(key[k] == '[');
      CHECK((unsigned char)key[k + 1] == 0x70 + (c & 0x0F));
      CHECK((unsigned char)key[k + 2] == 0x70 + (c >> 4));
      k += 3;
    }
  }
  CHECK(k == keyLength);
  for (size_t i = 0; i < keyLength; i++) CHECK((unsigned char)key[i] < 0x80);

  if (!bracket) CHECK(Decode(key) == std::string(name.get(), used));
  return 0;
}
