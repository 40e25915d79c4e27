#include "platform/interrupt.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/select.h>
#include <unistd.h>

static volatile sig_atomic_t InterruptCame;

// SIGQUIT too: its default action would end the run with a new profile left half made.
static const int InterruptSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Only notes the interrupt: a second one during the cleanup changes nothing.
static void OnInterrupt(int) {
  InterruptCame = 1;
}

void InstallInterruptHandlers(void) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself.
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
  setvbuf(stdin, nullptr, _IONBF, 0);

  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal : InterruptSignals) {
    struct sigaction previous;
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted(void) {
  return InterruptCame != 0;
}

// The signals stay blocked except inside pselect, which unblocks them atomically: one that
// comes before the wait begins is delivered in it, so no interrupt is missed.
bool WaitForInput(int fd) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal : InterruptSignals) sigaddset(&blocked, signal);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  bool ready = false;
  while (!InterruptCame) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    int count = pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &previous);
    if (count > 0 || (count < 0 && errno != EINTR)) {
      ready = true;
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return ready;
}
