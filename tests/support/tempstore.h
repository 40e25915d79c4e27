// Each test gets a store of its own: a fresh, empty XDG_CONFIG_HOME in a temporary folder that
// is removed afterwards, never the user's own; and the store's tests share the helpers here.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"

std::string MakeTempDir();                      // a new empty folder in the temporary folder
void RemoveTree(const std::string& path);       // a folder and everything below it
std::string ReadFile(const std::string& path);  // a whole file; empty when it cannot be read
void WriteFile(const std::string& path, const std::string& contents);  // replaces the file
std::string ReadAll(int fd);  // all a descriptor gives until its end; closes it

// Runs body in a child process, which an alarm ends should it wait on anything. What it wrote to
// stderr and to the descriptor body is given, and how it ended.
struct Child {
  std::string said, told;
  int status = 0;
};
Child RunChild(const std::function<void(int tell)>& body);

// What RegCreateKeyExA returns; the key it opens goes to *key, if given.
inline LONG Make(HKEY parent, const std::string& path, REGSAM access = KEY_ALL_ACCESS,
                 HKEY* key = nullptr) {
  HKEY made = nullptr;
  return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, access, nullptr, key ? key : &made,
                         nullptr);
}

inline HKEY Create(const std::string& path, HKEY parent = HKEY_CURRENT_USER) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, Make(parent, path, KEY_ALL_ACCESS, &key)) << path;
  return key;
}

inline LONG Set(HKEY key, const char* name, const std::string& data, DWORD type = REG_SZ) {
  return RegSetValueExA(key, name, 0, type, (const BYTE*)data.data(), (DWORD)data.size());
}

// The value's bytes, or the error code as text.
inline std::string Get(HKEY key, const char* name, DWORD* type = nullptr) {
  static char data[400000];
  DWORD size = sizeof data;
  LONG result = RegQueryValueExA(key, name, nullptr, type, (LPBYTE)data, &size);
  return result == ERROR_SUCCESS ? std::string(data, size) : "error " + std::to_string(result);
}

// The same by the key's path: the error opening the key, if it fails.
inline std::string Get(const std::string& path, const char* name) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
  std::string got = result == ERROR_SUCCESS ? Get(key, name) : "error " + std::to_string(result);
  RegCloseKey(key);
  return got;
}

inline LONG Enum(HKEY key, bool values, DWORD index, char* name, DWORD* length) {
  return values ? RegEnumValueA(key, index, name, length, nullptr, nullptr, nullptr, nullptr)
                : RegEnumKeyExA(key, index, name, length, nullptr, nullptr, nullptr, nullptr);
}

// The names of a key's subkeys, or with values true of its values, as enumeration gives them.
using Names = std::vector<std::string>;
inline Names List(HKEY key, bool values = false) {
  Names names;
  for (DWORD i = 0;; i++) {
    char name[256];
    DWORD length = sizeof name;
    if (Enum(key, values, i, name, &length) != ERROR_SUCCESS) return names;
    names.emplace_back(name, length);
  }
}

// A program killed right after its write of path's value v returned: the write is only in a log.
inline void CrashAfterWrite(const std::string& path) {
  Child killed = RunChild([&](int) {
    if (Set(Create(path), "v", "x") == ERROR_SUCCESS) kill(getpid(), SIGKILL);
  });
  EXPECT_TRUE(WIFSIGNALED(killed.status)) << killed.said;
}

class TempStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configHome = MakeTempDir();
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  }
  void TearDown() override { RemoveTree(configHome); }

  // Ends this process's use of the current store, as a program's end does.
  void LeaveStore() {
    std::string saved = getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", (configHome + "/nowhere").c_str(), 1);
    Get("Software", "");
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  }

  // Points XDG_CONFIG_HOME at a new configHome/NAME and returns its new, empty store folder.
  std::string UseHome(const std::string& name) {
    std::string home = configHome + "/" + name;
    EXPECT_FALSE(mkdir(home.c_str(), 0700) || mkdir((home + "/qsprofile").c_str(), 0700));
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    return home + "/qsprofile";
  }

  // The folder XDG_CONFIG_HOME names during the test, and the store's own folder and files.
  std::string configHome;
  std::string storeDir() const { return configHome + "/qsprofile"; }
  std::string storePath() const { return storeDir() + "/registry.db"; }
};
