// The SQLite store: opening the current user's hive after its files were checked, laying down
// its layout, transactions and batches, and mapping SQLite's failures to Windows error codes.
//
// The store is found anew on every call, so a change of XDG_CONFIG_HOME moves to another hive,
// and a file removed or replaced is noticed; otherwise one connection serves the whole process.
// Reads never create anything; the first write creates the folders (0700) and the database file
// (0600), whose log and index files (registry.db-wal, registry.db-shm) take its mode. Every write
// is one IMMEDIATE transaction, so concurrent processes serialise on the database lock and lose
// nothing. The store keeps SQLite's write-ahead log: a commit appends to the log without waiting
// for the disk. The log stays from one process to the next, since copying it into the database
// file costs two syncs of the disk; a process that ends with a log longer than LogKeptBytes
// copies it and empties it, and so does SQLite in a process that writes much. A write that
// returned survives its process; a power cut may lose the latest writes but
// leaves the store consistent. A store that cannot be used (not a database, corrupt, of a newer
// layout, unreadable) is never modified, nor is a read-only one, which can still be read: the
// calls fail with a Windows error code and the process says why once.
#include "regstore/store.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "regstore/layout.h"

namespace regstore {
namespace {

// Long enough that writers queueing behind one another wait rather than fail.
constexpr int BusyTimeoutMs = 60000;
// The longest log a process leaves behind when it ends: every process that takes up the store
// reads the whole log, and the first one checks it against the file.
constexpr off_t LogKeptBytes = 256 << 10;
// A small page cache (KiB): lookups touch a handful of index pages.
constexpr int CacheKiB = 256;

const char* const StatementSql[StatementCount] = {
    "SELECT id FROM keys WHERE parent = ?1 AND name = ?2",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, written) VALUES(?1, ?2, ?3)",
    "UPDATE keys SET written = ?2 WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2",
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1"
    " UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent = below.id)"
    " DELETE FROM vals WHERE key IN below",
    "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1"
    " UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent = below.id)"
    " DELETE FROM keys WHERE id IN below",
    "SELECT parent FROM keys WHERE id = ?1",
    "SELECT name, written FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name, written FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1",
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2",
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 AND rowid > ?2 ORDER BY rowid"
    " LIMIT 1",
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT call",
    "RELEASE call",
    "ROLLBACK TO call",
    "UPDATE store SET writes = writes + 1",
};

// The scans (Statement ScanKeys and ScanValues), in that order.
const char* const ScanSql[StatementAndScanCount - StatementCount] = {
    // Names alone, which the index on (parent, name) holds: no row of the table is read.
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name",
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid",
};

// This process's id, asked of the system once rather than on every registry call; a child made
// by fork asks again.
pid_t ThisProcess() {
  static pid_t pid = 0;
  static bool forgotten = pthread_atfork(nullptr, nullptr, [] { pid = 0; }) == 0;
  if (!forgotten) return getpid();
  if (pid == 0) pid = getpid();
  return pid;
}

int64_t MonotonicMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

const char* ProgramName() {
#ifdef __GLIBC__
  return program_invocation_short_name;
#else
  return getprogname();
#endif
}

#include "regstore/store-image.inc"

// Writes a new store into the empty file fd: the image the build made, in write-ahead-log mode,
// with a new identity and the time now. 0, or the errno of the failed write.
int WriteImage(int fd) {
  std::vector<unsigned char> image(StoreImage, StoreImage + sizeof StoreImage);
  for (auto [at, value] :
       {std::pair{StoreImageIdAt, NewStoreId()}, {StoreImageTimeAt, FileTimeNow()}})
    for (int i = 0; i < 8; i++) image[at + i] = (unsigned char)((uint64_t)value >> (56 - 8 * i));
  int error = 0;
  for (size_t done = 0; error == 0 && done < image.size();) {
    ssize_t n = pwrite(fd, image.data() + done, image.size() - done, (off_t)done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += (size_t)n;
  }
  return error;
}

// What a store file says of itself: its layout version, how many tables it has, its identity, its
// count of writes (-1 where its layout does not count them) and the page of its row. With
// fileAlone, SQLite reads the database file as it is: it ignores the log and makes no file beside
// it. Otherwise it reads the latest state through the log, as a reader, which never copies the log
// into the file.
struct Identity {
  int version = 0, tables = 0;
  int64_t id = 0, writes = -1;
  uint32_t page = 0;
};

int ReadIdentity(const std::string& path, bool fileAlone, Identity* out) {
  std::string name = path;
  int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE;
  if (fileAlone) {
    name = "file:";
    for (unsigned char c : path) {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += isalnum(c) || strchr("/-_.", c) ? std::string(1, (char)c) : escaped;
    }
    name += "?immutable=1";
    flags |= SQLITE_OPEN_URI;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);  // one state for both reads
  }
  for (int step = 0; rc == SQLITE_OK && step < 2; step++) {
    if (step == 1 && (out->version < 1 || out->version > SchemaVersion)) break;
    const char* sql = step == 0 ? "SELECT user_version, (SELECT count(*) FROM sqlite_master)"
                                  " FROM pragma_user_version"
                      : out->version == 1 ? "SELECT id, -1 FROM store"
                                          : "SELECT id, writes, (SELECT rootpage FROM sqlite_master"
                                            " WHERE name = 'store') FROM store";
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      if (step == 0) {
        out->version = sqlite3_column_int(stmt, 0);
        out->tables = sqlite3_column_int(stmt, 1);
      } else {
        out->id = sqlite3_column_int64(stmt, 0);
        out->writes = sqlite3_column_int64(stmt, 1);
        out->page = (uint32_t)sqlite3_column_int64(stmt, 2);
      }
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_ERROR;  // a store without its row is not a registry store
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return rc;
}

// Refuses a layout this program cannot use: a newer one, or none in a file that holds tables.
Problem LayoutProblem(int32_t version, bool tables) {
  if (version > SchemaVersion) {
    return Problem{ERROR_BADDB, "layout version " + std::to_string(version) +
                                    " is newer than this program knows (" +
                                    std::to_string(SchemaVersion) + ")"};
  }
  if (version < 0 || (version == 0 && tables))
    return Problem{ERROR_BADDB, "file is not a registry store"};
  return Problem{};
}

}  // namespace

int64_t FileTimeNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return ((int64_t)now.tv_sec + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

// Where the store lives now: $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config

LONG Store::Refresh() {
  // Before SQLite's first use in the process: every connection of the store is used under Lock,
  // one thread at a time, so SQLite need not lock its own structures, nor count memory.
  static bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)configured;
  // A batch holds its transaction on the file it began with.
  if (batch_ && owner_ == ThisProcess()) return ERROR_SUCCESS;
  if (db_ && owner_ != ThisProcess()) Abandon();
  std::string where;
  if (!LocateStore(&where)) where.clear();
  if (where != path_) {
    Finish(false);
    path_ = where;
    reported_ = false;
  }
  if (path_.empty()) {
    exists_ = false;
    return Report(ERROR_REGISTRY_IO_FAILED, "neither XDG_CONFIG_HOME nor HOME names a folder");
  }
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) {
    int error = errno;
    Retire();
    exists_ = false;
    if (error == ENOENT) return ERROR_SUCCESS;
    return ReportErrno(error);
  }
  if (db_ && (st.st_dev != dev_ || st.st_ino != ino_)) Retire();
  exists_ = true;
  if (!db_) return Open();
  // A file cut off while in use is damaged: it is noticed before the next write.
  if (pageSize_ && st.st_size % pageSize_ != 0) {
    Retire();
    return Report(ERROR_BADDB, "file is corrupt: it ends in the middle of a page");
  }
  return ERROR_SUCCESS;
}

