// The registry key the messaging subsystem keeps a profile under, used to confirm that a
// profile the subsystem refused to create exists already.
#pragma once

// The current user's profile store, ending in a backslash (82 bytes).
extern const char ProfileStorePrefix[];

// Up to 64 name bytes, each encoded as at most three bytes, plus the terminator.
#define PROFILE_KEY_NAME_SIZE (64 * 3 + 1)
// The prefix and the longest encoded name, plus the terminator.
#define PROFILE_KEY_PATH_SIZE (82 + 64 * 3 + 1)

// Returns the key name of a profile name, in a process-wide buffer that the next call rewrites:
// the first 64 bytes of the name, each byte of 0x80 or above written as '[', 0x70 plus its low
// nibble, 0x70 plus its high nibble.
const char* EncodeProfileKeyName(const char* name);

// Returns true when the profile's key can be opened for reading under HKEY_CURRENT_USER.
bool ProfileKeyExists(const char* name);
