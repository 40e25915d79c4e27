// The SQLite store behind the registry calls: one connection per process to the current user's
// hive, found anew on every call; opening it after the checks of regstore/files.h, its
// transactions (one per call, or a batch's with a savepoint per call), and the one-line report
// of what went wrong with it.
#pragma once

#include <sqlite3.h>
#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "regstore/files.h"

namespace regstore {

// The statements the registry calls run, each with its name and its SQL, prepared once per
// connection.
#define REGSTORE_STATEMENTS(X)                                                                     \
  X(FindChild, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2")                              \
  X(KeyExists, "SELECT 1 FROM keys WHERE id = ?1")                                                 \
  X(InsertKey, "INSERT INTO keys(parent, name, written) VALUES(?1, ?2, ?3)")                       \
  X(TouchKey, "UPDATE keys SET written = ?2 WHERE id = ?1")                                        \
  X(GetValue, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2")                          \
  X(SetValue,                                                                                      \
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"                               \
    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data")            \
  X(DeleteValue, "DELETE FROM vals WHERE key = ?1 AND name = ?2")                                  \
  X(HasChild, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1")                                      \
  X(DeleteKeyRow, "DELETE FROM keys WHERE id = ?1")                                                \
  X(DeleteKeyValues, "DELETE FROM vals WHERE key = ?1")                                            \
  X(DeleteBelowValues, REGSTORE_BELOW " DELETE FROM vals WHERE key IN below")                      \
  X(DeleteBelowKeys, REGSTORE_BELOW " DELETE FROM keys WHERE id IN below")                         \
  X(ParentOf, "SELECT parent FROM keys WHERE id = ?1")                                             \
  X(EnumKeyAt, "SELECT name, written FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2") \
  X(EnumKeyAfter,                                                                                  \
    "SELECT name, written FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1")        \
  X(EnumValueAt,                                                                                   \
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2")    \
  X(EnumValueAfter,                                                                                \
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 AND rowid > ?2 ORDER BY rowid"        \
    " LIMIT 1")                                                                                    \
  X(BeginRead, "BEGIN")                                                                            \
  X(BeginWrite, "BEGIN IMMEDIATE")                                                                 \
  X(CommitWork, "COMMIT")                                                                          \
  X(RollbackWork, "ROLLBACK")                                                                      \
  X(SavepointCall, "SAVEPOINT call")                                                               \
  X(ReleaseCall, "RELEASE call")                                                                   \
  X(RollbackCall, "ROLLBACK TO call")                                                              \
  X(CountWrite, "UPDATE store SET writes = writes + 1")                                            \
  /* Scans of one key's subkey names in name order and of its values in creation order (the        \
     columns of EnumKeyAt, less the time, and of EnumValueAt), stepped a row per call by the       \
     enumerations of a read batch (see TakeScan). Names alone, which the index on (parent,         \
     name) holds: no row of the table is read. */                                                  \
  X(ScanKeys, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name")                             \
  X(ScanValues, "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid")

// The keys below key ?1, at every depth.
#define REGSTORE_BELOW                                                 \
  "WITH RECURSIVE below(id) AS (SELECT id FROM keys WHERE parent = ?1" \
  " UNION ALL SELECT keys.id FROM keys JOIN below ON keys.parent = below.id)"

enum Statement {
#define REGSTORE_NAME(name, sql) name,
  REGSTORE_STATEMENTS(REGSTORE_NAME)
#undef REGSTORE_NAME
      StatementCount
};

// The current time as a FILETIME count.
int64_t FileTimeNow();

// The process's connection to the current store, and what it knows about the file.
class Store {
 public:
  // Finds the store for this call: reopens when the path changed, when the file was replaced or
  // removed, or in a child process after fork (a connection must not cross a fork).
  LONG Refresh();

  // Makes the store exist before a write: its folders, then the store file. Under the exclusive
  // lock of the folder, and only while there is still no store, a log left by a store that is
  // gone is set aside, and a new store is laid down by SQLite under a temporary name, synced, and
  // linked into place, so that other processes see no store or a complete one.
  LONG Create();

  bool exists() const { return exists_; }
  // 0 outside a batch, else 1 for a read batch and 2 for a write batch.
  int batch() const { return batch_; }
  // Starting or ending a batch also ends the scans handed out (see TakeScan).
  void SetBatch(int batch);
  // Changes whenever another connection or another file is taken up, which ends every
  // enumeration in progress.
  uint64_t epoch() const { return epoch_; }
  // Changes whenever a batch begins or ends and whenever the connection ends; a scan taken, or
  // a key seen to exist in a read batch, counts only while it stays the same.
  uint64_t scanEpoch() const { return scanEpoch_; }