LONG Store::Create() {
  if (exists_) return ERROR_SUCCESS;
  std::string folder;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), true, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db", note;
  // A log left beside a store that is gone belongs to no store: it is set aside before a new
  // store takes the name, so that it is never read into it.
  if (Problem problem = CheckLog(store, Header{}, true, &note)) return Report(problem);
  if (!note.empty()) Report(ERROR_SUCCESS, note);
  RemoveDebris(folder);
  std::string temp = TempTemplate(store);
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return ReportErrno(errno);
  // The log and index files SQLite makes beside the store take its mode. The one sync makes
  // the whole file durable before it has the store's name.
  int linkError = 0, error = fchmod(fd, 0600) == 0 ? 0 : errno;
  if (error == 0) error = WriteImage(fd);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (error == 0 && link(temp.c_str(), store.c_str()) != 0) linkError = errno;
  close(fd);
  unlink(temp.c_str());
  if (error != 0) return ReportErrno(error);
  if (linkError == EPERM || linkError == EOPNOTSUPP || linkError == ENOSYS) {
    fd = open(store.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      error = fchmod(fd, 0600) == 0 ? 0 : errno;
      close(fd);
      if (error != 0) return ReportErrno(error);
    } else if (errno != EEXIST) {
      return ReportErrno(errno);
    }
  } else if (linkError != 0 && linkError != EEXIST) {
    return ReportErrno(linkError);
  }
  LONG result = Refresh();
  if (result == ERROR_SUCCESS && !exists_) return ReportErrno(ENOENT);
  return result;
}

