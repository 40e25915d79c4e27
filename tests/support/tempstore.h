// Each test gets a store of its own: a fresh, empty XDG_CONFIG_HOME in a temporary folder that
// is removed afterwards. No test ever sees the user's own store.
#pragma once

#include <gtest/gtest.h>

#include <string>

// Makes a new empty folder under the system's temporary folder and returns its path.
std::string MakeTempDir(void);

// Removes a folder and everything below it.
void RemoveTree(const std::string& path);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Writes a whole file, replacing it.
void WriteFile(const std::string& path, const std::string& contents);

class TempStoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The folder XDG_CONFIG_HOME names during the test, and the store's own folder and files.
  std::string configHome;
  std::string storeDir() const { return configHome + "/qsprofile"; }
  std::string storePath() const { return storeDir() + "/registry.db"; }
};
