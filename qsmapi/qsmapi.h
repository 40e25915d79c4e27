// What the parts of the simulated messaging subsystem share: the initialisation state, the
// registry-backed profile store, the list of installed services (mapisvc.inf) and the Exchange
// provider. The subsystem is the same code on every platform: it keeps its profiles in the
// registry (advapi32 on Windows, the SQLite store on POSIX); only its dialog and a few host
// services (host.h) differ.
//
// The profile store keeps Windows' layout under HKEY_CURRENT_USER:
//   Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging Subsystem\Profiles\<key>
// where <key> is the profile name encoded as the subsystem always has (the first 64 bytes; a
// byte of 0x80 or above becomes '[', 0x70 + low nibble, 0x70 + high nibble). The profile key
// holds two values of its own: "ProfileName" (REG_SZ, the name as it was created, since
// different names can share a key) and "Services" (REG_BINARY, the 16-byte UIDs of its message
// services in creation order). Each profile section is a subkey named by its 16-byte UID in
// lower-case hex; each property is a value named by its tag in 8 lower-case hex digits:
// strings as REG_SZ, PT_I2/PT_LONG/PT_BOOLEAN as REG_DWORD, PT_I8 as REG_QWORD, binary as
// REG_BINARY.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/mapi.h"
#include "qsmapi/props.h"

// The Exchange provider's own properties in the global profile section: what the administrator
// typed, before the directory resolves it.
#define PR_PROFILE_HOME_SERVER PROP_TAG(PT_STRING8, 0x6602)
#define PR_PROFILE_UNRESOLVED_NAME PROP_TAG(PT_STRING8, 0x6607)

// Status values the public header does not name.
#define MAPI_E_TABLE_TOO_BIG MAKE_MAPI_E(0x403)

namespace qsmapi {

// True between a MAPIInitialize and the MAPIUninitialize that balances the last one.
bool IsInitialized();

// The profile store. A profile is reached through the registry path of its key, relative to
// HKEY_CURRENT_USER. Every call goes to the registry, so what one process writes the next reads.
namespace store {

// The key path of a profile name, or empty when no profile can have that name (a null or empty
// name, or one with a backslash, which would reach into another key).
std::string ProfileKeyPath(const char* name);

// Creates a profile. MAPI_E_NO_ACCESS when its key exists, whoever created it.
HRESULT CreateProfile(const char* name);

// Finds an existing profile's key. MAPI_E_NOT_FOUND when there is none, or when the key belongs
// to a profile created under another name that encodes to the same key.
HRESULT FindProfile(const char* name, std::string* keyPath);

// Removes a profile's key with all its sections.
HRESULT DeleteProfile(const std::string& keyPath);

// Reads every property of a section; none when the section does not exist yet. A value whose
// registry type does not fit its tag comes back as PT_ERROR with MAPI_E_CORRUPT_DATA.
// MAPI_E_NOT_FOUND when the profile itself is gone.
HRESULT ReadSection(const std::string& keyPath, const MAPIUID& uid,
                    std::vector<Property>* properties);

// Writes properties into a section, creating the section when needed, and removes the
// properties whose identifiers are in removals. A property replaces any other of its
// identifier, whatever its type. MAPI_E_NOT_FOUND when the profile is gone: a write never
// brings back a deleted profile.
HRESULT WriteSection(const std::string& keyPath, const MAPIUID& uid,
                     const std::vector<Property>& properties, const std::vector<ULONG>& removals);

// The UIDs of a profile's message services in creation order.
HRESULT ReadServiceList(const std::string& keyPath, std::vector<MAPIUID>* uids);

// Adds a message service: its section with the given properties, then its UID at the end of
// the list. Nothing is left behind when that fails.
HRESULT AddService(const std::string& keyPath, const MAPIUID& uid,
                   const std::vector<Property>& properties);

}  // namespace store

// The message services installed on this machine, from mapisvc.inf (host::ServiceListPath).
namespace services {

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

}  // namespace services

// The Exchange provider ("MSEMS").
namespace exchange {

extern const char ServiceName[];

// ConfigureMsgService for an Exchange service: takes PR_PROFILE_HOME_SERVER and
// PR_PROFILE_UNRESOLVED_NAME from props, shows the dialog when the flags ask for it, and stores
// the result in the profile's global section.
// window owns the dialog.
HRESULT Configure(const std::string& keyPath, ULONG_PTR window, ULONG flags, ULONG cValues,
                  LPSPropValue props);

// The provider's part of a logon: resolves the server and the mailbox into distinguished names.
HRESULT Logon(const std::string& keyPath);

// The distinguished names the directory gives a server and a mailbox.
std::string ServerDn(const std::string& server);
std::string MailboxDn(const std::string& mailbox);

}  // namespace exchange

}  // namespace qsmapi
