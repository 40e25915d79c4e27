// The catch-all guard on POSIX. While a guard is active, the fault signals are caught on an
// alternate stack (a stack overflow must not kill the handler) and jump back to the innermost
// guard with siglongjmp, which also restores the signal mask. C++ exceptions are caught with
// catch (...). When the outermost guard ends, the previous actions are put back, so faults
// outside a guard keep their default action.
#include "platform/guard.h"

#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

static const int FaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
#define FAULT_SIGNAL_COUNT (sizeof FaultSignals / sizeof FaultSignals[0])
#define MAX_GUARD_DEPTH 16

static sigjmp_buf GuardJumps[MAX_GUARD_DEPTH];
static volatile sig_atomic_t GuardDepth;
static struct sigaction PreviousActions[FAULT_SIGNAL_COUNT];
static stack_t PreviousStack;
static char* FaultStack;

static void OnFault(int signal) {
  if (GuardDepth > 0) siglongjmp(GuardJumps[GuardDepth - 1], 1);
  // No guard is active: take the default action when the fault happens again.
  ::signal(signal, SIG_DFL);
}

static void CatchFaults(void) {
  size_t size = SIGSTKSZ > 65536 ? SIGSTKSZ : 65536;
  if (FaultStack == nullptr) FaultStack = (char*)malloc(size);
  stack_t stack;
  memset(&stack, 0, sizeof stack);
  stack.ss_sp = FaultStack;
  stack.ss_size = size;
  sigaltstack(&stack, &PreviousStack);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnFault;
  action.sa_flags = SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < FAULT_SIGNAL_COUNT; i++)
    sigaction(FaultSignals[i], &action, &PreviousActions[i]);
}

static void ReleaseFaults(void) {
  for (size_t i = 0; i < FAULT_SIGNAL_COUNT; i++)
    sigaction(FaultSignals[i], &PreviousActions[i], nullptr);
  sigaltstack(&PreviousStack, nullptr);
}

// Runs the routine; kept apart so that the caller's locals are not live across sigsetjmp.
static bool RunCatchingExceptions(void (*routine)(void)) {
  try {
    routine();
    return true;
  } catch (...) {
    return false;
  }
}

bool CallGuarded(void (*routine)(void)) {
  if (GuardDepth >= MAX_GUARD_DEPTH) return RunCatchingExceptions(routine);
  if (GuardDepth == 0) CatchFaults();
  volatile bool completed = false;
  if (sigsetjmp(GuardJumps[GuardDepth], 1) == 0) {
    GuardDepth = GuardDepth + 1;
    completed = RunCatchingExceptions(routine);
  }
  GuardDepth = GuardDepth - 1;
  if (GuardDepth == 0) ReleaseFaults();
  return completed;
}
