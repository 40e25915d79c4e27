#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "regstore/batch.h"
#include "support/tempstore.h"

namespace {

using namespace std::string_literals;

LONG Open(const char* path, HKEY* key, REGSAM access = KEY_READ) {
  return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, key);
}

// The names in a folder, sorted; none when it cannot be read.
Names Entries(const std::string& dir) {
  Names names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a SQLite database with the given statements; returns its log as it was before closing.
std::string MakeDatabase(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
  std::string log = ReadFile(path + "-wal");
  sqlite3_close(db);
  return log;
}

class RegistryTest : public TempStoreTest {
 protected:
  // Ends this process's use of the store as a program's end does, then copies the log into the
  // file, as a later process does once the log has grown: the file holds it all.
  void EndUse() {
    LeaveStore();
    MakeDatabase(getenv("XDG_CONFIG_HOME") + "/qsprofile/registry.db"s,
                 "PRAGMA wal_checkpoint(TRUNCATE)");
  }
};

// Windows' semantics and error codes: data as set; names compared case-insensitively in ASCII
// only, kept as made and listed in order, also while they change under an enumeration; deletes as
// advapi32 makes them; handles that lost their key, right or hive fail; failing calls leave
// buffers and store alone. (Types, value order and odd names: qsreg's round trip in tests/e2e.)
TEST_F(RegistryTest, CallsKeepWindowsSemanticsAndErrorCodes) {
  HKEY key = nullptr;
  char name[64], buffer[8] = "#";
  DWORD length = sizeof name, size = 0, five = 5, small = 4;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software", &key));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(HKEY_CURRENT_USER, true, 0, name, &length));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
  EXPECT_EQ(Names{}, Entries(configHome));  // reads make no store
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); i++) large[i] = (char)(i * 7);
  key = Create("Software\\Keys");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "large", large, REG_BINARY));
  ASSERT_EQ(ERROR_SUCCESS, Set(key, nullptr, "text\0"s));
  for (const char* path : {"beta", "\xC3\xA4", "Alpha", "\xC3\x84", "Delta\\Deep", "ALPHA"})
    Create(path, key);
  HKEY same = Create("SOFTWARE\\keys"), read = nullptr, setOnly = nullptr;
  EXPECT_EQ(large, Get(same, "LARGE"));
  EXPECT_EQ("text\0"s, Get(same, ""));
  EXPECT_EQ((Names{"Alpha", "beta", "Delta", "\xC3\x84", "\xC3\xA4"}), List(same));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "BETA"));
  EXPECT_EQ(ERROR_SUCCESS, Enum(key, false, 1, name, &length));
  EXPECT_STREQ("Delta", name);
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Keys", &read));
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Keys\\Alpha", &setOnly, KEY_SET_VALUE));
  HKEY doomed = Create("Delta\\Deep", key);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key, "delta"));
  HKEY again = Create("Delta\\Deep", key);  // another key of the same name
  const std::pair<LONG, LONG> cases[] = {
      // what each call must return, and what it returned
      {ERROR_ACCESS_DENIED, Set(read, "v", "new")},
      {ERROR_ACCESS_DENIED, Make(read, "New", KEY_READ)},
      {ERROR_ACCESS_DENIED, RegDeleteTreeA(read, nullptr)},
      {ERROR_ACCESS_DENIED, RegQueryValueExA(setOnly, "v", nullptr, nullptr, nullptr, &size)},
      {ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "Software")},  // it has subkeys
      {ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "")},          // the hive's root
      {ERROR_KEY_DELETED, Set(doomed, "v", "x")},
      {ERROR_KEY_DELETED, Enum(doomed, false, 0, name, &length)},
      {ERROR_KEY_DELETED, Make(doomed, "G", 0)},
      {ERROR_MORE_DATA, Enum(key, false, 0, name, &five)},  // no room for the NUL
      {ERROR_NO_MORE_ITEMS, Enum(key, false, 4, name, &length)},
      {ERROR_MORE_DATA, RegQueryValueExA(key, "", nullptr, nullptr, (LPBYTE)buffer, &small)},
      {ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "no", nullptr, nullptr, (LPBYTE)buffer, &small)},
      {ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "no")},
      {ERROR_SUCCESS, RegCloseKey(doomed)},
      {ERROR_INVALID_HANDLE, RegCloseKey(doomed)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first, c.second) << &c - cases;
  EXPECT_STREQ("#", buffer);
  EXPECT_EQ(5u, small);  // the size the value needs
  EXPECT_EQ(Names{}, List(again));
  EXPECT_EQ((Names{"Alpha", "Delta", "\xC3\x84", "\xC3\xA4"}), List(key));
  // Opening an existing subkey writes nothing, so KEY_READ on the parent is enough.
  EXPECT_EQ(ERROR_SUCCESS, Make(read, "Alpha", KEY_READ));
  // Without a subkey, a tree delete empties the key and keeps it.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key, nullptr));
  EXPECT_EQ(Names{}, List(same));
  EXPECT_EQ(Names{}, List(same, true));
  // The store is found anew on every call: a handle does not reach into another
  // XDG_CONFIG_HOME's hive, and a store removed while in use is gone, not served from memory.
  UseHome("other");
  EXPECT_EQ(ERROR_KEY_DELETED, Set(key, "v", "x"));
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  RemoveTree(storeDir());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software", &read));
  EXPECT_EQ("error 1018", Get(key, nullptr));
}

