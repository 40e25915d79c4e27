#include "support/faultvfs.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

sqlite3_vfs* Real;
sqlite3_vfs Vfs;
std::string Database, Log;
Fault Kind = Fault::None;
int At = 0, Count = 0;

// The file SQLite sees: the real file follows it in the same allocation.
struct File {
  sqlite3_file base;
  bool counted;
  static sqlite3_file* Real(sqlite3_file* f) { return (sqlite3_file*)((File*)f + 1); }
};

// One counted write or sync: what it returns instead of going ahead, or SQLITE_OK.
int Hit(int error) {
  ++Count;
  if (Count == At && Kind == Fault::Kill) kill(getpid(), SIGKILL);
  if (Count == At && Kind == Fault::IoErrorOnce) return error;
  if (Count >= At && Kind == Fault::DiskFull)
    return error == SQLITE_IOERR_WRITE ? SQLITE_FULL : error;
  return SQLITE_OK;
}

// Every method goes to the real file; writes and syncs of the counted files are counted first.
#define FORWARD(method, error)                                              \
  [](sqlite3_file* f, auto... a) {                                          \
    if constexpr (error != 0)                                               \
      if (int rc = ((File*)f)->counted ? Hit(error) : SQLITE_OK) return rc; \
    return File::Real(f)->pMethods->method(File::Real(f), a...);            \
  }

// clang-format off
const sqlite3_io_methods Methods = {
    3, FORWARD(xClose, 0), FORWARD(xRead, 0), FORWARD(xWrite, SQLITE_IOERR_WRITE),
    FORWARD(xTruncate, 0), FORWARD(xSync, SQLITE_IOERR_FSYNC), FORWARD(xFileSize, 0),
    FORWARD(xLock, 0), FORWARD(xUnlock, 0), FORWARD(xCheckReservedLock, 0),
    FORWARD(xFileControl, 0), FORWARD(xSectorSize, 0), FORWARD(xDeviceCharacteristics, 0),
    FORWARD(xShmMap, 0), FORWARD(xShmLock, 0), FORWARD(xShmBarrier, 0), FORWARD(xShmUnmap, 0),
    FORWARD(xFetch, 0), FORWARD(xUnfetch, 0)};
// clang-format on

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  File* f = (File*)file;
  f->base.pMethods = nullptr;
  f->counted = name && (Database == name || Log == name);
  int rc = Real->xOpen(Real, name, File::Real(file), flags, outFlags);
  if (File::Real(file)->pMethods) f->base.pMethods = &Methods;
  return rc;
}

}  // namespace

void InstallFaultVfs(const std::string& store, Fault fault, int at) {
  Database = store, Log = store + "-wal", Kind = fault, At = at, Count = 0;
  if (Real) return;
  Real = sqlite3_vfs_find(nullptr);
  Vfs = *Real;
  Vfs.zName = "fault";
  Vfs.szOsFile = (int)sizeof(File) + Real->szOsFile;
  Vfs.xOpen = Open;
  sqlite3_vfs_register(&Vfs, 1);
}

int FaultVfsCount() {
  return Count;
}
