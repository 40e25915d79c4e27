// The store against crashes and failing disks, at every write: a writer killed, or its Nth write
// or sync of the store's files failing, inside its transaction or while the log is copied into
// the database file at its end; and first writes racing on a new folder.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "regstore/batch.h"
#include "support/tempstore.h"

namespace {

// A SQLite file system over the default one that counts the writes and syncs of the store's file
// and log, and at the Nth kills the process, fails it once with an I/O error, or fails it and
// every later one as a full disk does.
enum class Fault { None, Kill, IoErrorOnce, DiskFull };
sqlite3_vfs* Real;
sqlite3_vfs Vfs;
std::string Database, Log;
Fault Kind = Fault::None;
int At = 0, Count = 0;  // the fault's place, and the writes and syncs counted so far

// The file SQLite sees: the real file follows it in the same allocation.
struct File {
  sqlite3_file base;
  bool counted;
  static sqlite3_file* Real(sqlite3_file* f) { return (sqlite3_file*)((File*)f + 1); }
};

// One counted write or sync: what it returns instead of going ahead, or SQLITE_OK.
int Hit(int error) {
  ++Count;
  if (Count == At && Kind == Fault::Kill) kill(getpid(), SIGKILL);
  if (Count == At && Kind == Fault::IoErrorOnce) return error;
  if (Count >= At && Kind == Fault::DiskFull)
    return error == SQLITE_IOERR_WRITE ? SQLITE_FULL : error;
  return SQLITE_OK;
}

// Every method goes to the real file; writes and syncs of the counted files are counted first.
#define FORWARD(method, error)                                              \
  [](sqlite3_file* f, auto... a) {                                          \
    if constexpr (error != 0)                                               \
      if (int rc = ((File*)f)->counted ? Hit(error) : SQLITE_OK) return rc; \
    return File::Real(f)->pMethods->method(File::Real(f), a...);            \
  }

// clang-format off
const sqlite3_io_methods Methods = {
    3, FORWARD(xClose, 0), FORWARD(xRead, 0), FORWARD(xWrite, SQLITE_IOERR_WRITE),
    FORWARD(xTruncate, 0), FORWARD(xSync, SQLITE_IOERR_FSYNC), FORWARD(xFileSize, 0),
    FORWARD(xLock, 0), FORWARD(xUnlock, 0), FORWARD(xCheckReservedLock, 0),
    FORWARD(xFileControl, 0), FORWARD(xSectorSize, 0), FORWARD(xDeviceCharacteristics, 0),
    FORWARD(xShmMap, 0), FORWARD(xShmLock, 0), FORWARD(xShmBarrier, 0), FORWARD(xShmUnmap, 0),
    FORWARD(xFetch, 0), FORWARD(xUnfetch, 0)};
// clang-format on

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  File* f = (File*)file;
  f->base.pMethods = nullptr;
  f->counted = name && (Database == name || Log == name);
  int rc = Real->xOpen(Real, name, File::Real(file), flags, outFlags);
  if (File::Real(file)->pMethods) f->base.pMethods = &Methods;
  return rc;
}

// Becomes SQLite's default file system in this process: store is the database file's real path.
void InstallFaultVfs(const std::string& store, Fault fault, int at) {
  Database = store, Log = store + "-wal", Kind = fault, At = at, Count = 0;
  if (Real) return;
  Real = sqlite3_vfs_find(nullptr);
  Vfs = *Real;
  Vfs.zName = "fault";
  Vfs.szOsFile = (int)sizeof(File) + Real->szOsFile;
  Vfs.xOpen = Open;
  sqlite3_vfs_register(&Vfs, 1);
}

constexpr int Keys = 300;

std::string Data(int i) {
  return std::string(100, (char)('a' + i % 26));
}

// How many of the numbered keys below path hold their value: 0 to Keys, or -1 for a failure.
int CountKeys(const std::string& path) {
  int found = 0;
  for (int i = 0; i < Keys; i++) {
    std::string got = Get(path + "\\k" + std::to_string(i), "v");
    if (got != Data(i) && got != "error 2") return -1;
    found += got == Data(i);
  }
  return found;
}

LONG Fill(const std::string& path) {
  LONG result = RegBeginBatch(true);
  for (int i = 0; i < Keys && result == ERROR_SUCCESS; i++) {
    HKEY key = nullptr;
    result = Make(HKEY_CURRENT_USER, path + "\\k" + std::to_string(i), KEY_ALL_ACCESS, &key);
    if (result == ERROR_SUCCESS) result = Set(key, "v", Data(i));
    RegCloseKey(key);
  }
  return RegEndBatch(result == ERROR_SUCCESS);
}

