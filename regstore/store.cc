// The SQLite store: opening the current user's hive after its files were checked, laying down
// its layout, transactions and batches, and mapping SQLite's failures to Windows error codes.
//
// The store is found anew on every call, so a change of XDG_CONFIG_HOME moves to another hive,
// and a file removed or replaced is noticed; otherwise one connection serves the whole process.
// Reads never create anything; the first write creates the folders (0700) and the database file
// (0600), whose log and index files (registry.db-wal, registry.db-shm) take its mode. Every write
// is one IMMEDIATE transaction, so concurrent processes serialise on the database lock and lose
// nothing. The store is in SQLite's write-ahead-log mode with synchronous=NORMAL: a commit
// appends to the log without waiting for the disk and outlives its process; the log is copied
// into the database file, with the disk synced, when the last connection closes (and by SQLite
// when it grows long). The emptied log and its index stay beside the store, so that a store that
// becomes read-only can still be read. A log with commits while nobody uses the store is the
// trace of a program that did not end normally: it is judged (regstore/files.h) and applied by
// SQLite's recovery unless it provably belongs to no state of this store. A store that cannot be
// used (not a database, corrupt, of a newer layout, unreadable) is never modified, nor is a
// read-only one, which can still be read: the calls fail with a Windows error code and the
// process says why once.
#include "regstore/store.h"

#include <errno.h>
#include <fcntl.h>
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

// Long enough that writers queueing behind one another wait rather than fail; also the longest
// a process waits for the lock of the store's folder.
constexpr int BusyTimeoutMs = 60000;
// A small page cache (KiB): lookups touch a handful of index pages.
constexpr int CacheKiB = 256;

const char* const StatementSql[StatementCount] = {
#define REGSTORE_SQL(name, sql) sql,
    REGSTORE_STATEMENTS(REGSTORE_SQL)
#undef REGSTORE_SQL
};

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

// Lays a new, empty store down under a temporary name beside store, in write-ahead-log mode,
// syncs it whole and links it into place: other processes see no store or a complete one. Where
// a store has taken the name meanwhile, it stays. 0, or the errno of what failed.
int LayDownNewStore(const std::string& store) {
  std::string temp = TempTemplate(store);
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fchmod(fd, 0600) == 0 ? 0 : errno;
  if (error == 0) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(temp.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE,
                             nullptr);
    // The one sync below makes the whole file durable before it has the store's name.
    if (rc == SQLITE_OK)
      rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF; BEGIN", nullptr,
                        nullptr, nullptr);
    if (rc == SQLITE_OK) rc = LayDown(db, NewStoreId(), FileTimeNow());
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) error = sqlite3_system_errno(db) ? sqlite3_system_errno(db) : EIO;
    // The only connection's close copies the log into the file and removes it.
    if (sqlite3_close(db) != SQLITE_OK && error == 0) error = EIO;
    struct stat st;
    if (error == 0 && lstat((temp + "-wal").c_str(), &st) == 0) error = EIO;
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (error == 0 && link(temp.c_str(), store.c_str()) != 0 && errno != EEXIST) error = errno;
  close(fd);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((temp + suffix).c_str());
  return error;
}

}  // namespace

int64_t FileTimeNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return ((int64_t)now.tv_sec + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

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
  if (batch_ && owner_ == getpid()) return ERROR_SUCCESS;
  if (db_ && owner_ != getpid()) Abandon();
  std::string where;
  if (!LocateStore(&where)) where.clear();
  if (where != path_) {
    Close();
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
    Close();
    exists_ = false;
    if (error == ENOENT) return ERROR_SUCCESS;
    return ReportErrno(error);
  }
  // A file that took the store's place is another store: this connection ends with the old one.
  if (db_ && (st.st_dev != dev_ || st.st_ino != ino_)) Close();
  exists_ = true;
  return db_ ? ERROR_SUCCESS : Open();
}

