#include "qsmapi/host.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/interrupt.h"
#include "regstore/batch.h"

namespace qsmapi::host {

HRESULT NewUid(MAPIUID* uid) {
  size_t filled = 0;
  while (filled < sizeof uid->ab) {
    ssize_t got = getrandom(uid->ab + filled, sizeof uid->ab - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return MAPI_E_CALL_FAILED;
    filled += (size_t)got;
  }
  return S_OK;
}

// Beside the registry store: $XDG_CONFIG_HOME/qsprofile, or ~/.config/qsprofile when
// XDG_CONFIG_HOME is unset or not absolute.
std::string ServiceListPath() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/qsprofile/mapisvc.inf";
  const char* home = getenv("HOME");
  if (!home || !*home) {
    struct passwd* entry = getpwuid(getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  if (!home || !*home) return "";
  return std::string(home) + "/.config/qsprofile/mapisvc.inf";
}

LONG BeginGroup(bool write) {
  return RegBeginBatch(write);
}

LONG EndGroup(bool commit) {
  return RegEndBatch(commit);
}

bool Interrupted() {
  return ::Interrupted();
}

// An inaccessible page rather than a null pointer, so that the sanitizers leave the signal to
// whoever guards the call.
void Fault() {
  static volatile int* page;
  if (page == nullptr) {
    void* mapped = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) abort();
    page = (volatile int*)mapped;
  }
  *page = 1;
}

void Raise(const char* call, ULONG code) {
  char text[64];
  snprintf(text, sizeof text, " (code %08lx)", (unsigned long)code);
  throw std::runtime_error(std::string("planned failure in ") + call + text);
}

void Abandon(const std::string& report) {
  fputs(report.c_str(), stderr);
  fflush(stderr);
  _exit(3);
}

}  // namespace qsmapi::host
