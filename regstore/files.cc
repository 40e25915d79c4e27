// The store's files before SQLite opens them, and the one place that reads the write-ahead log's
// own format (see files.h). Everything here runs before this process has a connection to the
// store, so that SQLite never reads a file it should not, nor blocks on one.
#include "regstore/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "regstore/layout.h"

namespace regstore {
namespace {

// The byte of the log's index that every connection holds a shared lock on while it is open
// (SQLite's "dead man switch"): a lock there means another process uses the store.
constexpr off_t IndexLiveByte = 128;
constexpr size_t FileHeaderSize = 100, LogHeaderSize = 32, FrameHeaderSize = 24;
constexpr uint32_t LogMagic = 0x377f0682, LogVersion = 3007000;
// Interrupted creations and judgements: what no process can be named for is stale after this.
constexpr time_t DebrisAge = 24 * 60 * 60;

uint32_t Big32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

Problem Advise(const std::string& line) {
  return Problem{ERROR_ACCESS_DENIED, line, true};
}

Problem Trust(const struct stat& st, const std::string& path) {
  if (st.st_uid != geteuid()) {
    return Advise(path + " belongs to user " + std::to_string(st.st_uid) +
                  ", not to you; move it away or set XDG_CONFIG_HOME to a folder of your own");
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH))
    return Advise(path + " is writable by others; run chmod go-w " + path);
  return Problem{};
}

// Opens a file of the store for reading, never following a link nor waiting on a pipe.
int OpenQuietly(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The log's checksum over size bytes (a multiple of 8), carried on from sum, in the byte order
// the log's magic names.
void Checksum(bool bigEndian, const unsigned char* data, size_t size, uint32_t sum[2]) {
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint32_t first = Big32(data + i), second = Big32(data + i + 4);
    sum[0] += (bigEndian ? first : __builtin_bswap32(first)) + sum[1];
    sum[1] += (bigEndian ? second : __builtin_bswap32(second)) + sum[0];
  }
}

// Copies the first limit bytes of from (all of it, with a negative limit) into a new file to.
// A short write is a failure too: to a regular file, only a full disk or a limit makes one.
bool CopyFile(const std::string& from, const std::string& to, off_t limit) {
  int in = OpenQuietly(from);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::vector<char> buffer(1 << 16);
  bool ok = in >= 0 && out >= 0;
  for (off_t done = 0; ok && done != limit;) {
    size_t want = limit < 0 ? buffer.size() : (size_t)std::min<off_t>(limit - done, buffer.size());
    ssize_t got = read(in, buffer.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 && limit < 0) break;  // the end of the whole file
    ok = got > 0 && write(out, buffer.data(), (size_t)got) == got;
    done += got;
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return ok;
}

// What the 100-byte header of a store file says.
struct Header {
  uint32_t pageSize = 0;     // 0 for an empty file
  uint32_t layout = 0;       // the user_version field: the layout's version
  uint32_t application = 0;  // the application id field
  bool logged = false;       // the file is in write-ahead-log mode
  // What is wrong with the file that a log beside it may mend: it ends inside a page, or holds
  // fewer pages than its header counts (a copy of the log into it was cut short); else null.
  const char* damage = nullptr;
};

// What a store says of itself; writes is -1 where its layout does not count them.
struct Identity {
  int64_t version = 0, tables = 0, id = 0, writes = -1;
};

// Steps sql, a query of one row, into *a and *b; a store without its row is not a registry store.
int QueryRow(sqlite3* db, const char* sql, int64_t* a, int64_t* b) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    *a = sqlite3_column_int64(stmt, 0);
    *b = sqlite3_column_int64(stmt, 1);
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_ROW ? SQLITE_OK : rc == SQLITE_DONE ? SQLITE_ERROR : rc;
}

// Asks SQLite what the store file at path says of itself. With fileAlone, SQLite reads the file
// as it is, ignoring any log, and makes nothing beside it; otherwise it reads through the log as
// a reader, which never writes to the file or the log. SQLite's result code.
int ReadIdentity(const std::string& path, bool fileAlone, Identity* out) {
  std::string name = fileAlone ? "file:" : path;
  for (size_t i = 0; fileAlone && i < path.size(); i++) {  // a URI: each byte but / escaped
    char escaped[4];
    snprintf(escaped, sizeof escaped, "%%%02X", (unsigned char)path[i]);
    name += path[i] == '/' ? "/" : escaped;
  }
  if (fileAlone) name += "?immutable=1";
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_URI;
  int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);  // one state for both reads
  }
  if (rc == SQLITE_OK)
    rc = QueryRow(
        db, "SELECT user_version, (SELECT count(*) FROM sqlite_master) FROM pragma_user_version",
        &out->version, &out->tables);
  if (rc == SQLITE_OK && out->version >= 1 && out->version <= SchemaVersion)
    rc = QueryRow(db,
                  out->version == 1 ? "SELECT id, -1 FROM store" : "SELECT id, writes FROM store",
                  &out->id, &out->writes);
  sqlite3_close(db);
  return rc;
}

