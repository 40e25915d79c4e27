// The SQLite store: opening the current user's hive after its files were checked, laying down
// its layout, transactions and batches, and mapping SQLite's failures to Windows error codes.
//
// The store is found anew on every call, so a change of XDG_CONFIG_HOME moves to another hive,
// and a file removed or replaced is noticed; otherwise one connection serves the whole process.
// Reads never create anything; the first write creates the folders (0700) and the database file
// (0600), whose log and index files (registry.db-wal, registry.db-shm) take its mode. Every write
// is one IMMEDIATE transaction, so concurrent processes serialise on the database lock and lose
// nothing. The store keeps SQLite's write-ahead log: a commit appends to the log without waiting
// for the disk, and the log is synced and copied into the database file when the last
// connection ends (at the latest when the process exits), so that the file alone then holds the
// data. A write that returned survives its process; a power cut may lose the latest writes but
// leaves the store consistent. A store that cannot be used (not a database, corrupt, of a newer
// layout, unreadable) is never modified, nor is a read-only one, which can still be read: the
// calls fail with a Windows error code and the process says why once.
#include "regstore/store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace regstore {
namespace {

constexpr int SchemaVersion = 1;
// Long enough that writers queueing behind one another wait rather than fail.
constexpr int BusyTimeoutMs = 60000;
// How long a process that ends its use of the store waits for other processes' calls, so that
// it can copy the log into the database file.
constexpr int FinishWaitMs = 2000;
// A small page cache (KiB): lookups touch a handful of index pages.
constexpr int CacheKiB = 256;

const char* const SchemaSql =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  written INTEGER NOT NULL,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));"
    // Values enumerate in the order they were created: this index is ordered by (key, rowid).
    "CREATE INDEX vals_order ON vals(key);"
    // Tells this store from any other, so that a handle never outlives the file it was opened
    // in, even when a new file takes the old one's place (and maybe its inode number).
    "CREATE TABLE store(id INTEGER NOT NULL);"
    "INSERT INTO store VALUES(random());"
    "PRAGMA user_version = 1;";

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
    "SAVEPOINT call",
    "RELEASE call",
    "ROLLBACK TO call",
};

const char* ProgramName() {
#ifdef __GLIBC__
  return program_invocation_short_name;
#else
  return getprogname();
#endif
}

// Lays the layout and the hive's root down in an empty database, inside the caller's transaction.
int LayDown(sqlite3* db) {
  int rc = sqlite3_exec(db, SchemaSql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_stmt* root = nullptr;
  rc = sqlite3_prepare_v2(db, "INSERT INTO keys(id, parent, name, written) VALUES(1, NULL, '', ?1)",
                          -1, &root, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(root, 1, FileTimeNow());
    rc = sqlite3_step(root);
  }
  sqlite3_finalize(root);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Writes a complete new store, in write-ahead-log mode, into the empty file at path. Nothing
// needs to survive a crash here (the file has no name yet), so SQLite neither journals nor syncs.
int BuildStore(const char* path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN", nullptr,
                      nullptr, nullptr);
  if (rc == SQLITE_OK) rc = LayDown(db);
  // Exclusive locking enters the log mode without making a shared-memory index for it.
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "COMMIT; PRAGMA locking_mode = EXCLUSIVE; PRAGMA journal_mode = WAL",
                      nullptr, nullptr, nullptr);
  int closed = sqlite3_close(db);
  return rc == SQLITE_OK ? closed : rc;
}

// The process's connection to the current store, and what it knows about the file.
}  // namespace