  // A scan for a read batch: ScanKeys or ScanValues, reset, to be bound to a key id and stepped
  // one row per enumeration call. Unlike Get's statements it stays on its row from call to
  // call, holding nothing but the batch's own read transaction; it is reset and taken back when
  // the batch ends. Scans are reused, so that a walk of many keys prepares only a few.
  sqlite3_stmt* TakeScan(Statement which, LONG* result);
  // Gives a scan taken in this scanEpoch back before the batch ends.
  void GiveBackScan(Statement which, sqlite3_stmt* stmt);
  bool empty() const { return !exists_ || empty_; }
  // The identity of the store open now, known once a transaction has begun; 0 for none.
  int64_t id() const { return exists_ && !empty_ ? id_ : 0; }

  // Starts a transaction and checks the layout. A write transaction on a store without a
  // layout yet lays it down; a read one sees an empty hive.
  LONG Begin(bool write);

  LONG Commit();

  // Before the first write of a connection to a store that is not in write-ahead-log mode yet
  // (one of an older program): switches it, under SQLite's own locking.
  LONG PrepareWrites();

  // Ends the transaction without its changes and passes the failure on.
  LONG Abort(LONG result);

  // A prepared statement, reset and unbound, or null after reporting the failure in *result.
  sqlite3_stmt* Get(Statement which, LONG* result);

  // Maps an SQLite failure to a Windows error code, saying once what went wrong with the store.
  LONG Fail(int rc);

  LONG ReportErrno(int error);

  // One line per store and process on stderr: the program, the file and the cause.
  LONG Report(LONG code, const std::string& cause);
  LONG Report(const Problem& problem);

 private:
  LONG Open();

  // Once per connection, inside its first transaction: refuses a layout this program cannot
  // use, upgrades a store of layout 1 at its first write, and lays the layout down in a file
  // that has none yet.
  LONG CheckLayout(bool write);

  // Opens the SQLite connection to the store file at path, set up as every connection is.
  int Connect(const std::string& path, sqlite3** db);

  void ResetStatements();

  void FinalizeStatements();

  // Ends this process's use of the store. SQLite copies the log into the database file when the
  // last connection closes; should another process's end have raced this one's, whichever of
  // them finds itself alone afterwards does it (see CopyLogIfAlone).
  void Close();

  // After Close: with nobody else using the store and commits still in its log, copies them
  // into the database file, as the last connection's close does.
  void CopyLogIfAlone(const std::string& store);

  // At exit the process ends its use of the store (Close).
  static void CloseAtExit();

  // Waits for another connection's lock: sleeps in steps of well under a millisecond, since a
  // writer holds the lock for about that long, until waitMs_ have passed since the first try.
  static int Busy(void* store, int count);

  // Resets every scan and makes them all free again.
  void EndScans();

  // After fork the inherited connection belongs to the parent: leave it untouched (closing it
  // here could disturb the parent's locks) and start a connection of this process's own.
  void Abandon();

  LONG Run(Statement which);

  LONG Exec(const char* sql);

  LONG ReadId();

  LONG QueryInt(const char* sql, int* out);

  // The store and this process's connection to it. Invariants:
  // - db_ is open exactly while hold_ holds a shared flock on the store's folder, and only in
  //   the process owner_ that opened it; dev_ and ino_ name the file it has open.
  // - exists_ says whether the file at path_ existed at the last Refresh; empty_ whether the
  //   transaction under way reads a file without a layout yet (as an empty hive).
  // - ready_ once the layout was checked on this connection (id_ then holds the store's
  //   identity); creating_ while a write transaction lays down or upgrades the layout, which a
  //   rollback takes back.
  // - batch_ while a batch's transaction is open; savepoint_ while a call in a write batch has
  //   its savepoint.
  // - epoch_ counts connections (a new one ends every enumeration); scanEpoch_ counts batches and
  //   connections (a scan, or a key seen in a read batch, counts only within one).
  std::string path_;
  sqlite3* db_ = nullptr;
  int hold_ = -1;  // the store's folder, with this process's shared flock on it
  pid_t owner_ = 0;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t id_ = 0;
  bool exists_ = false, empty_ = false, ready_ = false, creating_ = false;
  bool walChecked_ = false;  // the file is in write-ahead-log mode, or cannot be written
  bool reported_ = false;
  int batch_ = 0;
  uint64_t epoch_ = 0;
  uint64_t scanEpoch_ = 0;
  int waitMs_ = 0;          // how long Busy waits for a lock
  int64_t waitStart_ = 0;   // when the wait Busy is in began (microseconds, monotonic)
  bool savepoint_ = false;  // whether the call under way in a batch made a savepoint
  int64_t changes_ = 0;     // the connection's count of changed rows when the transaction began
  uint64_t used_ = 0;       // the statements stepped since they were last reset, a bit each
  sqlite3_stmt* statements_[StatementCount] = {};
  struct Scan {
    Statement which;
    sqlite3_stmt* stmt;
    bool taken;
  };
  std::vector<Scan> scans_;
};

// Every registry call holds this lock; one store serves the whole process.
extern std::recursive_mutex Lock;
extern Store TheStore;

}  // namespace regstore
