// The Windows catch-all guard (platform/guard-win32.cc) under Wine or Windows. Each row of Rows
// runs twice in a guard, so that the first run must leave the guard usable; each row of Children
// runs this program again with the row's mode and expects its exit code. Prints a line per
// failure and "N passed, N failed"; exits non-zero on a failure.
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <stdexcept>

#include "platform/guard.h"

namespace {

// Volatile, pointers included, so that the compiler cannot see the faults coming and drop them.
volatile int Sink;
volatile int Zero;

void Returns() {}
void WritesThroughNull() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}
void ReadsWildAddress() {
  volatile ULONG_PTR address = 0x10;
  Sink = *(volatile int*)address;
}
void DividesByZero() {
  Sink = 100 / Zero;
}
void ExecutesIllegalInstruction() {
  __builtin_trap();
}
template <DWORD Code, DWORD Flags>
void Raises() {
  RaiseException(Code, Flags, 0, nullptr);
}
const DWORD kAv = EXCEPTION_ACCESS_VIOLATION, kFatal = EXCEPTION_NONCONTINUABLE;
// Software exceptions of the customer's range, as a MAPI raises when it breaks down in a call.
const DWORD SoftwareError = 0xE0515300;
const DWORD SoftwareWarning = 0xA0515302;
void RaisesSoftwareError() {
  Raises<SoftwareError, kFatal>();
}
volatile long FramesLeft = 1L << 30;
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  FramesLeft = FramesLeft - 1;
  if (FramesLeft > 0) OverflowsStack();
  frame[1] = frame[0];
}
volatile int* ReadOnlyPage;
void WritesToReadOnlyPage() {
  *ReadOnlyPage = 1;
}

// --- A frame-based handler inside the routine, as compiled __try code installs one -----------

// What the handler does: unwind to its frame as __except(EXCEPTION_EXECUTE_HANDLER) does, mend
// the fault and resume as EXCEPTION_CONTINUE_EXECUTION does, or pass it on.
enum Handling { kUnwinds, kResumes, kDeclines };
Handling OwnHandling;
volatile int OwnHandlerCalls;

// Calls inner() with OwnHandler on its frame: 1 when inner() returned, 0 when the handler unwound
// to this frame (resuming at OwnHandlerResumePoint with 0 in the result register).
extern "C" int CallWithOwnHandler(void (*inner)(void)) asm("qs_test_call_with_own_handler");
extern "C" void OwnHandlerResumePoint(void) asm("qs_test_own_handler_resume");
extern "C" EXCEPTION_DISPOSITION OwnHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                            void* dispatch) asm("qs_test_own_handler")
    __attribute__((used));

#if defined(__x86_64__)
// The handler is found through the function's unwind information.
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
// The handler is a registration record pushed on the FS:[0] chain around the call. Unwinding to
// it unlinks the records inside it and resumes with the stack and frame pointers after the push.
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
  // Seen again, the fault was not mended: pass it on rather than resume it forever.
  OwnHandlerCalls = OwnHandlerCalls + 1;
  if (OwnHandlerCalls > 1) return ExceptionContinueSearch;
  switch (OwnHandling) {
    case kUnwinds:
      UnwindToOwnFrame(frame, record, dispatch);
    case kResumes:
      if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return ExceptionContinueSearch;
      if (record->NumberParameters >= 2 &&
          record->ExceptionInformation[1] == (ULONG_PTR)ReadOnlyPage) {
        DWORD previous;
        VirtualProtect((void*)ReadOnlyPage, 4096, PAGE_READWRITE, &previous);
      }
      return ExceptionContinueExecution;
    case kDeclines:
      break;
  }
  return ExceptionContinueSearch;
}

// What CallWithOwnHandler returned, -1 while the routine has not got back there.
volatile int OwnOutcome;
template <void (*Inner)(), Handling How>
void Handled() {
  DWORD previous;
  VirtualProtect((void*)ReadOnlyPage, 4096, PAGE_READONLY, &previous);
  OwnHandling = How;
  OwnHandlerCalls = 0;
  OwnOutcome = -1;
  OwnOutcome = CallWithOwnHandler(Inner);
}
// The handler inside was asked once and the routine went on as it said.
template <int Outcome>
bool HandledAs() {
  return OwnHandlerCalls == 1 && OwnOutcome == Outcome;
}

// --- Nested guards -----------------------------------------------------------------------------

// What the last inner guard returned: 1, 0, or -1 while none has returned.
int Inner;
template <int Result>
bool InnerIs() {
  return Inner == Result;
}
void FaultsInsideInnerGuard() {
  Inner = CallGuarded(WritesThroughNull);
}
void FaultsAfterInnerGuard() {
  Inner = CallGuarded(Returns);
  WritesThroughNull();
}
void ThrowsAfterInnerFault() {
  Inner = CallGuarded(DividesByZero);
  throw 7;
}
void NestsThreeDeep() {
  Inner = CallGuarded(FaultsInsideInnerGuard);
  DividesByZero();
}
// Guards nested 20 deep, the innermost routine faulting. The guard holds 16, so the fault ends the
// 16th and every guard outside it completes. The routine at depth d runs inside the d-th guard
// and keeps in DeepResults[d] what the guard it starts returned (-1 while it has not).
const int kDeepNesting = 20;
int NestingDepth;
int DeepResults[kDeepNesting + 1];
void NestsDeeper() {
  int depth = ++NestingDepth;
  if (depth == kDeepNesting) WritesThroughNull();
  DeepResults[depth] = CallGuarded(NestsDeeper);
}
void NestsDeep() {
  NestingDepth = 0;
  for (int& result : DeepResults) result = -1;
  NestsDeeper();
}
bool DeepEndsAtTheSixteenth() {
  for (int depth = 1; depth < kDeepNesting; depth++)
    if (DeepResults[depth] != (depth < 15 ? 1 : depth == 15 ? 0 : -1)) return false;
  return true;
}

