#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/tempstore.h"

namespace {

using namespace std::string_literals;

class RegistryTest : public TempStoreTest {
 protected:
  void TearDown() override {
    for (HKEY key : opened_) RegCloseKey(key);
    TempStoreTest::TearDown();
  }

  HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, access,
                                             nullptr, &key, nullptr))
        << path;
    opened_.push_back(key);
    return key;
  }

  LONG Open(const char* path, REGSAM access, HKEY* key) {
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, key);
    if (result == ERROR_SUCCESS) opened_.push_back(*key);
    return result;
  }

  static LONG Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(key, name, 0, type, (const BYTE*)data.data(), (DWORD)data.size());
  }

  // The value's bytes, or the error code as text.
  static std::string Get(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
    std::string data(size, '\0');
    result = RegQueryValueExA(key, name, nullptr, type, (LPBYTE)data.data(), &size);
    if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
    return data.substr(0, size);
  }

  // The names of a key's subkeys, or with values true of its values, as enumeration gives them.
  static std::vector<std::string> Names(HKEY key, bool values = false) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; i++) {
      DWORD length = sizeof name;
      if ((values ? RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
                  : RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)) !=
          ERROR_SUCCESS)
        return names;
      names.emplace_back(name, length);
    }
  }

  static std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (struct dirent* entry = readdir(d))
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
          names.push_back(entry->d_name);
      closedir(d);
    }
    return names;
  }

  static mode_t Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  std::vector<HKEY> opened_;
};

TEST_F(RegistryTest, NamesCompareCaseInsensitivelyAndKeepTheirCase) {
  HKEY key = Create("Software\\MixedCase");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "ValueName", REG_SZ, "one\0"s));
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "VALUENAME", REG_SZ, "two\0"s));

  HKEY other = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\mixedcase", 0, nullptr, 0,
                                           KEY_READ, nullptr, &other, &disposition));
  opened_.push_back(other);
  EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_EQ("two\0"s, Get(other, "valuename"));
  EXPECT_EQ(std::vector<std::string>{"ValueName"}, Names(other, true));
  HKEY software = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("software", KEY_READ, &software));
  EXPECT_EQ(std::vector<std::string>{"MixedCase"}, Names(software));

  // Only ASCII folds: these are two keys.
  Create("Software\\\xC3\x84");
  Create("Software\\\xC3\xA4");
  EXPECT_EQ(3u, Names(software).size());
}

TEST_F(RegistryTest, QueryValueSizesAndMissingItemsAsOnWindows) {
  HKEY key = Create("Software\\Sizes");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "name", REG_SZ, "hello\0"s));
  struct {
    const char* what;
    const char* name;
    bool withData;
    DWORD bufferSize;
    bool withSize;
    LONG expected;
    DWORD expectedSize;
  } cases[] = {
      {"size only", "name", false, 0, true, ERROR_SUCCESS, 6},
      {"exact buffer", "name", true, 6, true, ERROR_SUCCESS, 6},
      {"larger buffer", "name", true, 100, true, ERROR_SUCCESS, 6},
      {"short buffer", "name", true, 5, true, ERROR_MORE_DATA, 6},
      {"empty buffer", "name", true, 0, true, ERROR_MORE_DATA, 6},
      {"existence only", "name", false, 0, false, ERROR_SUCCESS, 0},
      {"missing value", "other", true, 100, true, ERROR_FILE_NOT_FOUND, 100},
      {"data without size", "name", true, 0, false, ERROR_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    char buffer[100];
    memset(buffer, '#', sizeof buffer);
    DWORD size = c.bufferSize, type = 99;
    EXPECT_EQ(c.expected,
              RegQueryValueExA(key, c.name, nullptr, &type, c.withData ? (LPBYTE)buffer : nullptr,
                               c.withSize ? &size : nullptr))
        << c.what;
    if (c.withSize) {
      EXPECT_EQ(c.expectedSize, size) << c.what;
    }
    if (c.expected == ERROR_SUCCESS && c.withData) {
      EXPECT_STREQ("hello", buffer) << c.what;
    }
    if (c.expected == ERROR_MORE_DATA) {
      EXPECT_EQ('#', buffer[0]) << c.what;  // the buffer is left alone
    }
    if (c.expected == ERROR_SUCCESS || c.expected == ERROR_MORE_DATA) {
      EXPECT_EQ((DWORD)REG_SZ, type) << c.what;
    }
  }
  DWORD reserved = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key, "name", &reserved, nullptr, nullptr, nullptr));
  HKEY missing = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software\\Sizes\\Missing", KEY_READ, &missing));
  EXPECT_EQ(nullptr, missing);
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA((HKEY)(uintptr_t)0x1234567, "name", nullptr,
                                                   nullptr, nullptr, nullptr));
}

