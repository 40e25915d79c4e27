// The Exchange provider ("MSEMS") of the simulated messaging subsystem.
#pragma once

#include <string>

#include "platform/mapi.h"

// The Exchange provider's own properties in the global profile section: what the administrator
// typed, before the directory resolves it.
#define PR_PROFILE_HOME_SERVER PROP_TAG(PT_STRING8, 0x6602)
#define PR_PROFILE_UNRESOLVED_NAME PROP_TAG(PT_STRING8, 0x6607)

namespace qsmapi::exchange {

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

}  // namespace qsmapi::exchange
