#include "provisioning/screen.h"

#include "app/arguments.h"
#include "app/messages.h"
#include "platform/guard.h"
#include "platform/messagebox.h"

static SizedSPropTagArray(2, ScreenTags) = {2, {PR_PROFILE_USER, PR_PROFILE_HOME_SERVER_DN}};

// What one screening holds; released in ReleaseScreening on every path.
static LPPROFADMIN ScreenProfAdmin;
static LPSERVICEADMIN ScreenServiceAdmin;
static LPPROFSECT ScreenSection;
static LPSPropValue ScreenValues;
static HRESULT ScreenResult;

static void ReportScreenFailure(const char* format, HRESULT status) {
  wsprintfA(MessageText, format, status);
  ReportMessage(MessageText);
  ScreenResult = E_FAIL;
}

// Steps that call the subsystem; each failure reports and returns at once.
static void ExamineGlobalSection(void) {
  HRESULT hr = MAPIAdminProfiles(0, &ScreenProfAdmin);
  if (FAILED(hr) || ScreenProfAdmin == nullptr) {
    ReportScreenFailure("Failed to load the MAPI profile administration object (%08lx)", hr);
    return;
  }
  hr = ScreenProfAdmin->AdminServices(ProfileName, nullptr, 0, 0, &ScreenServiceAdmin);
  if (FAILED(hr) || ScreenServiceAdmin == nullptr) {
    ReportScreenFailure("Failed to access the message service administration object (%08lx)", hr);
    return;
  }
  hr = ScreenServiceAdmin->OpenProfileSection((LPMAPIUID)pbGlobalProfileSectionGuid, nullptr, 0,
                                              &ScreenSection);
  if (FAILED(hr) || ScreenSection == nullptr) {
    ReportScreenFailure("Failed to open the global profile section of the current profile (%08lx)",
                        hr);
    return;
  }
  ULONG count = 0;
  hr = ScreenSection->GetProps((LPSPropTagArray)&ScreenTags, 0, &count, &ScreenValues);
  if (FAILED(hr) || ScreenValues == nullptr) {
    ReportScreenFailure("Failed to load properties for the global profile section (%08lx)", hr);
    return;
  }
  // A missing property comes back with the error type in its tag, so comparing whole tags tells
  // present from missing. Fewer values than asked for count as missing too.
  bool complete = count >= 2 && ScreenValues[0].ulPropTag == PR_PROFILE_USER &&
                  ScreenValues[1].ulPropTag == PR_PROFILE_HOME_SERVER_DN;
  ScreenResult = complete ? S_OK : MAPI_E_NOT_FOUND;
}

static void ReleaseScreening(void) {
  if (ScreenValues) MAPIFreeBuffer(ScreenValues);
  if (ScreenSection) ScreenSection->Release();
  if (ScreenServiceAdmin) ScreenServiceAdmin->Release();
  if (ScreenProfAdmin) ScreenProfAdmin->Release();
  ScreenValues = nullptr;
  ScreenSection = nullptr;
  ScreenServiceAdmin = nullptr;
  ScreenProfAdmin = nullptr;
}

HRESULT ScreenProfile(void) {
  if (ProfileName[0] == '\0') {
    ReportMessage("An invalid profile name was requested");
    return E_FAIL;
  }
  ScreenProfAdmin = nullptr;
  ScreenServiceAdmin = nullptr;
  ScreenSection = nullptr;
  ScreenValues = nullptr;
  ScreenResult = E_FAIL;
  if (!CallGuarded(ExamineGlobalSection)) {
    wsprintfA(MessageText, "{%s} ScreenProfile - Exception handled", ProfileName);
    ReportMessage(MessageText);
    ScreenResult = E_FAIL;
  }
  ReleaseScreening();
  return ScreenResult;
}
