// The catch-all guard on Windows. It behaves as an __except at the guard would: a processor fault
// reaches it only when no handler inside the routine (the messaging subsystem's own __try blocks,
// its parameter probing, its RPC) has handled it first. The compiler has no structured exception
// handling of its own, so the guard puts a frame-based handler on the stack itself: each guard
// calls the routine through GuardFrame, a small function written in assembly whose exception
// handler is GuardFrameHandler (found through the function's unwind information on x64, and
// through a registration record on the FS:[0] chain on x86). The system asks frame handlers from
// the innermost frame outwards, so the innermost guard is asked after everything the routine
// called, and only on the thread that runs it.
//
// GuardFrameHandler rewrites the faulting context so that the thread resumes in LandAfterFault on
// a known-good part of the stack, and returns ExceptionContinueExecution, so that the system
// finishes its exception dispatch normally. LandAfterFault jumps back to the innermost guard with
// __builtin_longjmp, which restores the frame and stack pointers and does not unwind: the
// routine's frames are abandoned, as the header says. An exception raised as noncontinuable
// cannot be resumed, so for it the handler jumps back to the guard directly. Either way the
// thread's chain of registration records is put back as it was when the guard started. C++
// exceptions are caught with catch (...).
//
// The guard takes every exception that reaches its frame, whatever its code and severity: a
// processor fault, a code a MAPI raises with RaiseException when it breaks down inside a call, an
// RPC status raised the way an RPC runtime reports a server it cannot reach, a breakpoint, a
// warning or an informational code. Whatever the routine's own handlers pass on would otherwise
// end the process with no message and no cleanup. The runtime's C++ exceptions never get here:
// catch (...) inside the guard's frame takes them first.
//
// Nothing process-wide changes while a guard is active: faults outside a guard or on another
// thread (the messaging subsystem runs threads of its own) keep their default action, and a
// debugger, which sees each fault before any handler, leaves the outcome as it is.
#include "platform/guard.h"

#include <malloc.h>
#include <stdint.h>
#include <windows.h>

#define MAX_GUARD_DEPTH 16

// One per active guard: the __builtin_setjmp buffer, the stack address LandAfterFault may run
// at, which lies below the guard's frame in a part of the stack already in use, and the head of
// the thread's chain of registration records when the guard started.
static void* GuardJumps[MAX_GUARD_DEPTH][5];
static uintptr_t LandingStacks[MAX_GUARD_DEPTH];
static void* ExceptionLists[MAX_GUARD_DEPTH];
static volatile LONG GuardDepth;
static DWORD GuardThread;
static volatile bool StackOverflowed;

// The head of the calling thread's chain of registration records (NT_TIB.ExceptionList, at the
// start of the TEB). x86 keeps its frame handlers there; x64 finds them through unwind
// information, but the system may keep records of its own there while it dispatches.
static void* ExceptionList(void) {
  void* head;
#if defined(__x86_64__)
  asm volatile("movq %%gs:0, %0" : "=r"(head));
#else
  asm volatile("movl %%fs:0, %0" : "=r"(head));
#endif
  return head;
}

static void SetExceptionList(void* head) {
#if defined(__x86_64__)
  asm volatile("movq %0, %%gs:0" : : "r"(head) : "memory");
#else
  asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
#endif
}

// Entered, not called, from a rewritten fault context; the stack under it is the guard's.
[[noreturn]] static void LandAfterFault(void) {
  __builtin_longjmp(GuardJumps[GuardDepth - 1], 1);
}

// Calls run(routine, landingStack) with GuardFrameHandler as the frame's exception handler and
// returns what it returns. The return address of the call is not followed by the epilogue, so
// that the system does not take the frame for one that is already being left.
extern "C" bool GuardFrame(bool (*run)(void (*)(void), uintptr_t*), void (*routine)(void),
                           uintptr_t* landingStack) asm("qs_guard_frame");
extern "C" EXCEPTION_DISPOSITION GuardFrameHandler(EXCEPTION_RECORD* record, void* frame,
                                                   CONTEXT* context,
                                                   void* dispatch) asm("qs_guard_frame_handler")
    __attribute__((used));

#if defined(__x86_64__)
asm(R"(
	.text
	.p2align 4
	.def	qs_guard_frame;	.scl	3;	.type	32;	.endef
	.seh_proc	qs_guard_frame
qs_guard_frame:
	subq	$40, %rsp
	.seh_stackalloc	40
	.seh_endprologue
	movq	%rcx, %rax
	movq	%rdx, %rcx
	movq	%r8, %rdx
	callq	*%rax
	nop
	addq	$40, %rsp
	retq
	.seh_handler	qs_guard_frame_handler, @except
	.seh_endproc
)");
#else
// The registration record (the next record, then the handler) lies just below the saved frame
// pointer, and is unlinked again on the way out.
asm(R"(
	.text
	.p2align 4
qs_guard_frame:
	pushl	%ebp
	movl	%esp, %ebp
	pushl	$qs_guard_frame_handler
	pushl	%fs:0
	movl	%esp, %fs:0
	pushl	16(%ebp)
	pushl	12(%ebp)
	call	*8(%ebp)
	addl	$8, %esp
	movl	(%esp), %ecx
	movl	%ecx, %fs:0
	movl	%ebp, %esp
	popl	%ebp
	ret
)");
#endif

EXCEPTION_DISPOSITION GuardFrameHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
  // Called while the system dispatches an exception that nothing inside the routine handled;
  // an unwind passing through is for a handler further out.
  if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
  if (GuardDepth <= 0) return ExceptionContinueSearch;
  if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) StackOverflowed = true;
  // Resuming a noncontinuable exception would only raise another; leave the dispatch here.
  if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) LandAfterFault();
  // A call leaves the return address on a 16-byte boundary minus one slot; LandAfterFault is
  // entered as if it had been called.
  uintptr_t stack = (LandingStacks[GuardDepth - 1] & ~(uintptr_t)15) - sizeof(void*);
#if defined(__x86_64__)
  context->Rsp = stack;
  context->Rip = (DWORD64)(uintptr_t)LandAfterFault;
#else
  context->Esp = stack;
  context->Eip = (DWORD)(uintptr_t)LandAfterFault;
#endif
  return ExceptionContinueExecution;
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
  if (GuardDepth == 0) GuardThread = GetCurrentThreadId();
  ExceptionLists[GuardDepth] = ExceptionList();
  volatile bool completed = false;
  if (__builtin_setjmp(GuardJumps[GuardDepth]) == 0) {
    GuardDepth = GuardDepth + 1;
    completed = GuardFrame(RunCatchingExceptions, routine, &LandingStacks[GuardDepth - 1]);
  } else {
    // Back from a fault: the records of the abandoned frames, and any the system had added
    // while it dispatched, are gone with them.
    SetExceptionList(ExceptionLists[GuardDepth - 1]);
  }
  GuardDepth = GuardDepth - 1;
  if (StackOverflowed) {
    // The overflow used up the stack's guard page; put it back so that a later overflow is
    // caught again instead of ending the process.
    StackOverflowed = false;
    _resetstkoflw();
  }
  return completed;
}
