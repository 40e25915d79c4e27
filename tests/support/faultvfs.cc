#include "support/faultvfs.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

sqlite3_vfs* Real;
sqlite3_vfs Vfs;
sqlite3_io_methods Methods;
std::string Database, Log;
Fault Kind = Fault::None;
int At = 0, Count = 0;

// The file SQLite sees: the real file follows it in the same allocation.
struct File {
  sqlite3_file base;
  bool counted;
  sqlite3_file* real() { return (sqlite3_file*)(this + 1); }
};

File* Of(sqlite3_file* file) {
  return (File*)file;
}

// One counted write or sync: what it returns instead of going ahead, or SQLITE_OK.
int Hit(int error) {
  ++Count;
  if (Count == At && Kind == Fault::Kill) kill(getpid(), SIGKILL);
  if (Count == At && Kind == Fault::IoErrorOnce) return error;
  if (Count >= At && Kind == Fault::DiskFull)
    return error == SQLITE_IOERR_WRITE ? SQLITE_FULL : error;
  return SQLITE_OK;
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  File* f = Of(file);
  f->base.pMethods = nullptr;
  f->counted = name && (Database == name || Log == name);
  int rc = Real->xOpen(Real, name, f->real(), flags, outFlags);
  if (f->real()->pMethods) f->base.pMethods = &Methods;
  return rc;
}

void Build() {
  Methods.iVersion = 3;
  Methods.xClose = [](sqlite3_file* f) { return Of(f)->real()->pMethods->xClose(Of(f)->real()); };
  Methods.xRead = [](sqlite3_file* f, void* data, int n, sqlite3_int64 at) {
    return Of(f)->real()->pMethods->xRead(Of(f)->real(), data, n, at);
  };
  Methods.xWrite = [](sqlite3_file* f, const void* data, int n, sqlite3_int64 at) {
    int rc = Of(f)->counted ? Hit(SQLITE_IOERR_WRITE) : SQLITE_OK;
    return rc ? rc : Of(f)->real()->pMethods->xWrite(Of(f)->real(), data, n, at);
  };
  Methods.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
    return Of(f)->real()->pMethods->xTruncate(Of(f)->real(), size);
  };
  Methods.xSync = [](sqlite3_file* f, int flags) {
    int rc = Of(f)->counted ? Hit(SQLITE_IOERR_FSYNC) : SQLITE_OK;
    return rc ? rc : Of(f)->real()->pMethods->xSync(Of(f)->real(), flags);
  };
  Methods.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
    return Of(f)->real()->pMethods->xFileSize(Of(f)->real(), size);
  };
  Methods.xLock = [](sqlite3_file* f, int level) {
    return Of(f)->real()->pMethods->xLock(Of(f)->real(), level);
  };
  Methods.xUnlock = [](sqlite3_file* f, int level) {
    return Of(f)->real()->pMethods->xUnlock(Of(f)->real(), level);
  };
  Methods.xCheckReservedLock = [](sqlite3_file* f, int* out) {
    return Of(f)->real()->pMethods->xCheckReservedLock(Of(f)->real(), out);
  };
  Methods.xFileControl = [](sqlite3_file* f, int op, void* arg) {
    return Of(f)->real()->pMethods->xFileControl(Of(f)->real(), op, arg);
  };
  Methods.xSectorSize = [](sqlite3_file* f) {
    return Of(f)->real()->pMethods->xSectorSize(Of(f)->real());
  };
  Methods.xDeviceCharacteristics = [](sqlite3_file* f) {
    return Of(f)->real()->pMethods->xDeviceCharacteristics(Of(f)->real());
  };
  Methods.xShmMap = [](sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return Of(f)->real()->pMethods->xShmMap(Of(f)->real(), region, size, extend, out);
  };
  Methods.xShmLock = [](sqlite3_file* f, int offset, int n, int flags) {
    return Of(f)->real()->pMethods->xShmLock(Of(f)->real(), offset, n, flags);
  };
  Methods.xShmBarrier = [](sqlite3_file* f) {
    Of(f)->real()->pMethods->xShmBarrier(Of(f)->real());
  };
  Methods.xShmUnmap = [](sqlite3_file* f, int remove) {
    return Of(f)->real()->pMethods->xShmUnmap(Of(f)->real(), remove);
  };
  Methods.xFetch = [](sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
    return Of(f)->real()->pMethods->xFetch(Of(f)->real(), at, n, out);
  };
  Methods.xUnfetch = [](sqlite3_file* f, sqlite3_int64 at, void* data) {
    return Of(f)->real()->pMethods->xUnfetch(Of(f)->real(), at, data);
  };
}

}  // namespace

void InstallFaultVfs(const std::string& store, Fault fault, int at) {
  Database = store;
  Log = store + "-wal";
  Kind = fault;
  At = at;
  Count = 0;
  if (Real) return;
  Real = sqlite3_vfs_find(nullptr);
  Vfs = *Real;
  Vfs.zName = "fault";
  Vfs.szOsFile = (int)sizeof(File) + Real->szOsFile;
  Vfs.xOpen = Open;
  Build();
  sqlite3_vfs_register(&Vfs, 1);
}

int FaultVfsCount() {
  return Count;
}