// Runs body in a child process as the store's owner: another user when the test runs as root,
// who ignores mode bits. Returns what the child wrote to stderr, then what body returned.
std::string RunAsOwner(const std::function<std::string()>& body) {
  Child child = RunChild([&](int tell) {
    if (geteuid() == 0 && (setgroups(0, nullptr) || setgid(65534) || setuid(65534))) _exit(2);
    std::string result = body();
    if (write(tell, result.data(), result.size()) < 0) _exit(3);
    _exit(0);  // without closing the store, as a program that is killed
  });
  EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0);
  return child.said + child.told;
}

// A store its owner cannot write is read, with what its log holds, and every write fails with
// one line naming it; one the owner cannot read fails every call. Neither file is changed.
TEST_F(RegistryTest, ReadOnlyStoresAreReadAndUnreadableOnesFailCleanly) {
  ASSERT_TRUE(geteuid() != 0 || chown(configHome.c_str(), 65534, 65534) == 0);
  // The owner writes and ends without closing the store: what it wrote is still in the log.
  RunAsOwner([] { return std::to_string(Set(Create("Software\\Guarded"), "v", "kept")); });
  ASSERT_GT(ReadFile(storePath() + "-wal").size(), 0u);
  // Each case, whether the last writer has since ended cleanly, and the modes of folder, store,
  // log.
  const std::tuple<const char*, bool, mode_t, mode_t, mode_t> cases[] = {
      {"read-only file and folder", false, 0555, 0444, 0600},
      {"every file read-only", false, 0555, 0444, 0444},
      {"closed, read-only file and folder", true, 0555, 0444, 0600},
      {"unreadable file", true, 0755, 0, 0600},
  };
  for (const auto& [what, closed, folder, store, log] : cases) {
    SCOPED_TRACE(what);
    if (closed)  // the owner reads the store and ends as a program does
      RunAsOwner([] { return exit(Get("Software\\Guarded", "v") == "kept" ? 0 : 1), ""s; });
    std::string before = ReadFile(storePath()), logged = ReadFile(storePath() + "-wal");
    for (const char* file : {"-wal", "-shm"}) chmod((storePath() + file).c_str(), log);
    chmod(storePath().c_str(), store);
    chmod(storeDir().c_str(), folder);
    std::string said = RunAsOwner([] {
      HKEY key = nullptr;
      std::string codes;
      for (LONG code :
           {Open("Software\\Guarded", &key), (LONG)(Get(key, "v") == "kept"),
            Open("Software\\Guarded", &key, KEY_SET_VALUE), Set(HKEY_CURRENT_USER, "v", "x"),
            Make(HKEY_CURRENT_USER, "Sub"), RegDeleteTreeA(HKEY_CURRENT_USER, "Software")})
        codes += std::to_string(code) + " ";
      return codes;
    });
    size_t end = said.find('\n');  // one line naming the store, then the codes
    ASSERT_NE(std::string::npos, end) << said;
    EXPECT_NE(std::string::npos, said.substr(0, end).find(storePath())) << said;
    EXPECT_EQ(store ? "0 1 5 5 5 5 " : "5 0 5 5 5 5 ", said.substr(end + 1));
    chmod(storeDir().c_str(), 0700);
    for (const char* file : {"", "-wal", "-shm"}) chmod((storePath() + file).c_str(), 0600);
    EXPECT_TRUE(ReadFile(storePath()) == before);
    EXPECT_TRUE(ReadFile(storePath() + "-wal") == logged);
  }
}

}  // namespace

