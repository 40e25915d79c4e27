#include "app/run.h"

#include "app/arguments.h"
#include "provisioning/configure.h"
#include "storedname/storedname.h"

int RunStages(int argc, char** argv) {
  if (!ParseArguments(argc, argv)) return 0;
  if (!LoadProfileName()) return 0;
  // The name is stored only for a profile that was provisioned.
  if (!ConfigureProfile()) return 0;
  SaveProfileName();
  return 0;
}
