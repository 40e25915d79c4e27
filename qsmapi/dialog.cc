#include "qsmapi/dialog.h"

namespace qsmapi::dialog {

const char* NameProblem(const std::string& name) {
  if (name.size() > LongestName) return "A name is at most 255 characters long.";
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7F)
      return "A name cannot contain '/' or control characters.";
  return nullptr;
}

const char* ClosingProblem(const std::string& server, const std::string& mailbox) {
  if (server.empty() || mailbox.empty())
    return "Both a Microsoft Exchange server and a mailbox are needed.";
  // Kept values are checked as well: a stored one may never have passed the dialog.
  const char* problem = NameProblem(server);
  return problem ? problem : NameProblem(mailbox);
}

bool IsResolvable(const std::string& name) {
  return !name.empty() && NameProblem(name) == nullptr;
}

}  // namespace qsmapi::dialog
