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
  // The input goes into the pipe whole, so that writing it cannot wait for the program.
  if (input.size() > (size_t)fcntl(in[1], F_GETPIPE_SZ)) abort();
  // ReaderGone: no reader from the start, so the program's first write to stderr breaks the pipe.
  if (control.stderrIs != Stderr::Collected) close(err[0]), err[0] = -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(in[0], 0), dup2(out[1], 1);
    control.stderrIs == Stderr::Closed ? close(2) : dup2(err[1], 2);
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever the test's own disposition
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  signal(SIGPIPE, SIG_IGN);  // the program may end before it reads its input
  auto feed = [&] {
    [[maybe_unused]] ssize_t written = write(in[1], input.data(), input.size());
    if (!control.signal) close(in[1]), in[1] = -1;
  };
  if (!control.then) feed();

  // Drain both outputs together, so that neither can block the program.
  ProcessResult result = {-1, "", ""};
  bool armed = control.signal || control.then;  // until stderr shows `when`
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? result.out : result.err).append(buffer, n);
      if (n <= 0) close(fds[i].fd), fds[i].fd = -1;
    }
    if (armed && result.err.find(control.when) != std::string::npos) {
      armed = false;
      if (control.then) control.then(), feed();
      if (control.signal) kill(pid, control.signal);
    }
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}
