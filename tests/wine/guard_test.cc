// The Windows catch-all guard under Wine or Windows. Each row of Rows runs twice, so the first run
// must leave the guard usable; each of Children runs this program again and expects its exit code.
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <memory>
#include <stdexcept>
#include <tuple>

#include "platform/guard.h"

namespace {

// Volatile, so that the compiler can neither drop the faults nor move a store across one.
volatile int Sink;
volatile ULONG_PTR Zero;
volatile int* ReadOnlyPage;
// What an inner guard or CallWithOwnHandler returned last: 1, 0 after a fault, -1 while none has.
volatile int Result;

void Returns() {}
void (*const WritesThroughNull)() = [] { *(volatile int*)Zero = 1; };
void (*const DividesByZero)() = [] { Sink = 100 / (int)Zero; };
void OverflowsStack() {
  volatile char frame[4096];
  frame[0] = 1;
  if (Zero == 0) OverflowsStack();
  Sink = frame[0];
}
template <DWORD Code, DWORD Flags = 0>
void (*const Raises)() = [] { RaiseException(Code, Flags, 0, nullptr); };
const DWORD kAv = EXCEPTION_ACCESS_VIOLATION, kFatal = EXCEPTION_NONCONTINUABLE;
// Software exceptions of the customer's range, as a MAPI raises when it breaks down in a call, one
// per severity; RPC_S_SERVER_UNAVAILABLE as an RPC runtime raises it for a server it cannot reach.
const DWORD kSoftwareError = 0xE0515300, kSoftwareWarning = 0xA0515302;
const DWORD kSoftwareInformation = 0x60515303, kSoftwareSuccess = 0x20515304;

// A frame-based handler inside the routine, as compiled __try code installs one. What it does:
// unwind to its frame as __except(EXCEPTION_EXECUTE_HANDLER) does, mend the fault and resume as
// EXCEPTION_CONTINUE_EXECUTION does, or pass it on; kNone: no handler.
enum Handling { kNone, kUnwinds, kResumes, kDeclines };
Handling OwnHandling;
int OwnHandlerCalls;

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
  if (++OwnHandlerCalls > 1 || OwnHandling == kDeclines) return ExceptionContinueSearch;
  if (OwnHandling == kUnwinds) UnwindToOwnFrame(frame, record, dispatch);
  // Mends a write to the read-only page; a raised access violation needs no mending.
  DWORD previous;
  VirtualProtect((void*)ReadOnlyPage, 4096, PAGE_READWRITE, &previous);
  return ExceptionContinueExecution;
}

void (*OwnRoutine)();
void WithOwnHandler() {
  DWORD previous;
  VirtualProtect((void*)ReadOnlyPage, 4096, PAGE_READONLY, &previous);
  Result = CallWithOwnHandler(OwnRoutine);
}

// Guards nested 20 deep, the innermost faulting: the guard holds 16, so the fault ends the 16th
// (started at depth 15: Result, the outermost depth whose guard failed); the outer ones complete.
int Depth;  // of the routine running
void NestsDeeper() {
  int depth = ++Depth;
  if (depth == 20) WritesThroughNull();
  if (!CallGuarded(NestsDeeper)) Result = depth;
}

