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
#include <unordered_map>
#include <vector>

#include "platform/registry.h"
#include "regstore/files.h"

namespace regstore {

// The statements the registry calls run, prepared once per connection.
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
  RollbackWork,
  SavepointCall,
  ReleaseCall,
  RollbackCall,
  CountWrite,
  StatementCount,
  // Scans of one key's subkey names in name order and of its values in creation order (the
  // columns of EnumKeyAt, less the time, and of EnumValueAt), stepped a row per call by the
  // enumerations of a read batch; kept apart from the statements above (see TakeScan).
  ScanKeys = StatementCount,
  ScanValues,
  StatementAndScanCount
};

// The current time as a FILETIME count.
int64_t FileTimeNow();

// The process's connection to the current store, and what it knows about the file.
class Store {
 public:
  // Finds the store for this call: reopens when the path changed, when the file was replaced or
  // removed, or in a child process after fork (a connection must not cross a fork).
  LONG Refresh();

  // Makes the store exist before a write: its folders, then the store file. The file is built
  // whole under a temporary name and linked into place, so that other processes see no store
  // or a complete one; when several processes race, the first link wins and the others use
  // its store. Where the file system has no hard links, an empty file is made instead, which
  // the first write transaction fills with the layout.
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

  // Before the first write of a connection: puts a writable store that is ours (checked in a
  // read transaction first) into write-ahead-log mode, where a commit appends to the log without
  // waiting for the disk. With synchronous=NORMAL the log is synced only when it is copied back
  // into the database file, so a power cut may lose the latest commits but never corrupts the
  // store; a commit that returned is in the operating system's hands and outlives the process.
  // A store of an older version is switched the same way, under SQLite's own locking.
  LONG PrepareWrites();

  // Ends the transaction without its changes and passes the failure on.
  LONG Abort(LONG result);

  // A prepared statement, reset and unbound, or null after reporting the failure in *result.
  sqlite3_stmt* Get(Statement which, LONG* result);

  // The subkeys found by name in this state of the store, so that the deep paths the calls
  // open again and again are walked in memory. Forgotten whenever the store changes (by any
  // process, seen when a transaction begins), a transaction is rolled back, or keys are deleted.
  bool FindKnownChild(int64_t parent, const std::string& name, int64_t* id);
  void KnowChild(int64_t parent, const std::string& name, int64_t id);
  void ForgetChildren() { children_.clear(); }

  // Maps an SQLite failure to a Windows error code, saying once what went wrong with the store.
  LONG Fail(int rc);

  LONG ReportErrno(int error);

  // One line per store and process on stderr: the program, the file and the cause.
  LONG Report(LONG code, const std::string& cause);
  LONG Report(const Problem& problem);

 private:
  LONG Open();

  void ResetStatements();

  void FinalizeStatements();

  // Whether the log is longer than a process leaves it (LogKeptBytes).
  bool LogTooLong() const;

  // At exit the process copies a log that grew too long, as Finish says.
  static void CloseAtExit();

  // Waits for another connection's lock: sleeps in steps of well under a millisecond, since a
  // writer holds the lock for about that long, until waitMs_ have passed since the first try.
  static int Busy(void* store, int count);

  // Resets every scan and makes them all free again.
  void EndScans();

  // Ends this process's use of the store and closes the connection, leaving the log as it is
  // unless it is longer than LogKeptBytes or copyLog is set: then this process copies the log
  // into the database file and empties it first. Neither waits for another process's
  // transaction: what a writer, or a reader of an older state, keeps from being copied stays in
  // the log, which every connection reads, and a later process copies it. A read-only
  // connection leaves the files alone.
  void Finish(bool copyLog);

  // Leaves a file that is no longer the store (it was removed, or another took its name). When
  // only the database file was replaced, its log still has the store's name, and what it holds
  // would be read into the new file: copy it into the old file, which nothing reads any more,
  // and empty it first, unless another process is in the middle of a call on it.
  void Retire() { Finish(true); }

  void Close();

  // After fork the inherited connection belongs to the parent: leave it untouched (closing it
  // here could disturb the parent's locks) and start a connection of this process's own.
  void Abandon();

  LONG Run(Statement which);

  LONG Exec(const char* sql);

  LONG ReadId();

  LONG QueryInt(const char* sql, int* out);

  std::string path_;
  sqlite3* db_ = nullptr;
  int hold_ = -1;  // the store's folder, with this process's shared flock on it
  pid_t owner_ = 0;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t id_ = 0;
  uint32_t pageSize_ = 0;  // of the file open now, from its header
  bool exists_ = false;
  bool empty_ = false;
  bool ready_ = false;
  bool creating_ = false;
  bool walChecked_ = false;
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
  std::unordered_map<std::string, int64_t> children_;  // parent id and folded name: child id
  unsigned childrenVersion_ = 0;  // the store's data version that children_ holds for
  std::string childKey_;          // where the key of a lookup is built
};

// Every registry call holds this lock; one store serves the whole process.
extern std::recursive_mutex Lock;
extern Store TheStore;

}  // namespace regstore