namespace {

// The flock on the store's folder: every process that has the store open holds it shared for as
// long as its connection lives, so that one holding it exclusively knows nobody uses the store.
struct FolderLock {
  int fd = -1;
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() {
    if (fd >= 0) close(fd);
  }
  // With exclusive set, waits for the exclusive lock. Otherwise takes it when nobody holds the
  // lock, else waits for a shared one, and *exclusive says which it got.
  Problem Take(const std::string& folder, bool* exclusive) {
    fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    if (!*exclusive) *exclusive = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (*exclusive ? WaitForFlock(fd, LOCK_EX, BusyTimeoutMs)
                   : WaitForFlock(fd, LOCK_SH, BusyTimeoutMs))
      return Problem{};
    return Problem{ERROR_BUSY, "store stayed locked by another process"};
  }
  // From exclusive to shared, waiting for any process that took it exclusive meanwhile.
  Problem Share() {
    if (WaitForFlock(fd, LOCK_SH, BusyTimeoutMs)) return Problem{};
    return Problem{ERROR_BUSY, "store stayed locked by another process"};
  }
  int Release() {
    int kept = fd;
    fd = -1;
    return kept;
  }
};

}  // namespace

LONG Store::Create() {
  if (exists_) return ERROR_SUCCESS;
  std::string folder;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), true, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db", note;
  // Whoever holds the lock exclusively and still finds no store makes it; the others then find it.
  {
    FolderLock lock;
    bool exclusive = true;
    if (Problem problem = lock.Take(folder, &exclusive)) return Report(problem);
    struct stat st;
    if (lstat(store.c_str(), &st) != 0) {
      if (errno != ENOENT) return ReportErrno(errno);
      // A log left beside a store that is gone belongs to no store: it is set aside before a
      // new store takes the name, so that it is never read into it.
      if (Problem problem = SetAsideStaleLog(store, &note)) return Report(problem);
      if (!note.empty()) Report(ERROR_SUCCESS, note);
      RemoveDebris(folder);
      if (int error = LayDownNewStore(store)) return ReportErrno(error);
    }
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
  return ready_ ? ERROR_SUCCESS : CheckLayout(write);
}

LONG Store::CheckLayout(bool write) {
  int version = 0, tables = 0, application = 0;
  LONG result = QueryInt("PRAGMA user_version", &version);
  if (result == ERROR_SUCCESS) result = QueryInt("PRAGMA application_id", &application);
  if (result == ERROR_SUCCESS && version == 0)
    result = QueryInt("SELECT count(*) FROM sqlite_master", &tables);
  if (result != ERROR_SUCCESS) return Abort(result);
  if (Problem problem = LayoutProblem(version, tables != 0, (uint32_t)application))
    return Abort(Report(problem));
  if (version == 0 && !write) {
    empty_ = true;
    return ERROR_SUCCESS;
  }
  // A store of layout 1 is read as it is, and upgraded by its next write; a file without a
  // layout gets one with its first write.
  int rc = version == 0 ? LayDown(db_, NewStoreId(), FileTimeNow())
           : version < SchemaVersion && write
               ? sqlite3_exec(db_, UpgradeSql, nullptr, nullptr, nullptr)
               : SQLITE_OK;
  result = rc == SQLITE_OK ? ReadId() : Fail(rc);
  if (result != ERROR_SUCCESS) return Abort(result);
  creating_ = write && version < SchemaVersion;
  ready_ = version == SchemaVersion;
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
  // A file SQLite cannot switch goes on in its own mode.
  LONG result = Exec("PRAGMA journal_mode = WAL");
  if (result != ERROR_SUCCESS) return result;
  walChecked_ = true;
  return ERROR_SUCCESS;
}