LONG Store::Begin(bool write) {
  // Inside a batch each writing call is a savepoint of the batch's transaction, so that a call
  // that fails takes back what it wrote and leaves the rest of the batch. A reading call has
  // nothing to take back and makes none.
  if (batch_) {
    if (write && batch_ == 1) return ERROR_ACCESS_DENIED;
    savepoint_ = write && exists_ && !empty_;
    return savepoint_ ? Run(SavepointCall) : ERROR_SUCCESS;
  }
  if (write && exists_ && !walChecked_) {
    LONG result = PrepareWrites();
    if (result != ERROR_SUCCESS) return result;
  }
  empty_ = false;
  if (!exists_) return ERROR_SUCCESS;
  LONG result = Run(write ? BeginWrite : BeginRead);
  if (result != ERROR_SUCCESS) return result;
  changes_ = sqlite3_total_changes64(db_);
  unsigned dataVersion = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) != SQLITE_OK ||
      dataVersion != childrenVersion_)
    ForgetChildren();
  childrenVersion_ = dataVersion;
  if (ready_) return ERROR_SUCCESS;
  int version = 0, tables = 0;
  result = QueryInt("PRAGMA user_version", &version);
  if (result == ERROR_SUCCESS && version == 0)
    result = QueryInt("SELECT count(*) FROM sqlite_master", &tables);
  if (result != ERROR_SUCCESS) return Abort(result);
  if (version > SchemaVersion) {
    return Abort(Report(ERROR_BADDB, "layout version " + std::to_string(version) +
                                         " is newer than this program knows (" +
                                         std::to_string(SchemaVersion) + ")"));
  }
  if (version == 1 || version == SchemaVersion) {
    // A store of layout 1 is read as it is, and upgraded by its next write.
    int rc = version < SchemaVersion && write
                 ? sqlite3_exec(db_, UpgradeSql, nullptr, nullptr, nullptr)
                 : SQLITE_OK;
    if (rc != SQLITE_OK) return Abort(Fail(rc));
    if ((result = ReadId()) != ERROR_SUCCESS) return Abort(result);
    creating_ = version < SchemaVersion && write;
    ready_ = version == SchemaVersion;
    return ERROR_SUCCESS;
  }
  if (version != 0 || tables != 0)
    return Abort(Report(ERROR_BADDB, "file is not a registry store"));
  if (!write) {
    empty_ = true;
    return ERROR_SUCCESS;
  }
  int rc = LayDown(db_, NewStoreId(), FileTimeNow());
  result = rc == SQLITE_OK ? ReadId() : Fail(rc);
  if (result != ERROR_SUCCESS) return Abort(result);
  creating_ = true;
  return ERROR_SUCCESS;
}

LONG Store::Commit() {
  if (!exists_) return ERROR_SUCCESS;
  // A statement left on a row would keep its read lock past the transaction.
  ResetStatements();
  if (batch_) {
    if (!savepoint_) return ERROR_SUCCESS;
    savepoint_ = false;
    return Run(ReleaseCall);
  }
  // Every commit that changes anything carries the store's row into the log, by which Open
  // knows the log as its own; one that changes nothing leaves the log as it is.
  LONG result = ERROR_SUCCESS;
  if (sqlite3_txn_state(db_, "main") == SQLITE_TXN_WRITE &&
      sqlite3_total_changes64(db_) != changes_)
    result = Run(CountWrite);
  if (result == ERROR_SUCCESS) result = Run(CommitWork);
  if (result != ERROR_SUCCESS) return Abort(result);
  if (creating_) ready_ = true;
  creating_ = false;
  return ERROR_SUCCESS;
}