TEST_F(RegistryTest, ValuesKeepTheirExactBytesAndType) {
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); i++) large[i] = (char)(i * 7);
  struct {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"none", REG_NONE, ""},
      {"sz", REG_SZ, "text\0"s},
      {"sz without terminator", REG_SZ, "text"s},
      {"expand", REG_EXPAND_SZ, "%HOME%\\x\0"s},
      {"binary", REG_BINARY, "\x00\xff\x00\x80"s},
      {"empty binary", REG_BINARY, ""},
      {"dword", REG_DWORD, "\x2a\x00\x00\x00"s},
      {"qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
      {"multi", REG_MULTI_SZ, "a\0bc\0\0"s},
      {"unknown type", 0x12345678, "\x01"s},
      {"large", REG_BINARY, large},
      {"", REG_SZ, "default\0"s},
  };
  HKEY key = Create("Software\\Types");
  for (const auto& c : cases) ASSERT_EQ(ERROR_SUCCESS, Set(key, c.name, c.type, c.data)) << c.name;
  for (const auto& c : cases) {
    DWORD type = 0;
    EXPECT_EQ(c.data, Get(key, c.name, &type)) << c.name;
    EXPECT_EQ(c.type, type) << c.name;
  }
  // The default value answers to a null name as well as to "".
  EXPECT_EQ("default\0"s, Get(key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, nullptr));
  EXPECT_EQ("error 2", Get(key, ""));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, ""));
}

