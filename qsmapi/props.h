// Property values as the simulated subsystem keeps them, apart from MAPI's buffers, and their
// conversion to and from MAPI's records. Every other part of the subsystem builds on this one.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi.h"

namespace qsmapi {

// A property value. Numbers (PT_I2, PT_LONG, PT_BOOLEAN, PT_I8) are in number, as is the status
// of a PT_ERROR value; strings (without their terminator) and binary values are in bytes.
struct Property {
  ULONG tag = 0;
  LONGLONG number = 0;
  std::string bytes;
};
Property StringProperty(ULONG tag, const std::string& text);
Property BinaryProperty(ULONG tag, const void* data, size_t size);
Property LongProperty(ULONG tag, LONG value);
Property ErrorProperty(ULONG tag, SCODE status);

// Whether a property of this type can be kept in a profile section.
bool IsStorableType(ULONG type);

// Converts a caller's value. Returns MAPI_E_NO_SUPPORT for a type a section cannot keep and
// MAPI_E_INVALID_PARAMETER for a value whose pointer is missing.
HRESULT FromPropValue(const SPropValue& value, Property* out);

// Writes a property into a MAPI value, allocating strings and binary data "more" on root.
HRESULT ToPropValue(const Property& property, LPVOID root, SPropValue* out);

// Hands back properties as one MAPI buffer (a root the caller frees with MAPIFreeBuffer).
HRESULT ToPropArray(const std::vector<Property>& properties, ULONG* count, LPSPropValue* out);

// Finds a property by tag; a PT_UNSPECIFIED tag matches any type of its identifier.
const Property* FindProperty(const std::vector<Property>& properties, ULONG tag);

// Text without its leading and trailing blanks, and in ASCII lower case, as the dialog and the
// INF file read answers and names.
std::string Trim(const std::string& text);
std::string Lower(std::string text);

// ASCII case-insensitive equality, as the registry and the INF file compare names.
bool SameName(const std::string& a, const std::string& b);

// The section UID of the global profile section.
const MAPIUID& GlobalSectionUid();

}  // namespace qsmapi
