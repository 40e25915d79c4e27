#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const ProcessControl& control) {
  using Stderr = ProcessControl::Stderr;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) abort();
  // With ReaderGone the reader is gone before the program starts: its first write to stderr
  // breaks the pipe.
  if (control.stderrIs != Stderr::Collected) close(err[0]), err[0] = -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    control.stderrIs == Stderr::Closed ? close(2) : dup2(err[1], 2);
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever the test's own disposition
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  bool waiting = control.then != nullptr;  // the input waits for then()
  if (input.empty() && !control.signal && !waiting) close(in[1]), in[1] = -1;

  // Feed the input and drain both outputs together, so that neither side can block the other.
  signal(SIGPIPE, SIG_IGN);
  ProcessResult result = {-1, "", ""};
  size_t written = 0;
  bool toSignal = control.signal != 0;
  struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {-1, POLLOUT, 0}};
  if (!input.empty() && !waiting) fds[2].fd = in[1];
  while (fds[0].fd >= 0 || fds[1].fd >= 0 || fds[2].fd >= 0) {
    if (poll(fds, 3, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) close(fds[i].fd), fds[i].fd = -1;
      if (n > 0) (i == 0 ? result.out : result.err).append(buffer, n);
      if (i == 1 && waiting && result.err.find(control.when) != std::string::npos) {
        waiting = false;
        control.then();
        if (!input.empty()) fds[2].fd = in[1];
        if (input.empty() && !control.signal) close(in[1]), in[1] = -1;
      }
      if (i == 1 && toSignal && result.err.find(control.when) != std::string::npos)
        toSignal = false, kill(pid, control.signal);
    }
    if (fds[2].fd < 0 || !fds[2].revents) continue;
    ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
    written += n > 0 ? n : 0;
    if (n >= 0 && written < input.size()) continue;
    fds[2].fd = -1;
    if (!control.signal) close(in[1]), in[1] = -1;
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}