TEST_F(RegistryTest, HandlesAllowOnlyTheRightsTheyWereOpenedWith) {
  HKEY writable = Create("Software\\Rights\\Existing");
  ASSERT_EQ(ERROR_SUCCESS, Set(writable, "v", REG_SZ, "kept\0"s));
  HKEY read = nullptr, setOnly = nullptr, sub = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Rights", KEY_READ, &read));
  ASSERT_EQ(ERROR_SUCCESS, Open("Software\\Rights\\Existing", KEY_SET_VALUE, &setOnly));
  char name[64];
  DWORD length = sizeof name, size = 0;
  struct {
    const char* what;
    LONG result;
  } cases[] = {
      {"set through KEY_READ", Set(read, "v", REG_SZ, "new\0"s)},
      {"delete value through KEY_READ", RegDeleteValueA(read, "v")},
      {"create a new subkey through KEY_READ",
       RegCreateKeyExA(read, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)},
      {"empty the key through KEY_READ", RegDeleteTreeA(read, nullptr)},
      {"delete the key itself through KEY_READ", RegDeleteKeyA(read, "")},
      {"query through KEY_SET_VALUE",
       RegQueryValueExA(setOnly, "v", nullptr, nullptr, nullptr, &size)},
      {"enumerate values through KEY_SET_VALUE",
       RegEnumValueA(setOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
      {"enumerate keys through KEY_SET_VALUE",
       RegEnumKeyExA(setOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
  };
  for (const auto& c : cases) EXPECT_EQ(ERROR_ACCESS_DENIED, c.result) << c.what;
  EXPECT_EQ("kept\0"s, Get(writable, "v"));
  EXPECT_EQ(std::vector<std::string>{"Existing"}, Names(read));

  // Opening an existing subkey writes nothing, so KEY_READ on the parent is enough.
  EXPECT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(read, "Existing", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
  RegCloseKey(sub);
  EXPECT_EQ(ERROR_SUCCESS, Set(setOnly, "v", REG_SZ, "set\0"s));
  EXPECT_EQ("set\0"s, Get(writable, "v"));
}

TEST_F(RegistryTest, HandlesToDeletedKeysReportKeyDeleted) {
  HKEY doomed = Create("Software\\Doomed\\Child");
  ASSERT_EQ(ERROR_SUCCESS, Set(doomed, "v", REG_DWORD, "\1\0\0\0"s));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Doomed"));
  // A key of the same name made again is another key.
  HKEY again = Create("Software\\Doomed\\Child");
  char name[64];
  DWORD length = sizeof name, size = 0;
  HKEY sub = nullptr;
  struct {
    const char* what;
    LONG result;
  } cases[] = {
      {"query", RegQueryValueExA(doomed, "v", nullptr, nullptr, nullptr, &size)},
      {"set", Set(doomed, "v", REG_SZ, "x\0"s)},
      {"delete value", RegDeleteValueA(doomed, "v")},
      {"enumerate keys",
       RegEnumKeyExA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
      {"enumerate values",
       RegEnumValueA(doomed, 0, name, &length, nullptr, nullptr, nullptr, nullptr)},
      {"open below", RegOpenKeyExA(doomed, "", 0, KEY_READ, &sub)},
      {"create below", RegCreateKeyExA(doomed, "Grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       &sub, nullptr)},
  };
  for (const auto& c : cases) EXPECT_EQ(ERROR_KEY_DELETED, c.result) << c.what;
  EXPECT_EQ(std::vector<std::string>{}, Names(again));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(doomed));
  opened_.erase(std::find(opened_.begin(), opened_.end(), doomed));
}

TEST_F(RegistryTest, EnumerationOrdersKeysByNameAndValuesByCreation) {
  HKEY key = Create("Software\\Listing");
  for (const char* name : {"beta", "Alpha", "gamma", "Delta"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    RegCloseKey(sub);
  }
  for (const char* name : {"z", "a", "m"})
    ASSERT_EQ(ERROR_SUCCESS, Set(key, name, REG_SZ, std::string(name, 2)));
  EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "Delta", "gamma"}), Names(key));
  EXPECT_EQ((std::vector<std::string>{"z", "a", "m"}), Names(key, true));

  // Any index in any order; a name needs room for its terminator.
  struct {
    bool values;
    DWORD index, room;
    LONG expected;
    const char* name;
  } cases[] = {
      {false, 2, 64, ERROR_SUCCESS, "Delta"},  {false, 0, 64, ERROR_SUCCESS, "Alpha"},
      {false, 4, 64, ERROR_NO_MORE_ITEMS, ""}, {false, 0, 5, ERROR_MORE_DATA, ""},
      {true, 2, 64, ERROR_SUCCESS, "m"},       {true, 3, 64, ERROR_NO_MORE_ITEMS, ""},
      {true, 0, 1, ERROR_MORE_DATA, ""},
  };
  char name[64];
  for (const auto& c : cases) {
    DWORD length = c.room;
    name[0] = '\0';
    EXPECT_EQ(c.expected,
              c.values
                  ? RegEnumValueA(key, c.index, name, &length, nullptr, nullptr, nullptr, nullptr)
                  : RegEnumKeyExA(key, c.index, name, &length, nullptr, nullptr, nullptr, nullptr))
        << c.values << c.index;
    EXPECT_STREQ(c.name, name);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_EQ(strlen(c.name), length);
    }
  }
  DWORD length = sizeof name, size = 1, type = 0;
  BYTE data[8];
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 1, name, &length, nullptr, &type, data, &size));
  EXPECT_EQ(2u, size);
  EXPECT_EQ((DWORD)REG_SZ, type);

  // An enumeration goes on correctly when keys change under it.
  length = sizeof name;
  ASSERT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "beta"));
  length = sizeof name;
  ASSERT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("Delta", name);
}

