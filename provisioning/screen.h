// Whether the profile named by ProfileName is complete: its global section must name both the
// user and the home server.
#pragma once

#include "platform/mapi.h"

// Returns S_OK when both properties are present, MAPI_E_NOT_FOUND when either is missing, and
// E_FAIL after a message when the section could not be examined. Reads only. The messaging
// subsystem must be initialised.
HRESULT ScreenProfile(void);
