// The Exchange provider ("MSEMS"). Its configuration dialog (dialog.h) asks for the home server
// and the mailbox; the provider keeps them in the profile's global section and resolves them into
// distinguished names, at once when the dialog closes with Check Name, or at the first logon.
//
// What it stores, in the profile's global section:
//   PR_PROFILE_HOME_SERVER (0x6602001E)      the server as typed
//   PR_PROFILE_UNRESOLVED_NAME (0x6607001E)  the mailbox as typed
//   PR_PROFILE_HOME_SERVER_DN (0x6612001E)   "/o=ORG/ou=SITE/cn=Configuration/cn=Servers/cn=SERVER"
//   PR_PROFILE_USER (0x6603001E)             "/o=ORG/ou=SITE/cn=Recipients/cn=MAILBOX"
// "check" writes all four; "ok" writes the first two and leaves the names to be resolved by the
// first logon; either drops a resolved name that no longer matches. ORG and SITE are the
// Organization and Site settings of the [MSEMS] section of mapisvc.inf ("Quorvane" and
// "First Site" when they are not set).
#include "qsmapi/dialog.h"
#include "qsmapi/host.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/exchange.h"
#include "qsmapi/mapisvc.h"
#include "qsmapi/profstore.h"

namespace qsmapi::exchange {

const char ServiceName[] = "MSEMS";

namespace {

const char DefaultOrganization[] = "Quorvane";
const char DefaultSite[] = "First Site";
using dialog::Button;
using dialog::IsResolvable;

std::string Organization() {
  return services::Setting(ServiceName, "Organization", DefaultOrganization);
}
std::string Site() {
  return services::Setting(ServiceName, "Site", DefaultSite);
}

std::string StringOf(const std::vector<Property>& section, ULONG tag) {
  const Property* property = FindProperty(section, tag);
  return property ? property->bytes : "";
}

// Stores the server and the mailbox. With resolve, their distinguished names too; otherwise a
// resolved name that does not belong to them any more is dropped.
HRESULT Store(const std::string& keyPath, const std::vector<Property>& global,
              const std::string& server, const std::string& mailbox, bool resolve) {
  std::string serverDn = ServerDn(server), mailboxDn = MailboxDn(mailbox);
  std::vector<Property> writes = {StringProperty(PR_PROFILE_HOME_SERVER, server),
                                  StringProperty(PR_PROFILE_UNRESOLVED_NAME, mailbox)};
  std::vector<ULONG> removals;
  if (resolve) {
    writes.push_back(StringProperty(PR_PROFILE_HOME_SERVER_DN, serverDn));
    writes.push_back(StringProperty(PR_PROFILE_USER, mailboxDn));
  } else {
    const Property* stored = FindProperty(global, PR_PROFILE_HOME_SERVER_DN);
    if (stored && !SameName(stored->bytes, serverDn)) removals.push_back(PR_PROFILE_HOME_SERVER_DN);
    stored = FindProperty(global, PR_PROFILE_USER);
    if (stored && !SameName(stored->bytes, mailboxDn)) removals.push_back(PR_PROFILE_USER);
  }
  HRESULT status = profstore::WriteSection(keyPath, GlobalSectionUid(), writes, removals);
  if (FAILED(status) || !resolve) return status;
  dialog::ShowResolved(server, serverDn, mailbox, mailboxDn);
  return status;
}

}  // namespace

std::string ServerDn(const std::string& server) {
  return "/o=" + Organization() + "/ou=" + Site() + "/cn=Configuration/cn=Servers/cn=" + server;
}

std::string MailboxDn(const std::string& mailbox) {
  return "/o=" + Organization() + "/ou=" + Site() + "/cn=Recipients/cn=" + mailbox;
}

HRESULT Configure(const std::string& keyPath, ULONG_PTR window, ULONG flags, ULONG cValues,
                  LPSPropValue props) {
  std::vector<Property> global;
  HRESULT status = profstore::ReadSection(keyPath, GlobalSectionUid(), &global);
  if (FAILED(status)) return status;
  std::string server = StringOf(global, PR_PROFILE_HOME_SERVER);
  std::string mailbox = StringOf(global, PR_PROFILE_UNRESOLVED_NAME);
  for (ULONG i = 0; i < cValues; i++) {
    std::string* target = props[i].ulPropTag == PR_PROFILE_HOME_SERVER       ? &server
                          : props[i].ulPropTag == PR_PROFILE_UNRESOLVED_NAME ? &mailbox
                                                                             : nullptr;
    if (target == nullptr) continue;
    if (props[i].Value.lpszA == nullptr || !IsResolvable(props[i].Value.lpszA))
      return MAPI_E_INVALID_PARAMETER;
    *target = props[i].Value.lpszA;
  }

  bool configured = IsResolvable(server) && IsResolvable(mailbox);
  bool dialog = (flags & SERVICE_UI_ALWAYS) || ((flags & SERVICE_UI_ALLOWED) && !configured);
  bool resolve = false;
  if (dialog) {
    // Once the run was interrupted, the dialog is answered with Cancel without being shown.
    if (host::Interrupted()) return MAPI_E_USER_CANCEL;
    Button button = dialog::Run(window, &server, &mailbox);
    if (button == Button::Cancel) return MAPI_E_USER_CANCEL;
    resolve = button == Button::Check;
  } else if (!configured) {
    return MAPI_E_UNCONFIGURED;
  }
  return Store(keyPath, global, server, mailbox, resolve);
}

HRESULT Logon(const std::string& keyPath) {
  std::vector<Property> global;
  HRESULT status = profstore::ReadSection(keyPath, GlobalSectionUid(), &global);
  if (FAILED(status)) return status;
  std::string server = StringOf(global, PR_PROFILE_HOME_SERVER);
  std::string mailbox = StringOf(global, PR_PROFILE_UNRESOLVED_NAME);
  if (!IsResolvable(server)) return MAPI_E_LOGON_FAILED;
  // A mailbox resolved before needs no typed name any more.
  bool userKnown = FindProperty(global, PR_PROFILE_USER) != nullptr;
  if (mailbox.empty() ? !userKnown : !IsResolvable(mailbox)) return MAPI_E_LOGON_FAILED;

  std::vector<Property> writes;
  std::string serverDn = ServerDn(server);
  const Property* stored = FindProperty(global, PR_PROFILE_HOME_SERVER_DN);
  if (!stored || stored->bytes != serverDn)
    writes.push_back(StringProperty(PR_PROFILE_HOME_SERVER_DN, serverDn));
  if (!mailbox.empty()) {
    std::string mailboxDn = MailboxDn(mailbox);
    stored = FindProperty(global, PR_PROFILE_USER);
    if (!stored || stored->bytes != mailboxDn)
      writes.push_back(StringProperty(PR_PROFILE_USER, mailboxDn));
  }
  if (writes.empty()) return S_OK;
  return profstore::WriteSection(keyPath, GlobalSectionUid(), writes, {});
}

}  // namespace qsmapi::exchange
