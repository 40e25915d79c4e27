// The main of every test executable. Before any test runs, HOME and XDG_CONFIG_HOME point into
// a temporary folder of their own, so that even a test without a store of its own cannot reach
// the user's.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/tempstore.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string home = MakeTempDir();
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  int result = RUN_ALL_TESTS();
  RemoveTree(home);
  return result;
}
