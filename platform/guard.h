// The catch-all guard around calls into the messaging subsystem. A C++ exception or a processor
// fault (an access violation, a bad instruction, a division by zero) raised anywhere inside the
// routine and not handled there ends the routine and comes back here as a false result instead
// of ending the process. Guards nest. The routine works on process-wide state only, since a
// fault leaves its frame without unwinding: it must hold nothing that needs a destructor.
//
// guard-posix.cc catches the fault signals with sigsetjmp/siglongjmp; guard-win32.cc puts a
// frame-based exception handler at the guard, so that, as with __except there, the handlers of
// the code inside go first. Outside a guard faults keep their default action.
#pragma once

// Runs routine() and returns true when it returned normally, false when it was ended by an
// exception or a processor fault.
bool CallGuarded(void (*routine)(void));
