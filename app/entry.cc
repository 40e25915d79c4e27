// The process entry: a GUI-subsystem WinMain on Windows, main on POSIX. Both hand the runtime's
// split arguments to the run driver.
#include "app/run.h"

#ifdef _WIN32
#include <stdlib.h>
#include <windows.h>

// The C runtime splits the command line without expanding wildcards, whatever the toolchain's
// default: -p "Sales*" names the profile "Sales*", not a file that happens to match it.
extern "C" {
int _dowildcard = 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return RunStages(__argc, __argv);
}
#else
#include "platform/interrupt.h"

// Ctrl-C, SIGTERM and a closed terminal end the run as Cancel would; a closed output does not
// end it.
int main(int argc, char** argv) {
  InstallInterruptHandlers();
  return RunStages(argc, argv);
}
#endif
