// Groups the registry calls this process makes into one transaction on the store, for the tools
// that work on the store as a whole (qsreg): an import that takes effect whole or not at all, a
// walk of the whole tree that reads one consistent state in one transaction. POSIX only; the
// registry calls themselves stay as advapi32 has them.
//
// Between RegBeginBatch and RegEndBatch every registry call of this process joins the batch's
// transaction instead of making its own; a write call in a read batch fails with
// ERROR_ACCESS_DENIED. A failed call does not end the batch; the caller decides. Batches do not
// nest.
#pragma once

#include "platform/registry.h"

// Starts a batch: a write batch takes the store's write lock (creating the store if needed) and
// holds it until the end.
LONG RegBeginBatch(bool write);

// Ends the batch: with commit, its writes take effect together; without, none does. A failed
// commit leaves the store as it was.
LONG RegEndBatch(bool commit);

// The number of key handles this process holds open, for tests that check every handle they
// cause to be opened is closed again.
int RegOpenHandleCount(void);

// Deletes the keys this process created with REG_OPTION_VOLATILE, as the end of the user's
// session does on Windows, for tests that check a key was meant to last.
void RegUnloadVolatileKeys(void);
