#include "support/tempstore.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

std::string MakeTempDir() {
  std::string pattern = std::filesystem::temp_directory_path() / "qsprofile-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) perror("mkdtemp"), abort();
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, (size_t)got);
  close(fd);
  return text;
}

Child RunChild(const std::function<void(int tell)>& body) {
  int tell[2], err[2];
  if (pipe(tell) != 0 || pipe(err) != 0) abort();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    alarm(60);
    body(tell[1]);
    _exit(0);
  }
  close(tell[1]), close(err[1]);
  Child child = {ReadAll(err[0]), ReadAll(tell[0])};  // in this order
  waitpid(pid, &child.status, 0);
  return child;
}

// Before any test runs, HOME and XDG_CONFIG_HOME point into a temporary folder of their own, so
// that even a test without a store of its own cannot reach the user's.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string home = MakeTempDir();
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  int result = RUN_ALL_TESTS();
  RemoveTree(home);
  return result;
}
