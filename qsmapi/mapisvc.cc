// The list of installed message services: mapisvc.inf (in the user's configuration folder on
// POSIX, in the system folder on Windows), an INF-style text file:
//
//   ; comment
//   [Services]
//   MSEMS=Microsoft Exchange
//
//   [MSEMS]
//   Organization=Quorvane
//   Site=First Site
//
// [Services] names each service with its display name; each listed service has a section of
// its own with its settings. Names compare in any case; surrounding blanks are ignored, and so
// is one pair of double quotes around a value. A line starting with ';' is a comment. Without
// the file, "MSEMS" (Microsoft Exchange) alone is installed; a malformed or unreadable file
// installs nothing, after a one-line diagnostic on stderr.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>

#include "qsmapi/host.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/mapisvc.h"
#include "qsmapi/props.h"

namespace qsmapi::services {
namespace {

const char ServicesSection[] = "Services";

std::mutex CacheLock;
bool Loaded;
std::vector<Service> Cached;

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

bool IsPlainName(const std::string& value) {
  for (unsigned char c : value)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

std::vector<Service> DefaultList() {
  return {{"MSEMS", "Microsoft Exchange", {}}};
}

// Reads the whole file. Returns false with errno set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* text) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  bool failed = ferror(file) != 0;
  int error = errno;
  fclose(file);
  if (failed) {
    errno = error ? error : EIO;
    return false;
  }
  return true;
}

std::vector<Service> Load() {
  std::string path = host::ServiceListPath();
  if (path.empty()) return DefaultList();
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    if (errno == ENOENT) return DefaultList();
    fprintf(stderr, "%s: cannot be read (%s); no message services are installed\n", path.c_str(),
            strerror(errno));
    return {};
  }
  std::vector<Service> services;
  std::string diagnostic;
  if (!ParseList(text, path, &services, &diagnostic)) {
    fprintf(stderr, "%s\n", diagnostic.c_str());
    return {};
  }
  return services;
}

}  // namespace

bool ParseList(const std::string& text, const std::string& path, std::vector<Service>* services,
               std::string* diagnostic) {
  services->clear();
  struct Section {
    int line;
    std::vector<std::pair<std::string, std::string>> settings;
  };
  std::map<std::string, Section> sections;  // by lower-case name
  struct Listed {
    std::string name, displayName;
    int line;
  };
  std::vector<Listed> listed;
  auto fail = [&](int line, const std::string& problem) {
    *diagnostic =
        path + ":" + std::to_string(line) + ": " + problem + "; no message services are installed";
    services->clear();
    return false;
  };

  Section* current = nullptr;
  bool inServices = false;
  int lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    lineNumber++;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail(lineNumber, "unterminated section header");
      std::string name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) return fail(lineNumber, "section header without a name");
      auto [entry, added] = sections.try_emplace(Lower(name), Section{lineNumber, {}});
      if (!added)
        return fail(lineNumber, "section [" + name + "] appears again (first at line " +
                                    std::to_string(entry->second.line) + ")");
      current = &entry->second;
      inServices = SameName(name, ServicesSection);
      continue;
    }
    if (current == nullptr) return fail(lineNumber, "line outside a section");
    size_t equals = line.find('=');
    if (equals == std::string::npos) return fail(lineNumber, "line without '='");
    std::string key = Trim(line.substr(0, equals));
    std::string value = Unquote(Trim(line.substr(equals + 1)));
    if (key.empty()) return fail(lineNumber, "setting without a name before '='");
    if (inServices) {
      for (const Listed& other : listed)
        if (SameName(other.name, key))
          return fail(lineNumber, "service " + key + " is listed again (first at line " +
                                      std::to_string(other.line) + ")");
      listed.push_back({key, value.empty() ? key : value, lineNumber});
    } else {
      // The directory's names are built from these two: a '/' or a control character (a NUL
      // byte included) would put a false part into every distinguished name.
      if ((SameName(key, "Organization") || SameName(key, "Site")) && !IsPlainName(value))
        return fail(lineNumber, key + " cannot contain '/' or control characters");
      current->settings.emplace_back(key, value);
    }
  }

  for (const Listed& service : listed) {
    auto section = sections.find(Lower(service.name));
    if (section == sections.end() || SameName(service.name, ServicesSection))
      return fail(service.line,
                  "service " + service.name + " has no [" + service.name + "] section");
    services->push_back({service.name, service.displayName, section->second.settings});
  }
  return true;
}

std::vector<Service> Installed() {
  std::lock_guard<std::mutex> lock(CacheLock);
  if (!Loaded) {
    Cached = Load();
    Loaded = true;
  }
  return Cached;
}

bool FindInstalled(const std::string& name, Service* out) {
  for (const Service& service : Installed()) {
    if (SameName(service.name, name)) {
      *out = service;
      return true;
    }
  }
  return false;
}

std::string Setting(const std::string& service, const std::string& key,
                    const std::string& fallback) {
  Service found;
  if (!FindInstalled(service, &found)) return fallback;
  for (const auto& [name, value] : found.settings)
    if (SameName(name, key) && !value.empty()) return value;
  return fallback;
}

void Forget() {
  std::lock_guard<std::mutex> lock(CacheLock);
  Loaded = false;
  Cached.clear();
}

}  // namespace qsmapi::services
