#include "provisioning/configure.h"

#include <string.h>

#include "app/arguments.h"
#include "app/messages.h"
#include "platform/guard.h"
#include "platform/mapi.h"
#include "platform/messagebox.h"
#include "platform/profilelock.h"
#include "provisioning/profilekey.h"
#include "provisioning/screen.h"

static MAPIINIT_0 MapiInit = {MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
static SizedSPropTagArray(2, ServiceColumns) = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};
static SizedSPropTagArray(1, AuthPackageTags) = {1, {PR_PROFILE_AUTH_PACKAGE}};

// The subsystem takes writable strings.
static char EmptyPassword[] = "";
static char ExchangeService[] = "MSEMS";
static char ExchangeDisplayName[] = "Microsoft Exchange";

#define LOGON_FLAGS \
  (MAPI_NO_MAIL | MAPI_USE_DEFAULT | MAPI_EXTENDED | MAPI_EXPLICIT_PROFILE | MAPI_NEW_SESSION)

// What one run holds, released by ReleaseProvisioning in reverse order of acquisition.
static bool Initialised;
static LPPROFADMIN ProfAdmin;
static LPSERVICEADMIN ServiceAdmin;
static LPMAPITABLE ServiceTable;
static LPSRowSet ServiceRows;
static LPPROFSECT GlobalSection;
static LPMAPISESSION Session;
static bool ProfileIsNew;
static HRESULT Status;

// Shows a message about the failed call with its status.
static void ReportStatus(const char* format, HRESULT status) {
  wsprintfA(MessageText, format, status);
  ReportMessage(MessageText);
}

// A call that reports success without handing back its object leaves nothing to go on with:
// its message shows the status it gave, and the run fails.
static bool Received(const void* object, const char* format) {
  if (FAILED(Status)) {
    ReportStatus(format, Status);
    return false;
  }
  if (object == nullptr) {
    ReportStatus(format, Status);
    Status = E_FAIL;
    return false;
  }
  return true;
}

// The first row of the service table must hold the service's name and its UID, since the UID is
// what the dialog is asked for: its first 16 bytes, which must be there to be read.
static bool ServiceRowIsValid(void) {
  if (ServiceRows->cRows < 1) return false;
  const SRow& row = ServiceRows->aRow[0];
  if (row.cValues < 2 || row.lpProps == nullptr) return false;
  if (row.lpProps[0].ulPropTag != PR_SERVICE_NAME || row.lpProps[1].ulPropTag != PR_SERVICE_UID)
    return false;
  return row.lpProps[1].Value.bin.cb >= sizeof(MAPIUID) && row.lpProps[1].Value.bin.lpb != nullptr;
}

// Creates the profile or confirms that it exists. Returns false after its message when neither.
static bool CreateOrConfirmProfile(void) {
  Status = ProfAdmin->CreateProfile(ProfileName, EmptyPassword, 0, 0);
  if (Status == MAPI_E_NO_ACCESS) {
    // The subsystem refuses an existing name; its key tells a real profile from a refusal.
    if (!ProfileKeyExists(ProfileName)) {
      ReportStatus("CreateProfile (%08lx)", Status);
      return false;
    }
    ProfileIsNew = false;
    return true;
  }
  if (FAILED(Status)) {
    ReportStatus("CreateProfile (%08lx)", Status);
    return false;
  }
  ProfileIsNew = true;
  return true;
}

// The one logon that lets the service complete the profile, then the second screening.
static void LogonAndScreen(void) {
  Status = MAPILogonEx(0, ProfileName, nullptr, LOGON_FLAGS, &Session);
  if (FAILED(Status)) return;
  if (Session == nullptr) {
    // A logon without a session completed nothing, and the profile was just found incomplete:
    // a failure, as quiet as a failed logon.
    Status = E_FAIL;
    return;
  }
  Session->Logoff(0, 0, 0);
  Session->Release();
  Session = nullptr;
  Status = ScreenProfile();
  if (Status == MAPI_E_NOT_FOUND) {
    wsprintfA(MessageText,
              "The (%s) profile is invalid due to missing or invalid property tags.\n"
              "Ensure the specified profile information is valid and unique.",
              ProfileName);
    ReportMessage(MessageText);
  }
}

