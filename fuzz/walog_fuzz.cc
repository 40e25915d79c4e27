// Fuzzes the reader of the write-ahead log's frames against SQLite's own recovery. Over a small
// store file of 512-byte pages, the input is its log: SQLite's count of the frames it takes from
// the log (PRAGMA wal_checkpoint's second column) is where the reader says the last commit ends.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/check.h"
#include "regstore/files.h"

namespace {

std::string Path, Database;  // the store file and what it holds

void Write(const std::string& path, const void* data, size_t size) {
  CHECK(std::ofstream(path, std::ios::binary).write((const char*)data, size).good());
}

// The store file, made once: the log's frames go on from it.
void Prepare() {
  char dir[] = "/tmp/walog-fuzz-XXXXXX";
  CHECK(mkdtemp(dir) != nullptr);
  Path = dir + std::string("/t.db");
  sqlite3* db = nullptr;
  CHECK(sqlite3_open(Path.c_str(), &db) == SQLITE_OK);
  CHECK(sqlite3_exec(db, "PRAGMA page_size = 512; PRAGMA journal_mode = WAL; CREATE TABLE t(x);",
                     nullptr, nullptr, nullptr) == SQLITE_OK);
  sqlite3_close(db);  // copies the log into the file and removes it
  std::ifstream file(Path, std::ios::binary);
  Database.assign(std::istreambuf_iterator<char>(file), {});
  CHECK(!Database.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (Path.empty()) Prepare();
  Write(Path, Database.data(), Database.size());
  Write(Path + "-wal", data, size);
  unlink((Path + "-shm").c_str());
  int fd = open((Path + "-wal").c_str(), O_RDONLY);
  regstore::LogCommits log;
  bool any = regstore::ReadLogCommits(fd, &log);
  close(fd);
  CHECK(any == (log.commits > 0));
  CHECK(!any || (log.firstEnd <= log.lastEnd && log.lastEnd <= (off_t)size));
  CHECK(!any || (log.lastEnd - 32) % (24 + log.pageSize) == 0);
  if (any && log.pageSize != 512) return 0;  // SQLite reads such a log against another file
  sqlite3* db = nullptr;
  int frames = -1;  // the second column of the checkpoint's one row
  auto second = [](void* f, int, char** row, char**) { return *(int*)f = atoi(row[1]), 0; };
  if (sqlite3_open(Path.c_str(), &db) == SQLITE_OK)
    sqlite3_exec(db, "PRAGMA wal_checkpoint", second, &frames, nullptr);
  sqlite3_close(db);
  if (frames >= 0) CHECK(frames == (any ? (int)((log.lastEnd - 32) / (24 + 512)) : 0));
  return 0;
}
