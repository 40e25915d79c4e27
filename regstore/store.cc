// The SQLite store: opening the current user's hive after its files were checked, laying down
// its layout, transactions and batches, and mapping SQLite's failures to Windows error codes.
//
// The store is found anew on every call, so a change of XDG_CONFIG_HOME moves to another hive and
// a file removed or replaced is noticed; otherwise one connection serves the whole process. Reads
// never create anything; the first write creates the folders (0700) and the file (0600), whose
// log and index (registry.db-wal, -shm) take its mode. Every write is one IMMEDIATE transaction,
// so concurrent processes serialise on the database lock and lose nothing. In SQLite's
// write-ahead-log mode with synchronous=NORMAL a commit outlives its process at once; the log is
// copied into the file, synced, when the last connection closes, and stays beside it emptied, so
// that a store that becomes read-only can still be read. A store that cannot be used (not a
// database, corrupt, of a newer layout, unreadable) is never modified, nor is a read-only one:
// the calls fail with a Windows error code and the process says why once.
#include "regstore/store.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

// SQLite's busy handler: waits for another connection's lock for as long as arg says (ms). It
// sleeps in steps of well under a millisecond at first, since a writer holds the lock for about
// that long, so that a waiter takes the lock soon after it is free without spinning; a little
// spread keeps waiters from trying in lockstep.
int Busy(void* arg, int count) {
  static int64_t start;  // one wait at a time: every connection is used under Lock
  struct timespec clock;
  clock_gettime(CLOCK_MONOTONIC, &clock);
  int64_t now = (int64_t)clock.tv_sec * 1000000 + clock.tv_nsec / 1000;
  if (count == 0) start = now;
  if (now - start >= (intptr_t)arg * 1000) return 0;
  int64_t pause = count < 8 ? 50 : count < 40 ? 200 : 1000;
  pause += (now / 7 + getpid() * 13) % (pause / 2 + 1);
  struct timespec step = {0, (long)(pause * 1000)};
  nanosleep(&step, nullptr);
  return 1;
}