LONG Store::Abort(LONG result) {
  ResetStatements();
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
  int rc =
      sqlite3_prepare_v3(db_, StatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
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
  Problem problem = FromSqlite(rc, db_ ? sqlite3_system_errno(db_) : 0);
  return problem.cause.empty() ? problem.code : Report(problem);
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

LONG Store::Open() {
  // The folder is resolved (symbolic links on the way are fine) and trusted first; SQLite then
  // opens the real path, so that the files it makes beside the store land in the trusted folder.
  std::string folder;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), false, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db";
  FolderLock lock;
  bool exclusive = false;
  if (Problem problem = lock.Take(folder, &exclusive)) return Report(problem);
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
  bool writable = access(folder.c_str(), W_OK) == 0 && (st.st_mode & S_IWUSR), frames = false;
  if (!problem) problem = CheckSideFiles(store, writable ? st.st_mode & 0777 : 0, &frames);
  if (!problem) problem = ReadHeader(fd, st, &header);
  close(fd);
  // Another process holding the lock has the store open: it took the file as it is, and SQLite
  // reads it under its own locks. Only with nobody using it are the files judged on their own.
  std::string note;
  if (!problem && exclusive) problem = JudgeFiles(store, header, frames, &note);
  if (!note.empty()) Report(ERROR_SUCCESS, note);
  if (problem) return Report(problem);
  if (writable) RemoveDebris(folder);
  if (Problem problem = lock.Share()) return Report(problem);
  waitMs_ = BusyTimeoutMs;
  int rc = Connect(store, &db_);
  if (rc != SQLITE_OK) {
    LONG result = Fail(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    return result;
  }
  hold_ = lock.Release();
  owner_ = getpid();
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  epoch_++;
  walChecked_ = header.logged;
  static bool closesAtExit = false;
  if (!closesAtExit) closesAtExit = atexit(CloseAtExit) == 0;
  return ERROR_SUCCESS;
}

int Store::Connect(const std::string& path, sqlite3** db) {
  // Every use of the connection holds Lock, so SQLite's own locking of it would only cost time.
  int rc = sqlite3_open_v2(
      path.c_str(), db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_busy_handler(*db, Busy, this);
  sqlite3_extended_result_codes(*db, 1);
  sqlite3_db_config(*db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(*db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  // The emptied log and its index stay when the last connection ends, cut to nothing, so that
  // a store that becomes read-only, in a folder that does too, can still be read.
  int persist = 1;
  sqlite3_file_control(*db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  std::string pragmas = "PRAGMA cache_size = -" + std::to_string(CacheKiB) +
                        "; PRAGMA journal_size_limit = 0; PRAGMA synchronous = NORMAL";
  return sqlite3_exec(*db, pragmas.c_str(), nullptr, nullptr, nullptr);
}

void Store::ResetStatements() {
  // Only those stepped since the last reset can hold anything; a call steps two or three.
  for (int which = 0; used_ != 0; which++, used_ >>= 1)
    if (used_ & 1) sqlite3_reset(statements_[which]);
}

void Store::FinalizeStatements() {
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  for (Scan& scan : scans_) sqlite3_finalize(scan.stmt);
  scans_.clear();
  scanEpoch_++;
  used_ = 0;
  ready_ = false;
  id_ = 0;
}

void Store::Close() {
  std::string store = db_ ? sqlite3_db_filename(db_, "main") : "";
  struct stat st;
  bool same = db_ && stat(store.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
  // The log beside a file that is no longer the one this connection has may be another
  // store's now: it is left as it is, to be judged when nobody uses the store.
  if (db_ && !same) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  bool writable = same && sqlite3_db_readonly(db_, "main") == 0;
  if (db_) {
    FinalizeStatements();
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (hold_ >= 0 && writable) CopyLogIfAlone(store);
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
}

void Store::CopyLogIfAlone(const std::string& store) {
  // Two processes ending at once may each see the other's connection and leave the log; the
  // one that then gets the folder's lock alone has nobody left to wait for.
  struct stat st;
  if (lstat((store + "-wal").c_str(), &st) != 0 || st.st_size == 0 ||
      flock(hold_, LOCK_EX | LOCK_NB) != 0)
    return;
  sqlite3* db = nullptr;
  waitMs_ = 0;
  if (Connect(store, &db) == SQLITE_OK)
    sqlite3_exec(db, "PRAGMA user_version", nullptr, nullptr, nullptr);  // opens the log
  sqlite3_close(db);
}

void Store::Abandon() {
  // The flock belongs to the open folder, which the parent process still holds.
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
  // Kept where it stays reachable to the end of the process, whatever is torn down at exit.
  static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
  abandoned->push_back(db_);
  for (sqlite3_stmt*& stmt : statements_) stmt = nullptr;
  used_ = 0;
  scans_.clear();
  scanEpoch_++;
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
  // Every commit is in the log already; closing copies it into the database file.
  std::unique_lock<std::recursive_mutex> guard(Lock, std::try_to_lock);
  if (guard.owns_lock() && TheStore.owner_ == getpid()) TheStore.Close();
}

}  // namespace regstore
