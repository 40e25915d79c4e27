// Each test gets a store of its own: a fresh, empty XDG_CONFIG_HOME in a temporary folder that
// is removed afterwards. No test ever sees the user's own store.
#pragma once

#include <gtest/gtest.h>

#include <string>

void RemoveTree(const std::string& path);       // a folder and everything below it
std::string ReadFile(const std::string& path);  // a whole file; empty when it cannot be read
void WriteFile(const std::string& path, const std::string& contents);  // replaces the file

class TempStoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The folder XDG_CONFIG_HOME names during the test, and the store's own folder and files.
  std::string configHome;
  std::string storeDir() const { return configHome + "/qsprofile"; }
  std::string storePath() const { return storeDir() + "/registry.db"; }
};
