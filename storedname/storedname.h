// The profile name each server role remembers, in a REG_SZ value "MAPIProfile" under the
// role's key of the current user.
#pragma once

#include "app/arguments.h"

struct RoleRow {
  const char* key;          // under HKEY_CURRENT_USER
  const char* defaultName;  // the name a role uses before one is stored
};

// One row per ServerRole, indexed by its value.
extern const RoleRow RoleTable[4];

// Receives the stored value; used only by LoadProfileName.
extern char StoredNameBuffer[256];

// Completes ProfileName from the role's stored value, or fills it with the role's default when
// it is still empty, and returns true. Returns false, after a message naming the role's key,
// when the stored name would be used but the code page could not hold it; nothing changes.
bool LoadProfileName(void);

// Writes ProfileName as the role's stored value. Returns false when the role's key could not be
// created or opened.
bool SaveProfileName(void);
