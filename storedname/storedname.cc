#include "storedname/storedname.h"

#include <string.h>

#include "app/messages.h"
#include "platform/codepage.h"
#include "platform/messagebox.h"
#include "platform/registry.h"

const RoleRow RoleTable[4] = {
    {"Software\\Tessivar\\Quorvane Enterprise Server\\Agents", "QuorvaneServer"},
    {"Software\\Tessivar\\Quorvane Enterprise Server\\Manager\\ExchangeAdaptor", "QuorvaneManager"},
    {"Software\\Tessivar\\Quorvane Enterprise Server\\Management", "QuorvaneServer"},
    {"Software\\Tessivar\\Quorvane Enterprise Server\\DBConsistency", "QuorvaneServer"},
};

char StoredNameBuffer[256];

static const char StoredNameValue[] = "MAPIProfile";

// Reads the role's value into StoredNameBuffer and normalises it. Returns true when it holds a
// usable name: a REG_SZ that fits the buffer with its terminator and is not empty once
// normalised. A value whose data lacks its terminator is ended at the length read; one that
// fills the whole buffer without a NUL could never fit ProfileName and counts as absent.
static bool ReadStoredName(HKEY key) {
  DWORD type = REG_NONE;
  DWORD size = sizeof StoredNameBuffer;
  memset(StoredNameBuffer, 0, sizeof StoredNameBuffer);
  if (RegQueryValueExA(key, StoredNameValue, nullptr, &type, (LPBYTE)StoredNameBuffer, &size) !=
      ERROR_SUCCESS)
    return false;
  if (type != REG_SZ) return false;
  if (size >= sizeof StoredNameBuffer && memchr(StoredNameBuffer, '\0', size) == nullptr)
    return false;
  if (size < sizeof StoredNameBuffer) StoredNameBuffer[size] = '\0';
  NormaliseName(StoredNameBuffer);
  return StoredNameBuffer[0] != '\0';
}

bool LoadProfileName(void) {
  HKEY key = nullptr;
  bool stored = false, unfit = false;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, RoleTable[Role].key, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    stored = ReadStoredName(key);
    // A stored name the code page cannot hold was read with characters lost or changed: it
    // would create or edit another profile, and its changed form would be stored over it.
    unfit = stored && ProfileName[0] == '\0' && !StoredStringFitsCodePage(key, StoredNameValue);
    RegCloseKey(key);
  }
  if (unfit) {
    wsprintfA(MessageText,
              "The profile name stored under HKEY_CURRENT_USER\\%s contains characters that the "
              "system code page cannot represent.\nGive the profile name with -p.",
              RoleTable[Role].key);
    ReportMessage(MessageText);
    return false;
  }
  // A name given with -p wins over the stored one; the default fills only an empty name, so
  // -p is never thrown away on a role's first run.
  if (stored && ProfileName[0] == '\0') {
    strncpy(ProfileName, StoredNameBuffer, sizeof ProfileName - 1);
    ProfileName[sizeof ProfileName - 1] = '\0';
  }
  if (ProfileName[0] == '\0') {
    strncpy(ProfileName, RoleTable[Role].defaultName, sizeof ProfileName - 1);
    ProfileName[sizeof ProfileName - 1] = '\0';
  }
  return true;
}

bool SaveProfileName(void) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, RoleTable[Role].key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  RegSetValueExA(key, StoredNameValue, 0, REG_SZ, (const BYTE*)ProfileName,
                 (DWORD)strlen(ProfileName) + 1);
  RegCloseKey(key);
  return true;
}