TEST_F(RegistryTest, DeletingKeysAndTrees) {
  HKEY tree = Create("Tree\\A\\B\\C");
  ASSERT_EQ(ERROR_SUCCESS, Set(tree, "deep", REG_SZ, "x\0"s));
  HKEY sibling = Create("Tree\\A2");
  HKEY elsewhere = Create("Other\\A\\B");
  HKEY top = Create("Tree");
  ASSERT_EQ(ERROR_SUCCESS, Set(top, "kept", REG_SZ, "y\0"s));

  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "Tree\\A"));  // has subkeys
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_CURRENT_USER, "Tree\\Missing"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, ""));  // the hive's root
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "tree\\a\\b\\c"));
  EXPECT_EQ(ERROR_KEY_DELETED, Set(tree, "deep", REG_SZ, "x\0"s));

  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Tree\\A"));
  EXPECT_EQ(std::vector<std::string>{"A2"}, Names(top));
  EXPECT_EQ(ERROR_SUCCESS, Set(sibling, "v", REG_SZ, "z\0"s));
  EXPECT_EQ(ERROR_SUCCESS, Set(elsewhere, "v", REG_SZ, "z\0"s));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(HKEY_CURRENT_USER, "Tree\\A"));

  // Without a subkey the key stays and loses what it holds.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(top, nullptr));
  EXPECT_EQ(std::vector<std::string>{}, Names(top));
  EXPECT_EQ(std::vector<std::string>{}, Names(top, true));
  EXPECT_EQ(ERROR_KEY_DELETED, Set(sibling, "v", REG_SZ, "z\0"s));
  EXPECT_EQ(ERROR_SUCCESS, Set(top, "again", REG_SZ, "z\0"s));
}

