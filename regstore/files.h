// Finding the store's files and deciding whether to trust them, before SQLite sees them: where
// the store lives, its folder (made when missing, trusted only when it is the user's own and
// closed to others), the file's header, the log beside it, and debris of interrupted creations.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <functional>
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

// What the 100-byte header of a store file says, checked against the file's size, and what the
// header of the first page's tree says of the tables.
struct Header {
  uint32_t pageSize = 0;  // 0 for an empty file
  uint32_t layout = 0;    // the user_version field: the layout's version
  uint32_t pages = 0;     // pages the file holds
  bool tables = false;    // the first page lists tables, indexes or views
  bool logged = false;    // the file is in write-ahead-log mode
};

// Reads and checks the header: a file cut off or of another kind is refused before any write.
Problem ReadHeader(int fd, const struct stat& st, Header* header);

// How the store's files stand, seen from outside SQLite: whether another process has the store
// open, which of the log and its index exist, whether the log holds frames, and prints of the
// files that change whenever a process writes to the store or copies its log into it (the
// database file's header, size and time, the log's header, size and time, and the head of the
// index, where SQLite keeps how much of the log it has copied). What this process reads of the
// database file without SQLite's locks holds only between two looks that find the store unused
// and the prints the same.
struct Look {
  bool used = false;
  bool log = false, index = false;
  bool frames = false;
  std::string files, indexPrint;
  // Nobody used the store between this look and that later one.
  bool Still(const Look& later) const {
    return !used && !later.used && files == later.files && indexPrint == later.indexPrint;
  }
};

Look LookAt(const std::string& store);

// Sets aside a log (registry.db-wal) that is not the store's own, so that SQLite never copies it
// into the store: with fresh true (there is no store file yet) or an empty store file any log
// left is stale; otherwise a log with frames must come with the index its writer kept beside it,
// whose copy of the log's header matches, and then foreign, when given, must say it is not
// another's. Nothing is done while another process has the store open. The log and its index are
// renamed to registry.db-wal.set-aside-TIME and registry.db-shm.set-aside-TIME, never removed;
// *note says so.
Problem CheckLog(const std::string& store, const Header& header, bool fresh, std::string* note,
                 const std::function<bool()>& foreign = {});

// The store's row: its identity and its count of writes (-1 where the layout does not count
// them), and the table page it is on.
struct StoreRow {
  int64_t id = 0, writes = -1;
  uint32_t page = 0;
};

// Reads the store's row from the database file alone, open as fd, without SQLite: the schema on
// the first page names the row's page. False when the file is not laid out as simply as this
// program lays it out (a schema or row that does not fit its page, no store table); the caller
// then asks SQLite. *known says whether every statement of the schema is one this program
// makes, so that SQLite will read the schema as it did when it made it.
bool ReadStoreRow(int fd, const Header& header, StoreRow* row, bool* known);

// The store's row on page page as the log's frames hold it: *first from the earliest frame of
// that page, *last from the latest one that a commit covers. Only frames carrying the log's
// current salts count. False when the log has no such frames or cannot be read whole.
bool ReadLoggedRows(const std::string& store, uint32_t page, StoreRow* first, StoreRow* last);

// Gives the log and its index the store's mode, through their descriptors.
Problem MatchLogModes(const std::string& store, mode_t mode);

// Removes registry.db.new-* files left by creations that were interrupted: those whose creating
// process is gone, or that are older than a day.
void RemoveDebris(const std::string& folder);

// The name under which this process builds a new store before linking it into place.
std::string TempTemplate(const std::string& store);

}  // namespace regstore
