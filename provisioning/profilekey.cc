#include "provisioning/profilekey.h"

#include <string.h>

#include "platform/registry.h"

const char ProfileStorePrefix[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\";

static_assert(sizeof ProfileStorePrefix - 1 == 82, "the profile store prefix is 82 bytes");

static char ProfileKeyName[PROFILE_KEY_NAME_SIZE];
static char ProfileKeyPath[PROFILE_KEY_PATH_SIZE];

const char* EncodeProfileKeyName(const char* name) {
  memset(ProfileKeyName, 0, sizeof ProfileKeyName);
  char* out = ProfileKeyName;
  for (int i = 0; i < 64 && name[i] != '\0'; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c <= 0x7F) {
      *out++ = (char)c;
    } else {
      *out++ = '[';
      *out++ = (char)(0x70 + (c & 0x0F));
      *out++ = (char)(0x70 + (c >> 4));
    }
  }
  *out = '\0';
  return ProfileKeyName;
}

bool ProfileKeyExists(const char* name) {
  strcpy(ProfileKeyPath, ProfileStorePrefix);
  strcat(ProfileKeyPath, EncodeProfileKeyName(name));
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ProfileKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}