TEST_F(RegistryTest, ReadsAndFailedDeletesCreateNothing) {
  HKEY key = nullptr;
  char name[64];
  DWORD length = sizeof name, size = 0;
  struct {
    const char* what;
    LONG result, expected;
  } cases[] = {
      {"open", RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key),
       ERROR_FILE_NOT_FOUND},
      {"query", RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size),
       ERROR_FILE_NOT_FOUND},
      {"enumerate keys",
       RegEnumKeyExA(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
       ERROR_NO_MORE_ITEMS},
      {"enumerate values",
       RegEnumValueA(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
       ERROR_NO_MORE_ITEMS},
      {"delete value", RegDeleteValueA(HKEY_CURRENT_USER, "v"), ERROR_FILE_NOT_FOUND},
      {"delete key", RegDeleteKeyA(HKEY_CURRENT_USER, "Software"), ERROR_FILE_NOT_FOUND},
      {"delete tree", RegDeleteTreeA(HKEY_CURRENT_USER, "Software"), ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.result) << c.what;
  // Opening the root itself needs no store either.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "", 0, nullptr, 0, KEY_READ, nullptr,
                                           &key, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(std::vector<std::string>{}, Entries(configHome));
}

TEST_F(RegistryTest, StoreIsPrivateWhateverTheUmask) {
  for (mode_t mask : {0000, 0277}) {
    std::string home = configHome + "/mask" + std::to_string(mask) + "/config";
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    mode_t old = umask(mask);
    Create("Software\\Private");
    umask(old);
    EXPECT_EQ(0700u, Mode(configHome + "/mask" + std::to_string(mask))) << mask;
    EXPECT_EQ(0700u, Mode(home)) << mask;
    EXPECT_EQ(0700u, Mode(home + "/qsprofile")) << mask;
    EXPECT_EQ(0600u, Mode(home + "/qsprofile/registry.db")) << mask;
  }
}

TEST_F(RegistryTest, EachStoreIsFoundAnewOnEveryCall) {
  HKEY key = Create("Software\\First");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "v", REG_SZ, "first\0"s));

  // Another XDG_CONFIG_HOME is another hive; a handle into the first is gone there.
  std::string second = configHome + "/second";
  setenv("XDG_CONFIG_HOME", second.c_str(), 1);
  EXPECT_EQ(ERROR_KEY_DELETED, Set(key, "v", REG_SZ, "x\0"s));
  HKEY other = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software\\First", KEY_READ, &other));
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  EXPECT_EQ("first\0"s, Get(key, "v"));

  // Without XDG_CONFIG_HOME the store is under $HOME/.config.
  std::string savedHome = getenv("HOME");
  std::string home = configHome + "/home";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", "", 1);
  Create("Software\\InHome");
  setenv("HOME", savedHome.c_str(), 1);
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  EXPECT_EQ(0600u, Mode(home + "/.config/qsprofile/registry.db"));

  // A file that takes the store's place is another hive, even where its keys have the same ids.
  setenv("XDG_CONFIG_HOME", second.c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\First"), "v", REG_SZ, "second\0"s));
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  ASSERT_EQ(0, rename((second + "/qsprofile/registry.db").c_str(), storePath().c_str()));
  EXPECT_EQ("error 1018", Get(key, "v"));
  EXPECT_EQ("second\0"s, Get(Create("Software\\First"), "v"));

  // A store removed while in use is gone, not served from memory; the next write starts anew.
  RemoveTree(storeDir());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Software\\First", KEY_READ, &other));
  EXPECT_EQ("error 1018", Get(key, "v"));
  HKEY fresh = Create("Software\\Fresh");
  EXPECT_EQ(ERROR_SUCCESS, Set(fresh, "v", REG_SZ, "new\0"s));
  EXPECT_EQ(std::vector<std::string>{"Fresh"}, Names(Create("Software")));
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNoWrites) {
  const int children = 3, writes = 40;
  int go[2];
  ASSERT_EQ(0, pipe(go));
  std::vector<pid_t> pids;
  for (int child = 0; child < children; child++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char byte;
      if (read(go[0], &byte, 1) < 0) _exit(3);  // all start together, on a store not made yet
      int failures = 0;
      for (int i = 0; i < writes; i++) {
        HKEY key = nullptr;
        std::string sub = "Shared\\c" + std::to_string(child) + "k" + std::to_string(i);
        failures += RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS;
        RegCloseKey(key);
        failures += RegCreateKeyExA(HKEY_CURRENT_USER, "Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS;
        std::string name = "c" + std::to_string(child) + "v" + std::to_string(i);
        failures += Set(key, name.c_str(), REG_SZ, name) != ERROR_SUCCESS;
        RegCloseKey(key);
      }
      _exit(failures ? 1 : 0);
    }
    pids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY shared = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("Shared", KEY_READ, &shared));
  EXPECT_EQ((size_t)(children * writes), Names(shared).size());
  EXPECT_EQ((size_t)(children * writes), Names(shared, true).size());
  for (int child = 0; child < children; child++)
    for (int i = 0; i < writes; i++) {
      std::string name = "c" + std::to_string(child) + "v" + std::to_string(i);
      EXPECT_EQ(name, Get(shared, name.c_str()));
    }
}

// The bytes of a SQLite database made with the given statements.
std::string MakeDatabase(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
  sqlite3_close(db);
  return ReadFile(path);
}

TEST_F(RegistryTest, BrokenStoresAreReportedOnceAndNeverChanged) {
  // A real store whose pages after the first are overwritten.
  setenv("XDG_CONFIG_HOME", (configHome + "/valid").c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, Set(Create("Software\\Damaged"), "v", REG_SZ, "x\0"s));
  std::string damaged = ReadFile(configHome + "/valid/qsprofile/registry.db");
  ASSERT_GT(damaged.size(), 8192u);
  for (size_t i = 4096; i < damaged.size(); i++) damaged[i] = (char)(i * 13);

  struct {
    const char* what;
    std::string contents;
    const char* cause;
  } cases[] = {
      {"text", std::string(5000, 'x'), "file is not a database"},
      {"damaged pages", damaged, "file is corrupt"},
      {"foreign database", MakeDatabase(configHome + "/foreign.db", "CREATE TABLE notes(text);"),
       "file is not a registry store"},
      {"newer layout",
       MakeDatabase(configHome + "/newer.db", "CREATE TABLE keys(id); PRAGMA user_version = 7;"),
       "layout version 7 is newer"},
  };
  int index = 0;
  for (const auto& c : cases) {
    std::string home = configHome + "/case" + std::to_string(index++);
    std::string path = home + "/qsprofile/registry.db";
    ASSERT_EQ(0, mkdir(home.c_str(), 0700));
    ASSERT_EQ(0, mkdir((home + "/qsprofile").c_str(), 0700));
    WriteFile(path, c.contents);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);

    testing::internal::CaptureStderr();
    HKEY key = nullptr;
    DWORD size = 0;
    EXPECT_EQ(ERROR_BADDB, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key))
        << c.what;
    EXPECT_EQ(ERROR_BADDB,
              RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size))
        << c.what;
    EXPECT_EQ(ERROR_BADDB, RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr))
        << c.what;
    EXPECT_EQ(ERROR_BADDB, Set(HKEY_CURRENT_USER, "v", REG_SZ, "x\0"s)) << c.what;
    EXPECT_EQ(ERROR_BADDB, RegDeleteTreeA(HKEY_CURRENT_USER, nullptr)) << c.what;
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << c.what << ": " << err;
    EXPECT_NE(std::string::npos, err.find("registry store " + path + ": " + c.cause)) << err;
    EXPECT_TRUE(ReadFile(path) == c.contents) << c.what << " was changed";
    EXPECT_EQ(std::vector<std::string>{"registry.db"}, Entries(home + "/qsprofile")) << c.what;
  }
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
}

