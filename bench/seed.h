// The benchmark's access to a store: it seeds profiles and reads a stored name through the
// registry stand-in's own functions. Each runs in a child process whose XDG_CONFIG_HOME names
// the store, so the benchmark itself never holds a store open.
#pragma once

#include <string>

// Writes count profiles into the store under configHome, laid out as the messaging subsystem
// keeps them: a key per profile under the current user's profile store with its name and its
// list of services, a global section with the Exchange settings and a section for the one
// service. Returns false after saying why on stderr.
bool SeedProfiles(const std::string& configHome, int count);

// Reads the REG_SZ value name of the current user's key path in the store under configHome.
// Returns false, with the reason in *value, when it cannot be read or is not a string.
bool ReadStoredString(const std::string& configHome, const char* path, const char* name,
                      std::string* value);
