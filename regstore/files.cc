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
#include <sys/uio.h>
#include <unistd.h>

#include <memory>

#include "regstore/layout.h"

namespace regstore {
namespace {

// The byte of the log's index that every connection holds a shared lock on while it is open
// (SQLite's "dead man switch"): a lock there means another process uses the store.
constexpr off_t IndexLiveByte = 128;
constexpr size_t FileHeaderSize = 100, LogHeaderSize = 32, FrameHeaderSize = 24;
// The head of the index: two copies of the log's header as SQLite last saw it, and how far the
// log was copied into the database file.
constexpr size_t IndexHeadSize = 136;
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

// Whether another process holds a lock on the index open as fd: it has the store open.
bool Held(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = IndexLiveByte;
  lock.l_len = 1;
  return fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Whether another process has the store open: it holds a lock on its log's index.
bool InUse(const std::string& store) {
  int fd = open((store + "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool used = Held(fd);
  close(fd);
  return used;
}

// Whether the log holds frames: it is as long as its header and one frame's, or not a file.
bool HasFrames(const struct stat& st) {
  return !S_ISREG(st.st_mode) || st.st_size >= (off_t)(LogHeaderSize + FrameHeaderSize);
}

// A print of a file: its identity, size and modification time, and its first size bytes; empty
// when it does not exist. (Not the time of its last change of status: SQLite, run by root, gives
// the log and its index the owner of the database file again each time it opens them.) With used,
// says whether another process holds the index's lock.
std::string Print(const std::string& path, size_t size, bool* exists, bool* used = nullptr) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  *exists = fd >= 0 || errno != ENOENT;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return *exists ? "?" : "";
  }
  if (used) *used = Held(fd);
  long long stats[] = {(long long)st.st_ino, (long long)st.st_size, (long long)st.st_mtim.tv_sec,
                       (long long)st.st_mtim.tv_nsec};
  std::string print((const char*)stats, sizeof stats);
  std::string head(size, '\0');
  ssize_t got = S_ISREG(st.st_mode) ? pread(fd, head.data(), size, 0) : 0;
  close(fd);
  head.resize(got > 0 ? (size_t)got : 0);
  return print + head;
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

// One column of a record: an integer, or text (or a blob) that stays on its page.
struct Column {
  enum Kind { Other, Integer, Text } kind = Other;
  int64_t integer = 0;
  const unsigned char* text = nullptr;
  size_t size = 0;
  bool Is(const char* value) const {
    return kind == Text && size == strlen(value) && memcmp(text, value, size) == 0;
  }
};

uint64_t Varint(const unsigned char** p, const unsigned char* end) {
  uint64_t v = 0;
  for (int i = 0; i < 9 && *p < end; i++) {
    unsigned char b = *(*p)++;
    v = i == 8 ? v << 8 | b : v << 7 | (b & 0x7F);
    if (i < 8 && !(b & 0x80)) break;
  }
  return v;
}

// The number of cells on a table leaf page whose tree header is at offset at (100 on the first
// page, else 0); -1 for any other page.
int Cells(const unsigned char* page, size_t at) {
  return page[at] == 0x0D ? page[at + 3] << 8 | page[at + 4] : -1;
}

// Reads up to max columns of cell cell on a table leaf page whose tree header is at offset at.
// The number of columns the record has; -1 when the record does not lie whole on the page.
int ReadRow(const unsigned char* page, size_t size, size_t at, int cell, Column* columns, int max) {
  const unsigned char* end = page + size;
  if (cell >= Cells(page, at)) return -1;
  size_t offset = (size_t)page[at + 8 + 2 * cell] << 8 | page[at + 9 + 2 * cell];
  if (offset < at + 8 || offset >= size) return -1;
  const unsigned char* p = page + offset;
  uint64_t payload = Varint(&p, end);
  Varint(&p, end);  // the row id
  // A record longer than this spills onto overflow pages.
  if (payload > size - 35 || p + payload > end) return -1;
  const unsigned char* types = p;
  const unsigned char* header = p + Varint(&types, end);
  const unsigned char *data = header, *stop = p + payload;
  if (header > stop) return -1;
  int count = 0;
  while (types < header) {
    uint64_t type = Varint(&types, end);
    static const int Bytes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    if (type == 10 || type == 11) return -1;
    size_t length = type < 10 ? (size_t)Bytes[type] : (size_t)(type - 12) / 2;
    if (data + length > stop) return -1;
    if (count < max) {
      Column& column = columns[count];
      column = Column{};
      if (type >= 1 && type <= 6) {
        column.kind = Column::Integer;
        column.integer = (signed char)data[0];
        for (size_t i = 1; i < length; i++) column.integer = column.integer << 8 | data[i];
      } else if (type == 8 || type == 9) {
        column.kind = Column::Integer;
        column.integer = (int64_t)type - 8;
      } else if (type >= 12) {
        column.kind = Column::Text;
        column.text = data;
        column.size = length;
      }
    }
    data += length;
    count++;
  }
  return count;
}

// The store's row, the first on its table page: the identity, then (from layout 2 on) the
// count of writes, which a row older than the column holds as its default, 0.
bool RowOf(const unsigned char* page, size_t size, uint32_t layout, StoreRow* row) {
  Column columns[2];
  int count = ReadRow(page, size, 0, 0, columns, 2);
  if (count < 1 || columns[0].kind != Column::Integer) return false;
  if (count > 1 && columns[1].kind != Column::Integer) return false;
  row->id = columns[0].integer;
  row->writes = layout < 2 ? -1 : count > 1 ? columns[1].integer : 0;
  return true;
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
  // The file's header, then the header of the first page's tree, which lists the schema.
  unsigned char bytes[FileHeaderSize + 8] = {};
  ssize_t got = pread(fd, bytes, sizeof bytes, 0);
  if (got < 0) return FromErrno(errno);
  if (memcmp(bytes, Magic, (size_t)got < sizeof Magic ? (size_t)got : sizeof Magic) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  if (got < (ssize_t)FileHeaderSize) return Problem{ERROR_BADDB, "file is corrupt: it is cut off"};
  uint32_t pageSize = (uint32_t)bytes[16] << 8 | bytes[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
    return Problem{ERROR_BADDB, "file is not a database"};
  if (st.st_size % pageSize != 0)
    return Problem{ERROR_BADDB, "file is corrupt: it ends in the middle of a page"};
  header->pageSize = pageSize;
  header->pages = (uint32_t)(st.st_size / pageSize);
  header->layout = Big32(bytes + 60);
  header->logged = bytes[18] == 2 && bytes[19] == 2;
  // A leaf without cells is an empty schema; an inner page has leaves below it.
  const unsigned char* tree = bytes + FileHeaderSize;
  header->tables = got == (ssize_t)sizeof bytes &&
                   (tree[0] == 0x05 || (tree[0] == 0x0D && (tree[3] | tree[4]) != 0));
  // The header's page count holds when it was written with the change counter it carries.
  uint32_t counted = Big32(bytes + 28);
  if (Big32(bytes + 92) == Big32(bytes + 24) && counted > header->pages)
    return Problem{ERROR_BADDB, "file is corrupt: it is shorter than its header says"};
  return Problem{};
}

Look LookAt(const std::string& store) {
  Look look;
  bool exists = false;
  // The index first: a process that starts to use the store after this has not changed it yet.
  look.indexPrint = Print(store + "-shm", IndexHeadSize, &look.index, &look.used);
  look.files = Print(store + "-wal", LogHeaderSize, &look.log);
  struct stat st;
  look.frames = look.log && lstat((store + "-wal").c_str(), &st) == 0 && HasFrames(st);
  look.files += '/' + Print(store, FileHeaderSize, &exists);
  return look;
}

Problem CheckLog(const std::string& store, const Header& header, bool fresh, std::string* note,
                 const std::function<bool()>& foreign) {
  std::string log = store + "-wal";
  struct stat st;
  if (lstat(log.c_str(), &st) != 0) return Problem{};
  if (!HasFrames(st) || InUse(store)) return Problem{};
  // SQLite itself would delete a log beside an empty store file.
  if (!fresh && header.pageSize != 0 && S_ISREG(st.st_mode) && LogIsOwn(store, header) &&
      !(foreign && foreign()))
    return Problem{};
  std::string suffix = ".set-aside-" + std::to_string((long long)time(nullptr));
  std::string aside = log + suffix;
  if (rename(log.c_str(), aside.c_str()) != 0) {
    return Problem{ERROR_BADDB,
                   log + " is not this store's log and cannot be moved away (" + strerror(errno) +
                       "); move it away",
                   true};
  }
  // Its index goes with it, unless a process that started meanwhile uses it already.
  if (!InUse(store)) rename((store + "-shm").c_str(), (store + "-shm" + suffix).c_str());
  *note = "set aside " + log + ", which holds no changes of this store, as " + aside;
  return Problem{};
}

bool ReadStoreRow(int fd, const Header& header, StoreRow* row, bool* known) {
  *known = false;
  if (header.pageSize == 0) return false;
  std::string page(header.pageSize, '\0');
  const unsigned char* bytes = (const unsigned char*)page.data();
  if (pread(fd, page.data(), page.size(), 0) != (ssize_t)page.size()) return false;
  // The schema's rows: type, name, table, root page, statement (none for an index that a
  // table's constraint makes).
  Column columns[5];
  uint32_t root = 0;
  bool ours = true;
  int cells = Cells(bytes, FileHeaderSize);
  if (cells <= 0) return false;
  for (int cell = 0; cell < cells; cell++) {
    if (ReadRow(bytes, page.size(), FileHeaderSize, cell, columns, 5) != 5) return false;
    const Column& sql = columns[4];
    ours = ours && (sql.kind == Column::Text ? IsLayoutSql((const char*)sql.text, sql.size)
                                             : sql.kind == Column::Other && columns[0].Is("index"));
    if (columns[1].Is("store") && columns[0].Is("table") && columns[3].kind == Column::Integer &&
        columns[3].integer > 1 && columns[3].integer <= header.pages)
      root = (uint32_t)columns[3].integer;
  }
  if (root == 0 || pread(fd, page.data(), page.size(), (off_t)(root - 1) * header.pageSize) !=
                       (ssize_t)page.size())
    return false;
  if (!RowOf(bytes, page.size(), header.layout, row)) return false;
  row->page = root;
  *known = ours;
  return true;
}

bool ReadLoggedRows(const std::string& store, uint32_t page, StoreRow* first, StoreRow* last) {
  int fd = open((store + "-wal").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  unsigned char header[LogHeaderSize];
  uint32_t size = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      pread(fd, header, sizeof header, 0) == (ssize_t)sizeof header) {
    size = Big32(header + 8);
    if (size == 1) size = 65536;
    if (size < 512 || size > 65536 || (size & (size - 1)) != 0) size = 0;
  }
  // The frames are read a run at a time, their headers each to its own place and their pages
  // all into one page: only the two pages that hold the rows are read again afterwards. The
  // frames of the log's current start carry its header's salts; older ones, beyond them, do
  // not. A frame with a page count after it ends a commit.
  constexpr int RunFrames = 16;
  std::unique_ptr<unsigned char[]> scratch(new unsigned char[size ? size : 1]);
  unsigned char heads[RunFrames][FrameHeaderSize];
  struct iovec parts[2 * RunFrames];
  off_t earliest = -1, latest = -1, pending = -1;
  bool ended = size == 0;
  for (off_t at = LogHeaderSize; !ended;) {
    for (int i = 0; i < RunFrames; i++) {
      parts[2 * i] = {heads[i], FrameHeaderSize};
      parts[2 * i + 1] = {scratch.get(), size};
    }
    ssize_t got = preadv(fd, parts, 2 * RunFrames, at);
    int frames = got > 0 ? (int)(got / (FrameHeaderSize + size)) : 0;
    ended = frames < RunFrames;
    for (int i = 0; i < frames; i++, at += FrameHeaderSize + size) {
      if (memcmp(heads[i] + 8, header + 16, 8) != 0) {
        ended = true;
        break;
      }
      if (Big32(heads[i]) == page) {
        pending = at + (off_t)FrameHeaderSize;
        if (earliest < 0) earliest = pending;
      }
      if (Big32(heads[i] + 4) != 0) latest = pending;
    }
  }
  // Layout 2 is assumed: a store of layout 1 has no count, and its row reads as such.
  auto rowAt = [&](off_t where, StoreRow* row) {
    return pread(fd, scratch.get(), size, where) == (ssize_t)size &&
           RowOf(scratch.get(), size, 2, row);
  };
  bool read = earliest >= 0 && latest >= 0 && rowAt(earliest, first) && rowAt(latest, last);
  close(fd);
  return read;
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
