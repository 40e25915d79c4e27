// The Windows guard (platform/guard-win32.cc), run as a console program under Wine or Windows:
// guarded routines that return, throw, fault in several ways and nest, each checked for
// CallGuarded's result, for the caller's cleanup running afterwards, and for the guard still
// working the next time. Prints one line per case and "N passed, N failed"; exits non-zero on a
// failure.
//
// The messaging subsystem and its providers handle some faults themselves, inside their own
// code, with frame-based handlers (probing a caller's buffer, committing a page on first use); the
// guard must leave those alone and take only what nothing inside the routine handles. Such a
// handler is installed here the way compiled __try code does, since this compiler has no __try.
//
// Run with the argument "fault-outside", it writes through a null pointer with no guard active,
// after a guard has come and gone; with "fault-other-thread", a second thread does so while the
// main thread is inside a guard; with "warning-inside", a guarded routine raises a software
// exception of warning severity, which is not the guard's to take. Each must end the process
// with the exception's code, which the parent run checks. With "fault-as-if-debugged", it marks
// itself as debugged, the way an attached debugger does, and exits with 0 only when a guarded fault
// still ends the routine.
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

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
void RaisesNoncontinuableAccessViolation() {
  RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
// Software exceptions of the customer's range: error severity (as a MAPI raises when it breaks
// down inside a call), and warning severity, which the guard leaves alone.
void RaisesSoftwareError() {
  RaiseException(0xE0515300, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
void RaisesContinuableSoftwareError() {
  RaiseException(0xE0515301, 0, 0, nullptr);
}
const DWORD SoftwareWarning = 0xA0515302;
void RaisesSoftwareWarning() {
  RaiseException(SoftwareWarning, 0, 0, nullptr);
}
volatile int* ReadOnlyPage;
void WritesToReadOnlyPage() {
  *ReadOnlyPage = 1;
}
volatile long FramesLeft = 1L << 30;
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  FramesLeft = FramesLeft - 1;
  if (FramesLeft > 0) OverflowsStack();
  frame[1] = frame[0];
}

// --- A frame-based handler inside the routine ------------------------------------------------

// What the handler installed by CallWithOwnHandler does with an exception: unwind to its own
// frame and go on there, as __except(EXCEPTION_EXECUTE_HANDLER) does; mend the cause and resume,
// as a filter returning EXCEPTION_CONTINUE_EXECUTION does; or pass it on.
enum class Handling { kUnwinds, kResumes, kDeclines };
Handling OwnHandling;
volatile int OwnHandlerCalls;

// Calls inner() with the handler OwnHandler on its frame. Returns 1 when inner() returned, 0 when
// the handler unwound to this frame; the unwind resumes at OwnHandlerResumePoint with 0 in the
// result register.
extern "C" int CallWithOwnHandler(void (*inner)(void)) asm("qs_test_call_with_own_handler");
extern "C" void OwnHandlerResumePoint(void) asm("qs_test_own_handler_resume");
extern "C" EXCEPTION_DISPOSITION OwnHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                            void* dispatch) asm("qs_test_own_handler")
    __attribute__((used));

#if defined(__x86_64__)
// The handler is found through the function's unwind information, like any compiled handler.
asm(R"(
	.text
	.p2align 4
	.def	qs_test_call_with_own_handler;	.scl	3;	.type	32;	.endef
	.seh_proc	qs_test_call_with_own_handler
qs_test_call_with_own_handler:
	subq	$40, %rsp
	.seh_stackalloc	40
	.seh_endprologue
	callq	*%rcx
	movl	$1, %eax
qs_test_own_handler_resume:
	addq	$40, %rsp
	retq
	.seh_handler	qs_test_own_handler, @except
	.seh_endproc
)");

[[noreturn]] void UnwindToOwnFrame(void* frame, EXCEPTION_RECORD* record, void* dispatch) {
  DISPATCHER_CONTEXT* dispatcher = (DISPATCHER_CONTEXT*)dispatch;
  RtlUnwindEx(frame, (PVOID)OwnHandlerResumePoint, record, nullptr, dispatcher->ContextRecord,
              dispatcher->HistoryTable);
  __builtin_unreachable();
}
#else
// The handler is a registration record on the chain at FS:[0], pushed and popped around the
// call. Unwinding to it unlinks the records inside it, leaves FS:[0] at it, and resumes with
// the stack and frame pointers the function had after pushing it.
extern "C" [[noreturn]] void UnwindToOwnRecord(void* frame, EXCEPTION_RECORD* record) asm(
    "qs_test_unwind_to_own_record");
asm(R"(
	.text
	.p2align 4
qs_test_call_with_own_handler:
	pushl	%ebp
	movl	%esp, %ebp
	pushl	$qs_test_own_handler
	pushl	%fs:0
	movl	%esp, %fs:0
	call	*8(%ebp)
	movl	$1, %eax
qs_test_own_handler_resume:
	movl	(%esp), %ecx
	movl	%ecx, %fs:0
	movl	%ebp, %esp
	popl	%ebp
	ret

	.p2align 4
qs_test_unwind_to_own_record:
	pushl	$0
	pushl	12(%esp)
	pushl	$1f
	pushl	16(%esp)
	call	_RtlUnwind@16
1:	movl	%fs:0, %esp
	leal	8(%esp), %ebp
	xorl	%eax, %eax
	jmp	qs_test_own_handler_resume
)");

[[noreturn]] void UnwindToOwnFrame(void* frame, EXCEPTION_RECORD* record, void*) {
  UnwindToOwnRecord(frame, record);
}
#endif

EXCEPTION_DISPOSITION OwnHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void* dispatch) {
  if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
  OwnHandlerCalls = OwnHandlerCalls + 1;
  // Seen again, the fault was not mended: pass it on rather than resume it forever.
  if (OwnHandlerCalls > 1) return ExceptionContinueSearch;
  switch (OwnHandling) {
    case Handling::kUnwinds:
      UnwindToOwnFrame(frame, record, dispatch);
    case Handling::kResumes:
      if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return ExceptionContinueSearch;
      if (record->NumberParameters >= 2 &&
          record->ExceptionInformation[1] == (ULONG_PTR)ReadOnlyPage) {
        DWORD previous;
        VirtualProtect((void*)ReadOnlyPage, 4096, PAGE_READWRITE, &previous);
      }
      return ExceptionContinueExecution;
    case Handling::kDeclines:
      break;
  }
  return ExceptionContinueSearch;
}