// The three writers, and whether the store is as each leaves it when it took effect (true) or not
// (Software\Preload, which only the delete takes, stays whole besides).
using Writes = std::function<LONG()>;
const std::tuple<const char*, Writes, std::function<bool(bool done)>> Writers[] = {
    {"import", [] { return Fill("Software\\Import"); },
     [](bool done) { return CountKeys("Software\\Import") == (done ? Keys : 0); }},
    {"delete", [] { return RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Preload"); },
     [](bool done) { return CountKeys("Software\\Preload") == (done ? 0 : Keys); }},
    {"add",
     [] {
       HKEY key = nullptr;
       LONG made = Make(HKEY_CURRENT_USER, "Software\\Added", KEY_ALL_ACCESS, &key);
       return made ? made : Set(key, "v", "x");
     },
     [](bool done) { return Get("Software\\Added", "v") == (done ? "x" : "error 2"); }},
};

// The first line of SQLite's own check of the database file: "ok" when it is whole.
std::string Integrity(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot read";
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  auto first = [](void* to, int, char** row, char**) { return *(std::string*)to = row[0], 1; };
  sqlite3_exec(db, "PRAGMA integrity_check", first, &result, nullptr);
  sqlite3_close(db);
  return result;
}

class CrashTest : public TempStoreTest {
 protected:
  // A store holding Software\Preload, ended cleanly: its file alone holds it.
  void SetUp() override {
    TempStoreTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS, Fill("Software\\Preload"));
    LeaveStore();
  }

  // A new home holding a copy of that store; returns the copy's real path.
  std::string NewHome(const std::string& name) {
    std::string store = UseHome(name) + "/registry.db";
    WriteFile(store, ReadFile(storePath())), chmod(store.c_str(), 0600);
    char real[4096];
    return realpath(store.c_str(), real);
  }

  // Runs the writer with the fault at write or sync `at` (0: none), ending its use of the store
  // as a program's end does. What it tells starts with A once the write is acknowledged, and
  // ends with a space and the writes and syncs made in all.
  Child RunWriter(const Writes& writes, const std::string& store, Fault fault, int at) {
    return RunChild([&](int tell) {
      InstallFaultVfs(store, fault, at);
      if (writes() == ERROR_SUCCESS && write(tell, "A", 1) != 1) _exit(3);
      LeaveStore();
      std::string count = " " + std::to_string(Count);
      if (write(tell, count.data(), count.size()) < 0) _exit(3);
    });
  }
};

// At every write and sync of the store's files by an import, a delete and an add: a kill, an I/O
// error once, a full disk from then on. What was acknowledged is all there, the rest all or
// nothing; a failure inside the transaction is said in one line naming the store; the next program
// never refuses the store, sets nothing aside, can write, and leaves the file alone holding all.
TEST_F(CrashTest, NothingAcknowledgedIsLostAtAnyWriteOrSync) {
  for (const auto& [what, writes, holds] : Writers) {
    Child counted = RunWriter(writes, NewHome(what), Fault::None, 0);
    const int total = atoi(counted.told.c_str() + counted.told.rfind(' ') + 1);
    ASSERT_EQ('A', counted.told[0]) << what << counted.said;
    ASSERT_GT(total, 3) << what;
    for (Fault fault : {Fault::Kill, Fault::IoErrorOnce, Fault::DiskFull}) {
      for (int at = 1; at <= total; at++) {
        std::string name = what + std::to_string((int)fault) + "-" + std::to_string(at);
        SCOPED_TRACE(name);
        std::string store = NewHome(name);
        Child child = RunWriter(writes, store, fault, at);
        bool acknowledged = child.told[0] == 'A';
        if (!acknowledged && fault != Fault::Kill) {
          EXPECT_EQ(1, std::count(child.said.begin(), child.said.end(), '\n')) << child.said;
          EXPECT_NE(std::string::npos, child.said.find(store)) << child.said;
        }
        testing::internal::CaptureStderr();
        EXPECT_TRUE(holds(acknowledged) || (!acknowledged && holds(true)));
        EXPECT_TRUE(std::string(what) == "delete" || CountKeys("Software\\Preload") == Keys);
        EXPECT_EQ(ERROR_SUCCESS, Set(Create("Software\\After"), "v", "y"));
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        LeaveStore();
        EXPECT_EQ(0u, ReadFile(store + "-wal").size());
        EXPECT_EQ("ok", Integrity(store));
        if (HasFailure()) return;
      }
    }
  }
}

// Sixteen programs start at once on a new folder, round after round, each writing several times:
// none fails, says anything or loses a write, and at the end the store file alone holds them all.
TEST_F(CrashTest, FirstWritesRacingOnANewFolderLoseNothing) {
  constexpr int Writers = 16, Rounds = 12, Writes = 4;
  auto name = [](int child, int i) { return "w" + std::to_string(child * 100 + i); };
  for (int round = 0; round < Rounds; round++) {
    SCOPED_TRACE(round);
    std::string home = configHome + "/race" + std::to_string(round);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    int go[2], err[2];
    ASSERT_EQ(0, pipe(go) | pipe(err));
    fflush(nullptr);
    for (int child = 0; child < Writers; child++) {
      if (fork() != 0) continue;
      dup2(err[1], 2);
      close(go[1]);
      if (char byte; read(go[0], &byte, 1) < 0) _exit(3);  // all start as the test closes go
      int failures = 0;
      for (int i = 0; i < Writes; i++) {  // a value of the shared key, and a key of its own
        std::string n = name(child, i);
        failures += (Set(Create("Software\\Race"), n.c_str(), n) != 0) +
                    (Set(Create("Race\\" + n), "v", n) != 0);
      }
      exit(failures + testing::Test::HasFailure());  // as a program ends
    }
    close(go[0]), close(go[1]), close(err[1]);
    EXPECT_EQ("", ReadAll(err[0]));
    for (int status = 0, child = 0; child < Writers; child++) {
      ASSERT_GT(wait(&status), 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(0u, ReadFile(home + "/qsprofile/registry.db-wal").size());
    for (int child = 0; child < Writers; child++)
      for (int i = 0; i < Writes; i++) {
        EXPECT_EQ(name(child, i), Get("Software\\Race", name(child, i).c_str()));
        EXPECT_EQ(name(child, i), Get("Race\\" + name(child, i), "v"));
      }
    EXPECT_EQ((size_t)(Writers * Writes), List(Create("Race")).size());  // and no key more
    if (HasFailure()) return;
  }
}

}  // namespace
