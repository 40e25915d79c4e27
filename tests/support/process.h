// Runs a program as a user would from a shell: with arguments, text on its standard input, and
// the test's environment (so its XDG_CONFIG_HOME), and collects what it printed.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode;  // -1 when the program was killed by a signal
  std::string out, err;
};

// What else happens to the program while it runs, once stderr shows `when`: `signal` is sent
// (stdin then stays open after the input, as a terminal's would), or then() runs before the
// input is given (another program, say, while this one waits for its input). stderr goes to the
// test, is closed (2>&-), or goes to a pipe nobody reads.
struct ProcessControl {
  int signal = 0;
  std::string when;
  enum class Stderr { Collected, Closed, ReaderGone } stderrIs = Stderr::Collected;
  std::function<void()> then = {};
};

// argv[0] is the program's path; the input must fit in a pipe's buffer.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const ProcessControl& control = {});
