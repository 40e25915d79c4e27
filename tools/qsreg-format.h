// How qsreg reads value data from its command line and shows it in the query listing.
#pragma once

#include <string>

#include "platform/registry.h"

// REG_SZ, REG_DWORD, ... for a type; a type without a name is shown as its number in hex.
std::string TypeName(DWORD type);

// The type of a name given to /t (case-insensitive); false for a name add does not take.
bool ParseTypeName(const std::string& name, DWORD* type);

// The bytes to store for /d text of a type: strings and REG_NONE as text with its terminator,
// numbers in decimal or 0x hex (range-checked), binary as hex digits (an odd count as if led by
// a 0), REG_MULTI_SZ items split at separator. On bad text returns false with *problem saying what
// is wrong.
bool EncodeData(DWORD type, const std::string& text, const std::string& separator,
                std::string* data, std::string* problem);

// Data as the query listing shows it: strings as text, numbers as 0x hex, REG_MULTI_SZ items
// joined by \0, anything else as upper-case hex digits.
std::string FormatData(DWORD type, const std::string& data);
