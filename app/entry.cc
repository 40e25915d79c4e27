// The process entry: a GUI-subsystem WinMain on Windows, main on POSIX. Both hand the runtime's
// split arguments to the run driver.
#include "app/run.h"

#ifdef _WIN32
#include <stdlib.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return RunStages(__argc, __argv);
}
#else
int main(int argc, char** argv) {
  return RunStages(argc, argv);
}
#endif
