// The Messaging API as the system code calls it: functions, interfaces, records, property tags
// and status values. On Windows the SDK headers that the compiler ships declare them, and mapi32
// serves them; on POSIX mapidefs-posix.h declares the same names and shapes, and the simulated
// subsystem (qsmapi/) serves them.
#pragma once

#include "platform/wintypes.h"

#ifdef _WIN32
#include <mapix.h>
#include <mapiutil.h>
#include <mapicode.h>
#include <mapitags.h>
#include <mapidefs.h>
#else
#include "platform/mapidefs-posix.h"
#endif

// Values the compiler's SDK headers lack.
#ifndef pbGlobalProfileSectionGuid
#define pbGlobalProfileSectionGuid \
  "\x13\xDB\xB0\xC8\xAA\x05\x10\x1A\x9B\xB0\x00\xAA\x00\x2F\xC4\x5A"
#endif
#ifndef PR_PROFILE_USER
#define PR_PROFILE_USER PROP_TAG(PT_STRING8, 0x6603)
#endif
#ifndef PR_PROFILE_HOME_SERVER_DN
#define PR_PROFILE_HOME_SERVER_DN PROP_TAG(PT_STRING8, 0x6612)
#endif
#ifndef PR_PROFILE_AUTH_PACKAGE
#define PR_PROFILE_AUTH_PACKAGE PROP_TAG(PT_LONG, 0x6619)
#endif
#ifndef MAPI_E_NOT_INITIALIZED
#define MAPI_E_NOT_INITIALIZED ((SCODE)0x80040605u)
#endif