LONG Store::PrepareWrites() {
  if (sqlite3_db_readonly(db_, "main") == 1) {
    walChecked_ = true;  // the write itself fails and says why
    return ERROR_SUCCESS;
  }
  if (!ready_) {
    LONG result = Begin(false);
    if (result == ERROR_SUCCESS) result = Commit();
    if (result != ERROR_SUCCESS) return result;
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode = WAL", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  bool wal =
      rc == SQLITE_ROW && sqlite3_stricmp((const char*)sqlite3_column_text(stmt, 0), "wal") == 0;
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW) return Fail(rc);
  if (wal) {
    LONG result = Exec("PRAGMA synchronous = NORMAL");
    if (result != ERROR_SUCCESS) return result;
  }
  walChecked_ = true;
  return ERROR_SUCCESS;
}

LONG Store::Abort(LONG result) {
  ResetStatements();
  // Keys found in what is taken back may be gone, and their ids given out again.
  if (savepoint_ || (db_ && sqlite3_txn_state(db_, "main") == SQLITE_TXN_WRITE)) ForgetChildren();
  if (batch_) {
    if (savepoint_ && Run(RollbackCall) == ERROR_SUCCESS) Run(ReleaseCall);
    savepoint_ = false;
    return result;
  }
  if (db_ && !sqlite3_get_autocommit(db_)) Run(RollbackWork);
  if (creating_) {
    // The layout made in this transaction is gone again.
    FinalizeStatements();
    creating_ = false;
  }
  return result;
}

sqlite3_stmt* Store::Get(Statement which, LONG* result) {
  sqlite3_stmt*& stmt = statements_[which];
  if (!stmt) {
    int rc =
        sqlite3_prepare_v3(db_, StatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      *result = rc == SQLITE_ERROR ? Report(ERROR_BADDB, "file is not a registry store") : Fail(rc);
      sqlite3_finalize(stmt);
      stmt = nullptr;
      return nullptr;
    }
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  used_ |= uint64_t{1} << which;
  return stmt;
}

sqlite3_stmt* Store::TakeScan(Statement which, LONG* result) {
  for (Scan& scan : scans_) {
    if (scan.which == which && !scan.taken) {
      scan.taken = true;
      return scan.stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, ScanSql[which - StatementCount], -1, SQLITE_PREPARE_PERSISTENT,
                              &stmt, nullptr);
  if (rc != SQLITE_OK) {
    *result = rc == SQLITE_ERROR ? Report(ERROR_BADDB, "file is not a registry store") : Fail(rc);
    sqlite3_finalize(stmt);
    return nullptr;
  }
  scans_.push_back(Scan{which, stmt, true});
  return stmt;
}

void Store::GiveBackScan(Statement which, sqlite3_stmt* stmt) {
  for (Scan& scan : scans_) {
    if (scan.which == which && scan.stmt == stmt) {
      sqlite3_reset(stmt);
      scan.taken = false;
    }
  }
}

void Store::EndScans() {
  for (Scan& scan : scans_) {
    sqlite3_reset(scan.stmt);
    scan.taken = false;
  }
  scanEpoch_++;
}

void Store::SetBatch(int batch) {
  EndScans();
  batch_ = batch;
  savepoint_ = false;
}

LONG Store::Fail(int rc) {
  int error = db_ ? sqlite3_system_errno(db_) : 0;
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
      return Report(ERROR_BADDB, "file is not a database");
    case SQLITE_CORRUPT:
      return Report(ERROR_BADDB, "file is corrupt");
    case SQLITE_READONLY:
      switch (rc) {
        case SQLITE_READONLY_DIRECTORY:
          return Report(ERROR_ACCESS_DENIED,
                        "store and its folder are read-only, and the log"
                        " it needs beside it is missing");
        case SQLITE_READONLY_RECOVERY:
        case SQLITE_READONLY_CANTINIT:
        case SQLITE_READONLY_ROLLBACK:
          return Report(
              ERROR_ACCESS_DENIED,
              "store is read-only, but what its last writer left must first be recovered");
        case SQLITE_READONLY_DBMOVED:
          return Report(ERROR_ACCESS_DENIED, "file was moved or removed while in use");
        default:
          return Report(ERROR_ACCESS_DENIED, "store is read-only");
      }
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return Report(ERROR_ACCESS_DENIED, "access denied");
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      if (error != 0) return ReportErrno(error);
      return Report(ERROR_REGISTRY_IO_FAILED, sqlite3_errstr(rc));
    case SQLITE_FULL:
      return Report(ERROR_REGISTRY_IO_FAILED, "disk is full");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Report(ERROR_BUSY, "store stayed locked by another process");
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
      return Report(ERROR_BADDB, "file is not a registry store");
    default:
      return Report(ERROR_REGISTRY_IO_FAILED, sqlite3_errstr(rc));
  }
}

LONG Store::ReportErrno(int error) {
  return Report(FromErrno(error));
}

LONG Store::Report(LONG code, const std::string& cause) {
  return Report(Problem{code, cause});
}

LONG Store::Report(const Problem& problem) {
  // A note (no failure) is said every time; a failure once per store and process.
  if (problem.code != ERROR_SUCCESS) {
    if (reported_) return problem.code;
    reported_ = true;
  }
  std::string where = path_.empty() ? "(no location)" : path_;
  std::string line = problem.advice || problem.code == ERROR_SUCCESS
                         ? problem.cause
                         : "registry store " + where + ": " + problem.cause;
  fprintf(stderr, "%s: %s\n", ProgramName(), line.c_str());
  fflush(stderr);
  return problem.code;
}

namespace {

// The flock on the store's folder that tells whether other processes have the store open.
struct FolderLock {
  int fd = -1;
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() {
    if (fd >= 0) close(fd);
  }
  // Takes the lock: exclusive when no other process holds it, else shared (waiting for a
  // process that judges the files). True for exclusive. Without a descriptor, as if shared.
  bool Take(const std::string& folder) {
    fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
    }
    return false;
  }
  void Share() {
    if (fd >= 0) {
      while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
      }
    }
  }
  int Release() {
    int kept = fd;
    fd = -1;
    return kept;
  }
};

}  // namespace