// Opens the SQLite connection to the store file at path, set up as every connection is, waiting
// up to waitMs for another connection's lock.
int Connect(const std::string& path, int waitMs, sqlite3** db) {
  // Every use of the connection holds Lock, so SQLite's own locking of it would only cost time.
  int rc = sqlite3_open_v2(
      path.c_str(), db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_busy_handler(*db, Busy, (void*)(intptr_t)waitMs);
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

// Waits for the flock on the store's folder, open as fd, in mode operation (LOCK_SH, LOCK_EX).
// Every process that has the store open holds it shared for as long as its connection lives, so
// that one holding it exclusively knows nobody uses the store. Short steps at first, then up to
// a millisecond: a judgement holds the lock only briefly.
Problem LockFolder(int fd, int operation) {
  for (long waited = 0, step = 50; waited <= BusyTimeoutMs * 1000L; waited += step) {
    if (flock(fd, operation | LOCK_NB) == 0) return Problem{};
    if (errno != EWOULDBLOCK && errno != EINTR) return FromErrno(errno);
    struct timespec pause = {0, step * 1000};
    nanosleep(&pause, nullptr);
    if (step < 1000) step *= 2;
  }
  return Problem{ERROR_BUSY, "store stayed locked by another process"};
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
  if (forked_) Abandon();
  // A batch holds its transaction on the file it began with.
  if (batch_) return ERROR_SUCCESS;
  std::string where;
  if (!LocateStore(&where)) where.clear();
  if (where != path_) {
    Close();
    path_ = where;
    reported_ = false;
  }
  exists_ = false;
  if (path_.empty())
    return Report(
        Problem{ERROR_REGISTRY_IO_FAILED, "neither XDG_CONFIG_HOME nor HOME names a folder"});
  struct stat st;
  // A file that took the store's place is another store: this connection ends with the old one.
  int error = stat(path_.c_str(), &st) == 0 ? 0 : errno;
  if (error || st.st_dev != dev_ || st.st_ino != ino_) Close();
  if (error) return error == ENOENT ? ERROR_SUCCESS : Report(FromErrno(error));
  exists_ = true;
  readOnly_ = !(st.st_mode & S_IWUSR);
  return db_ ? ERROR_SUCCESS : Open();
}

LONG Store::Create() {
  if (exists_) return ERROR_SUCCESS;
  std::string folder, note;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), true, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db";
  // Whoever holds the lock exclusively and still finds no store makes it; the others then find it.
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Problem problem = fd < 0 ? FromErrno(errno) : LockFolder(fd, LOCK_EX);
  struct stat st;
  if (!problem && lstat(store.c_str(), &st) != 0) {
    if (errno != ENOENT) problem = FromErrno(errno);
    // A log left beside a store that is gone belongs to no store: it is set aside before a
    // new store takes the name, so that it is never read into it.
    if (!problem) problem = SetAsideStaleLog(store, &note);
    if (!note.empty()) Report(Problem{ERROR_SUCCESS, note});
    if (!problem) RemoveDebris(folder);
    if (int error = problem ? 0 : LayDownNewStore(store)) problem = FromErrno(error);
  }
  if (fd >= 0) close(fd);
  if (problem) return Report(problem);
  LONG result = Refresh();
  if (result == ERROR_SUCCESS && !exists_) return Report(FromErrno(ENOENT));
  return result;
}

LONG Store::Open() {
  // The folder is resolved (symbolic links on the way are fine) and trusted first; SQLite then
  // opens the real path, so that the files it makes beside the store land in the trusted folder.
  std::string folder, note;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), false, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db";
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Report(FromErrno(errno));
  // Whoever finds the folder's lock free judges the files under it, then shares it.
  bool alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
  Problem problem = alone ? Problem{} : LockFolder(fd, LOCK_SH);
  struct stat st;
  if (!problem) problem = CheckFiles(folder, store, alone, &st, &logged_, &note);
  if (!note.empty()) Report(Problem{ERROR_SUCCESS, note});
  if (!problem && alone) problem = LockFolder(fd, LOCK_SH);
  int rc = problem ? SQLITE_OK : Connect(store, BusyTimeoutMs, &db_);
  if (problem || rc != SQLITE_OK) {
    close(fd);
    LONG result = problem ? Report(problem) : Fail(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    return result;
  }
  hold_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  static bool hooked = atexit(CloseAtExit) == 0 &&
                       pthread_atfork(nullptr, nullptr, [] { TheStore.forked_ = true; }) == 0;
  (void)hooked;
  return ERROR_SUCCESS;
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
  LONG result = exists_ && write && !logged_ ? SwitchToLog() : ERROR_SUCCESS;
  empty_ = false;
  if (result != ERROR_SUCCESS || !exists_) return result;
  if ((result = Run(write ? BeginWrite : BeginRead)) != ERROR_SUCCESS) return result;
  changes_ = sqlite3_total_changes64(db_);
  return ready_ ? ERROR_SUCCESS : CheckLayout(write);
}

LONG Store::CheckLayout(bool write) {
  int64_t version = 0, tables = 0, application = 0;
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
  result = rc == SQLITE_OK ? QueryInt("SELECT id FROM store", &id_) : Fail(rc);
  if (result != ERROR_SUCCESS) return Abort(result);
  creating_ = write && version < SchemaVersion;
  ready_ = version == SchemaVersion;
  return ERROR_SUCCESS;
}

LONG Store::SwitchToLog() {
  // Before the first write to a store of an older program, not in write-ahead-log mode yet: once
  // its layout is known to be usable, SQLite switches it under its own locking. A file that
  // cannot be written goes on as it is (the write says why it fails), as does one SQLite keeps
  // in its own mode.
  logged_ = true;
  if (sqlite3_db_readonly(db_, "main") == 1) return ERROR_SUCCESS;
  LONG result = ready_ ? ERROR_SUCCESS : Begin(false);
  if (result == ERROR_SUCCESS && !ready_) result = Commit();
  if (result == ERROR_SUCCESS &&
      sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
    result = Fail(sqlite3_errcode(db_));
  if (result != ERROR_SUCCESS) logged_ = false;
  return result;
}

LONG Store::Commit() {
  if (!exists_) return ERROR_SUCCESS;
  ResetStatements();
  if (batch_) {
    if (!savepoint_) return ERROR_SUCCESS;
    savepoint_ = false;
    return Run(ReleaseCall);
  }
  // Every commit that changes anything carries the store's row into the log, by which the log is
  // known as the store's own; one that changes nothing leaves the log as it is.
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

LONG Store::Abort(LONG result) {
  ResetStatements();
  if (batch_) {
    if (savepoint_ && Run(RollbackCall) == ERROR_SUCCESS) Run(ReleaseCall);
    savepoint_ = false;
    return result;
  }
  if (db_ && !sqlite3_get_autocommit(db_)) Run(RollbackWork);
  // The layout made in this transaction is gone again, and the statements made for it too.
  if (creating_) Forget();
  return result;
}

void Store::ResetStatements() {
  // A statement left on a row would keep its read lock past the transaction. Only those stepped
  // since the last reset can; a call steps two or three.
  for (int which = 0; used_ != 0; which++, used_ >>= 1)
    if (used_ & 1) sqlite3_reset(statements_[which]);
}

sqlite3_stmt* Store::Prepare(sqlite3_stmt** stmt, Statement which, LONG* result) {
  if (*stmt) return *stmt;
  int rc =
      sqlite3_prepare_v3(db_, StatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr);
  if (rc == SQLITE_OK) return *stmt;
  *result =
      rc == SQLITE_ERROR ? Report(Problem{ERROR_BADDB, "file is not a registry store"}) : Fail(rc);
  sqlite3_finalize(*stmt);
  return *stmt = nullptr;
}

sqlite3_stmt* Store::Get(Statement which, LONG* result) {
  sqlite3_stmt* stmt = Prepare(&statements_[which], which, result);
  if (!stmt) return nullptr;
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
  if (Prepare(&stmt, which, result)) scans_.push_back(Scan{which, stmt, true});
  return stmt;
}

void Store::GiveBackScan(sqlite3_stmt* stmt) {
  for (Scan& scan : scans_) {
    if (scan.stmt == stmt) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      scan.taken = false;
    }
  }
}

void Store::SetBatch(int batch) {
  for (Scan& scan : scans_) {
    sqlite3_reset(scan.stmt);
    scan.taken = false;
  }
  epoch_++;
  batch_ = batch;
  savepoint_ = false;
}

LONG Store::Fail(int rc) {
  Problem problem = FromSqlite(rc, db_ ? sqlite3_system_errno(db_) : 0);
  return problem.cause.empty() ? problem.code : Report(problem);
}

LONG Store::Report(const Problem& problem) {
  if (problem.code != ERROR_SUCCESS) {
    if (reported_) return problem.code;
    reported_ = true;
  }
  std::string where = path_.empty() ? "(no location)" : path_;
  std::string line = problem.advice || problem.code == ERROR_SUCCESS
                         ? problem.cause
                         : "registry store " + where + ": " + problem.cause;
  fprintf(stderr, "%s: %s\n", program_invocation_short_name, line.c_str());
  return problem.code;
}

void Store::Forget() {
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  for (Scan& scan : scans_) sqlite3_finalize(scan.stmt);
  scans_.clear();
  epoch_++;
  used_ = 0;
  ready_ = creating_ = false;
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
    Forget();
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (hold_ >= 0 && writable) CopyLogIfAlone(store);
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
}

void Store::CopyLogIfAlone(const std::string& store) {
  // SQLite copies the log into the file when the last connection closes. Two processes ending at
  // once may each see the other's connection and leave the log; the one that then gets the
  // folder's lock alone has nobody left to wait for, and does what the last close would.
  struct stat st;
  if (lstat((store + "-wal").c_str(), &st) != 0 || st.st_size == 0 ||
      flock(hold_, LOCK_EX | LOCK_NB) != 0)
    return;
  sqlite3* db = nullptr;
  if (Connect(store, 0, &db) == SQLITE_OK)
    sqlite3_exec(db, "PRAGMA user_version", nullptr, nullptr, nullptr);  // opens the log
  sqlite3_close(db);
}

void Store::Abandon() {
  // After fork the inherited connection belongs to the parent: it is left untouched (closing it
  // here could disturb the parent's locks), where it stays reachable to the end of the process.
  static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
  if (db_) abandoned->push_back(db_);
  db_ = nullptr;
  for (sqlite3_stmt*& stmt : statements_) stmt = nullptr;
  scans_.clear();
  Forget();
  // The flock belongs to the open folder, which the parent process still holds.
  if (hold_ >= 0) close(hold_);
  hold_ = -1;
  batch_ = 0;
  savepoint_ = forked_ = false;
}

LONG Store::Run(Statement which) {
  LONG result = ERROR_SUCCESS;
  sqlite3_stmt* stmt = Get(which, &result);
  if (!stmt) return result;
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LONG Store::QueryInt(const char* sql, int64_t* out) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) *out = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  // A store without its row is no registry store.
  return rc == SQLITE_DONE ? Report(Problem{ERROR_BADDB, "file is not a registry store"})
                           : Fail(rc);
}

std::recursive_mutex Lock;
Store TheStore;

void Store::CloseAtExit() {
  // Every commit is in the log already; closing copies it into the database file.
  std::unique_lock<std::recursive_mutex> guard(Lock, std::try_to_lock);
  if (guard.owns_lock() && !TheStore.forked_) TheStore.Close();
}

}  // namespace regstore