// Removes a folder of a judgement's copies: the files it makes, and nothing else.
void RemoveCopies(const std::string& dir) {
  for (const char* file : {"/registry.db", "/registry.db-wal", "/registry.db-shm"})
    unlink((dir + file).c_str());
  rmdir(dir.c_str());
}

// Whether a log with commits provably does not belong to the store file beside it. Every commit
// of this program carries the store's row, its identity and its count of writes raised by one;
// so the log's last commit names the store and a count no lower than the file's, and its first
// commit goes on from at most the file's count (a checkpoint only ever moves the file forward).
// What cannot be read, or read only in part, proves nothing.
bool IsForeign(const std::string& store, const Header& header, const LogCommits& log) {
  if (log.pageSize != header.pageSize) return true;  // an empty file's is 0: nothing to go on from
  Identity file, last, first;
  if (ReadIdentity(store, true, &file) != SQLITE_OK || file.id == 0) return false;
  // In a private folder beside the store, SQLite reads a copy of the file through copies of the
  // log's first bytes: the store as it stood there, while the store's own files stay as they are.
  std::string dir = TempTemplate(store);
  if (!mkdtemp(dir.data())) return false;
  auto readAt = [&](off_t logBytes, Identity* out) {
    unlink((dir + "/registry.db-shm").c_str());
    if (!CopyFile(store + "-wal", dir + "/registry.db-wal", logBytes)) return SQLITE_IOERR;
    return ReadIdentity(dir + "/registry.db", false, out) & 0xFF;
  };
  int rc = CopyFile(store, dir + "/registry.db", -1) ? readAt(log.lastEnd, &last) : SQLITE_IOERR;
  int firstRc = rc == SQLITE_OK && log.commits > 1 ? readAt(log.firstEnd, &first) : rc;
  RemoveCopies(dir);
  if (log.commits == 1) first = last;
  // The whole log over the file reads as one state of the store; a file that reads well alone
  // and not with the log is another's. A failure that is not about what the files hold (no
  // memory, say) proves nothing.
  if (rc != SQLITE_OK) return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_ERROR;
  if (last.version > SchemaVersion) return false;  // a newer program's: refused when opened
  bool counted = file.writes >= 0 && last.writes >= 0;
  if (last.id != file.id || (counted && last.writes < file.writes)) return true;
  // The first commit alone over a file that a checkpoint took further may read as a mixture:
  // only the store's row, which every commit writes, is trusted of it.
  if (firstRc != SQLITE_OK) return false;
  return first.id != file.id || (counted && first.writes >= 0 && first.writes - 1 > file.writes);
}

// The log's commits, when it has any and nobody has the store open (asked first, of the index's
// live byte: it costs little, and a live store's log may be long).
bool CommitsToJudge(const std::string& store, LogCommits* log) {
  int fd = OpenQuietly(store + "-shm");
  struct flock live = {
      .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = IndexLiveByte, .l_len = 1, .l_pid = 0};
  bool used = fd >= 0 && fcntl(fd, F_GETLK, &live) == 0 && live.l_type != F_UNLCK;
  if (fd >= 0) close(fd);
  if (used) return false;
  fd = OpenQuietly(store + "-wal");
  bool any = fd >= 0 && ReadLogCommits(fd, log);
  if (fd >= 0) close(fd);
  return any;
}