// A batch takes effect whole or not at all; a call in it that breaks one of the store's limits
// fails before it writes and leaves the batch's other writes; a read batch refuses writes.
TEST_F(RegistryTest, BatchesTakeEffectWholeOrNotAtAllAndLimitsFailFirst) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Before"), "v", "kept"));
  std::string deep = "Deep";
  for (int level = 2; level < 512; level++) deep += "\\k";
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit);
    ASSERT_EQ(ERROR_SUCCESS, RegBeginBatch(true));
    EXPECT_EQ(ERROR_BUSY, RegBeginBatch(true));                // batches do not nest
    HKEY made = Create("Batch"), bottom = Create(deep, made);  // 512 levels: the most
    EXPECT_EQ(ERROR_SUCCESS, Set(made, "v", "x"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Before"));
    const std::pair<const char*, LONG> limits[] = {
        {"a 513th level", Make(bottom, "more")},
        {"513 levels in one call", Make(made, "New\\" + deep)},
        {"a key name of 256", Make(made, "New\\" + std::string(256, 'n'))},
        {"a value name of 16,384", Set(bottom, std::string(16384, 'v').c_str(), "x")},
    };
    for (auto [what, result] : limits) EXPECT_EQ(ERROR_INVALID_PARAMETER, result) << what;
    EXPECT_EQ(ERROR_SUCCESS, Set(bottom, std::string(16383, 'v').c_str(), "x"));
    EXPECT_EQ(ERROR_SUCCESS, Make(made, std::string(255, 'n')));
    EXPECT_EQ(ERROR_SUCCESS, RegEndBatch(commit));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEndBatch(commit));
    EXPECT_EQ(commit ? (Names{"Batch", "Software"}) : Names{"Software"}, List(HKEY_CURRENT_USER));
    EXPECT_EQ(commit ? (Names{"Deep", std::string(255, 'n')}) : Names{}, List(made));
    EXPECT_EQ(commit ? Names{} : Names{"Before"}, List(Create("Software")));
    // A handle opened in a batch that was taken back never reaches a key made later.
    if (!commit) Create("Other\\Deeper");
    EXPECT_EQ(commit ? "x" : "error 1018", Get(made, "v"));
    RegDeleteTreeA(HKEY_CURRENT_USER, "Other");
  }
  ASSERT_EQ(ERROR_SUCCESS, RegBeginBatch(false));
  HKEY key = Create("Batch");  // opening an existing key writes nothing
  EXPECT_EQ(ERROR_ACCESS_DENIED, Set(key, "w", "y"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeA(HKEY_CURRENT_USER, "Batch"));
  EXPECT_EQ(ERROR_SUCCESS, RegEndBatch(true));
  EXPECT_EQ("error 2", Get(key, "w"));
}

