// Finding the store's files and deciding whether to trust them. Everything here runs before
// SQLite opens the store, so that SQLite never reads a file it should not, nor writes beside it.
#include "regstore/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace regstore {
namespace {

// The byte of the log's index that every connection holds a shared lock on while it is open
// (SQLite's "dead man switch"): a lock there means another process uses the store.
constexpr off_t IndexLiveByte = 128;
constexpr size_t LogHeaderSize = 32, FrameHeaderSize = 24;
// Interrupted creations: a file whose creator cannot be known is stale after this long.
constexpr time_t DebrisAge = 24 * 60 * 60;

uint32_t Big32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

Problem Advise(const std::string& line) {
  return Problem{ERROR_ACCESS_DENIED, line, true};
}

// The checks of ownership and modes shared by the folder and the files.
Problem Trust(const struct stat& st, const std::string& path) {
  if (st.st_uid != geteuid()) {
    return Advise(path + " belongs to user " + std::to_string(st.st_uid) +
                  ", not to you; move it away or set XDG_CONFIG_HOME to a folder of your own");
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH))
    return Advise(path + " is writable by others; run chmod go-w " + path);
  return Problem{};
}

// Creates the missing folders of dir, each with mode 0700 whatever the umask; the mode is set
// on the folder just made, through its descriptor. Folders that exist are left as they are.
int MakeFolders(const std::string& dir) {
  for (size_t end = 1; end <= dir.size(); end++) {
    if (end != dir.size() && dir[end] != '/') continue;
    std::string prefix = dir.substr(0, end);
    if (mkdir(prefix.c_str(), 0700) == 0) {
      int fd = open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return errno;
      int error = fchmod(fd, 0700) == 0 ? 0 : errno;
      close(fd);
      if (error) return error;
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

// Whether another process has the store open: it holds a lock on its log's index.
bool InUse(const std::string& store) {
  int fd = open((store + "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = IndexLiveByte;
  lock.l_len = 1;
  bool used = fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return used;
}

// Reads the first size bytes of a file that is not followed when it is a link.
bool ReadStart(const std::string& path, unsigned char* buffer, size_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool read = pread(fd, buffer, size, 0) == (ssize_t)size;
  close(fd);
  return read;
}

// Whether the log's frames are the store's own: the log's page size is the store's, and the
// index its writer kept holds the same salts as the log's header (SQLite makes new salts each
// time it starts the log anew, and marks every frame with them).
bool LogIsOwn(const std::string& store, const Header& header) {
  unsigned char log[LogHeaderSize], index[48];
  if (!ReadStart(store + "-wal", log, sizeof log)) return false;
  uint32_t magic = Big32(log);
  if (magic != 0x377f0682 && magic != 0x377f0683) return false;
  if (header.pageSize != 0 && Big32(log + 8) != header.pageSize) return false;
  if (!ReadStart(store + "-shm", index, sizeof index)) return false;
  return memcmp(index + 32, log + 16, 8) == 0;
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
  if (create) {
    int error = MakeFolders(dir);
    if (error) return FromErrno(error);
  }
  char resolved[PATH_MAX];
  if (!realpath(dir.c_str(), resolved)) return FromErrno(errno);
  *real = resolved;
  int fd = open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  int error = fstat(fd, &st) == 0 ? 0 : errno;
  close(fd);
  if (error) return FromErrno(error);
  return Trust(st, *real);
}

Problem TrustFile(int fd, const std::string& path, struct stat* st) {
  if (fstat(fd, st) != 0) return FromErrno(errno);
  if (!S_ISREG(st->st_mode))
    return Advise(path + " is not a regular file; move it away, and the store is made anew");
  return Trust(*st, path);
}

Problem ReadHeader(int fd, const struct stat& st, Header* header) {
  *header = Header{};
  if (st.st_size == 0) return Problem{};
  static const char Magic[] = "SQLite format 3";  // with its terminator, 16 bytes
  unsigned char bytes[100] = {};
  ssize_t got = pread(fd, bytes, sizeof bytes, 0);
  if (got < 0) return FromErrno(errno);
  if (memcmp(bytes, Magic, (size_t)got < sizeof Magic ? (size_t)got : sizeof Magic) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  if (got < (ssize_t)sizeof bytes) return Problem{ERROR_BADDB, "file is corrupt: it is cut off"};
  uint32_t pageSize = (uint32_t)bytes[16] << 8 | bytes[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  if (st.st_size % pageSize != 0)
    return Problem{ERROR_BADDB, "file is corrupt: it ends in the middle of a page"};
  header->pageSize = pageSize;
  header->pages = (uint32_t)(st.st_size / pageSize);
  header->layout = Big32(bytes + 60);
  // The header's page count holds when it was written with the change counter it carries.
  uint32_t counted = Big32(bytes + 28);
  if (Big32(bytes + 92) == Big32(bytes + 24) && counted > header->pages)
    return Problem{ERROR_BADDB, "file is corrupt: it is shorter than its header says"};
  return Problem{};
}

Problem CheckLog(const std::string& store, const Header& header, bool fresh, std::string* note) {
  std::string log = store + "-wal";
  struct stat st;
  if (lstat(log.c_str(), &st) != 0) return Problem{};
  bool frames = !S_ISREG(st.st_mode) || st.st_size >= (off_t)(LogHeaderSize + FrameHeaderSize);
  if (!frames || InUse(store)) return Problem{};
  if (!fresh && S_ISREG(st.st_mode) && LogIsOwn(store, header)) return Problem{};
  std::string aside = log + ".set-aside-" + std::to_string((long long)time(nullptr));
  if (rename(log.c_str(), aside.c_str()) != 0) {
    return Problem{ERROR_BADDB,
                   log + " is not this store's log and cannot be moved away (" + strerror(errno) +
                       "); move it away",
                   true};
  }
  *note = "set aside " + log + ", which is not this store's log, as " + aside;
  return Problem{};
}

Problem MatchLogModes(const std::string& store, mode_t mode) {
  for (const char* suffix : {"-wal", "-shm"}) {
    std::string path = store + suffix;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP) return Advise(path + " is a symbolic link; remove it");
      continue;  // missing, or unreadable: SQLite says so when it needs the file
    }
    struct stat st;
    Problem problem = TrustFile(fd, path, &st);
    if (!problem && (st.st_mode & 0777) != mode && fchmod(fd, mode) != 0)
      problem = FromErrno(errno);
    close(fd);
    if (problem) return problem;
  }
  return Problem{};
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
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
    if (gone || now - st.st_mtime > DebrisAge) unlink(path.c_str());
  }
  closedir(dir);
}

std::string TempTemplate(const std::string& store) {
  return store + ".new-" + std::to_string(getpid()) + "-XXXXXX";
}

}  // namespace regstore
