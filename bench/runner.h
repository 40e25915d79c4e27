// Runs a program as a separate process with text on its standard input and a changed
// environment, collects its output, and measures it: wall time from fork to reaping, and the
// child's own CPU time and peak resident memory as wait4 reports them.
#pragma once

#include <string>
#include <vector>

struct MeasuredRun {
  int exitCode = 0;  // -1 when the program was killed by a signal
  int signal = 0;    // the signal that killed it, or 0
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system
  long maxRssKiB = 0;     // ru_maxrss
  std::string out;
  std::string err;
};

// argv[0] is the program's path. Each entry of environment is NAME=VALUE and replaces the
// variable of that name; NAME alone removes it.
MeasuredRun RunMeasured(const std::vector<std::string>& argv, const std::string& input,
                        const std::vector<std::string>& environment);