struct Row {
  const char* name;
  void (*routine)();
  bool completes;
  int result = -1;  // Result afterwards
  Handling inside = kNone;
};
const Row Rows[] = {
    {"returns", Returns, true},
    {"standard exception", [] { throw std::runtime_error("thrown"); }, false},
    {"int thrown", [] { throw 42; }, false},
    {"write through null", WritesThroughNull, false},
    {"read from a wild address", [] { Sink = *(volatile int*)(Zero + 0x10); }, false},
    {"division by zero", DividesByZero, false},
    {"illegal instruction", [] { __builtin_trap(); }, false},
    {"call through null", [] { ((void (*)())Zero)(); }, false},
    {"access violation raised", Raises<kAv>, false},
    {"noncontinuable access violation raised", Raises<kAv, kFatal>, false},
    {"stack overflow", OverflowsStack, false},
    {"noncontinuable software error", Raises<kSoftwareError, kFatal>, false},
    {"continuable software error", Raises<kSoftwareError + 1>, false},
    // Codes of every severity: nothing that reaches the guard may end the process.
    {"RPC status raised", Raises<RPC_S_SERVER_UNAVAILABLE, kFatal>, false},
    {"breakpoint raised", Raises<EXCEPTION_BREAKPOINT>, false},
    {"breakpoint instruction", [] { asm volatile("int3"); }, false},
    {"software warning", Raises<kSoftwareWarning>, false},
    {"informational code", Raises<kSoftwareInformation>, false},
    {"code of success severity", Raises<kSoftwareSuccess, kFatal>, false},
    {"RPC status, unwound inside", Raises<RPC_S_SERVER_UNAVAILABLE, kFatal>, true, 0, kUnwinds},
    // A frame-based handler inside the routine sees the fault first.
    {"null write, unwound inside", WritesThroughNull, true, 0, kUnwinds},
    {"wild read, unwound inside", [] { Sink = *(volatile int*)(Zero + 0x10); }, true, 0, kUnwinds},
    {"illegal instruction, unwound inside", [] { __builtin_trap(); }, true, 0, kUnwinds},
    {"read-only page, made writable inside", [] { *ReadOnlyPage = 1; }, true, 1, kResumes},
    {"access violation raised, continued inside", Raises<kAv>, true, 1, kResumes},
    {"division by zero, passed on inside", DividesByZero, false, -1, kDeclines},
    {"software error, unwound inside", Raises<kSoftwareError, kFatal>, true, 0, kUnwinds},
    {"software error, passed on inside", Raises<kSoftwareError, kFatal>, false, -1, kDeclines},
    {"null write, passed on inside", WritesThroughNull, false, -1, kDeclines},
    {"fault inside an inner guard", [] { Result = CallGuarded(WritesThroughNull); }, true, 0},
    {"fault after an inner guard", [] { Result = CallGuarded(Returns), WritesThroughNull(); },
     false, 1},
    {"throw after an inner guard's fault", [] { Result = CallGuarded(DividesByZero), throw 7; },
     false, 0},
    {"fault three guards deep",
     [] { Result = CallGuarded([] { Result = CallGuarded(WritesThroughNull); }), DividesByZero(); },
     false, 1},
    {"fault twenty guards deep", NestsDeeper, true, 15},
};

DWORD WINAPI FaultingThread(LPVOID) {
  WritesThroughNull();
  return 0;
}
void WaitsForFaultingThread() {
  WaitForSingleObject(CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr), INFINITE);
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

// Each child's mode, what it runs, and its exit code: the exception's, or what it returned.
const std::tuple<const char*, int (*)(), DWORD> Children[] = {
    {"fault-outside", [] { return CallGuarded(Returns), WritesThroughNull(), 0; }, kAv},
    {"fault-other-thread", [] { return (int)CallGuarded(WaitsForFaultingThread); }, kAv},
    {"fault-as-if-debugged", FaultAsIfDebugged, 0},
};

// Runs this program again in the mode and returns the child's exit code.
DWORD RunChild(const char* mode) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  HANDLE child = (HANDLE)_spawnl(_P_NOWAIT, path, "guard_test", mode, nullptr);
  DWORD code = 0xFFFFFFFF;
  if (child == INVALID_HANDLE_VALUE) return code;
  // A crash dialog left open would keep the child forever.
  bool ended = WaitForSingleObject(child, 60000) == WAIT_OBJECT_0;
  ended ? GetExitCodeProcess(child, &code) : TerminateProcess(child, code);
  return CloseHandle(child), code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    for (const auto& [mode, run, code] : Children)
      if (strcmp(argv[1], mode) == 0) return run();
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  ReadOnlyPage =
      (volatile int*)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
  int passed = 0, failed = 0;
  auto fails = [&](bool ok) { return (ok ? passed : failed)++, !ok; };
  for (const Row& row : Rows) {
    for (int round = 1, cleanups = 0; round <= 2; round++, cleanups = 0) {
      Result = -1, Depth = 0, OwnHandlerCalls = 0;  // as before any routine ran
      OwnHandling = row.inside, OwnRoutine = row.routine;
      // The code around a guard that failed must still unwind: cleanup counts its destruction.
      bool completed = [&] {
        std::unique_ptr<int, void (*)(int*)> cleanup(&cleanups, [](int* count) { (*count)++; });
        return CallGuarded(row.inside == kNone ? row.routine : WithOwnHandler);
      }();
      if (fails(completed == row.completes && cleanups == 1 && Result == row.result &&
                OwnHandlerCalls == (row.inside != kNone)))  // a handler inside is asked once
        printf("FAILED: %s, round %d: completed %d, cleanups %d, result %d, handler asked %d\n",
               row.name, round, completed, cleanups, Result, OwnHandlerCalls);
    }
  }
  for (const auto& [mode, run, expected] : Children)
    if (DWORD code = RunChild(mode); fails(code == expected))
      printf("FAILED: %s: exit code %08lx, expected %08lx\n", mode, (unsigned long)code,
             (unsigned long)expected);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