void (*OwnInner)(void);
volatile int OwnOutcome;
void CallsThroughOwnHandler() {
  OwnOutcome = -1;
  OwnOutcome = CallWithOwnHandler(OwnInner);
  Reached = Reached + 1;
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
// Guards nested 20 deep, the innermost routine faulting: the guard holds 16, so the fault ends
// the 16th, and every guard outside it completes. The routine at depth d runs inside the d-th
// guard and keeps in DeepResults[d] what the guard it starts returned (-1 while it has not).
const int kDeepNesting = 20;
int NestingDepth;
int DeepResults[kDeepNesting + 1];
void NestsDeep() {
  int depth = ++NestingDepth;
  if (depth == kDeepNesting) WritesThroughNull();
  DeepResults[depth] = CallGuarded(NestsDeep) ? 1 : 0;
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
// Nor a software exception below error severity that nothing handles.
int WarningInsideGuard() {
  CallGuarded(RaisesSoftwareWarning);
  return 0;
}

// What an attached debugger changes for the system's own handling of a fault it does not handle.
// The process's PEB, read from the thread's TEB (the header's reader of it trips the compiler's
// array bounds check).
PEB* CurrentPeb() {
  PEB* peb;
#if defined(__x86_64__)
  asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
  asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
  return peb;
}
int FaultAsIfDebugged() {
  CurrentPeb()->BeingDebugged = TRUE;
  bool completed = CallGuarded(WritesThroughNull);
  CurrentPeb()->BeingDebugged = FALSE;
  return completed ? 1 : 0;
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
    if (strcmp(argv[1], "warning-inside") == 0) return WarningInsideGuard();
    if (strcmp(argv[1], "fault-as-if-debugged") == 0) return FaultAsIfDebugged();
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
      {"a noncontinuable access violation raised in software", RaisesNoncontinuableAccessViolation,
       false},
      {"a stack overflow", OverflowsStack, false},
      {"a noncontinuable software exception of error severity", RaisesSoftwareError, false},
      {"a continuable software exception of error severity", RaisesContinuableSoftwareError, false},
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

  // A fault that a handler inside the routine handles is none of the guard's business; one it
  // passes on is. outcome is what CallWithOwnHandler returns: 1 when the inner call returned, 0
  // when the handler unwound to it, -1 when the routine never got back there.
  struct {
    const char* name;
    void (*inner)(void);
    Handling handling;
    bool completes;
    int outcome;
  } handled[] = {
      {"a write through a null pointer that a handler inside unwinds from", WritesThroughNull,
       Handling::kUnwinds, true, 0},
      {"a read from a wild address that a handler inside unwinds from", ReadsWildAddress,
       Handling::kUnwinds, true, 0},
      {"an illegal instruction that a handler inside unwinds from", ExecutesIllegalInstruction,
       Handling::kUnwinds, true, 0},
      {"a write to a read-only page that a handler inside makes writable", WritesToReadOnlyPage,
       Handling::kResumes, true, 1},
      {"an access violation raised in software that a handler inside continues",
       RaisesAccessViolation, Handling::kResumes, true, 1},
      {"a division by zero that a handler inside passes on", DividesByZero, Handling::kDeclines,
       false, -1},
      {"a software error that a handler inside unwinds from", RaisesSoftwareError,
       Handling::kUnwinds, true, 0},
      {"a software error that a handler inside passes on", RaisesSoftwareError, Handling::kDeclines,
       false, -1},
      {"a write through a null pointer that a handler inside passes on", WritesThroughNull,
       Handling::kDeclines, false, -1},
  };
  for (const auto& c : handled) {
    for (int round = 1; round <= 2; round++) {
      ReadOnlyPage =
          (volatile int*)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
      OwnHandling = c.handling;
      OwnHandlerCalls = 0;
      OwnInner = c.inner;
      int cleanups = 0;
      bool completed = GuardWithCleanup(CallsThroughOwnHandler, &cleanups);
      snprintf(what, sizeof what, "%s, round %d: CallGuarded returns %s", c.name, round,
               c.completes ? "true" : "false");
      Check(completed == c.completes, what);
      snprintf(what, sizeof what,
               "%s, round %d: the handler inside is asked once (%d) and the routine goes on as "
               "it says (%d)",
               c.name, round, (int)OwnHandlerCalls, (int)OwnOutcome);
      Check(OwnHandlerCalls == 1 && OwnOutcome == c.outcome, what);
      snprintf(what, sizeof what, "%s, round %d: the caller's cleanup runs once", c.name, round);
      Check(cleanups == 1, what);
      VirtualFree((void*)ReadOnlyPage, 0, MEM_RELEASE);
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
  NestingDepth = 0;
  for (int& result : DeepResults) result = -1;
  Check(CallGuarded(NestsDeep), "nested 20 deep: the outermost guard completes");
  bool between = true;
  for (int depth = 1; depth < 15; depth++) between = between && DeepResults[depth] == 1;
  Check(between, "nested 20 deep: the guards 2 to 15 complete");
  Check(DeepResults[15] == 0, "nested 20 deep: the 16th guard ends with the fault");
  Check(DeepResults[16] == -1 && DeepResults[19] == -1,
        "nested 20 deep: the routines inside the 16th guard do not go on");
  Check(CallGuarded(Returns), "after all of it, a guard still completes");

  struct {
    const char* mode;
    const char* name;
    DWORD code;
  } children[] = {
      {"fault-outside", "a fault outside any guard", EXCEPTION_ACCESS_VIOLATION},
      {"fault-other-thread", "a fault on another thread while a guard is active",
       EXCEPTION_ACCESS_VIOLATION},
      {"warning-inside", "a software warning inside a guard", SoftwareWarning},
  };
  for (const auto& child : children) {
    DWORD code = RunChild(child.mode);
    snprintf(what, sizeof what, "%s ends the process with its code (%08lx, expected %08lx)",
             child.name, (unsigned long)code, (unsigned long)child.code);
    Check(code == child.code, what);
  }
  DWORD code = RunChild("fault-as-if-debugged");
  snprintf(what, sizeof what, "a process marked as debugged: the guard still catches (exit %08lx)",
           (unsigned long)code);
  Check(code == 0, what);

  printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}
