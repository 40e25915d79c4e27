#include "bench/runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static std::vector<std::string> BuildEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e; e++) result.push_back(*e);
  for (const std::string& change : changes) {
    std::string name = change.substr(0, change.find('='));
    std::erase_if(result, [&](const std::string& entry) {
      return entry.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

static double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static double Seconds(const struct timeval& t) {
  return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

static void Die(const char* what) {
  fprintf(stderr, "qsbench: %s: %s\n", what, strerror(errno));
  exit(2);
}

MeasuredRun RunMeasured(const std::vector<std::string>& argv, const std::string& input,
                        const std::vector<std::string>& environment) {
  // Everything the child needs is built before the clock starts.
  std::vector<std::string> env = BuildEnvironment(environment);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) Die("pipe");
  signal(SIGPIPE, SIG_IGN);

  MeasuredRun result;
  double start = Now();
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  // Feed the input and drain both outputs together, so that neither side can block the other.
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  int open = 2 + (in[1] >= 0);
  while (open > 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      Die("poll");
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, (size_t)n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += (size_t)n;
      if ((n < 0 && errno != EINTR) || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
        open--;
      }
    }
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR) Die("wait4");
  result.wallSeconds = Now() - start;
  result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  result.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else {
    result.exitCode = -1;
    result.signal = WTERMSIG(status);
  }
  return result;
}
