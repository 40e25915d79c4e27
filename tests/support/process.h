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

// What else happens to the program while it runs: `signal` is sent once stderr shows `when`, and
// with a signal to send stdin stays open after the input, as a terminal's would. With `then`, the
// input waits until stderr shows `when`; then() runs first (another program, say, while this one
// waits for its input).
struct ProcessControl {
  int signal = 0;
  std::string when;
  // How stderr is connected: to the test, closed (2>&-), or to a pipe nobody reads.
  enum class Stderr { Collected, Closed, ReaderGone } stderrIs = Stderr::Collected;
  std::function<void()> then = {};
};

// argv[0] is the program's path.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const ProcessControl& control = {});