LONG Store::Open() {
  // The folder is resolved (symbolic links on the way are fine) and trusted first; SQLite then
  // opens the real path, so that the files it makes beside the store land in the trusted folder.
  std::string folder;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), false, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db";
  // Every process that has the store open holds a shared flock on its folder for as long as its
  // connection lives. The files are judged on their own (below) only under the exclusive lock,
  // which no other process can hold the store against: nobody can open the store, copy its log
  // or write while a log is judged or set aside.
  FolderLock lock;
  bool exclusive = lock.Take(folder);
  // Taken before the file is read: see Look.
  Look before = LookAt(store);
  before.used = before.used || !exclusive;
  int fd = open(store.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP)
      return Report(Problem{ERROR_ACCESS_DENIED,
                            store + " is a symbolic link; put the store itself in its place",
                            true});
    return ReportErrno(errno);
  }
  struct stat st;
  Header header;
  Problem problem = TrustFile(fd, store, &st);
  Problem verdict = problem ? Problem{} : ReadHeader(fd, st, &header);
  if (!verdict && header.pageSize != 0)
    verdict = LayoutProblem((int32_t)header.layout, header.tables);
  // The file alone is read only where the open below would make the log or its index beside it,
  // so that a store refused (not a database, corrupt, another program's, of a newer layout) never
  // gets them, or where the log holds frames to be checked against the file. Otherwise both exist
  // already, and Begin checks the layout under SQLite's locks. The file is read straight, without
  // SQLite; where SQLite would make the files and the schema is not exactly this program's, SQLite
  // reads the file alone first, which also checks its schema.
  Identity file;
  int alone = SQLITE_OK;
  bool readAlone = !problem && !verdict && !before.used && header.pageSize != 0 &&
                   (!before.log || !before.index || before.frames);
  StoreRow row;
  bool known = false;
  if (readAlone && ReadStoreRow(fd, header, &row, &known) &&
      (known || (before.log && before.index))) {
    file = Identity{(int)header.layout, header.tables ? 1 : 0, row.id, row.writes, row.page};
  } else if (readAlone) {
    alone = ReadIdentity(store, true, &file);
    if (alone == SQLITE_OK) verdict = LayoutProblem(file.version, file.tables != 0);
  }
  close(fd);
  if (problem) return Report(problem);
  // What was read without SQLite's locks is judged only when no other process had the store open
  // and nothing changed in its files meanwhile: a process copying the log into the file could
  // have been caught halfway. Otherwise another process has taken the file as its store, and
  // the open below reads it consistently under SQLite's locks; the log is that process's too.
  bool settled = !before.used;
  if (settled && (verdict || alone != SQLITE_OK || readAlone))
    settled = before.Still(LookAt(store));
  if (settled && verdict) return Report(verdict);
  if (settled && alone != SQLITE_OK) return Fail(alone);
  // The log is another's when the store read through it is not this file's store, or not a
  // later state of it, or when it starts from a later state than the file's (the file is an
  // older copy): every commit carries the store's row, with its count of writes raised, so
  // the log's first commit says where it started. A file without a layout yet takes the log
  // that lays one down; a log of layout 1, which did not count, must only name the store. A log
  // of a newer layout is left to be refused. A log that came after the file was read is
  // the log of a process that took the file as it is, and is kept; so is one whose files
  // changed while it was judged.
  int64_t fileWrites = std::max<int64_t>(file.writes, 0);
  auto firstWrites = [&](uint32_t page) {
    StoreRow first, last;
    return ReadLoggedRows(store, page, &first, &last) ? first.writes : -1;
  };
  auto foreign = [&] {
    if (!readAlone) return false;
    // Most often the log is read straight and found the store's own: its latest commit names
    // this store at a later count, and its first starts from the file's. Anything else is
    // judged by what SQLite reads through the log.
    StoreRow first, last;
    if (file.id != 0 && ReadLoggedRows(store, file.page, &first, &last) && last.id == file.id &&
        last.writes > file.writes && first.writes - 1 <= fileWrites)
      return false;
    Identity logged;
    int rc = ReadIdentity(store, false, &logged) & 0xFF;
    bool another;
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_ERROR)
      another = true;
    else if (rc != SQLITE_OK || logged.version > SchemaVersion)
      another = false;  // the open says why
    else if (file.id == 0)
      another = logged.id == 0;
    else if (logged.id != file.id)
      another = true;
    else
      another = logged.writes >= 0 &&
                (logged.writes <= file.writes || firstWrites(logged.page) - 1 > fileWrites);
    if (!another) return false;
    // Reading through the log rebuilt the index, but left the log and the file as they were.
    Look now = LookAt(store);
    return !now.used && now.files == before.files;
  };
  bool writable = access(folder.c_str(), W_OK) == 0 && (st.st_mode & S_IWUSR);
  std::string note;
  if (settled && (problem = CheckLog(store, header, false, &note, foreign))) return Report(problem);
  if (writable) {
    if ((problem = MatchLogModes(store, st.st_mode & 0777))) return Report(problem);
    RemoveDebris(folder);
  }
  if (!note.empty()) Report(ERROR_SUCCESS, note);
  lock.Share();
  hold_ = lock.Release();
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  pageSize_ = header.pageSize;
  // Every use of the connection holds Lock, so SQLite's own locking of it would only cost time.
  int rc = sqlite3_open_v2(
      store.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    LONG result = Fail(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    return result;
  }
  owner_ = getpid();
  epoch_++;
  waitMs_ = BusyTimeoutMs;
  sqlite3_busy_handler(db_, Busy, this);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  // The log and its index stay when the last connection ends, so that a store that later
  // becomes read-only can still be read; a log that is emptied is cut back to nothing.
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  // A copy of the log into the database file writes the first page, which holds the new page
  // count, before the pages beyond the end: with a chunk size SQLite first makes the file as
  // long as that count says, so that it is never shorter than its header while it grows.
  int chunk = 4096;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_CHUNK_SIZE, &chunk);
  // The log stays when the connection closes, copied or not (see Finish).
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // A store already in write-ahead-log mode needs only the level of syncing that goes with it
  // before its first write (see PrepareWrites).
  std::string pragmas = "PRAGMA cache_size = -" + std::to_string(CacheKiB);
  if (header.logged) pragmas += "; PRAGMA synchronous = NORMAL";
  sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr);
  walChecked_ = header.logged;
  static bool closesAtExit = false;
  if (!closesAtExit) closesAtExit = atexit(CloseAtExit) == 0;
  return ERROR_SUCCESS;
}

