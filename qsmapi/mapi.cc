// The subsystem's functions: initialisation, profile administration and logon.
#include <atomic>
#include <mutex>

#include "qsmapi/host.h"
#include "qsmapi/objects.h"
#include "qsmapi/plan.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/exchange.h"
#include "qsmapi/mapisvc.h"
#include "qsmapi/profstore.h"

namespace qsmapi {
namespace {

std::mutex InitLock;
int InitCount;
std::atomic<bool> Initialised;

// Logs on to a named profile: each of its services' providers logs on in turn, which for the
// Exchange provider resolves the server and the mailbox. No dialog is shown. Once the run was
// interrupted, the logon is cancelled, so that the caller stops quietly.
HRESULT Logon(LPTSTR profileName, LPMAPISESSION* session) {
  if (host::Interrupted()) return MAPI_E_USER_CANCEL;
  std::string keyPath;
  HRESULT status = profstore::FindProfile(profileName, &keyPath);
  if (FAILED(status)) return status;
  std::vector<MAPIUID> uids;
  status = profstore::ReadServiceList(keyPath, &uids);
  if (FAILED(status)) return status;
  bool exchangeDone = false;
  for (const MAPIUID& uid : uids) {
    std::vector<Property> section;
    status = profstore::ReadSection(keyPath, uid, &section);
    if (FAILED(status)) return status;
    const Property* name = FindProperty(section, PR_SERVICE_NAME);
    // Exchange services of one profile share its global section: one logon serves them all.
    if (exchangeDone || !name || !SameName(name->bytes, exchange::ServiceName)) continue;
    status = exchange::Logon(keyPath);
    if (FAILED(status)) return status;
    exchangeDone = true;
  }
  *session = NewSession();
  return S_OK;
}

}  // namespace

bool IsInitialized() {
  return Initialised.load();
}

}  // namespace qsmapi

using namespace qsmapi;

// The failure plan is taken from the environment at the first initialisation; a malformed one
// fails it, so that a mistyped plan is never mistaken for a run without one.
HRESULT WINAPI MAPIInitialize(LPVOID lpMapiInit) {
  LPMAPIINIT_0 given = (LPMAPIINIT_0)lpMapiInit;
  bool planned = plan::LoadFromEnvironment();
  plan::Call call =
      given ? plan::Call(nullptr, "MAPIInitialize", "%u, 0x%X", given->ulVersion, given->ulFlags)
            : plan::Call(nullptr, "MAPIInitialize", "null");
  if (call.Skips()) return call.status();
  if (!planned) return MAPI_E_INVALID_PARAMETER;
  if (given != nullptr && given->ulVersion > MAPI_INIT_VERSION) return MAPI_E_VERSION;
  {
    std::lock_guard<std::mutex> lock(InitLock);
    InitCount++;
    Initialised = true;
  }
  plan::Initialised();
  return call.Result(S_OK);
}

void WINAPI MAPIUninitialize(void) {
  plan::Call call(nullptr, "MAPIUninitialize", "%s", "");
  plan::Uninitialised();
  std::lock_guard<std::mutex> lock(InitLock);
  if (InitCount == 0) return;
  if (--InitCount > 0) return;
  Initialised = false;
  services::Forget();
  plan::CheckStrictly();
}

HRESULT WINAPI MAPIAdminProfiles(ULONG ulFlags, LPPROFADMIN* lppProfAdmin) {
  if (lppProfAdmin) *lppProfAdmin = nullptr;
  plan::Call call(nullptr, "MAPIAdminProfiles", "0x%X", ulFlags);
  if (call.Skips()) return call.status();
  if (lppProfAdmin == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  *lppProfAdmin = NewProfileAdmin();
  return call.Result(S_OK);
}

HRESULT WINAPI MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword,
                           ULONG ulFlags, LPMAPISESSION* lppSession) {
  if (lppSession) *lppSession = nullptr;
  plan::Call call(nullptr, "MAPILogonEx", "%lu, %s, %s, 0x%X", (unsigned long)ulUIParam,
                  plan::Quote(lpszProfileName), plan::Quote(lpszPassword), ulFlags);
  if (call.Skips()) return call.status();
  if (lppSession == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  return call.Result(Logon(lpszProfileName, lppSession));
}
