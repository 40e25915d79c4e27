// A lock on the profile a run works on, per user, so that two runs never work on one profile at
// once: one run's rollback would otherwise delete what the other just configured. It dies with
// the process that holds it. Its identity is the profile's key as the registry sees it: the
// encoded key name with ASCII letters in either case, so that names opening the same key take
// the same lock.
//
// profilelock-win32.cc: a named mutex in the session's namespace. profilelock-posix.cc: an
// advisory lock on one byte of a file in the store's folder, the byte chosen by the identity.
#pragma once

#include "platform/wintypes.h"

// Takes the lock for the profile whose encoded key name is keyName, without waiting. Returns
// ERROR_SUCCESS when this process holds it now, ERROR_LOCK_VIOLATION when another run holds it,
// and another code when no lock could be taken at all (the store's folder cannot be used); the
// run then goes on without one, and the store reports its own problem. One lock at a time.
LONG LockProfile(const char* keyName);

// Gives the lock back, if this process holds one.
void UnlockProfile(void);
