// Interruptions of a run on POSIX: Ctrl-C (SIGINT), Ctrl-\ (SIGQUIT), SIGTERM and a closed
// terminal (SIGHUP) end the run as Cancel would, and a closed output (SIGPIPE) does not end it at
// all. The handlers only note that an interrupt came; whoever waits for the administrator asks
// Interrupted() or waits with WaitForInput, and the simulated subsystem cancels from then on, so
// that the workflow ends quietly and removes what it made. Windows has no such signals; its entry
// installs nothing.
#pragma once

#ifndef _WIN32
// Installs the handlers (without SA_RESTART, so that a blocking read returns EINTR), keeping a
// signal ignored when the process was started with it ignored (nohup); ignores SIGPIPE, so that
// writes to a closed output fail and are dropped; puts /dev/null in place of a closed standard
// descriptor, so that no file the run opens is taken for stdin, stdout or stderr; and makes
// stdin unbuffered, so that what stdio holds is never more than WaitForInput sees. Called once,
// first thing in main.
void InstallInterruptHandlers(void);

// Whether SIGINT, SIGQUIT, SIGTERM or SIGHUP came since the handlers were installed.
bool Interrupted(void);

// Waits until fd has something to read (or its end, or an error) and returns true; returns
// false at once, or as soon as one comes, when an interrupt has come.
bool WaitForInput(int fd);
#endif
