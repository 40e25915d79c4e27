// The store against crashes and failing disks, at every write: a writer killed, or its Nth write
// or sync of the store's files failing, inside its transaction or while the log is copied into
// the database file at its end; two first writes racing on a new folder; a log whose index is
// gone; files in the log's place that are not files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "platform/registry.h"
#include "regstore/batch.h"
#include "support/faultvfs.h"
#include "support/tempstore.h"

namespace {

constexpr int Keys = 300;

HKEY Create(const std::string& path) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
  return result == ERROR_SUCCESS ? key : nullptr;
}

LONG Set(HKEY key, const char* name, const std::string& data) {
  return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)data.data(), (DWORD)data.size());
}

std::string Get(const std::string& path, const char* name) {
  HKEY key = nullptr;
  char data[512];
  DWORD size = sizeof data;
  LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
  if (result == ERROR_SUCCESS)
    result = RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)data, &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::string(data, size) : "error " + std::to_string(result);
}

// How many of the numbered keys below path hold their value: 0 to Keys, or -1 for a failure.
int CountKeys(const std::string& path) {
  int found = 0;
  for (int i = 0; i < Keys; i++) {
    std::string got = Get(path + "\\k" + std::to_string(i), "v");
    if (got == std::string(100, (char)('a' + i % 26)))
      found++;
    else if (got != "error 2")
      return -1;
  }
  return found;
}

LONG Fill(const std::string& path) {
  LONG result = RegBeginBatch(true);
  for (int i = 0; i < Keys && result == ERROR_SUCCESS; i++) {
    HKEY key = Create(path + "\\k" + std::to_string(i));
    result = key ? Set(key, "v", std::string(100, (char)('a' + i % 26))) : ERROR_INVALID_HANDLE;
    RegCloseKey(key);
  }
  return RegEndBatch(result == ERROR_SUCCESS);
}

// The three writers, and the state each leaves when it took effect (true) or not.
struct Writer {
  const char* what;
  std::function<LONG()> write;
  std::function<bool(bool done)> holds;
};

