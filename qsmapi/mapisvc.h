// The message services installed on this machine, from mapisvc.inf (host::ServiceListPath).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qsmapi::services {

struct Service {
  std::string name;                                           // as listed, e.g. "MSEMS"
  std::string displayName;                                    // e.g. "Microsoft Exchange"
  std::vector<std::pair<std::string, std::string>> settings;  // the service's own section
};

// Parses the file's text. Returns false with a one-line diagnostic ("PATH:LINE: problem") when
// it is malformed; the services are then none.
bool ParseList(const std::string& text, const std::string& path, std::vector<Service>* services,
               std::string* diagnostic);

// The installed services, read once per initialisation: "MSEMS" alone when the file is absent,
// none (after the diagnostic on stderr) when it is malformed or unreadable.
std::vector<Service> Installed();

// Finds an installed service by name (any case).
bool FindInstalled(const std::string& name, Service* out);

// A setting of an installed service's section, or fallback when it is missing or empty.
std::string Setting(const std::string& service, const std::string& key,
                    const std::string& fallback);

// Forgets what was read, so that the next initialisation reads the file again.
void Forget();

}  // namespace qsmapi::services