struct Row {
  const char* name;
  void (*routine)();
  bool completes;
  bool (*then)() = nullptr;  // what else must hold afterwards
};
const Row Rows[] = {
    {"returns", Returns, true},
    {"standard exception", [] { throw std::runtime_error("thrown"); }, false},
    {"int thrown", [] { throw 42; }, false},
    {"write through null", WritesThroughNull, false},
    {"read from a wild address", ReadsWildAddress, false},
    {"division by zero", DividesByZero, false},
    {"illegal instruction", ExecutesIllegalInstruction, false},
    {"call through null",
     [] {
       void (*volatile nowhere)() = nullptr;
       nowhere();
     },
     false},
    {"access violation raised", Raises<kAv, 0>, false},
    {"noncontinuable access violation raised", Raises<kAv, kFatal>, false},
    {"stack overflow", OverflowsStack, false},
    {"noncontinuable software error", RaisesSoftwareError, false},
    {"continuable software error", Raises<SoftwareError + 1, 0>, false},
    // A frame-based handler inside the routine sees the fault first.
    {"null write, unwound inside", Handled<WritesThroughNull, kUnwinds>, true, HandledAs<0>},
    {"wild read, unwound inside", Handled<ReadsWildAddress, kUnwinds>, true, HandledAs<0>},
    {"illegal instruction, unwound inside", Handled<ExecutesIllegalInstruction, kUnwinds>, true,
     HandledAs<0>},
    {"read-only page, made writable inside", Handled<WritesToReadOnlyPage, kResumes>, true,
     HandledAs<1>},
    {"access violation raised, continued inside", Handled<Raises<kAv, 0>, kResumes>, true,
     HandledAs<1>},
    {"division by zero, passed on inside", Handled<DividesByZero, kDeclines>, false, HandledAs<-1>},
    {"software error, unwound inside", Handled<RaisesSoftwareError, kUnwinds>, true, HandledAs<0>},
    {"software error, passed on inside", Handled<RaisesSoftwareError, kDeclines>, false,
     HandledAs<-1>},
    {"null write, passed on inside", Handled<WritesThroughNull, kDeclines>, false, HandledAs<-1>},
    {"fault inside an inner guard", FaultsInsideInnerGuard, true, InnerIs<0>},
    {"fault after an inner guard", FaultsAfterInnerGuard, false, InnerIs<1>},
    {"throw after an inner guard's fault", ThrowsAfterInnerFault, false, InnerIs<0>},
    {"fault three guards deep", NestsThreeDeep, false, InnerIs<1>},
    {"fault twenty guards deep", NestsDeep, true, DeepEndsAtTheSixteenth},
};

// Counts its destruction: the code around a guard that failed must still unwind.
struct Cleanup {
  int* count;
  ~Cleanup() { (*count)++; }
};
bool GuardWithCleanup(void (*routine)(void), int* cleanups) {
  Cleanup cleanup{cleanups};
  return CallGuarded(routine);
}

// --- Whole processes -------------------------------------------------------------------------

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
int FaultOnOtherThread() {
  return CallGuarded(WaitsForFaultingThread);
}
int WarningInsideGuard() {
  return CallGuarded(Raises<SoftwareWarning, 0>);
}
// An attached debugger sees each fault first; the guard must still take it. The flag is set in
// the PEB, read from the TEB (the header's reader trips the compiler's array bounds check).
int FaultAsIfDebugged() {
  PEB* peb;
#if defined(__x86_64__)
  asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
  asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
  peb->BeingDebugged = TRUE;
  return CallGuarded(WritesThroughNull);
}

const struct {
  const char* mode;
  int (*run)();
  DWORD code;  // the child's exit code: the exception's, or what run() returned
} Children[] = {
    {"fault-outside", FaultOutsideGuard, EXCEPTION_ACCESS_VIOLATION},
    {"fault-other-thread", FaultOnOtherThread, EXCEPTION_ACCESS_VIOLATION},
    {"warning-inside", WarningInsideGuard, SoftwareWarning},
    {"fault-as-if-debugged", FaultAsIfDebugged, 0},
};

// Runs this program again with the mode as its argument and returns the child's exit code.
DWORD RunChild(const char* mode) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  char commandLine[MAX_PATH + 32];
  snprintf(commandLine, sizeof commandLine, "\"%s\" %s", path, mode);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return 0xFFFFFFFF;
  // A crash dialog left open would keep the child forever.
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
    for (const auto& child : Children)
      if (strcmp(argv[1], child.mode) == 0) return child.run();
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  ReadOnlyPage =
      (volatile int*)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
  int passed = 0, failed = 0;
  for (const Row& row : Rows) {
    for (int round = 1; round <= 2; round++) {
      int cleanups = 0;
      Inner = -1;
      bool completed = GuardWithCleanup(row.routine, &cleanups);
      bool then = row.then == nullptr || row.then();
      bool ok = completed == row.completes && cleanups == 1 && then;
      (ok ? passed : failed)++;
      if (!ok)
        printf("FAILED: %s, round %d: completed %d, cleanups %d, afterwards %s\n", row.name, round,
               completed, cleanups, then ? "as expected" : "wrong");
    }
  }
  for (const auto& child : Children) {
    DWORD code = RunChild(child.mode);
    (code == child.code ? passed : failed)++;
    if (code != child.code)
      printf("FAILED: %s: exit code %08lx, expected %08lx\n", child.mode, (unsigned long)code,
             (unsigned long)child.code);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
