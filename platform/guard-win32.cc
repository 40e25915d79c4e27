// The catch-all guard on Windows. The compiler has no structured exception handling of its own,
// so processor faults are taken by a vectored exception handler: while a guard is active on the
// faulting thread, it rewrites the faulting context so that the thread resumes in
// LandAfterFault on a known-good part of the stack, and returns EXCEPTION_CONTINUE_EXECUTION, so
// that the system finishes its exception dispatch normally. LandAfterFault jumps back to the
// innermost guard with __builtin_longjmp, which restores the frame and stack pointers and does
// not unwind: the routine's frames are abandoned, as the header says. C++ exceptions are caught
// with catch (...). The handler is added when the outermost guard starts and removed when it
// ends, so faults outside a guard, or on another thread (the messaging subsystem runs threads
// of its own), keep their default action. A vectored handler sees a fault before the frame
// handlers of the code that raised it, so a fault that code would have handled itself also ends
// the routine; without __try there is no way to put a frame handler at the guard instead.
#include "platform/guard.h"

#include <malloc.h>
#include <stdint.h>
#include <windows.h>

#define MAX_GUARD_DEPTH 16

// One per active guard: the __builtin_setjmp buffer and the stack address LandAfterFault may
// run at, which lies below the guard's frame in a part of the stack already in use.
static void* GuardJumps[MAX_GUARD_DEPTH][5];
static uintptr_t LandingStacks[MAX_GUARD_DEPTH];
static volatile LONG GuardDepth;
static DWORD GuardThread;
static PVOID FaultHandler;
static volatile bool StackOverflowed;

static bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

// Entered, not called, from a rewritten fault context; the stack under it is the guard's.
[[noreturn]] static void LandAfterFault(void) {
  __builtin_longjmp(GuardJumps[GuardDepth - 1], 1);
}

static LONG CALLBACK OnException(PEXCEPTION_POINTERS exception) {
  if (GuardDepth <= 0 || GetCurrentThreadId() != GuardThread) return EXCEPTION_CONTINUE_SEARCH;
  DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (!IsProcessorFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  if (code == EXCEPTION_STACK_OVERFLOW) StackOverflowed = true;
  // A call leaves the return address on a 16-byte boundary minus one slot; LandAfterFault is
  // entered as if it had been called.
  uintptr_t stack = (LandingStacks[GuardDepth - 1] & ~(uintptr_t)15) - sizeof(void*);
  CONTEXT* context = exception->ContextRecord;
#if defined(_M_X64) || defined(__x86_64__)
  context->Rsp = stack;
  context->Rip = (DWORD64)(uintptr_t)LandAfterFault;
#else
  context->Esp = stack;
  context->Eip = (DWORD)(uintptr_t)LandAfterFault;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Runs the routine; kept apart so that the caller's locals are not live across the jump, and so
// that its frame, below the guard's, gives LandAfterFault a stack that is already in use.
__attribute__((noinline)) static bool RunCatchingExceptions(void (*routine)(void),
                                                            uintptr_t* landingStack) {
  volatile char mark = 0;
  if (landingStack != nullptr) *landingStack = (uintptr_t)&mark;
  try {
    routine();
    return true;
  } catch (...) {
    return false;
  }
}

bool CallGuarded(void (*routine)(void)) {
  // A guard on a second thread while one is active cannot share the one stack of jumps; there
  // it catches exceptions only. Beyond the deepest guard, a fault ends the innermost one there is.
  if (GuardDepth > 0 && GetCurrentThreadId() != GuardThread)
    return RunCatchingExceptions(routine, nullptr);
  if (GuardDepth >= MAX_GUARD_DEPTH) return RunCatchingExceptions(routine, nullptr);
  if (GuardDepth == 0) {
    GuardThread = GetCurrentThreadId();
    FaultHandler = AddVectoredExceptionHandler(1, OnException);
  }
  volatile bool completed = false;
  if (__builtin_setjmp(GuardJumps[GuardDepth]) == 0) {
    GuardDepth = GuardDepth + 1;
    completed = RunCatchingExceptions(routine, &LandingStacks[GuardDepth - 1]);
  }
  GuardDepth = GuardDepth - 1;
  if (StackOverflowed) {
    // The overflow used up the stack's guard page; put it back so that a later overflow is
    // caught again instead of ending the process.
    StackOverflowed = false;
    _resetstkoflw();
  }
  if (GuardDepth == 0 && FaultHandler != nullptr) {
    RemoveVectoredExceptionHandler(FaultHandler);
    FaultHandler = nullptr;
  }
  return completed;
}