// Checks the log and its index beside the store without opening them: each is missing or a
// regular file (never a link, a pipe or a device, which SQLite could block on or follow). With
// mode, they are given the store's mode. *frames: the log is long enough to hold a frame.
Problem CheckSideFiles(const std::string& store, mode_t mode, bool* frames) {
  *frames = false;
  for (const char* suffix : {"-wal", "-shm"}) {
    std::string path = store + suffix;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return FromErrno(errno);
    }
    if (S_ISLNK(st.st_mode)) return Advise(path + " is a symbolic link; remove it");
    if (!S_ISREG(st.st_mode)) return Advise(path + " is not a regular file; move it away");
    int fd = OpenQuietly(path);
    if (fd < 0) continue;  // unreadable: SQLite says so when it needs the file
    Problem problem = TrustFile(fd, path, &st);
    if (!problem && mode && (st.st_mode & 0777) != mode && fchmod(fd, mode) != 0)
      problem = FromErrno(errno);
    close(fd);
    if (problem) return problem;
    if (suffix[1] == 'w') *frames = st.st_size >= (off_t)(LogHeaderSize + FrameHeaderSize);
  }
  return Problem{};
}

// Reads the header, refusing a file of another kind or one cut off inside its header; damage a
// log may mend is only noted.
Problem ReadHeader(int fd, const struct stat& st, Header* header) {
  *header = Header{};
  if (st.st_size == 0) return Problem{};
  static const char Magic[] = "SQLite format 3";  // with its terminator, 16 bytes
  unsigned char bytes[FileHeaderSize] = {};
  ssize_t got = pread(fd, bytes, sizeof bytes, 0);
  if (got < 0) return FromErrno(errno);
  if (memcmp(bytes, Magic, (size_t)got < sizeof Magic ? (size_t)got : sizeof Magic) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  if (got < (ssize_t)FileHeaderSize) return Problem{ERROR_BADDB, "file is corrupt: it is cut off"};
  uint32_t pageSize = (uint32_t)bytes[16] << 8 | bytes[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  header->pageSize = pageSize;
  header->layout = Big32(bytes + 60);
  header->application = Big32(bytes + 68);
  header->logged = bytes[18] == 2 && bytes[19] == 2;
  // The header's page count holds when it was written with the change counter it carries.
  if (Big32(bytes + 92) == Big32(bytes + 24) && Big32(bytes + 28) > st.st_size / pageSize)
    header->damage = "it is shorter than its header says";
  if (st.st_size % pageSize != 0) header->damage = "it ends in the middle of a page";
  return Problem{};
}

// Sets aside a log with commits (looked for when frames) that provably is not the store's (see
// CheckFiles). SQLite's recovery applies any other, and the file is refused only if still damaged
// then. With none, the file is judged alone, before SQLite makes anything beside it.
Problem JudgeFiles(const std::string& store, const Header& header, bool frames, std::string* note) {
  LogCommits log;
  if (frames && CommitsToJudge(store, &log)) {
    if (!IsForeign(store, header, log)) return Problem{};
    // Renamed, with its index, out of SQLite's way: never removed, always said.
    std::string suffix = ".set-aside-" + std::to_string((long long)time(nullptr));
    std::string wal = store + "-wal", aside = wal + suffix;
    if (rename(wal.c_str(), aside.c_str()) != 0) {
      return Problem{ERROR_BADDB,
                     wal + " is not this store's log and cannot be moved away (" + strerror(errno) +
                         "); move it away",
                     true};
    }
    rename((store + "-shm").c_str(), (store + "-shm" + suffix).c_str());
    *note = "set aside " + wal + ", which holds no changes of this store, as " + aside;
  }
  if (header.damage) return Problem{ERROR_BADDB, std::string("file is corrupt: ") + header.damage};
  if (Problem problem = LayoutProblem(header.layout, false, header.application)) return problem;
  // Where the log and its index are there already, SQLite makes nothing, and the layout is
  // checked under its locks.
  struct stat st;
  if (header.pageSize == 0 ||
      (lstat((store + "-wal").c_str(), &st) == 0 && lstat((store + "-shm").c_str(), &st) == 0))
    return Problem{};
  Identity file;
  int rc = ReadIdentity(store, true, &file);
  if (rc != SQLITE_OK) return FromSqlite(rc, 0);
  return LayoutProblem(file.version, file.tables != 0, header.application);
}

}  // namespace

Problem FromErrno(int error) {
  LONG code = (error == EACCES || error == EPERM || error == EROFS) ? ERROR_ACCESS_DENIED
                                                                    : ERROR_REGISTRY_IO_FAILED;
  return Problem{code, strerror(error)};
}

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

Problem FindFolder(const std::string& dir, bool create, std::string* real) {
  // Each folder made gets mode 0700 whatever the umask, set through its descriptor; folders that
  // exist are left as they are.
  for (size_t end = 1; create && end <= dir.size(); end++) {
    if (end != dir.size() && dir[end] != '/') continue;
    std::string prefix = dir.substr(0, end);
    if (mkdir(prefix.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return FromErrno(errno);
    }
    int fd = open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = fd >= 0 && fchmod(fd, 0700) == 0 ? 0 : errno;
    if (fd >= 0) close(fd);
    if (error) return FromErrno(error);
  }
  char resolved[PATH_MAX];
  if (!realpath(dir.c_str(), resolved)) return FromErrno(errno);
  *real = resolved;
  int fd = open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  int error = fd >= 0 && fstat(fd, &st) == 0 ? 0 : errno;
  if (fd >= 0) close(fd);
  return error ? FromErrno(error) : Trust(st, *real);
}

Problem TrustFile(int fd, const std::string& path, struct stat* st) {
  if (fstat(fd, st) != 0) return FromErrno(errno);
  if (!S_ISREG(st->st_mode))
    return Advise(path + " is not a regular file; move it away, and the store is made anew");
  return Trust(*st, path);
}

Problem LayoutProblem(int64_t version, bool tables, uint32_t application) {
  if (version > SchemaVersion) {
    return Problem{ERROR_BADDB, "layout version " + std::to_string(version) +
                                    " is newer than this program knows (" +
                                    std::to_string(SchemaVersion) + ")"};
  }
  if (version < 0 || (version == 0 && tables) || (application != 0 && application != ApplicationId))
    return Problem{ERROR_BADDB, "file is not a registry store"};
  return Problem{};
}

Problem FromSqlite(int rc, int systemErrno) {
  auto denied = [](const char* cause) { return Problem{ERROR_ACCESS_DENIED, cause}; };
  switch (rc) {
    case SQLITE_READONLY_DIRECTORY:
      return denied(
          "store and its folder are read-only, and the log it needs beside it is missing");
    case SQLITE_READONLY_RECOVERY:
    case SQLITE_READONLY_CANTINIT:
    case SQLITE_READONLY_ROLLBACK:
      return denied("store is read-only, but what its last writer left must first be recovered");
    case SQLITE_READONLY_DBMOVED:
      return denied("file was moved or removed while in use");
  }
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
      return Problem{ERROR_BADDB, "file is not a database"};
    case SQLITE_CORRUPT:
      return Problem{ERROR_BADDB, "file is corrupt"};
    case SQLITE_READONLY:
      return denied("store is read-only");
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return denied("access denied");
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      if (systemErrno != 0) return FromErrno(systemErrno);
      break;
    case SQLITE_FULL:
      return Problem{ERROR_REGISTRY_IO_FAILED, "disk is full"};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Problem{ERROR_BUSY, "store stayed locked by another process"};
    case SQLITE_NOMEM:
      return Problem{ERROR_OUTOFMEMORY};
    case SQLITE_TOOBIG:
      return Problem{ERROR_INVALID_PARAMETER};
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
      return Problem{ERROR_BADDB, "file is not a registry store"};
  }
  return Problem{ERROR_REGISTRY_IO_FAILED, sqlite3_errstr(rc)};
}

bool ReadLogCommits(int fd, LogCommits* log) {
  *log = LogCommits{};
  unsigned char header[LogHeaderSize];
  if (pread(fd, header, sizeof header, 0) != (ssize_t)sizeof header) return false;
  uint32_t magic = Big32(header), pageSize = Big32(header + 8);
  if ((magic & ~1u) != LogMagic || Big32(header + 4) != LogVersion) return false;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return false;
  bool bigEndian = magic & 1;
  uint32_t sum[2] = {0, 0};
  Checksum(bigEndian, header, LogHeaderSize - 8, sum);
  if (sum[0] != Big32(header + 24) || sum[1] != Big32(header + 28)) return false;
  log->pageSize = pageSize;
  std::vector<unsigned char> frame(FrameHeaderSize + pageSize);
  for (off_t at = LogHeaderSize;; at += (off_t)frame.size()) {
    if (pread(fd, frame.data(), frame.size(), at) != (ssize_t)frame.size()) break;
    // A frame of the log's current start carries its salts and goes on with its checksums.
    if (Big32(frame.data()) == 0 || memcmp(frame.data() + 8, header + 16, 8) != 0) break;
    Checksum(bigEndian, frame.data(), 8, sum);
    Checksum(bigEndian, frame.data() + FrameHeaderSize, pageSize, sum);
    if (sum[0] != Big32(frame.data() + 16) || sum[1] != Big32(frame.data() + 20)) break;
    if (Big32(frame.data() + 4) == 0) continue;
    log->lastEnd = at + (off_t)frame.size();
    if (log->commits++ == 0) log->firstEnd = log->lastEnd;
  }
  return log->commits > 0;
}

Problem SetAsideStaleLog(const std::string& store, std::string* note) {
  return JudgeFiles(store, Header{}, true, note);  // no store file: a log has none to go on from
}

Problem CheckFiles(const std::string& folder, const std::string& store, bool alone, struct stat* st,
                   bool* logged, std::string* note) {
  int fd = OpenQuietly(store);
  if (fd < 0 && errno == ELOOP)
    return Advise(store + " is a symbolic link; put the store itself in its place");
  if (fd < 0) return FromErrno(errno);
  Header header;
  Problem problem = TrustFile(fd, store, st);
  bool writable = access(folder.c_str(), W_OK) == 0 && (st->st_mode & S_IWUSR), frames = false;
  if (!problem) problem = CheckSideFiles(store, writable ? st->st_mode & 0777 : 0, &frames);
  if (!problem) problem = ReadHeader(fd, *st, &header);
  close(fd);
  // Another process holding the lock has the store open: it took the file as it is, and SQLite
  // reads it under its own locks. Only with nobody using it are the files judged on their own.
  if (!problem && alone) problem = JudgeFiles(store, header, frames, note);
  if (!problem && writable) RemoveDebris(folder);
  *logged = header.logged;
  return problem;
}

void RemoveDebris(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  static const char Prefix[] = "registry.db.new-";
  time_t now = time(nullptr);
  while (struct dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, Prefix, sizeof Prefix - 1) != 0) continue;
    const char* rest = entry->d_name + sizeof Prefix - 1;
    char* end = nullptr;
    long pid = strtol(rest, &end, 10);
    bool gone = end != rest && *end == '-' && pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH;
    struct stat st;
    std::string path = folder + "/" + entry->d_name;
    if (lstat(path.c_str(), &st) != 0 || st.st_uid != geteuid()) continue;
    if (!gone && now - st.st_mtime <= DebrisAge) continue;
    if (S_ISREG(st.st_mode)) unlink(path.c_str());
    if (S_ISDIR(st.st_mode)) RemoveCopies(path);
  }
  closedir(dir);
}

std::string TempTemplate(const std::string& store) {
  return store + ".new-" + std::to_string(getpid()) + "-XXXXXX";
}

}  // namespace regstore
