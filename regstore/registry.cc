// The current user's registry hive on POSIX: one SQLite database in the user's configuration
// folder, served through the same calls and error codes as advapi32.
//
// Layout: table keys holds one row per key (the hive's root is row 1, with no parent); table
// vals holds the values, keyed by key id and name. Names compare case-insensitively in ASCII
// (SQLite's NOCASE) and keep the case they were created with. Key ids are never reused, so a
// handle whose key was deleted stays deleted even when a key of the same name is made again.
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
#include "platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int64_t RootId = 1;
constexpr int SchemaVersion = 1;
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxValueNameLength = 16383;
constexpr REGSAM DeleteAccess = 0x00010000;
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

enum Statement {
  FindChild,
  KeyExists,
  InsertKey,
  TouchKey,
  GetValue,
  SetValue,
  DeleteValue,
  HasChild,
  DeleteKeyRow,
  DeleteKeyValues,
  DeleteBelowValues,
  DeleteBelowKeys,
  ParentOf,
  EnumKeyAt,
  EnumKeyAfter,
  EnumValueAt,
  EnumValueAfter,
  BeginRead,
  BeginWrite,
  CommitWork,
  StatementCount
};

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
};

// What an open handle refers to. Enumeration remembers where the last call stopped, so that
// walking index 0, 1, 2, ... costs one indexed step per call instead of a scan from the start.
struct KeyHandle {
  int64_t id;
  REGSAM access;
  int64_t store;  // the store the key lives in (unused for the root, which is in every store)
  uint64_t cursorEpoch = 0;
  DWORD keyCursor = UINT32_MAX;
  std::string lastKeyName = {};
  DWORD valueCursor = UINT32_MAX;
  int64_t lastValueRowid = 0;
};

const char* ProgramName() {
#ifdef __GLIBC__
  return program_invocation_short_name;
#else
  return getprogname();
#endif
}

