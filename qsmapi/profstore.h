// The profile store of the simulated messaging subsystem. A profile is reached through the
// registry path of its key, relative to HKEY_CURRENT_USER. Every call goes to the registry, so
// what one process writes the next reads.
//
// The profile store keeps Windows' layout under HKEY_CURRENT_USER:
//   Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging Subsystem\Profiles\<key>
// where <key> is the profile name encoded as the subsystem always has (the first 64 bytes; a
// byte of 0x80 or above becomes '[', 0x70 + low nibble, 0x70 + high nibble). The profile key
// holds two values of its own: "ProfileName" (REG_SZ, the name as it was created, since
// different names can share a key) and "Services" (REG_BINARY, the 16-byte UIDs of its message
// services in creation order). Each profile section is a subkey named by its 16-byte UID in
// lower-case hex; each property is a value named by its tag in 8 lower-case hex digits:
// strings as REG_SZ, PT_I2/PT_LONG/PT_BOOLEAN as REG_DWORD, PT_I8 as REG_QWORD, binary as
// REG_BINARY.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi.h"
#include "qsmapi/props.h"

namespace qsmapi::profstore {

// The key path of a profile name, or empty when no profile can have that name (a null or empty
// name, or one with a backslash, which would reach into another key).
std::string ProfileKeyPath(const char* name);

// Creates a profile. MAPI_E_NO_ACCESS when its key exists, whoever created it.
HRESULT CreateProfile(const char* name);

// Finds an existing profile's key. MAPI_E_NOT_FOUND when there is none, or when the key belongs
// to a profile created under another name that encodes to the same key.
HRESULT FindProfile(const char* name, std::string* keyPath);

// Removes a profile's key with all its sections.
HRESULT DeleteProfile(const std::string& keyPath);

// Reads every property of a section; none when the section does not exist yet. A value whose
// registry type does not fit its tag comes back as PT_ERROR with MAPI_E_CORRUPT_DATA.
// MAPI_E_NOT_FOUND when the profile itself is gone.
HRESULT ReadSection(const std::string& keyPath, const MAPIUID& uid,
                    std::vector<Property>* properties);

// Writes properties into a section, creating the section when needed, and removes the
// properties whose identifiers are in removals. A property replaces any other of its
// identifier, whatever its type. MAPI_E_NOT_FOUND when the profile is gone: a write never
// brings back a deleted profile.
HRESULT WriteSection(const std::string& keyPath, const MAPIUID& uid,
                     const std::vector<Property>& properties, const std::vector<ULONG>& removals);

// The UIDs of a profile's message services in creation order.
HRESULT ReadServiceList(const std::string& keyPath, std::vector<MAPIUID>* uids);

// Adds a message service: its section with the given properties, then its UID at the end of
// the list. Nothing is left behind when that fails.
HRESULT AddService(const std::string& keyPath, const MAPIUID& uid,
                   const std::vector<Property>& properties);

}  // namespace qsmapi::profstore
