#include <dirent.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "regstore/batch.h"
#include "support/tempstore.h"

namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

HKEY Create(const char* path, HKEY parent = HKEY_CURRENT_USER, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, disposition))
      << path;
  return key;
}

LONG Open(const char* path, HKEY* key, REGSAM access = KEY_READ) {
  return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, key);
}

LONG Set(HKEY key, const char* name, const std::string& data, DWORD type = REG_SZ) {
  return RegSetValueExA(key, name, 0, type, (const BYTE*)data.data(), (DWORD)data.size());
}

// The value's bytes, or the error code as text.
std::string Get(HKEY key, const char* name, DWORD* type = nullptr) {
  static char data[400000];
  DWORD size = sizeof data;
  LONG result = RegQueryValueExA(key, name, nullptr, type, (LPBYTE)data, &size);
  return result == ERROR_SUCCESS ? std::string(data, size) : "error " + std::to_string(result);
}

LONG Enum(HKEY key, bool values, DWORD index, char* name, DWORD* length) {
  return values ? RegEnumValueA(key, index, name, length, nullptr, nullptr, nullptr, nullptr)
                : RegEnumKeyExA(key, index, name, length, nullptr, nullptr, nullptr, nullptr);
}

// The names of a key's subkeys, or with values true of its values, as enumeration gives them.
Names List(HKEY key, bool values = false) {
  Names names;
  for (DWORD i = 0;; i++) {
    char name[256];
    DWORD length = sizeof name;
    if (Enum(key, values, i, name, &length) != ERROR_SUCCESS) return names;
    names.emplace_back(name, length);
  }
}

Names Entries(const std::string& dir) {
  Names names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* entry = readdir(d))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat Stat(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

// Makes a SQLite database with the given statements.
void MakeDatabase(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
  sqlite3_close(db);
}

class RegistryTest : public TempStoreTest {
 protected:
  // Ends this process's use of the store as the end of a program does: the connection closes,
  // and the last one to close copies the log into the database file.
  void EndUse() {
    std::string saved = getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", (configHome + "/nowhere").c_str(), 1);
    HKEY key = nullptr;
    Open("Software", &key);
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  }
};

TEST_F(RegistryTest, ValuesKeepTheirBytesTypeAndNameAsOnWindows) {
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); i++) large[i] = (char)(i * 7);
  struct {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      // clang-format off
      {"none", REG_NONE, ""}, {"sz", REG_SZ, "text\0"s}, {"multi", REG_MULTI_SZ, "a\0\0"s},
      {"unknown type", 0x12345678, "\x01"}, {"large", REG_BINARY, large}, {"", REG_SZ, "dflt"},
      // clang-format on
  };
  HKEY key = Create("Software\\Types");
  for (const auto& c : cases) ASSERT_EQ(ERROR_SUCCESS, Set(key, c.name, c.data, c.type)) << c.name;
  for (const auto& c : cases) {
    DWORD type = 0;
    EXPECT_EQ(c.data, Get(key, c.name, &type)) << c.name;
    EXPECT_EQ(c.type, type) << c.name;
  }
  EXPECT_EQ("dflt", Get(key, nullptr));  // the default value answers to a null name too
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, ""));
  // A short buffer is left alone and told the size needed; one for a missing value is left too.
  char buffer[8] = "#";
  DWORD size = 4;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "sz", nullptr, nullptr, (LPBYTE)buffer, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(key, "no", nullptr, nullptr, (LPBYTE)buffer, &size));
  EXPECT_STREQ("#", buffer);
  EXPECT_EQ(5u, size);
  // Names compare case-insensitively in ASCII only, and keep the case they were made with.
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "SZ", "two"));
  DWORD disposition = 0;
  HKEY other = Create("SOFTWARE\\types", HKEY_CURRENT_USER, &disposition);
  EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_EQ("two", Get(other, "sZ"));
  EXPECT_EQ("sz", List(other, true)[1]);
  Create("Software\\\xC3\x84");
  Create("Software\\\xC3\xA4");
  EXPECT_EQ((Names{"Types", "\xC3\x84", "\xC3\xA4"}), List(Create("software")));
}