int64_t FileTimeNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return ((int64_t)now.tv_sec + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

// Where the store lives now: $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config
// when XDG_CONFIG_HOME is unset, empty or not absolute.
bool LocateStore(std::string* path) {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    *path = std::string(config) + "/qsprofile/registry.db";
    return true;
  }
  const char* home = getenv("HOME");
  if (!home || !*home) {
    struct passwd* entry = getpwuid(getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  if (!home || !*home) return false;
  *path = std::string(home) + "/.config/qsprofile/registry.db";
  return true;
}

// Creates the missing folders of dir, each with mode 0700 whatever the umask. Folders that
// exist are left as they are.
int MakeFolders(const std::string& dir) {
  for (size_t end = 1; end <= dir.size(); end++) {
    if (end != dir.size() && dir[end] != '/') continue;
    std::string prefix = dir.substr(0, end);
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      if (mkdir(prefix.c_str(), 0700) == 0) {
        if (chmod(prefix.c_str(), 0700) != 0) return errno;
        continue;
      }
      if (errno != EEXIST || stat(prefix.c_str(), &st) != 0) return errno;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
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
class Store {
 public:
  // Finds the store for this call: reopens when the path changed, when the file was replaced or
  // removed, or in a child process after fork (a connection must not cross a fork).
  LONG Refresh() {
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
    if (db_) return ERROR_SUCCESS;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return Open(st.st_mode & 0777);
  }

  // Makes the store exist before a write: its folders, then the store file. The file is built
  // whole under a temporary name and linked into place, so that other processes see no store
  // or a complete one; when several processes race, the first link wins and the others use
  // its store. Where the file system has no hard links, an empty file is made instead, which
  // the first write transaction fills with the layout.
  LONG Create() {
    if (exists_) return ERROR_SUCCESS;
    int error = MakeFolders(path_.substr(0, path_.rfind('/')));
    if (error != 0) return ReportErrno(error);
    std::string temp = path_ + ".new-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return ReportErrno(errno);
    // The log and index files SQLite makes beside the store take its mode. The one sync makes
    // the whole file durable before it has the store's name.
    int rc = SQLITE_OK, linkError = 0;
    error = fchmod(fd, 0600) == 0 ? 0 : errno;
    if (error == 0) rc = BuildStore(temp.c_str());
    if (error == 0 && rc == SQLITE_OK && fsync(fd) != 0) error = errno;
    if (error == 0 && rc == SQLITE_OK && link(temp.c_str(), path_.c_str()) != 0) linkError = errno;
    close(fd);
    unlink(temp.c_str());
    if (error != 0) return ReportErrno(error);
    if (rc != SQLITE_OK) return Report(ERROR_REGISTRY_IO_FAILED, sqlite3_errstr(rc));
    if (linkError == EPERM || linkError == EOPNOTSUPP || linkError == ENOSYS) {
      fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
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

  bool exists() const { return exists_; }
  // Changes whenever another connection or another file is taken up, which ends every
  // enumeration in progress.
  uint64_t epoch() const { return epoch_; }
  bool empty() const { return !exists_ || empty_; }
  // The identity of the store open now, known once a transaction has begun; 0 for none.
  int64_t id() const { return exists_ && !empty_ ? id_ : 0; }

  // Starts a transaction and checks the layout. A write transaction on a store without a
  // layout yet lays it down; a read one sees an empty hive.
  LONG Begin(bool write) {
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

  LONG Commit() {
    if (!exists_) return ERROR_SUCCESS;
    // A statement left on a row would keep its read lock past the transaction.
    ResetStatements();
    LONG result = Run(CommitWork);
    if (result != ERROR_SUCCESS) return Abort(result);
    if (creating_) ready_ = true;
    creating_ = false;
    return ERROR_SUCCESS;
  }

  // Before the first write of a connection: puts a writable store that is ours (checked in a
  // read transaction first) into write-ahead-log mode, where a commit appends to the log without
  // waiting for the disk. With synchronous=NORMAL the log is synced only when it is copied back
  // into the database file, so a power cut may lose the latest commits but never corrupts the
  // store; a commit that returned is in the operating system's hands and outlives the process.
  // A store of an older version is switched the same way, under SQLite's own locking.
  LONG PrepareWrites() {
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

  // Ends the transaction without its changes and passes the failure on.
  LONG Abort(LONG result) {
    ResetStatements();
    if (db_ && !sqlite3_get_autocommit(db_))
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (creating_) {
      // The layout made in this transaction is gone again.
      FinalizeStatements();
      creating_ = false;
    }
    return result;
  }

  // A prepared statement, reset and unbound, or null after reporting the failure in *result.
  sqlite3_stmt* Get(Statement which, LONG* result) {
    sqlite3_stmt*& stmt = statements_[which];
    if (!stmt) {
      int rc = sqlite3_prepare_v3(db_, StatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                                  nullptr);
      if (rc != SQLITE_OK) {
        *result =
            rc == SQLITE_ERROR ? Report(ERROR_BADDB, "file is not a registry store") : Fail(rc);
        sqlite3_finalize(stmt);
        stmt = nullptr;
        return nullptr;
      }
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return stmt;
  }

  // Maps an SQLite failure to a Windows error code, saying once what went wrong with the store.
  LONG Fail(int rc) {
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

  LONG ReportErrno(int error) {
    LONG code = (error == EACCES || error == EPERM || error == EROFS) ? ERROR_ACCESS_DENIED
                                                                      : ERROR_REGISTRY_IO_FAILED;
    return Report(code, strerror(error));
  }

  // One line per store and process on stderr: the program, the file and the cause.
  LONG Report(LONG code, const std::string& cause) {
    if (!reported_) {
      reported_ = true;
      fprintf(stderr, "%s: registry store %s: %s\n", ProgramName(),
              path_.empty() ? "(no location)" : path_.c_str(), cause.c_str());
      fflush(stderr);
    }
    return code;
  }

 private:
  LONG Open(mode_t mode) {
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE,
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
    if (sqlite3_db_readonly(db_, "main") == 1) {
      sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    } else {
      // SQLite gives the log and its index the store's mode when it makes them; ones left with
      // another (say read-only, from a time the store was) get it back before they are opened.
      for (const char* suffix : {"-wal", "-shm"}) {
        std::string file = path_ + suffix;
        struct stat st;
        if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            (st.st_mode & 0777) != mode)
          chmod(file.c_str(), mode);
      }
    }
    std::string pragmas =
        "PRAGMA journal_size_limit = 0; PRAGMA cache_size = -" + std::to_string(CacheKiB);
    sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr);
    walChecked_ = false;
    static bool closesAtExit = false;
    if (!closesAtExit) closesAtExit = atexit(CloseAtExit) == 0;
    return ERROR_SUCCESS;
  }

  void ResetStatements() {
    for (sqlite3_stmt* stmt : statements_)
      if (stmt) sqlite3_reset(stmt);
  }

  void FinalizeStatements() {
    for (sqlite3_stmt*& stmt : statements_) {
      sqlite3_finalize(stmt);
      stmt = nullptr;
    }
    ready_ = false;
    id_ = 0;
  }

  // At exit the process ends its use of the store, as Finish says.
  static void CloseAtExit();

  // Ends this process's use of the store: copies the log into the database file and empties
  // it, waiting up to waitMs for other processes' calls to end, then closes the connection.
  // (SQLite's own copy on close is left to the last connection, and when several end at once
  // each may take another for the last.) A read-only connection leaves the files alone.
  void Finish(int waitMs) {
    if (!db_) return;
    if (sqlite3_db_readonly(db_, "main") == 0) {
      sqlite3_busy_timeout(db_, waitMs);
      sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
    Close();
  }

  // Leaves a file that is no longer the store (it was removed, or another took its name). When
  // only the database file was replaced, its log still has the store's name, and what it holds
  // would be read into the new file: copy it into the old file, which nothing reads any more,
  // and empty it first, unless another process is in the middle of a call on it.
  void Retire() { Finish(0); }

  void Close() {
    if (!db_) return;
    FinalizeStatements();
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  // After fork the inherited connection belongs to the parent: leave it untouched (closing it
  // here could disturb the parent's locks) and start a connection of this process's own.
  void Abandon() {
    // Kept where it stays reachable to the end of the process, whatever is torn down at exit.
    static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
    abandoned->push_back(db_);
    for (sqlite3_stmt*& stmt : statements_) stmt = nullptr;
    db_ = nullptr;
    ready_ = false;
    id_ = 0;
  }

  LONG Run(Statement which) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = Get(which, &result);
    if (!stmt) return result;
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
  }

  LONG Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
  }

  LONG ReadId() {
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

  LONG QueryInt(const char* sql, int* out) {
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

  std::string path_;
  sqlite3* db_ = nullptr;
  pid_t owner_ = 0;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t id_ = 0;
  bool exists_ = false;
  bool empty_ = false;
  bool ready_ = false;
  bool creating_ = false;
  bool walChecked_ = false;
  bool reported_ = false;
  uint64_t epoch_ = 0;
  sqlite3_stmt* statements_[StatementCount] = {};
};

std::recursive_mutex Lock;
Store TheStore;
KeyHandle RootHandle = {RootId, KEY_ALL_ACCESS, 0};

void Store::CloseAtExit() {
  std::unique_lock<std::recursive_mutex> guard(Lock, std::try_to_lock);
  if (guard.owns_lock() && TheStore.owner_ == getpid()) TheStore.Finish(FinishWaitMs);
}

std::map<uintptr_t, KeyHandle> Handles;
uintptr_t NextHandle = 0x1000;

// Generic rights map onto the key rights as advapi32 maps them.
REGSAM MapAccess(REGSAM sam) {
  REGSAM result = sam & 0x00FFFFFF;
  if (sam & 0x80000000u) result |= KEY_READ;        // GENERIC_READ
  if (sam & 0x40000000u) result |= KEY_WRITE;       // GENERIC_WRITE
  if (sam & 0x20000000u) result |= KEY_READ;        // GENERIC_EXECUTE
  if (sam & 0x10000000u) result |= KEY_ALL_ACCESS;  // GENERIC_ALL
  if (sam & 0x02000000u) result |= KEY_ALL_ACCESS;  // MAXIMUM_ALLOWED
  return result;
}

KeyHandle* Find(HKEY key) {
  if (key == HKEY_CURRENT_USER) return &RootHandle;
  auto it = Handles.find((uintptr_t)key);
  return it == Handles.end() ? nullptr : &it->second;
}

HKEY NewHandle(int64_t id, REGSAM access) {
  uintptr_t value = NextHandle;
  NextHandle += 4;
  Handles[value] = KeyHandle{id, MapAccess(access), TheStore.id()};
  return (HKEY)value;
}

// Splits a relative key path at its backslashes. Null or "" is the key itself; one trailing
// backslash is allowed; an empty or overlong component is not.
LONG SplitPath(LPCSTR path, std::vector<std::string>* parts) {
  parts->clear();
  if (!path) return ERROR_SUCCESS;
  const char* p = path;
  while (*p) {
    const char* end = strchr(p, '\\');
    size_t length = end ? (size_t)(end - p) : strlen(p);
    if (length == 0 || length > MaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(p, length);
    if (!end) break;
    p = end + 1;
  }
  return ERROR_SUCCESS;
}

// One registry call: holds the process lock, finds the store, checks the handle and its rights.
class Call {
 public:
  Call() : guard_(Lock) {}

  // Validates the handle and its rights, then finds the store. A handle to a key whose store
  // is gone is a handle to a deleted key.
  LONG Enter(HKEY key, REGSAM need) {
    handle_ = Find(key);
    if (!handle_) return ERROR_INVALID_HANDLE;
    if ((handle_->access & need) != need) return ERROR_ACCESS_DENIED;
    LONG result = TheStore.Refresh();
    if (result != ERROR_SUCCESS) return result;
    if (handle_->id != RootId && !TheStore.exists()) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
  }

  // Starts the transaction and confirms that the handle's key still exists.
  LONG Begin(bool write) {
    if (write) {
      LONG result = TheStore.Create();
      if (result != ERROR_SUCCESS) return result;
    }
    LONG result = TheStore.Begin(write);
    if (result != ERROR_SUCCESS) return result;
    active_ = TheStore.exists();
    // A key of another store (one that replaced the handle's, or that XDG_CONFIG_HOME now
    // names) is not the handle's key, whatever its id.
    if (handle_->id != RootId && handle_->store != TheStore.id()) return Abort(ERROR_KEY_DELETED);
    bool exists = false;
    result = Exists(handle_->id, &exists);
    if (result != ERROR_SUCCESS) return Abort(result);
    if (!exists) return Abort(ERROR_KEY_DELETED);
    return ERROR_SUCCESS;
  }

  LONG Commit() {
    active_ = false;
    return TheStore.Commit();
  }

  LONG Abort(LONG result) {
    if (active_) TheStore.Abort(result);
    active_ = false;
    return result;
  }

  ~Call() {
    if (active_) TheStore.Abort(ERROR_SUCCESS);
  }

  KeyHandle* handle() const { return handle_; }

  LONG Exists(int64_t id, bool* exists) {
    if (TheStore.empty()) {
      *exists = id == RootId;
      return ERROR_SUCCESS;
    }
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(KeyExists, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return TheStore.Fail(rc);
    *exists = rc == SQLITE_ROW;
    return ERROR_SUCCESS;
  }

  // Walks parts from the key from; stops at the first missing one. *found counts the parts
  // that exist, *id is the deepest key reached.
  LONG Walk(int64_t from, const std::vector<std::string>& parts, size_t* found, int64_t* id) {
    *id = from;
    *found = 0;
    if (TheStore.empty()) return ERROR_SUCCESS;
    for (const std::string& part : parts) {
      LONG result = ERROR_SUCCESS;
      sqlite3_stmt* stmt = TheStore.Get(FindChild, &result);
      if (!stmt) return result;
      sqlite3_bind_int64(stmt, 1, *id);
      sqlite3_bind_text(stmt, 2, part.data(), (int)part.size(), SQLITE_STATIC);
      int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) return ERROR_SUCCESS;
      if (rc != SQLITE_ROW) return TheStore.Fail(rc);
      *id = sqlite3_column_int64(stmt, 0);
      (*found)++;
    }
    return ERROR_SUCCESS;
  }

  LONG Resolve(const std::vector<std::string>& parts, int64_t* id) {
    size_t found = 0;
    LONG result = Walk(handle_->id, parts, &found, id);
    if (result != ERROR_SUCCESS) return result;
    return found == parts.size() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }

  LONG Touch(int64_t id) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(TouchKey, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    sqlite3_bind_int64(stmt, 2, FileTimeNow());
    return Done(sqlite3_step(stmt));
  }

  LONG Done(int rc) { return rc == SQLITE_DONE ? ERROR_SUCCESS : TheStore.Fail(rc); }

  // Runs a statement that takes one key id.
  LONG RunForKey(Statement which, int64_t id) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(which, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    return Done(sqlite3_step(stmt));
  }

  LONG HasChildren(int64_t id, bool* has) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(HasChild, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return TheStore.Fail(rc);
    *has = rc == SQLITE_ROW;
    return ERROR_SUCCESS;
  }

  LONG ParentOfKey(int64_t id, int64_t* parent) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(ParentOf, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_KEY_DELETED : TheStore.Fail(rc);
    *parent = sqlite3_column_int64(stmt, 0);
    return ERROR_SUCCESS;
  }

 private:
  std::lock_guard<std::recursive_mutex> guard_;
  KeyHandle* handle_ = nullptr;
  bool active_ = false;
};

LONG CopyValue(sqlite3_stmt* stmt, int typeColumn, LPDWORD lpType, LPBYTE lpData,
               LPDWORD lpcbData) {
  DWORD size = (DWORD)sqlite3_column_bytes(stmt, typeColumn + 1);
  if (lpType) *lpType = (DWORD)sqlite3_column_int64(stmt, typeColumn);
  if (!lpcbData) return ERROR_SUCCESS;
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) memcpy(lpData, sqlite3_column_blob(stmt, typeColumn + 1), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// Deletes a key with everything below it; with self false only what is below and its values.
LONG DeleteSubtree(Call& call, int64_t id, bool self) {
  LONG result = call.RunForKey(DeleteBelowValues, id);
  if (result == ERROR_SUCCESS) result = call.RunForKey(DeleteBelowKeys, id);
  if (result == ERROR_SUCCESS) result = call.RunForKey(DeleteKeyValues, id);
  if (result != ERROR_SUCCESS) return result;
  if (!self) return call.Touch(id);
  int64_t parent = 0;
  result = call.ParentOfKey(id, &parent);
  if (result == ERROR_SUCCESS) result = call.RunForKey(DeleteKeyRow, id);
  if (result == ERROR_SUCCESS) result = call.Touch(parent);
  return result;
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, 0)) != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  *phkResult = NewHandle(id, samDesired);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                     const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // Volatile keys are kept like any other: the POSIX hive has no session to end with.
  if (dwOptions & ~(DWORD)REG_OPTION_VOLATILE) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, 0)) != ERROR_SUCCESS) return result;

  // Opening an existing key writes nothing, so it needs neither a write lock nor the right to
  // create subkeys.
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  size_t found = 0;
  int64_t id = 0;
  if ((result = call.Walk(call.handle()->id, parts, &found, &id)) != ERROR_SUCCESS)
    return call.Abort(result);
  if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (found < parts.size()) {
    if (!(call.handle()->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // Walk again inside the write transaction: another process may have been quicker.
    if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
    if ((result = call.Walk(call.handle()->id, parts, &found, &id)) != ERROR_SUCCESS)
      return call.Abort(result);
    if (found < parts.size()) {
      disposition = REG_CREATED_NEW_KEY;
      if ((result = call.Touch(id)) != ERROR_SUCCESS) return call.Abort(result);
      LONG error = ERROR_SUCCESS;
      for (size_t i = found; i < parts.size(); i++) {
        sqlite3_stmt* stmt = TheStore.Get(InsertKey, &error);
        if (!stmt) return call.Abort(error);
        sqlite3_bind_int64(stmt, 1, id);
        sqlite3_bind_text(stmt, 2, parts[i].data(), (int)parts[i].size(), SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 3, FileTimeNow());
        if ((error = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(error);
        id = sqlite3_last_insert_rowid(sqlite3_db_handle(stmt));
      }
    }
    if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  }
  *phkResult = NewHandle(id, samDesired);
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  const char* name = lpValueName ? lpValueName : "";
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_FILE_NOT_FOUND);
  sqlite3_stmt* stmt = TheStore.Get(GetValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return call.Abort(ERROR_FILE_NOT_FOUND);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  result = CopyValue(stmt, 0, lpType, lpData, lpcbData);
  LONG end = call.Commit();
  return end != ERROR_SUCCESS ? end : result;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  if (cbData > (DWORD)INT32_MAX) return ERROR_INVALID_PARAMETER;
  const char* name = lpValueName ? lpValueName : "";
  if (strlen(name) > MaxValueNameLength) return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = TheStore.Get(SetValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  sqlite3_bind_int64(stmt, 3, dwType);
  if (cbData)
    sqlite3_bind_blob(stmt, 4, lpData, (int)cbData, SQLITE_STATIC);
  else
    sqlite3_bind_zeroblob(stmt, 4, 0);
  if ((result = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(result);
  if ((result = call.Touch(call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  const char* name = lpValueName ? lpValueName : "";
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result != ERROR_SUCCESS) return result;
  // Deleting never creates the store: without one there is nothing to delete.
  if (!TheStore.exists()) return ERROR_FILE_NOT_FOUND;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = TheStore.Get(DeleteValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  if ((result = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(result);
  if (sqlite3_changes(sqlite3_db_handle(stmt)) == 0) return call.Abort(ERROR_FILE_NOT_FOUND);
  if ((result = call.Touch(call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

// Deletes a key that has no subkeys. An empty name is the handle's own key, which then needs
// the DELETE right; a named subkey is checked against its own (here: unrestricted) security,
// as on Windows, not against the rights of the handle it is named from.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, parts.empty() ? DeleteAccess : 0)) != ERROR_SUCCESS) return result;
  if (!TheStore.exists()) return parts.empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if (id == RootId) return call.Abort(ERROR_ACCESS_DENIED);
  bool children = false;
  if ((result = call.HasChildren(id, &children)) != ERROR_SUCCESS) return call.Abort(result);
  if (children) return call.Abort(ERROR_ACCESS_DENIED);
  if ((result = DeleteSubtree(call, id, true)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

// Deletes a subkey with all its subkeys and values in one transaction. Without a subkey name
// the handle's key stays and loses its subkeys and values, which needs the rights to list and
// change it.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  bool self = lpSubKey != nullptr;
  REGSAM need = !self ? KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE
                      : (parts.empty() ? DeleteAccess : 0);
  Call call;
  if ((result = call.Enter(hKey, need)) != ERROR_SUCCESS) return result;
  if (!TheStore.exists()) {
    if (!self) return ERROR_SUCCESS;
    return parts.empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if (self && id == RootId) return call.Abort(ERROR_ACCESS_DENIED);
  if ((result = DeleteSubtree(call, id, self)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_ENUMERATE_SUB_KEYS);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  KeyHandle* handle = call.handle();
  bool next =
      dwIndex > 0 && handle->cursorEpoch == TheStore.epoch() && handle->keyCursor == dwIndex - 1;
  sqlite3_stmt* stmt = TheStore.Get(next ? EnumKeyAfter : EnumKeyAt, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, handle->id);
  if (next)
    sqlite3_bind_text(stmt, 2, handle->lastKeyName.data(), (int)handle->lastKeyName.size(),
                      SQLITE_STATIC);
  else
    sqlite3_bind_int64(stmt, 2, dwIndex);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return call.Abort(ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  const char* name = (const char*)sqlite3_column_text(stmt, 0);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 0);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchName || (lpClass && *lpcchClass < 1)) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpName, name, length + 1);
  *lpcchName = (DWORD)length;
  if (lpClass) {
    lpClass[0] = '\0';
    *lpcchClass = 0;
  } else if (lpcchClass) {
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) {
    uint64_t written = (uint64_t)sqlite3_column_int64(stmt, 1);
    lpftLastWriteTime->dwLowDateTime = (DWORD)written;
    lpftLastWriteTime->dwHighDateTime = (DWORD)(written >> 32);
  }
  if (handle->cursorEpoch != TheStore.epoch()) handle->valueCursor = UINT32_MAX;
  handle->cursorEpoch = TheStore.epoch();
  handle->keyCursor = dwIndex;
  handle->lastKeyName.assign(name, length);
  return call.Commit();
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  KeyHandle* handle = call.handle();
  bool next =
      dwIndex > 0 && handle->cursorEpoch == TheStore.epoch() && handle->valueCursor == dwIndex - 1;
  sqlite3_stmt* stmt = TheStore.Get(next ? EnumValueAfter : EnumValueAt, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, handle->id);
  sqlite3_bind_int64(stmt, 2, next ? handle->lastValueRowid : (int64_t)dwIndex);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return call.Abort(ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  const char* name = (const char*)sqlite3_column_text(stmt, 1);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 1);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchValueName) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpValueName, name, length + 1);
  *lpcchValueName = (DWORD)length;
  if (handle->cursorEpoch != TheStore.epoch()) handle->keyCursor = UINT32_MAX;
  handle->cursorEpoch = TheStore.epoch();
  handle->valueCursor = dwIndex;
  handle->lastValueRowid = sqlite3_column_int64(stmt, 0);
  result = CopyValue(stmt, 2, lpType, lpData, lpcbData);
  LONG end = call.Commit();
  return end != ERROR_SUCCESS ? end : result;
}

LONG RegCloseKey(HKEY hKey) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return Handles.erase((uintptr_t)hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