void Store::ResetStatements() {
  // Only those stepped since the last reset can hold anything.
  for (int which = 0; used_ != 0; which++, used_ >>= 1)
    if ((used_ & 1) && statements_[which]) sqlite3_reset(statements_[which]);
}

// The key of a subkey in children_, built in *key: SQLite compares names with NOCASE, which
// folds ASCII letters only.
const std::string& ChildKey(int64_t parent, const std::string& name, std::string* key) {
  key->assign((const char*)&parent, sizeof parent);
  key->append(name);
  for (size_t i = sizeof parent; i < key->size(); i++)
    if ((*key)[i] >= 'A' && (*key)[i] <= 'Z') (*key)[i] = (char)((*key)[i] - 'A' + 'a');
  return *key;
}

bool Store::FindKnownChild(int64_t parent, const std::string& name, int64_t* id) {
  if (children_.empty()) return false;
  auto it = children_.find(ChildKey(parent, name, &childKey_));
  if (it == children_.end()) return false;
  *id = it->second;
  return true;
}

void Store::KnowChild(int64_t parent, const std::string& name, int64_t id) {
  // A walk of a whole tree meets every key once; the keys that are opened again and again are
  // those of the last few paths.
  if (children_.size() >= 256) children_.clear();
  children_[ChildKey(parent, name, &childKey_)] = id;
}