TEST_F(RegistryTest, HandlesWithoutTheRightOrTheirKeyFail) {
  HKEY read = nullptr, setOnly = nullptr, sub = nullptr;
  Create("Software\\Rights\\Existing");
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Rights", &read));
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Rights\\Existing", &setOnly, KEY_SET_VALUE));
  HKEY doomed = Create("Software\\Doomed\\Child");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Doomed"));
  HKEY again = Create("Software\\Doomed\\Child");  // another key of the same name
  char name[64];
  DWORD length = sizeof name, size = 0;
  struct {
    HKEY key;
    LONG result;
  } cases[] = {
      {read, Set(read, "v", "new")},
      {read, RegCreateKeyExA(read, "New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr)},
      {read, RegDeleteTreeA(read, nullptr)},
      {read, RegDeleteKeyA(read, "")},
      {setOnly, RegQueryValueExA(setOnly, "v", nullptr, nullptr, nullptr, &size)},
      {setOnly, Enum(setOnly, true, 0, name, &length)},
      {doomed, RegQueryValueExA(doomed, "v", nullptr, nullptr, nullptr, &size)},
      {doomed, Set(doomed, "v", "x")},
      {doomed, Enum(doomed, false, 0, name, &length)},
      {doomed, RegCreateKeyExA(doomed, "G", 0, nullptr, 0, 0, nullptr, &sub, nullptr)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.key == doomed ? ERROR_KEY_DELETED : ERROR_ACCESS_DENIED, c.result) << &c - cases;
  EXPECT_EQ(Names{}, List(again));
  // Opening an existing subkey writes nothing, so KEY_READ on the parent is enough.
  EXPECT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(read, "Existing", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(doomed));
}

TEST_F(RegistryTest, EnumeratingAndDeleting) {
  HKEY key = Create("Software\\Listing");
  for (const char* name : {"beta", "Alpha", "gamma", "Delta"}) Create(name, key);
  for (const char* name : {"z", "a", "m"}) ASSERT_EQ(ERROR_SUCCESS, Set(key, name, name));
  // Keys in name order, values in creation order, at any index; a name needs room for its
  // terminator; an enumeration goes on correctly when keys change under it.
  EXPECT_EQ((Names{"Alpha", "beta", "Delta", "gamma"}), List(key));
  EXPECT_EQ((Names{"z", "a", "m"}), List(key, true));
  char name[64];
  DWORD length = 5;
  EXPECT_EQ(ERROR_MORE_DATA, Enum(key, false, 0, name, &length));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(key, false, 4, name, &length));
  length = 2;
  EXPECT_EQ(ERROR_SUCCESS, Enum(key, true, 2, name, &length));
  EXPECT_STREQ("m", name);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "BETA"));
  length = sizeof name;
  EXPECT_EQ(ERROR_SUCCESS, Enum(key, false, 1, name, &length));
  EXPECT_STREQ("Delta", name);

  HKEY deep = Create("Delta\\B\\C", key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key, "Delta"));           // it has subkeys
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, ""));  // the hive's root
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key, "Delta"));
  EXPECT_EQ(ERROR_KEY_DELETED, Set(deep, "v", "x"));
  EXPECT_EQ((Names{"Alpha", "gamma"}), List(key));
  // Without a subkey the key stays and loses what it holds.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key, nullptr));
  EXPECT_EQ(Names{}, List(key));
  EXPECT_EQ(Names{}, List(key, true));
  EXPECT_EQ(ERROR_SUCCESS, Set(key, "again", "z"));
}

TEST_F(RegistryTest, ReadsAndFailedDeletesCreateNothing) {
  HKEY key = nullptr;
  char name[64];
  DWORD length = sizeof name, size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software", &key));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(HKEY_CURRENT_USER, false, 0, name, &length));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(HKEY_CURRENT_USER, true, 0, name, &length));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(HKEY_CURRENT_USER, "v"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
  EXPECT_EQ(Names{}, Entries(configHome));
}

