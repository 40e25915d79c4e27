// Runs a program as a user would from a shell: with arguments, text on its standard input, and
// the test's environment (so its XDG_CONFIG_HOME), and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
  int exitCode;  // -1 when the program was killed by a signal
  int signal;    // the signal that killed it, or 0
  std::string out;
  std::string err;
};

// argv[0] is the program's path.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "");