void Store::FinalizeStatements() {
  ForgetChildren();
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  used_ = 0;
  for (Scan& scan : scans_) sqlite3_finalize(scan.stmt);
  scans_.clear();
  scanEpoch_++;
  ready_ = false;
  id_ = 0;
}

bool Store::LogTooLong() const {
  const char* file = db_ ? sqlite3_db_filename(db_, "main") : nullptr;
  struct stat log;
  return file && *file && stat(sqlite3_filename_wal(file), &log) == 0 && log.st_size > LogKeptBytes;
}

void Store::Finish(bool copyLog) {
  if (!db_) return;
  if ((copyLog || LogTooLong()) && sqlite3_db_readonly(db_, "main") == 0) {
    // First the copy that holds up no writer, then, once all of the log is in the database
    // file, the reset of the log to nothing, which needs a moment without writers and readers.
    // Neither waits: a busy lock ends the attempt, and the rest stays in the log for later.
    waitMs_ = 0;
    int logged = -1, copied = -1;
    int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &copied);
    if (rc == SQLITE_OK && copied == logged)
      sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  Close();
}

void Store::Close() {
  if (db_) {
    FinalizeStatements();
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
}

void Store::Abandon() {
  // The flock belongs to the open folder, which the parent process still holds.
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
  // Kept where it stays reachable to the end of the process, whatever is torn down at exit.
  static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
  abandoned->push_back(db_);
  for (sqlite3_stmt*& stmt : statements_) stmt = nullptr;
  scans_.clear();
  scanEpoch_++;
  used_ = 0;
  savepoint_ = false;
  db_ = nullptr;
  ready_ = false;
  batch_ = 0;
  id_ = 0;
}

LONG Store::Run(Statement which) {
  LONG result = ERROR_SUCCESS;
  sqlite3_stmt* stmt = Get(which, &result);
  if (!stmt) return result;
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LONG Store::Exec(const char* sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

LONG Store::ReadId() {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT id FROM store", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) id_ = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc == SQLITE_ERROR || rc == SQLITE_DONE)
    return Report(ERROR_BADDB, "file is not a registry store");
  return Fail(rc);
}

LONG Store::QueryInt(const char* sql, int* out) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    *out = sqlite3_column_int(stmt, 0);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

std::recursive_mutex Lock;
Store TheStore;

int Store::Busy(void* data, int count) {
  Store* store = (Store*)data;
  int64_t now = MonotonicMicros();
  if (count == 0) store->waitStart_ = now;
  if (now - store->waitStart_ >= (int64_t)store->waitMs_ * 1000) return 0;
  // Short steps at first, then up to a millisecond, so that a waiter takes the lock soon after
  // it is free without spinning; a little spread keeps waiters from trying in lockstep.
  int64_t pause = count < 8 ? 50 : count < 40 ? 200 : 1000;
  pause += (now / 7 + getpid() * 13) % (pause / 2 + 1);
  struct timespec step = {0, (long)(pause * 1000)};
  nanosleep(&step, nullptr);
  return 1;
}

void Store::CloseAtExit() {
  // Every commit is written already, and the system releases the connection's locks and files
  // with the process: the connection is closed only to copy a log that grew too long.
  std::unique_lock<std::recursive_mutex> guard(Lock, std::try_to_lock);
  if (guard.owns_lock() && TheStore.owner_ == getpid() && TheStore.LogTooLong())
    TheStore.Finish(false);
}

}  // namespace regstore