TEST_F(RegistryTest, StoreFilesArePrivateWhateverTheUmask) {
  for (mode_t mask : {0000, 0277}) {
    std::string top = configHome + "/mask" + std::to_string(mask), home = top + "/config";
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    mode_t old = umask(mask);
    ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Private"), "v", "x"));
    umask(old);
    for (std::string dir : {top, home, home + "/qsprofile"})
      EXPECT_EQ(0700u, Stat(dir).st_mode & 07777) << dir;
    // The store, and its log and the log's index while it is in use.
    Names files = Entries(home + "/qsprofile");
    EXPECT_EQ((Names{"registry.db", "registry.db-shm", "registry.db-wal"}), files);
    for (const std::string& file : files)
      EXPECT_EQ(0600u, Stat(home + "/qsprofile/" + file).st_mode & 07777) << file << mask;
  }
  // Log files left with another mode (here from a time the store was read-only) get its mode.
  EndUse();
  std::string store = configHome + "/mask0/config/qsprofile/registry.db";
  for (const char* file : {"-wal", "-shm"}) chmod((store + file).c_str(), 0444);
  setenv("XDG_CONFIG_HOME", (configHome + "/mask0/config").c_str(), 1);
  EXPECT_EQ(ERROR_SUCCESS, Set(Create("Software\\Private"), "v", "y"));
  for (const char* file : {"-wal", "-shm"}) EXPECT_EQ(0600u, Stat(store + file).st_mode & 07777);
}

TEST_F(RegistryTest, EachStoreIsFoundAnewOnEveryCall) {
  HKEY key = Create("Software\\First");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "v", "first"));
  // Another XDG_CONFIG_HOME is another hive; a handle into the first is gone there.
  std::string second = configHome + "/second";
  setenv("XDG_CONFIG_HOME", second.c_str(), 1);
  EXPECT_EQ(ERROR_KEY_DELETED, Set(key, "v", "x"));
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\First"), "v", "second"));
  EndUse();
  // Without XDG_CONFIG_HOME the store is under $HOME/.config.
  std::string savedHome = getenv("HOME"), home = configHome + "/home";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", "", 1);
  Create("Software\\InHome");
  setenv("HOME", savedHome.c_str(), 1);
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  EXPECT_EQ(0600u, Stat(home + "/.config/qsprofile/registry.db").st_mode & 07777);
  EXPECT_EQ("first", Get(key, "v"));
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "w", "in the log"));

  // A file that takes the store's place is another hive, even where its keys have the same
  // ids; what the old store's log held stays out of it.
  ASSERT_EQ(0, rename((second + "/qsprofile/registry.db").c_str(), storePath().c_str()));
  EXPECT_EQ("error 1018", Get(key, "v"));
  HKEY first = Create("Software\\First");
  EXPECT_EQ("second", Get(first, "v"));
  EXPECT_EQ("error 2", Get(first, "w"));
  // A store removed while in use is gone, not served from memory; the next write starts anew.
  RemoveTree(storeDir());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software\\First", &key));
  EXPECT_EQ("error 1018", Get(first, "v"));
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Fresh"), "v", "new"));
  EXPECT_EQ(Names{"Fresh"}, List(Create("Software")));
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNothingAndLeaveTheDataInTheStoreFile) {
  const int children = 3, writes = 40;
  int go[2];
  ASSERT_EQ(0, pipe(go));
  fflush(nullptr);
  for (int child = 0; child < children; child++) {
    if (fork() != 0) continue;
    close(go[1]);
    char byte;
    if (read(go[0], &byte, 1) < 0) _exit(3);  // all start together, on a store not made yet
    int failures = 0;
    for (int i = 0; i < writes; i++) {
      std::string name = "c" + std::to_string(child) + "v" + std::to_string(i);
      RegCloseKey(Create(("Shared\\" + name).c_str()));
      failures += Set(Create("Shared"), name.c_str(), name) != ERROR_SUCCESS;
    }
    exit(failures + testing::Test::HasFailure());  // as a program ends
  }
  close(go[0]);
  close(go[1]);
  for (int status = 0, child = 0; child < children; child++) {
    ASSERT_GT(wait(&status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // With every writer gone the log is empty: the database file alone is the whole store.
  EXPECT_EQ(0, Stat(storePath() + "-wal").st_size);
  std::string copy = configHome + "/copy";
  ASSERT_EQ(0, mkdir(copy.c_str(), 0700));
  ASSERT_EQ(0, mkdir((copy + "/qsprofile").c_str(), 0700));
  WriteFile(copy + "/qsprofile/registry.db", ReadFile(storePath()));
  setenv("XDG_CONFIG_HOME", copy.c_str(), 1);
  HKEY shared = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("Shared", &shared));
  EXPECT_EQ((size_t)(children * writes), List(shared).size());
  EXPECT_EQ((size_t)(children * writes), List(shared, true).size());
  for (int child = 0; child < children; child++)
    for (int i = 0; i < writes; i++) {
      std::string name = "c" + std::to_string(child) + "v" + std::to_string(i);
      EXPECT_EQ(name, Get(shared, name.c_str()));
    }
}

TEST_F(RegistryTest, AnOlderStoreIsReadAsItIsAndTakesTheLogOnItsFirstWrite) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Old"), "v", "old"));
  EndUse();
  MakeDatabase(storePath(), "PRAGMA journal_mode = DELETE");  // as an older version kept it
  std::string before = ReadFile(storePath());
  ASSERT_EQ(1, before[18]);  // the file format's write version: 1 is the rollback journal
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Old", &key, KEY_ALL_ACCESS));
  EXPECT_EQ("old", Get(key, "v"));
  EXPECT_TRUE(ReadFile(storePath()) == before);
  EXPECT_EQ(Names{"registry.db"}, Entries(storeDir()));
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "w", "new"));
  EndUse();
  EXPECT_EQ(2, ReadFile(storePath())[18]);
  EXPECT_EQ("old", Get(key, "v"));
  EXPECT_EQ("new", Get(key, "w"));
}

