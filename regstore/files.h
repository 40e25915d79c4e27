// The store's files before SQLite opens them: where the store lives, whether its folder and files
// can be trusted, the documented fields of the database file's header, and the judgement of a
// write-ahead log left by a program that did not end normally. Only here is the log's own format
// read (its header and frame headers, for its commits); what the store held at a commit is asked
// of SQLite, over private copies. Of the log's index, only a live connection's lock is looked at.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

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

// $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config when XDG_CONFIG_HOME is unset,
// empty or not absolute.
bool LocateStore(std::string* path);

// Finds the store's folder dir (with create, made with its missing parents, mode 0700), puts its
// real path in *real and checks that it can be trusted. ENOENT when it is missing and not made.
Problem FindFolder(const std::string& dir, bool create, std::string* real);

// Checks a file of the store, open as fd: a regular file of the user's own, closed to others.
Problem TrustFile(int fd, const std::string& path, struct stat* st);

// Refuses a newer layout, none in a file that holds tables, or another program's file (an
// application id neither none nor this store's).
Problem LayoutProblem(int64_t version, bool tables, uint32_t application);

// What an SQLite result code says went wrong, with the errno SQLite saw. A problem without a
// cause (no memory, a value too big) is only returned, never reported.
Problem FromSqlite(int rc, int systemErrno);

// The commits of the log open as fd, as SQLite's recovery finds them: after a valid header, the
// frames that carry its salts and continue its checksums; a frame with a page count ends a commit.
struct LogCommits {
  uint32_t pageSize = 0;
  int commits = 0;
  off_t firstEnd = 0, lastEnd = 0;  // where the first and the last commit end
};

// False when the log holds no commit, or is no log at all.
bool ReadLogCommits(int fd, LogCommits* log);

// Checks the store file in folder, the log and its index beside it (a link, a pipe or a device
// is never opened), and its header, before SQLite opens it; *st is its status, *logged whether it
// is in write-ahead-log mode. With alone (under the folder's exclusive lock: nobody uses the
// store), a log with commits that provably is not the store's (another store's or database's, an
// older one put back, or one that does not go on from the file as it is) is set aside, and *note
// says so; SQLite's recovery applies any other. What interrupted work left in a folder that can
// be written is removed.
Problem CheckFiles(const std::string& folder, const std::string& store, bool alone, struct stat* st,
                   bool* logged, std::string* note);

// Under the same lock, before a new store takes the name: any log with commits is stale.
Problem SetAsideStaleLog(const std::string& store, std::string* note);

// Removes what interrupted creations and judgements left in the folder (registry.db.new-*):
// what processes that are gone made, or anything older than a day.
void RemoveDebris(const std::string& folder);

// The name of a file or folder this process makes in the folder and removes again.
std::string TempTemplate(const std::string& store);

}  // namespace regstore