static void Provision(void) {
  Status = MAPIInitialize(&MapiInit);
  if (FAILED(Status)) {
    ReportStatus("MAPIInitialize (%08lx)", Status);
    return;
  }
  Initialised = true;

  Status = MAPIAdminProfiles(0, &ProfAdmin);
  if (!Received(ProfAdmin, "MAPIAdminProfiles (%08lx)")) return;
  if (!CreateOrConfirmProfile()) return;

  Status = ProfAdmin->AdminServices(ProfileName, nullptr, 0, MAPI_DIALOG, &ServiceAdmin);
  if (!Received(ServiceAdmin, "AdminServices (%08lx)")) return;

  if (ProfileIsNew) {
    Status = ServiceAdmin->CreateMsgService(ExchangeService, ExchangeDisplayName, 0, 0);
    if (Status == MAPI_E_NOT_FOUND) {
      strcpy(MessageText, "Unable to find Exchange Server MAPI component");
      ReportMessage(MessageText);
      return;
    }
    if (FAILED(Status)) {
      ReportStatus("CreateMsgService (%08lx)", Status);
      return;
    }
  }

  Status = ServiceAdmin->GetMsgServiceTable(0, &ServiceTable);
  if (!Received(ServiceTable, "GetMsgServiceTable (%08lx)")) return;
  Status = HrQueryAllRows(ServiceTable, (LPSPropTagArray)&ServiceColumns, nullptr, nullptr, 0,
                          &ServiceRows);
  if (!Received(ServiceRows, "HrQueryAllRows (%08lx)")) return;
  if (!ServiceRowIsValid()) {
    // A profile without a usable service is no success: a new one goes, no name is stored.
    ReportStatus("Invalid properties in  MsgSvcTable (%08lx)", Status);
    Status = E_FAIL;
    return;
  }

  Status = ServiceAdmin->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr,
                                            MAPI_MODIFY, &GlobalSection);
  if (!Received(GlobalSection,
                "Failed to open the global profile section of the current profile (%08lx)"))
    return;
  Status = GlobalSection->DeleteProps((LPSPropTagArray)&AuthPackageTags, nullptr);
  if (FAILED(Status)) {
    ReportStatus("Failed to delete any previous authentication package (%08lx)", Status);
    return;
  }

  Status =
      ServiceAdmin->ConfigureMsgService((LPMAPIUID)ServiceRows->aRow[0].lpProps[1].Value.bin.lpb, 0,
                                        SERVICE_UI_ALWAYS | SERVICE_UI_ALLOWED, 0, nullptr);
  if (Status == MAPI_E_USER_CANCEL) return;
  if (FAILED(Status)) {
    ReportStatus("ConfigureMsgService (%08lx)", Status);
    return;
  }

  Status = ScreenProfile();
  if (Status == MAPI_E_NOT_FOUND) LogonAndScreen();
}

// The cleanup's calls, each run under a guard of its own: a fault or an exception in one is
// passed over without a message and leaves Status as it is, and the rest of the cleanup, the
// deletion of a new profile included, still runs.
static void LogOff(void) {
  Session->Logoff(0, 0, 0);
}
static void ReleaseSession(void) {
  Session->Release();
}
static void ReleaseSection(void) {
  GlobalSection->Release();
}
static void FreeRows(void) {
  FreeProws(ServiceRows);
}
static void ReleaseTable(void) {
  ServiceTable->Release();
}
static void ReleaseServiceAdmin(void) {
  ServiceAdmin->Release();
}
static void DeleteNewProfile(void) {
  ProfAdmin->DeleteProfile(ProfileName, 0);
}
static void ReleaseProfAdmin(void) {
  ProfAdmin->Release();
}
static void Uninitialise(void) {
  MAPIUninitialize();
}

static void ReleaseProvisioning(void) {
  if (Session) {
    CallGuarded(LogOff);
    CallGuarded(ReleaseSession);
  }
  if (GlobalSection) CallGuarded(ReleaseSection);
  if (ServiceRows) CallGuarded(FreeRows);
  if (ServiceTable) CallGuarded(ReleaseTable);
  if (ServiceAdmin) CallGuarded(ReleaseServiceAdmin);
  if (ProfAdmin) {
    if (ProfileIsNew && Status != S_OK) CallGuarded(DeleteNewProfile);
    CallGuarded(ReleaseProfAdmin);
  }
  if (Initialised) CallGuarded(Uninitialise);
  Session = nullptr;
  GlobalSection = nullptr;
  ServiceRows = nullptr;
  ServiceTable = nullptr;
  ServiceAdmin = nullptr;
  ProfAdmin = nullptr;
  Initialised = false;
}

bool ConfigureProfile(void) {
  // Another run that works on the same profile would see this run's new profile as its own
  // existing one, and this run's rollback would delete what it configured: one run at a time.
  // The other run may wait in its dialog for long, so this one does not wait for it.
  if (LockProfile(EncodeProfileKeyName(ProfileName)) == ERROR_LOCK_VIOLATION) {
    wsprintfA(MessageText,
              "The (%s) profile is being created or edited by another run of this program.\n"
              "Try again when that run has ended.",
              ProfileName);
    ReportMessage(MessageText);
    return false;
  }
  Initialised = false;
  ProfAdmin = nullptr;
  ServiceAdmin = nullptr;
  ServiceTable = nullptr;
  ServiceRows = nullptr;
  GlobalSection = nullptr;
  Session = nullptr;
  ProfileIsNew = false;
  Status = E_FAIL;
  if (!CallGuarded(Provision)) {
    wsprintfA(MessageText, "Exception caught");
    ReportMessage(MessageText);
    Status = E_FAIL;
  }
  bool isNew = ProfileIsNew;
  HRESULT status = Status;
  ReleaseProvisioning();
  UnlockProfile();
  // A new profile survives only a clean success, so only then is there a name to store.
  return isNew ? status == S_OK : SUCCEEDED(status);
}