TEST_F(RegistryTest, BrokenStoresAreReportedOnceAndNeverChanged) {
  // A real store whose pages after the first are overwritten.
  setenv("XDG_CONFIG_HOME", (configHome + "/valid").c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Damaged"), "v", "x"));
  EndUse();
  std::string damaged = ReadFile(configHome + "/valid/qsprofile/registry.db");
  ASSERT_GT(damaged.size(), 8192u);
  for (size_t i = 4096; i < damaged.size(); i++) damaged[i] = (char)(i * 13);
  MakeDatabase(configHome + "/foreign.db", "CREATE TABLE notes(text);");
  MakeDatabase(configHome + "/newer.db", "CREATE TABLE keys(id); PRAGMA user_version = 7;");
  struct {
    std::string contents;
    const char* cause;
  } cases[] = {
      {std::string(5000, 'x'), "file is not a database"},
      {damaged, "file is corrupt"},
      {ReadFile(configHome + "/foreign.db"), "file is not a registry store"},
      {ReadFile(configHome + "/newer.db"), "layout version 7 is newer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cause);
    std::string home = configHome + "/" + c.cause, path = home + "/qsprofile/registry.db";
    ASSERT_EQ(0, mkdir(home.c_str(), 0700));
    ASSERT_EQ(0, mkdir((home + "/qsprofile").c_str(), 0700));
    WriteFile(path, c.contents);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    testing::internal::CaptureStderr();
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_BADDB, Open("Software", &key));
    EXPECT_EQ(ERROR_BADDB, Set(HKEY_CURRENT_USER, "v", "x"));
    EXPECT_EQ(ERROR_BADDB, RegDeleteTreeA(HKEY_CURRENT_USER, nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find("registry store " + path + ": " + c.cause)) << err;
    EXPECT_TRUE(ReadFile(path) == c.contents) << "changed";
    // Reading a store in log mode (the damaged one) makes its empty log and index, no more.
    for (const std::string& file : Entries(home + "/qsprofile"))
      EXPECT_TRUE(file == "registry.db" || file == "registry.db-shm" ||
                  (file == "registry.db-wal" && Stat(path + "-wal").st_size == 0))
          << file;
  }
}

// Runs body in a child process as the store's owner, who is another user when the test runs as
// root (which reads and writes through any mode bits). Returns what body and stderr said.
std::pair<std::string, std::string> RunAsOwner(const std::function<std::string()>& body) {
  int out[2], err[2];
  if (pipe(out) || pipe(err)) abort();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    if (geteuid() == 0 && (setgroups(0, nullptr) || setgid(65534) || setuid(65534))) _exit(2);
    std::string result = body();
    if (write(out[1], result.data(), result.size()) < 0) _exit(3);
    _exit(0);  // without closing the store, as a program that is killed
  }
  close(out[1]);
  close(err[1]);
  std::string texts[2];
  for (int i = 0; i < 2; i++) {
    char buffer[4096];
    for (ssize_t n; (n = read(i ? err[0] : out[0], buffer, sizeof buffer)) > 0;)
      texts[i].append(buffer, n);
    close(i ? err[0] : out[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return {texts[0], texts[1]};
}

TEST_F(RegistryTest, ReadOnlyStoresAreReadAndUnreadableOnesFailCleanly) {
  ASSERT_TRUE(geteuid() != 0 || chown(configHome.c_str(), 65534, 65534) == 0);
  // The owner writes and ends without closing the store: what it wrote is still in the log.
  RunAsOwner([] { return std::to_string(Set(Create("Software\\Guarded"), "v", "kept")); });
  ASSERT_GT(Stat(storePath() + "-wal").st_size, 0);
  struct {
    const char* what;
    bool closed;  // the last writer has since ended cleanly
    mode_t folder, store, log;
    const char* codes;
  } cases[] = {
      {"read-only file and folder", false, 0555, 0444, 0600, "0 1 5 5 5 5"},
      {"every file read-only", false, 0555, 0444, 0444, "0 1 5 5 5 5"},
      {"closed, read-only file and folder", true, 0555, 0444, 0600, "0 1 5 5 5 5"},
      {"unreadable file", true, 0755, 0, 0600, "5 0 5 5 5 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.closed) {
      RunAsOwner([]() -> std::string {
        HKEY key = nullptr;
        exit(Open("Software", &key) == ERROR_SUCCESS ? 0 : 1);  // as a program ends
      });
    }
    std::string before = ReadFile(storePath()), log = ReadFile(storePath() + "-wal");
    for (const char* file : {"-wal", "-shm"}) chmod((storePath() + file).c_str(), c.log);
    chmod(storePath().c_str(), c.store);
    chmod(storeDir().c_str(), c.folder);
    auto [codes, err] = RunAsOwner([] {
      HKEY key = nullptr, sub = nullptr;
      std::string codes = std::to_string(Open("Software\\Guarded", &key, KEY_ALL_ACCESS));
      if (!key) key = HKEY_CURRENT_USER;
      codes += " " + std::to_string(Get(key, "v") == "kept");
      codes += " " + std::to_string(Set(key, "v", "x"));
      codes += " " + std::to_string(RegDeleteValueA(key, "v"));
      codes += " " + std::to_string(RegCreateKeyExA(HKEY_CURRENT_USER, "Sub", 0, nullptr, 0,
                                                    KEY_ALL_ACCESS, nullptr, &sub, nullptr));
      return codes + " " + std::to_string(RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
    });
    EXPECT_EQ(c.codes, codes);
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(storePath())) << err;
    chmod(storeDir().c_str(), 0700);
    for (const char* file : {"", "-wal", "-shm"}) chmod((storePath() + file).c_str(), 0600);
    EXPECT_TRUE(ReadFile(storePath()) == before);
    EXPECT_TRUE(ReadFile(storePath() + "-wal") == log);
  }
}

}  // namespace

// A batch takes effect whole or not at all; a call that fails inside it takes back only its own
// writes; a read batch refuses writes.
TEST_F(RegistryTest, BatchesTakeEffectWholeOrNotAtAll) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Before"), "v", "kept"));
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit);
    ASSERT_EQ(ERROR_SUCCESS, RegBeginBatch(true));
    EXPECT_EQ(ERROR_BUSY, RegBeginBatch(true));  // batches do not nest
    HKEY made = Create("Software\\Batch\\Deep");
    EXPECT_EQ(ERROR_SUCCESS, Set(made, "v", "x"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Before"));
    // A failed call inside the batch leaves nothing of its own behind.
    HKEY bad = nullptr;
    EXPECT_EQ(
        ERROR_INVALID_PARAMETER,
        RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Half\\" + std::string(256, 'k')).c_str(), 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Set(made, std::string(16384, 'v').c_str(), "x"));
    EXPECT_EQ(ERROR_SUCCESS, RegEndBatch(commit));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEndBatch(commit));
    HKEY software = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Open("Software", &software));
    EXPECT_EQ(commit ? (Names{"Batch", "Other"}) : Names{"Before"}, List(software));
    // A handle opened in a batch that was taken back never reaches a key made later.
    if (!commit) {
      Create("Software\\Other\\Deeper");
      EXPECT_EQ(ERROR_KEY_DELETED, Set(made, "v", "x"));
    } else {
      EXPECT_EQ("x", Get(made, "v"));
    }
  }
  ASSERT_EQ(ERROR_SUCCESS, RegBeginBatch(false));
  HKEY key = Create("Software\\Batch");  // opening an existing key writes nothing
  EXPECT_EQ(ERROR_ACCESS_DENIED, Set(key, "w", "y"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
  EXPECT_EQ(ERROR_SUCCESS, RegEndBatch(true));
  EXPECT_EQ("error 2", Get(key, "w"));
}

TEST_F(RegistryTest, LimitsAreCheckedBeforeAnythingIsWritten) {
  std::string deep;
  for (int level = 0; level < 512; level++) deep += (level ? "\\k" : "k") + std::to_string(level);
  HKEY bottom = Create(deep.c_str());  // 512 levels is the most a tree may have
  HKEY sub = nullptr;
  struct {
    const char* what;
    LONG result;
  } cases[] = {
      {"a 513th level",
       RegCreateKeyExA(bottom, "more", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)},
      {"513 levels in one call",
       RegCreateKeyExA(HKEY_CURRENT_USER, ("New\\" + deep).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                       nullptr, &sub, nullptr)},
      {"a key name of 256",
       RegCreateKeyExA(HKEY_CURRENT_USER, ("New\\" + std::string(256, 'n')).c_str(), 0, nullptr, 0,
                       KEY_ALL_ACCESS, nullptr, &sub, nullptr)},
      {"a value name of 16,384", Set(bottom, std::string(16384, 'v').c_str(), "x")},
  };
  for (const auto& c : cases) EXPECT_EQ(ERROR_INVALID_PARAMETER, c.result) << c.what;
  EXPECT_EQ(Names{"k0"}, List(HKEY_CURRENT_USER));
  EXPECT_EQ(ERROR_SUCCESS, Set(bottom, std::string(16383, 'v').c_str(), "x"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "k0"));
  EXPECT_EQ(Names{}, List(HKEY_CURRENT_USER));
}

// Files the store cannot trust, or that do not match their own header, are refused with one line
// that says what to fix, before anything is written, and nothing is made beside them.
TEST_F(RegistryTest, UntrustedOrDamagedFilesAreRefusedUntouched) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Kept"), "v", "x"));
  for (int i = 0; i < 50; i++) Create(("Software\\Filler" + std::to_string(i)).c_str());
  EndUse();
  std::string valid = ReadFile(storePath());
  ASSERT_GE(valid.size(), 3 * 4096u);
  MakeDatabase(configHome + "/wal.db", "PRAGMA journal_mode = WAL; CREATE TABLE notes(t);");
  struct {
    const char* cause;
    std::function<void(const std::string& dir)> spoil;
  } cases[] = {
      {"it ends in the middle of a page",
       [&](auto& dir) { WriteFile(dir + "/registry.db", valid.substr(0, valid.size() - 100)); }},
      {"it is shorter than its header says",
       [&](auto& dir) { WriteFile(dir + "/registry.db", valid.substr(0, valid.size() - 4096)); }},
      {"file is not a registry store",
       [&](auto& dir) { WriteFile(dir + "/registry.db", ReadFile(configHome + "/wal.db")); }},
      {"qsprofile is writable by others; run chmod go-w",
       [](auto& dir) { chmod(dir.c_str(), 0777); }},
      {"registry.db is writable by others; run chmod go-w",
       [](auto& dir) { chmod((dir + "/registry.db").c_str(), 0620); }},
      {"registry.db is a symbolic link",
       [&](auto& dir) {
         WriteFile(dir + "/real.db", valid);
         unlink((dir + "/registry.db").c_str());
         symlink("real.db", (dir + "/registry.db").c_str());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cause);
    std::string home = configHome + "/" + std::to_string(&c - cases), dir = home + "/qsprofile";
    ASSERT_EQ(0, mkdir(home.c_str(), 0700));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    WriteFile(dir + "/registry.db", valid);
    chmod((dir + "/registry.db").c_str(), 0600);
    c.spoil(dir);
    Names before = Entries(dir);
    std::string contents = ReadFile(dir + "/registry.db");
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_NE(ERROR_SUCCESS, Set(HKEY_CURRENT_USER, "v", "y"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(c.cause)) << err;
    EXPECT_EQ(before, Entries(dir));
    EXPECT_TRUE(ReadFile(dir + "/registry.db") == contents);
  }
}

// A log beside the store that another database wrote, or that outlived the store it belonged
// to, is set aside and never read into the store.
TEST_F(RegistryTest, ForeignAndStaleLogsAreSetAsideNeverApplied) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Mine"), "v", "mine"));
  EndUse();
  // Another database's log, full of frames, copied beside the store.
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((configHome + "/other.db").c_str(), &other));
  sqlite3_exec(other,
               "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
               "CREATE TABLE keys(x); INSERT INTO keys VALUES(randomblob(9000));",
               nullptr, nullptr, nullptr);
  WriteFile(storePath() + "-wal", ReadFile(configHome + "/other.db-wal"));
  sqlite3_close(other);
  testing::internal::CaptureStderr();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Mine", &key));
  EXPECT_EQ("mine", Get(key, "v"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("set aside"));
  // A writer killed with its writes in the log, then its store removed: a new store does not
  // bring the removed keys back.
  fflush(nullptr);
  if (fork() == 0) _exit(Set(Create("Software\\Removed"), "v", "gone") == ERROR_SUCCESS ? 0 : 1);
  int status = 0;
  wait(&status);
  ASSERT_GT(Stat(storePath() + "-wal").st_size, 0);
  EndUse();
  ASSERT_EQ(0, unlink(storePath().c_str()));
  testing::internal::CaptureStderr();
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\New"), "v", "new"));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Names{"New"}, List(Create("Software")));
}

TEST_F(RegistryTest, SymlinkedFoldersWorkAndInterruptedCreationsLeaveNoDebris) {
  std::string real = configHome + "/real", link = configHome + "/link";
  ASSERT_EQ(0, mkdir(real.c_str(), 0700));
  ASSERT_EQ(0, mkdir((real + "/qsprofile").c_str(), 0700));
  ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
  std::string gone = real + "/qsprofile/registry.db.new-2147483647-abcdef";
  std::string live = real + "/qsprofile/registry.db.new-" + std::to_string(getpid()) + "-abcdef";
  WriteFile(gone, "");
  WriteFile(live, "");
  setenv("XDG_CONFIG_HOME", link.c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Linked"), "v", "x"));
  EXPECT_EQ((Names{"registry.db", "registry.db-shm", "registry.db-wal",
                   "registry.db.new-" + std::to_string(getpid()) + "-abcdef"}),
            Entries(real + "/qsprofile"));
}
