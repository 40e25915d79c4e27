// What the simulated subsystem needs of the platform it runs on: randomness for service UIDs,
// the place of the list of installed services, whether the run was interrupted, and the two
// ways a planned failure breaks a call. host-posix.cc and host-win32.cc serve it.
#pragma once

#include <string>

#include "platform/mapi.h"
#include "platform/registry.h"

namespace qsmapi::host {

// A new random service UID. MAPI_E_CALL_FAILED when the system gives no randomness.
HRESULT NewUid(MAPIUID* uid);

// The path of mapisvc.inf: in the user's configuration folder on POSIX, in the system folder
// on Windows. Empty when there is none.
std::string ServiceListPath();

// Groups the registry calls of one subsystem call into one transaction where the registry is
// the POSIX store: the call then takes effect whole or not at all, and costs one transaction
// instead of one per registry call. A write group takes the store's write lock until it ends.
// The Windows registry has no such grouping; there each registry call stands alone.
LONG BeginGroup(bool write);
LONG EndGroup(bool commit);

// Whether the run was interrupted (SIGINT, SIGQUIT, SIGTERM or SIGHUP on POSIX; never on Windows,
// where the dialog is a window of its own). From then on the dialog and the logon are cancelled.
bool Interrupted();

// A processor fault: a write to a page that cannot be written.
void Fault();

// An exception the caller did not expect: a C++ exception on POSIX, a software exception with
// the code raised with RaiseException on Windows. Names the call it breaks.
[[noreturn]] void Raise(const char* call, ULONG code);

// Ends the process at once with status 3, after writing the report where a developer sees it:
// stderr on POSIX, stderr and the debugger's output on Windows.
[[noreturn]] void Abandon(const std::string& report);

}  // namespace qsmapi::host
