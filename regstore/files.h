// Finding the store's files and deciding whether to trust them, before SQLite sees them: where
// the store lives, its folder (made when missing, trusted only when it is the user's own and
// closed to others), the file's header, the log beside it, and debris of interrupted creations.
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

// Where the store lives now: $XDG_CONFIG_HOME/qsprofile/registry.db, or under $HOME/.config
// when XDG_CONFIG_HOME is unset, empty or not absolute.
bool LocateStore(std::string* path);

// Finds the store's folder dir (making it and its missing parents, mode 0700, with create),
// resolves the symbolic links on the way into *real, and checks that the folder can be trusted.
// ENOENT when it does not exist and create is false.
Problem FindFolder(const std::string& dir, bool create, std::string* real);

// Checks a file of the store, opened as fd: a regular file of the user's own, closed to others.
Problem TrustFile(int fd, const std::string& path, struct stat* st);

// What the 100-byte header of a store file says, checked against the file's size.
struct Header {
  uint32_t pageSize = 0;  // 0 for an empty file
  uint32_t layout = 0;    // the user_version field: the layout's version
  uint32_t pages = 0;     // pages the file holds
};

// Reads and checks the header: a file cut off or of another kind is refused before any write.
Problem ReadHeader(int fd, const struct stat& st, Header* header);

// Sets aside a log (registry.db-wal) that is not the store's own, so that SQLite never copies it
// into the store: with fresh true (there is no store file yet) any log left is stale; otherwise
// a log with frames must come with the index its writer kept beside it, whose copy of the log's
// header matches. Nothing is done while another process has the store open. The log is renamed
// to registry.db-wal.set-aside-TIME, never removed; *note says so.
Problem CheckLog(const std::string& store, const Header& header, bool fresh, std::string* note);

// Gives the log and its index the store's mode, through their descriptors.
Problem MatchLogModes(const std::string& store, mode_t mode);

// Removes registry.db.new-* files left by creations that were interrupted: those whose creating
// process is gone, or that are older than a day.
void RemoveDebris(const std::string& folder);

// The name under which this process builds a new store before linking it into place.
std::string TempTemplate(const std::string& store);

}  // namespace regstore