int64_t FileTimeNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return ((int64_t)now.tv_sec + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

// Where the store lives now: $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config

LONG Store::Refresh() {
  // A batch holds its transaction on the file it began with.
  if (batch_ && owner_ == getpid()) return ERROR_SUCCESS;
  if (db_ && owner_ != getpid()) Abandon();
  std::string where;
  if (!LocateStore(&where)) where.clear();
  if (where != path_) {
    Finish(FinishWaitMs);
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
  int rc = SQLITE_OK, linkError = 0, error = fchmod(fd, 0600) == 0 ? 0 : errno;
  if (error == 0) rc = BuildStore(temp.c_str());
  if (error == 0 && rc == SQLITE_OK && fsync(fd) != 0) error = errno;
  if (error == 0 && rc == SQLITE_OK && link(temp.c_str(), store.c_str()) != 0) linkError = errno;
  close(fd);
  unlink(temp.c_str());
  if (error != 0) return ReportErrno(error);
  if (rc != SQLITE_OK) return Report(ERROR_REGISTRY_IO_FAILED, sqlite3_errstr(rc));
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
  // Inside a batch each call is a savepoint of the batch's transaction, so that a call that
  // fails takes back what it wrote and leaves the rest of the batch.
  if (batch_) {
    if (write && batch_ == 1) return ERROR_ACCESS_DENIED;
    return exists_ && !empty_ ? Run(SavepointCall) : ERROR_SUCCESS;
  }
  if (write && exists_ && !walChecked_) {
    LONG result = PrepareWrites();
    if (result != ERROR_SUCCESS) return result;
  }
  empty_ = false;
  if (!exists_) return ERROR_SUCCESS;
  LONG result = Run(write ? BeginWrite : BeginRead);
  if (result != ERROR_SUCCESS) return result;
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
  if (version == SchemaVersion) {
    if ((result = ReadId()) != ERROR_SUCCESS) return Abort(result);
    ready_ = true;
    return ERROR_SUCCESS;
  }
  if (version != 0 || tables != 0)
    return Abort(Report(ERROR_BADDB, "file is not a registry store"));
  if (!write) {
    empty_ = true;
    return ERROR_SUCCESS;
  }
  int rc = LayDown(db_);
  result = rc == SQLITE_OK ? ReadId() : Fail(rc);
  if (result != ERROR_SUCCESS) return Abort(result);
  creating_ = true;
  return ERROR_SUCCESS;
}

LONG Store::Commit() {
  if (!exists_) return ERROR_SUCCESS;
  // A statement left on a row would keep its read lock past the transaction.
  ResetStatements();
  if (batch_) return empty_ ? ERROR_SUCCESS : Run(ReleaseCall);
  LONG result = Run(CommitWork);
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
  if (batch_) {
    if (exists_ && !empty_ && Run(RollbackCall) == ERROR_SUCCESS) Run(ReleaseCall);
    return result;
  }
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
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
  return stmt;
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

LONG Store::Open() {
  // The folder is resolved (symbolic links on the way are fine) and trusted first; SQLite then
  // opens the real path, so that the files it makes beside the store land in the trusted folder.
  std::string folder;
  if (Problem problem = FindFolder(path_.substr(0, path_.rfind('/')), false, &folder))
    return Report(problem);
  std::string store = folder + "/registry.db";
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
  if (!problem) problem = ReadHeader(fd, st, &header);
  close(fd);
  if (!problem && header.layout > (uint32_t)SchemaVersion) {
    problem = Problem{ERROR_BADDB, "layout version " + std::to_string(header.layout) +
                                       " is newer than this program knows (" +
                                       std::to_string(SchemaVersion) + ")"};
  }
  // Version 0 with more than its first page: another program's database, refused before
  // SQLite makes a log beside it.
  if (!problem && header.layout == 0 && header.pages > 1)
    problem = Problem{ERROR_BADDB, "file is not a registry store"};
  if (problem) return Report(problem);
  bool writable = access(folder.c_str(), W_OK) == 0 && (st.st_mode & S_IWUSR);
  std::string note;
  if (writable) {
    if ((problem = CheckLog(store, header, false, &note))) return Report(problem);
    if ((problem = MatchLogModes(store, st.st_mode & 0777))) return Report(problem);
    RemoveDebris(folder);
  } else if ((problem = CheckLog(store, header, false, &note))) {
    return Report(problem);
  }
  if (!note.empty()) Report(ERROR_SUCCESS, note);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  pageSize_ = header.pageSize;
  int rc = sqlite3_open_v2(store.c_str(), &db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE,
                           nullptr);
  if (rc != SQLITE_OK) {
    LONG result = Fail(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    return result;
  }
  owner_ = getpid();
  epoch_++;
  sqlite3_busy_timeout(db_, BusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  // The log and its index stay when the last connection ends, so that a store that later
  // becomes read-only can still be read; emptied by the checkpoint at that close, the log is
  // cut back to nothing and the database file alone holds the data.
  int persist = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  if (sqlite3_db_readonly(db_, "main") == 1)
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  std::string pragmas =
      "PRAGMA journal_size_limit = 0; PRAGMA cache_size = -" + std::to_string(CacheKiB);
  sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr);
  walChecked_ = false;
  static bool closesAtExit = false;
  if (!closesAtExit) closesAtExit = atexit(CloseAtExit) == 0;
  return ERROR_SUCCESS;
}

void Store::ResetStatements() {
  for (sqlite3_stmt* stmt : statements_)
    if (stmt) sqlite3_reset(stmt);
}

void Store::FinalizeStatements() {
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  ready_ = false;
  id_ = 0;
}

void Store::Finish(int waitMs) {
  if (!db_) return;
  if (sqlite3_db_readonly(db_, "main") == 0) {
    sqlite3_busy_timeout(db_, waitMs);
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  Close();
}

void Store::Close() {
  if (!db_) return;
  FinalizeStatements();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void Store::Abandon() {
  // Kept where it stays reachable to the end of the process, whatever is torn down at exit.
  static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
  abandoned->push_back(db_);
  for (sqlite3_stmt*& stmt : statements_) stmt = nullptr;
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

void Store::CloseAtExit() {
  std::unique_lock<std::recursive_mutex> guard(Lock, std::try_to_lock);
  if (guard.owns_lock() && TheStore.owner_ == getpid()) TheStore.Finish(FinishWaitMs);
}

}  // namespace regstore
