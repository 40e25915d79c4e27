// The Windows guard (platform/guard-win32.cc), run as a console program under Wine or Windows:
// guarded routines that return, throw, fault in several ways and nest, each checked for
// CallGuarded's result, for the caller's cleanup running afterwards, and for the guard still
// working the next time. Prints one line per case and "N passed, N failed"; exits non-zero on a
// failure.
//
// Run with the argument "fault-outside", it writes through a null pointer with no guard active,
// after a guard has come and gone; with "fault-other-thread", a second thread does so while the
// main thread is inside a guard. Either must end the process with the access violation's code,
// which the parent run checks.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <stdexcept>

#include "platform/guard.h"

namespace {

int Passed;
int Failed;

void Check(bool ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  (ok ? Passed : Failed)++;
}

volatile int Reached;
volatile int Zero;

void Returns() {
  Reached = Reached + 1;
}
void ThrowsStandard() {
  throw std::runtime_error("thrown inside the guard");
}
void ThrowsInt() {
  throw 42;
}
// The pointers are volatile themselves, so that the compiler cannot see what they hold and drop
// the access.
void WritesThroughNull() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
  Reached = Reached + 1;
}
void ReadsWildAddress() {
  volatile ULONG_PTR address = 0x10;
  Reached = *(volatile int*)address;
}
void DividesByZero() {
  Reached = 100 / Zero;
}
void ExecutesIllegalInstruction() {
  __builtin_trap();
}
void CallsThroughNull() {
  void (*volatile nowhere)(void) = nullptr;
  nowhere();
}
void RaisesAccessViolation() {
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
}
volatile long FramesLeft = 1L << 30;
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  FramesLeft = FramesLeft - 1;
  if (FramesLeft > 0) OverflowsStack();
  frame[1] = frame[0];
}

// Counts its destruction, to show that the code around a guard that failed still unwinds.
struct Cleanup {
  int* count;
  ~Cleanup() { (*count)++; }
};

bool GuardWithCleanup(void (*routine)(void), int* cleanups) {
  Cleanup cleanup{cleanups};
  return CallGuarded(routine);
}

bool InnerResult;
void FaultsInsideInnerGuard() {
  InnerResult = CallGuarded(WritesThroughNull);
  Reached = Reached + 1;
}
void FaultsAfterInnerGuard() {
  InnerResult = CallGuarded(Returns);
  WritesThroughNull();
}
void ThrowsAfterInnerFault() {
  InnerResult = CallGuarded(DividesByZero);
  throw 7;
}
void NestsThreeDeep() {
  InnerResult = CallGuarded(FaultsInsideInnerGuard);
  DividesByZero();
}

int FaultOutsideGuard() {
  CallGuarded(Returns);
  WritesThroughNull();
  return 0;
}

DWORD WINAPI FaultingThread(LPVOID) {
  WritesThroughNull();
  return 0;
}
void WaitsForFaultingThread() {
  HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
// A guard on the main thread must not take a fault on another thread.
int FaultOnOtherThread() {
  CallGuarded(WaitsForFaultingThread);
  return 0;
}

// Runs this program again with the mode as its argument and returns the child's exit code.
DWORD RunChild(const char* mode) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  char commandLine[MAX_PATH + 32];
  snprintf(commandLine, sizeof commandLine, "\"%s\" %s", path, mode);
  // The crash report a debugger may write for the child goes nowhere.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process;
  BOOL started = CreateProcessA(path, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(nul);
  if (!started) return 0xFFFFFFFF;
  // A crash dialog left open would keep the child forever; a minute is plenty otherwise.
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  else
    TerminateProcess(process.hProcess, code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (strcmp(argv[1], "fault-outside") == 0) return FaultOutsideGuard();
    if (strcmp(argv[1], "fault-other-thread") == 0) return FaultOnOtherThread();
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);

  struct {
    const char* name;
    void (*routine)(void);
    bool completes;
  } cases[] = {
      {"a routine that returns", Returns, true},
      {"a standard exception", ThrowsStandard, false},
      {"an int thrown", ThrowsInt, false},
      {"a write through a null pointer", WritesThroughNull, false},
      {"a read from a wild address", ReadsWildAddress, false},
      {"an integer division by zero", DividesByZero, false},
      {"an illegal instruction", ExecutesIllegalInstruction, false},
      {"a call through a null pointer", CallsThroughNull, false},
      {"an access violation raised in software", RaisesAccessViolation, false},
      {"a stack overflow", OverflowsStack, false},
  };
  char what[160];
  for (const auto& c : cases) {
    // Twice each: the first fault must leave the guard usable, the stack overflow included.
    for (int round = 1; round <= 2; round++) {
      int cleanups = 0;
      FramesLeft = 1L << 30;
      bool completed = GuardWithCleanup(c.routine, &cleanups);
      snprintf(what, sizeof what, "%s, round %d: CallGuarded returns %s", c.name, round,
               c.completes ? "true" : "false");
      Check(completed == c.completes, what);
      snprintf(what, sizeof what, "%s, round %d: the caller's cleanup runs once", c.name, round);
      Check(cleanups == 1, what);
    }
  }

  Reached = 0;
  InnerResult = true;
  Check(CallGuarded(FaultsInsideInnerGuard), "nested: the outer guard completes");
  Check(!InnerResult && Reached == 1, "nested: the inner guard catches its fault and goes on");
  InnerResult = false;
  Check(!CallGuarded(FaultsAfterInnerGuard),
        "nested: a fault after the inner guard ends the outer");
  Check(InnerResult, "nested: the inner guard had completed");
  InnerResult = true;
  Check(!CallGuarded(ThrowsAfterInnerFault), "nested: a throw after an inner fault ends the outer");
  Check(!InnerResult, "nested: the inner guard caught the division");
  Reached = 0;
  InnerResult = false;
  Check(!CallGuarded(NestsThreeDeep), "nested three deep: the outermost guard fails");
  Check(InnerResult && Reached == 1, "nested three deep: the middle guard completed");
  Check(CallGuarded(Returns), "after all of it, a guard still completes");

  const char* modes[][2] = {
      {"fault-outside", "a fault outside any guard"},
      {"fault-other-thread", "a fault on another thread while a guard is active"},
  };
  for (const auto& mode : modes) {
    DWORD code = RunChild(mode[0]);
    snprintf(what, sizeof what, "%s ends the process with its code (%08lx, expected c0000005)",
             mode[1], (unsigned long)code);
    Check(code == EXCEPTION_ACCESS_VIOLATION, what);
  }

  printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}