// A damaged, foreign or untrusted store, or anything but a regular file where its log or its
// index belongs, is refused before any write with one line naming the file and saying what is
// wrong or what to fix; nothing is changed, made beside it or waited on. A log that another
// database wrote, or that outlived its store, is set aside and never read into the store; the
// store's own log is applied, also without its index and from a read-only file.
TEST_F(RegistryTest, BadStoresAreRefusedUntouchedAndOnlyTheirOwnLogsApplied) {
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Kept"), "v", "x"));
  for (int i = 0; i < 50; i++) Create("Software\\Filler" + std::to_string(i));
  EndUse();
  const std::string valid = ReadFile(storePath()), other = configHome + "/other";
  ASSERT_GE(valid.size(), 3 * 4096u);
  std::string damaged = valid;  // pages after the first overwritten
  for (size_t i = 4096; i < damaged.size(); i++) damaged[i] = (char)(i * 13);
  // Other databases, one with a log full of frames, one whose log has the store's layout version
  // but not its tables; another store, its log and index after a crash.
  const std::string dbLog =
      MakeDatabase(configHome + "/other.db",
                   "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                   "CREATE TABLE keys(x); INSERT INTO keys VALUES(randomblob(9000));");
  const std::string appLog =
      MakeDatabase(configHome + "/app.db",
                   "PRAGMA journal_mode = WAL; CREATE TABLE t(x); PRAGMA user_version = 2;"
                   "PRAGMA application_id = 7;");
  MakeDatabase(configHome + "/foreign.db", "PRAGMA journal_mode = WAL; CREATE TABLE notes(t);");
  MakeDatabase(configHome + "/newer.db", "CREATE TABLE keys(id); PRAGMA user_version = 7;");
  setenv("XDG_CONFIG_HOME", other.c_str(), 1);
  Set(Create("Software\\Other"), "v", "x");
  EndUse();
  std::string otherStore = ReadFile(other + "/qsprofile/registry.db");
  CrashAfterWrite("Software\\Crashed");
  auto holds = [](std::string bytes) { return [=](auto& store) { WriteFile(store, bytes); }; };
  auto withoutIndex = [](mode_t mode) {  // after a crash, the file and its log copied
    return [mode](const std::string& store) {
      CrashAfterWrite("Software\\Kept");
      std::string file = ReadFile(store), log = ReadFile(store + "-wal");
      EXPECT_GT(log.size(), 0u);
      for (const char* end : {"", "-wal", "-shm"}) unlink((store + end).c_str());
      WriteFile(store, file), WriteFile(store + "-wal", log), chmod(store.c_str(), mode);
    };
  };
  const std::string aside = "set aside", odd = " is not a regular file; move it away",
                    bad = "error 1009|1009 1009", denied = "error 5|5 5";
  // Each case, what a program then finds (if nothing, its writes' codes) and says, and the act.
  using Act = std::function<void(const std::string& store)>;
  const std::tuple<const char*, std::string, std::string, Act> cases[] = {
      // clang-format off
      {"not a database", bad, "file is not a database", holds(std::string(5000, 'x'))},
      {"corrupt", bad, "file is corrupt", holds(damaged)},
      {"cut in a page", bad, "it ends in the middle of a page",
       holds(valid.substr(0, valid.size() - 100))},
      {"cut", bad, "it is shorter than its header says",
       holds(valid.substr(0, valid.size() - 4096))},
      {"foreign", bad, "file is not a registry store", holds(ReadFile(configHome + "/foreign.db"))},
      {"newer", bad, "layout version 7 is newer", holds(ReadFile(configHome + "/newer.db"))},
      {"app", bad, "file is not a registry store", holds(ReadFile(configHome + "/app.db"))},
      {"open folder", denied, "qsprofile is writable by others; run chmod go-w",
       [](auto& store) { chmod(store.substr(0, store.size() - 12).c_str(), 0777); }},
      {"open file", denied, "registry.db is writable by others; run chmod go-w",
       [](auto& store) { chmod(store.c_str(), 0620); }},
      {"symbolic link", denied, "registry.db is a symbolic link", [&](auto& store) {
         WriteFile(store + ".real", valid), unlink(store.c_str());
         symlink("registry.db.real", store.c_str());
       }},
      {"pipe at the log", denied, "registry.db-wal" + odd,
       [](auto& s) { unlink((s + "-wal").c_str()), mkfifo((s + "-wal").c_str(), 0600); }},
      {"pipe at the index", denied, "registry.db-shm" + odd,
       [](auto& s) { unlink((s + "-shm").c_str()), mkfifo((s + "-shm").c_str(), 0600); }},
      {"folder at the index", denied, "registry.db-shm" + odd,
       [](auto& store) { mkdir((store + "-shm").c_str(), 0700); }},
      {"database log", "Mine=x ", aside, [&](auto& store) { WriteFile(store + "-wal", dbLog); }},
      {"log of other tables", "Mine=x ", aside, [&](auto& s) { WriteFile(s + "-wal", appLog); }},
      {"store log and index", "Mine=x ", aside, [&](auto& store) {
         for (auto end : {"-wal", "-shm"})
           WriteFile(store + end, ReadFile(other + "/qsprofile/registry.db" + end));
       }},
      {"replaced after a crash", "Other=x ", aside,
       [&](auto& store) { CrashAfterWrite("Software\\Lost"), WriteFile(store, otherStore); }},
      {"older copy put back after a crash", "Mine=x ", aside, [&](auto& store) {
         std::string older = ReadFile(store);
         Create("Software\\Later"), EndUse();
         CrashAfterWrite("Software\\Lost"), WriteFile(store, older);
       }},
      {"removed after a crash", "error 2|0 0", aside,
       [&](auto& store) { CrashAfterWrite("Software\\Lost"), unlink(store.c_str()); }},
      {"emptied after a crash", "error 2|0 0", aside,
       [&](auto& store) { CrashAfterWrite("Software\\Lost"), WriteFile(store, ""); }},
      {"crash", "Kept=x Mine=x ", "", [&](auto&) { CrashAfterWrite("Software\\Kept"); }},
      {"copy without index", "Kept=x Mine=x ", "", withoutIndex(0600)},
      {"read-only copy", "Kept=x Mine=x ", "", withoutIndex(0400)},
      // clang-format on
  };
  for (const auto& [what, after, says, act] : cases) {
    SCOPED_TRACE(what);
    const std::string dir = UseHome(what), store = dir + "/registry.db";
    Set(Create("Software\\Mine"), "v", "x");
    EndUse();
    act(store);
    const Names before = Entries(dir);
    const std::string contents = ReadFile(store);
    Child child = RunChild([](int tell) {  // a program of its own: what it finds under Software
      HKEY key = nullptr;
      LONG opened = Open("Software", &key);
      std::string found = opened ? "error " + std::to_string(opened) : "";
      for (const std::string& name : List(key))
        found += name + "=" + Get("Software\\" + name, "v") + " ";
      if (opened)  // and the writes
        found += "|" + std::to_string(Set(HKEY_CURRENT_USER, "v", "y")) + " " +
                 std::to_string(RegDeleteTreeA(HKEY_CURRENT_USER, nullptr));
      if (write(tell, found.data(), found.size()) < 0) _exit(3);
    });
    EXPECT_TRUE(WIFEXITED(child.status)) << child.said;
    EXPECT_EQ(after, child.told);
    EXPECT_EQ(says.empty() ? 0 : 1, std::count(child.said.begin(), child.said.end(), '\n'));
    EXPECT_NE(std::string::npos, child.said.find(says)) << child.said;
    if (after != bad && after != denied) continue;
    EXPECT_NE(std::string::npos, child.said.find(dir)) << child.said;
    EXPECT_TRUE(ReadFile(store) == contents) << "changed";
    EXPECT_EQ(before, Entries(dir));
  }
}

// The first write makes the store's folders (0700) and files (0600) private whatever the umask,
// under HOME/.config without XDG_CONFIG_HOME, through a symbolic link on the way; it also removes
// what interrupted writes of processes that are gone left behind.
TEST_F(RegistryTest, TheFirstWriteMakesPrivateFilesAndClearsDebris) {
  const std::string savedHome = getenv("HOME"), link = configHome + "/link";
  ASSERT_FALSE(mkdir((configHome + "/real").c_str(), 0700) || symlink("real", link.c_str()));
  const Names files = {"registry.db", "registry.db-shm", "registry.db-wal"};
  std::string top, dir;
  for (mode_t mask : {0277, 0000}) {
    top = mask ? configHome + "/home" : link + "/config", dir = top + "/.config/qsprofile";
    setenv("XDG_CONFIG_HOME", mask ? "" : (top + "/.config").c_str(), 1);
    setenv("HOME", top.c_str(), 1);
    mode_t old = umask(mask);
    ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Private"), "v", "x"));
    umask(old);
    setenv("HOME", savedHome.c_str(), 1);
    for (std::string folder : {top, top + "/.config", dir})
      EXPECT_EQ(0700u, (unsigned)std::filesystem::status(folder).permissions()) << folder;
    EXPECT_EQ(files, Entries(dir));
    for (const std::string& file : files)
      EXPECT_EQ(0600u, (unsigned)std::filesystem::status(dir + "/" + file).permissions()) << file;
  }
  EndUse();
  for (const std::string& file : files) unlink((dir + "/" + file).c_str());
  const std::string live = "registry.db.new-" + std::to_string(getpid()) + "-abcdef";
  WriteFile(dir + "/registry.db.new-2147483647-abcdef", "");
  WriteFile(dir + "/" + live, "");  // of a process that is still there: this one
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Again"), "v", "x"));
  EXPECT_EQ((Names{files[0], files[1], files[2], live}), Entries(dir));
}
