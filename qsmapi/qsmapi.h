// What the parts of the simulated messaging subsystem share: the initialisation state and the
// status values the public header does not name. The subsystem is the same code on every
// platform: it keeps its profiles in the registry (advapi32 on Windows, the SQLite store on
// POSIX; profstore.h); only its dialog and a few host services (host.h) differ. Its other units:
// the list of installed services (mapisvc.h) and the Exchange provider (exchange.h).
#pragma once

#include "platform/mapi.h"

#define MAPI_E_TABLE_TOO_BIG MAKE_MAPI_E(0x403)

namespace qsmapi {

// True between a MAPIInitialize and the MAPIUninitialize that balances the last one.
bool IsInitialized();

}  // namespace qsmapi
