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
// connection. Enumerations step EnumKeyAfter and EnumValueAfter from the row they stand on; key
// names come from the index alone, without reading the table.
#define REGSTORE_STATEMENTS(X)                                                                  \
  X(FindChild, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2")                           \
  X(KeyExists, "SELECT 1 FROM keys WHERE id = ?1")                                              \
  X(KeyWritten, "SELECT written FROM keys WHERE parent = ?1 AND name = ?2")                     \
  X(InsertKey, "INSERT INTO keys(parent, name, written) VALUES(?1, ?2, ?3)")                    \
  X(TouchKey, "UPDATE keys SET written = ?2 WHERE id = ?1")                                     \
  X(GetValue, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2")                       \
  X(SetValue,                                                                                   \
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"                            \
    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data")         \
  X(DeleteValue, "DELETE FROM vals WHERE key = ?1 AND name = ?2")                               \
  X(HasChild, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1")                                   \
  X(DeleteKeyRow, "DELETE FROM keys WHERE id = ?1")                                             \
  X(DeleteKeyValues, "DELETE FROM vals WHERE key = ?1")                                         \
  X(DeleteBelowValues, REGSTORE_BELOW " DELETE FROM vals WHERE key IN below")                   \
  X(DeleteBelowKeys, REGSTORE_BELOW " DELETE FROM keys WHERE id IN below")                      \
  X(ParentOf, "SELECT parent FROM keys WHERE id = ?1")                                          \
  X(EnumKeyAt, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2")       \
  X(EnumKeyAfter, "SELECT name FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name")        \
  X(EnumValueAt,                                                                                \
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2") \
  X(EnumValueAfter,                                                                             \
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 AND rowid > ?2 ORDER BY rowid")    \
  X(BeginRead, "BEGIN")                                                                         \
  X(BeginWrite, "BEGIN IMMEDIATE")                                                              \
  X(CommitWork, "COMMIT")                                                                       \
  X(RollbackWork, "ROLLBACK")                                                                   \
  X(SavepointCall, "SAVEPOINT call")                                                            \
  X(ReleaseCall, "RELEASE call")                                                                \
  X(RollbackCall, "ROLLBACK TO call")                                                           \
  X(CountWrite, "UPDATE store SET writes = writes + 1")

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

// The process's connection to the current store. Every use holds Lock.
class Store {
 public:
  // Finds the store for this call: reopens when the path changed, when the file was replaced or
  // removed, or in a child process after fork (a connection must not cross a fork).
  LONG Refresh();
  // Makes the store exist before a write: its folders, then the file, made whole before it
  // takes the store's name.
  LONG Create();
  // Starts a transaction (inside a batch, a write call's savepoint). Once per connection the
  // layout is checked: a write lays it down in a file that has none yet, a read sees such a
  // file as an empty hive.
  LONG Begin(bool write);
  LONG Commit();
  // Ends the transaction without its changes and passes the failure on.
  LONG Abort(LONG result);

  bool exists() const { return exists_; }
  // The file has no write bit for its owner: its keys open for reading only. Judged by the mode,
  // as the platform judges by the key's security, whoever the process runs as.
  bool readOnly() const { return exists_ && readOnly_; }
  bool empty() const { return !exists_ || empty_; }
  // The identity of the store open now, known once a transaction has begun; 0 for none.
  int64_t id() const { return exists_ && !empty_ ? id_ : 0; }
  // 0 outside a batch, 1 in a read batch, 2 in a write batch.
  int batch() const { return batch_; }
  void SetBatch(int batch);
  // Changes whenever a batch begins or ends and whenever the connection ends: what a handle
  // learnt of the store (where its enumerations stand, its scans, that its key exists) holds
  // only while it stays the same. The scans are taken back then.
  uint64_t epoch() const { return epoch_; }

  // A prepared statement, reset and unbound, or null after reporting the failure in *result.
  sqlite3_stmt* Get(Statement which, LONG* result);
  // For a read batch's walk: a statement of its own, like Get's, that stays on its row from
  // call to call until given back or until the epoch changes. Scans are reused, so that a walk
  // of many keys prepares only a few.
  sqlite3_stmt* TakeScan(Statement which, LONG* result);
  void GiveBackScan(sqlite3_stmt* stmt);

  // Maps an SQLite failure to a Windows error code, saying once what went wrong with the store.
  LONG Fail(int rc);
  // One line on stderr: the program, the file and the cause; a failure once per store and
  // process, a note (ERROR_SUCCESS) every time.
  LONG Report(const Problem& problem);

 private:
  LONG Open();
  LONG CheckLayout(bool write);
  LONG SwitchToLog();
  void Close();
  void CopyLogIfAlone(const std::string& store);
  void Abandon();
  void Forget();
  void ResetStatements();
  sqlite3_stmt* Prepare(sqlite3_stmt** stmt, Statement which, LONG* result);
  LONG Run(Statement which);
  LONG QueryInt(const char* sql, int64_t* out);
  static void CloseAtExit();

  // The store and this process's connection to it:
  // - db_ is open exactly while hold_ holds a shared flock on the store's folder; dev_ and ino_
  //   name the file it has open. forked_ in a child made by fork: db_ and hold_ are the parent's.
  // - exists_ and readOnly_: the file at path_ was there, and without its owner's write bit, at
  //   the last Refresh. empty_: the transaction under way reads a file without a layout yet.
  // - ready_ once the layout was checked on this connection (id_ then holds the store's
  //   identity); creating_ while a write transaction lays down or upgrades the layout, which a
  //   rollback takes back; logged_ once the file is in write-ahead-log mode or cannot be written.
  // - batch_ while a batch's transaction is open; savepoint_ while a call in a write batch has
  //   its savepoint; changes_ the connection's count of changed rows when the transaction began;
  //   used_ the statements stepped since they were last reset, a bit each.
  // - epoch_ counts batches and connections; reported_ once a failure of path_ was said.
  std::string path_;
  sqlite3* db_ = nullptr;
  int hold_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t id_ = 0, changes_ = 0;
  bool exists_ = false, readOnly_ = false, empty_ = false, ready_ = false, creating_ = false,
       logged_ = false;
  bool reported_ = false, savepoint_ = false, forked_ = false;
  int batch_ = 0;
  uint64_t epoch_ = 0, used_ = 0;
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
