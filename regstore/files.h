// The store's files before SQLite opens them: where the store lives, its folder (made when
// missing, trusted only when it is the user's own and closed to others), the fields of the
// database file's header that SQLite documents, and the judgement of a write-ahead log left by a
// program that did not end normally. Here, and only here, the log's own documented format is
// read: its header and the headers of its frames, to find its commits. What the store held at
// those commits is asked of SQLite, over a private copy of the files. The log's index
// (registry.db-shm) is SQLite's scratch memory: it is never read, but for the lock by which a
// live connection shows itself.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/registry.h"

namespace regstore {

// What went wrong with a file: a Windows error code, and the cause for the one-line report.
// With advice set, the cause is the whole line after the program's name (it says what to fix).
struct Problem {
  LONG code = ERROR_SUCCESS;
  std::string cause = {};
  bool advice = false;
  explicit operator bool() const { return code != ERROR_SUCCESS; }
};

Problem FromErrno(int error);

// Where the store lives now: $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config
// when XDG_CONFIG_HOME is unset, empty or not absolute.
bool LocateStore(std::string* path);

// Finds the store's folder dir (making it and its missing parents, mode 0700, with create),
// resolves the symbolic links on the way into *real, and checks that the folder can be trusted.
// ENOENT when it does not exist and create is false.
Problem FindFolder(const std::string& dir, bool create, std::string* real);

// Checks a file of the store, opened as fd: a regular file of the user's own, closed to others.
Problem TrustFile(int fd, const std::string& path, struct stat* st);

// Checks the log and its index beside the store without opening them: each is missing or a
// regular file (never a link, a pipe or a device, which SQLite could block on or follow). With
// mode, those of the user's own are given the store's mode. *frames says whether the log is
// long enough to hold a frame.
Problem CheckSideFiles(const std::string& store, mode_t mode, bool* frames);

// What the 100-byte header of a store file says, as SQLite documents it.
struct Header {
  uint32_t pageSize = 0;     // 0 for an empty file
  uint32_t layout = 0;       // the user_version field: the layout's version
  uint32_t application = 0;  // the application id field
  bool logged = false;       // the file is in write-ahead-log mode
  // What is wrong with the file that a log beside it may mend: it ends inside a page, or holds
  // fewer pages than its header counts (a copy of the log into it was cut short); else null.
  const char* damage = nullptr;
};

// Reads and checks the header: a file of another kind, or one cut off inside its header, is
// refused; damage that a log may mend is only noted.
Problem ReadHeader(int fd, const struct stat& st, Header* header);

// Refuses a layout this program cannot use: a newer one, none in a file that holds tables, or
// the file of another program (its header's application id is neither none nor this store's).
Problem LayoutProblem(int64_t version, bool tables, uint32_t application);

// What an SQLite result code says went wrong, with the errno SQLite saw. A problem without a
// cause is one the call only returns (no memory, a value too big), never reported.
Problem FromSqlite(int rc, int systemErrno);

// The commits of a log, found by reading it as SQLite's recovery does: after a valid header, the
// frames that carry its salts and continue its checksums; a frame with a page count ends a
// commit. Offsets are of the end of the first and of the last commit.
struct LogCommits {
  uint32_t pageSize = 0;
  int commits = 0;
  off_t firstEnd = 0, lastEnd = 0;
};

// Reads the log open as fd. False when it holds no commit, or is no log at all.
bool ReadLogCommits(int fd, LogCommits* log);

// Under the exclusive lock of the store's folder, with nobody using the store: judges a log with
// commits (when frames says the log may hold some) beside a store file whose header is header,
// and sets it aside when it provably does not belong to the store (another store's or another
// database's, an older one put back, or one that does not go on from the file as it is); *note
// then says so. In every other case the log stays, and SQLite's recovery applies it: the file is
// read through it, and refused then only if it is still damaged. Without such a log the file is
// judged alone, before SQLite makes anything beside it.
Problem JudgeFiles(const std::string& store, const Header& header, bool frames, std::string* note);

// Under the same lock, before a new store takes the name: any log with commits is stale.
Problem SetAsideStaleLog(const std::string& store, std::string* note);

// Removes what interrupted creations and judgements left in the folder (registry.db.new-*):
// what processes that are gone made, or anything older than a day.
void RemoveDebris(const std::string& folder);

// The name of a file or folder this process makes in the folder and removes again.
std::string TempTemplate(const std::string& store);

// Waits for a flock on fd (LOCK_SH or LOCK_EX) for at most waitMs. False when it was not had.
bool WaitForFlock(int fd, int operation, int waitMs);

}  // namespace regstore