// Runs body in a child process as a user who does not own the store when the test runs as root
// (root writes through any mode bits), and returns what it printed and what it went to stderr.
std::pair<std::string, std::string> RunAsOtherUser(const std::function<std::string()>& body) {
  int out[2], err[2];
  if (pipe(out) || pipe(err)) abort();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    if (geteuid() == 0 && (setgroups(0, nullptr) || setgid(65534) || setuid(65534))) _exit(2);
    std::string result = body();
    if (write(out[1], result.data(), result.size()) < 0) _exit(3);
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  std::string texts[2];
  for (int i = 0; i < 2; i++) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(i ? err[0] : out[0], buffer, sizeof buffer)) > 0) texts[i].append(buffer, n);
    close(i ? err[0] : out[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return {texts[0], texts[1]};
}

TEST_F(RegistryTest, ReadOnlyAndUnreadableStoresFailCleanly) {
  HKEY key = Create("Software\\Guarded");
  ASSERT_EQ(ERROR_SUCCESS, Set(key, "v", REG_SZ, "kept\0"s));
  bool root = geteuid() == 0;
  chmod(configHome.c_str(), 0755);
  chmod(storeDir().c_str(), 0555);
  chmod(storePath().c_str(), 0444);
  std::string before = ReadFile(storePath());
  auto [codes, err] = RunAsOtherUser([] {
    HKEY key = nullptr, sub = nullptr;
    std::string codes;
    codes += std::to_string(
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Guarded", 0, KEY_ALL_ACCESS, &key));
    codes += " " + std::to_string(Get(key, "v") == "kept\0"s);
    codes += " " + std::to_string(Set(key, "v", REG_SZ, "x\0"s));
    codes += " " + std::to_string(RegDeleteValueA(key, "v"));
    codes += " " + std::to_string(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                  nullptr, &sub, nullptr));
    codes += " " + std::to_string(RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
    return codes;
  });
  EXPECT_EQ("0 1 5 5 5 5", codes);
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  EXPECT_NE(std::string::npos, err.find(storePath())) << err;
  EXPECT_TRUE(ReadFile(storePath()) == before);

  // A store the user cannot read at all.
  chmod(storeDir().c_str(), 0755);
  chmod(storePath().c_str(), root ? 0600 : 0);
  auto [denied, err2] = RunAsOtherUser([] {
    HKEY key = nullptr;
    return std::to_string(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key)) + " " +
           std::to_string(Set(HKEY_CURRENT_USER, "v", REG_SZ, "x\0"s));
  });
  EXPECT_EQ("5 5", denied);
  EXPECT_NE(std::string::npos, err2.find(storePath())) << err2;
  chmod(storeDir().c_str(), 0700);
  chmod(storePath().c_str(), 0600);
  EXPECT_TRUE(ReadFile(storePath()) == before);
}

}  // namespace