const Writer Writers[] = {
    {"import", [] { return Fill("Software\\Import"); },
     [](bool done) { return CountKeys("Software\\Import") == (done ? Keys : 0); }},
    {"delete", [] { return RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Preload"); },
     [](bool done) { return CountKeys("Software\\Preload") == (done ? 0 : Keys); }},
    {"add",
     [] {
       HKEY key = Create("Software\\Added");
       return key ? Set(key, "v", "x") : 1;
     },
     [](bool done) { return Get("Software\\Added", "v") == (done ? "x" : "error 2"); }},
};

std::string Integrity(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    result = sqlite3_step(stmt) == SQLITE_ROW ? (const char*)sqlite3_column_text(stmt, 0) : "?";
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

class CrashTest : public TempStoreTest {
 protected:
  // A store holding Software\Preload, ended cleanly: its file alone holds it.
  void SetUp() override {
    TempStoreTest::SetUp();
    template_ = configHome + "/template.db";
    ASSERT_EQ(ERROR_SUCCESS, Fill("Software\\Preload"));
    Leave();
    WriteFile(template_, ReadFile(storePath()));
  }

  // Ends this process's use of the current store, as a program's end does.
  void Leave() {
    setenv("XDG_CONFIG_HOME", (configHome + "/nowhere").c_str(), 1);
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key);
  }

  // A new home holding a copy of the template store; returns the store's real path.
  std::string NewHome(const std::string& name) {
    std::string home = configHome + "/" + name, dir = home + "/qsprofile";
    mkdir(home.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    WriteFile(dir + "/registry.db", ReadFile(template_));
    chmod((dir + "/registry.db").c_str(), 0600);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    char real[4096];
    return std::string(realpath(dir.c_str(), real)) + "/registry.db";
  }

  // Runs the writer in a child process with the fault at write or sync `at` (0: none), and ends
  // its use of the store as a program's end does. *acknowledged says whether the write returned
  // success, *count how many writes and syncs the child made, and *said what it wrote to stderr.
  void RunChild(const Writer& writer, const std::string& store, Fault fault, int at,
                bool* acknowledged, int* count, std::string* said) {
    int ack[2], err[2];
    ASSERT_EQ(0, pipe(ack));
    ASSERT_EQ(0, pipe(err));
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(err[1], 2);
      InstallFaultVfs(store, fault, at);
      if (writer.write() == ERROR_SUCCESS && write(ack[1], "A", 1) != 1) _exit(3);
      // The store's close at a program's end, here before the count is told.
      Leave();
      int n = FaultVfsCount();
      _exit(write(ack[1], &n, sizeof n) == sizeof n ? 0 : 3);
    }
    close(ack[1]);
    close(err[1]);
    char buffer[4096];
    ssize_t got = read(ack[0], buffer, sizeof buffer);
    *acknowledged = got > 0 && buffer[0] == 'A';
    if (got > 0 && *acknowledged) got--, memmove(buffer, buffer + 1, (size_t)got);
    if (got < (ssize_t)sizeof(int)) got += std::max<ssize_t>(0, read(ack[0], buffer + got, 16));
    *count = got >= (ssize_t)sizeof(int) ? *(int*)buffer : -1;
    said->clear();
    while ((got = read(err[0], buffer, sizeof buffer)) > 0) said->append(buffer, (size_t)got);
    close(ack[0]);
    close(err[0]);
    waitpid(pid, nullptr, 0);
  }

  std::string template_;
};

// At every write and sync of the store's files by an import, a delete and an add: a kill, an
// I/O error once, and a full disk from then on. What was acknowledged is all there; what was not
// is all there or not at all; a failure inside the transaction is said in one line naming the
// store; the next program never refuses the store, sets nothing aside, can write to it, and
// leaves its file alone holding everything and whole.
TEST_F(CrashTest, NothingAcknowledgedIsLostAtAnyWriteOrSync) {
  for (const Writer& writer : Writers) {
    bool acknowledged = false;
    int total = 0;
    std::string said;
    RunChild(writer, NewHome(std::string(writer.what) + "-count"), Fault::None, 0, &acknowledged,
             &total, &said);
    ASSERT_TRUE(acknowledged) << writer.what << said;
    ASSERT_GT(total, 3) << writer.what;
    for (Fault fault : {Fault::Kill, Fault::IoErrorOnce, Fault::DiskFull}) {
      for (int at = 1; at <= total; at++) {
        SCOPED_TRACE(std::string(writer.what) + " fault " + std::to_string((int)fault) + " at " +
                     std::to_string(at) + " of " + std::to_string(total));
        std::string name =
            std::string(writer.what) + std::to_string((int)fault) + "-" + std::to_string(at);
        std::string store = NewHome(name);
        int count = 0;
        RunChild(writer, store, fault, at, &acknowledged, &count, &said);
        if (!acknowledged && fault != Fault::Kill) {
          EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
          EXPECT_NE(std::string::npos, said.find(store)) << said;
        }
        testing::internal::CaptureStderr();
        bool holds = writer.holds(acknowledged) || (!acknowledged && writer.holds(true));
        EXPECT_TRUE(holds);
        if (writer.what[0] != 'd') {
          EXPECT_EQ(Keys, CountKeys("Software\\Preload"));
        }
        HKEY after = Create("Software\\After");
        EXPECT_EQ(ERROR_SUCCESS, Set(after, "v", "y"));
        RegCloseKey(after);
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        Leave();
        EXPECT_EQ(0, (int)ReadFile(store + "-wal").size());
        EXPECT_EQ("ok", Integrity(store));
        if (HasFailure()) return;
      }
    }
  }
}

// Sixteen programs making their first write at once on a new folder, round after round: none
// fails or says anything, none loses its write, and once all have ended the store file alone
// holds every write.
TEST_F(CrashTest, FirstWritesRacingOnANewFolderLoseNothing) {
  constexpr int Writers = 16, Rounds = 12;
  for (int round = 0; round < Rounds; round++) {
    SCOPED_TRACE(round);
    std::string home = configHome + "/race" + std::to_string(round);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    int go[2], err[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(err));
    fflush(nullptr);
    for (int child = 0; child < Writers; child++) {
      if (fork() != 0) continue;
      dup2(err[1], 2);
      close(go[1]);
      char byte;
      if (read(go[0], &byte, 1) < 0) _exit(3);  // all start when the test closes the pipe
      HKEY key = nullptr;
      LONG made = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
      LONG set = made ? made : Set(key, ("w" + std::to_string(child)).c_str(), "x");
      exit(set == ERROR_SUCCESS ? 0 : 1);
    }
    close(go[0]);
    close(go[1]);
    close(err[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;) said.append(buffer, got);
    close(err[0]);
    for (int status = 0, child = 0; child < Writers; child++) {
      ASSERT_GT(wait(&status), 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ("", said);
    std::string store = home + "/qsprofile/registry.db";
    EXPECT_EQ(0u, ReadFile(store + "-wal").size());
    for (int child = 0; child < Writers; child++)
      EXPECT_EQ("x", Get("Software\\Race", ("w" + std::to_string(child)).c_str())) << child;
    if (HasFailure()) return;
  }
}

// A program killed after its write leaves the write in the log alone. The store file and its log,
// copied elsewhere without the index, open with the write, and so does such a copy made
// read-only; anything but a regular file where the log or its index belongs is refused at once
// with one line, and never waited on.
TEST_F(CrashTest, ALogWithoutItsIndexIsAppliedAndOddFilesAreRefused) {
  std::string crashed = NewHome("crashed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    HKEY key = Create("Software\\Crashed");
    if (key && Set(key, "v", "kept") == ERROR_SUCCESS) kill(getpid(), SIGKILL);
    _exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_GT(ReadFile(crashed + "-wal").size(), 0u);
  const struct {
    const char* what;
    mode_t mode;
    const char* value;
    std::function<void(const std::string& store)> spoil;
    const char* said;
  } cases[] = {
      {"copy without index", 0600, "kept", nullptr, ""},
      {"read-only copy", 0400, "kept", nullptr, ""},
      {"pipe at the log", 0600, "error 5",
       [](auto& store) {
         unlink((store + "-wal").c_str()), mkfifo((store + "-wal").c_str(), 0600);
       },
       "registry.db-wal is not a regular file; move it away"},
      {"pipe at the index", 0600, "error 5",
       [](auto& store) { mkfifo((store + "-shm").c_str(), 0600); },
       "registry.db-shm is not a regular file; move it away"},
      {"folder at the index", 0600, "error 5",
       [](auto& store) { mkdir((store + "-shm").c_str(), 0700); },
       "registry.db-shm is not a regular file; move it away"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string store = NewHome(c.what);
    WriteFile(store, ReadFile(crashed));
    WriteFile(store + "-wal", ReadFile(crashed + "-wal"));
    chmod(store.c_str(), c.mode);
    if (c.spoil) c.spoil(store);
    // In a child that an alarm ends, should anything wait on a pipe.
    int err[2];
    ASSERT_EQ(0, pipe(err));
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(err[1], 2);
      alarm(20);
      std::string got = Get("Software\\Crashed", "v");
      _exit(got == c.value ? 0 : (fprintf(stderr, "got %s\n", got.c_str()), 1));
    }
    close(err[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;) said.append(buffer, got);
    close(err[0]);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_EQ(*c.said ? 1 : 0, std::count(said.begin(), said.end(), '\n')) << said;
    EXPECT_NE(std::string::npos, said.find(c.said)) << said;
  }
}

}  // namespace
