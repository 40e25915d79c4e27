#include "qsmapi/props.h"

#include <string.h>

namespace qsmapi {

Property StringProperty(ULONG tag, const std::string& text) {
  Property property;
  property.tag = tag;
  property.bytes = text;
  return property;
}

Property BinaryProperty(ULONG tag, const void* data, size_t size) {
  Property property;
  property.tag = tag;
  property.bytes.assign((const char*)data, size);
  return property;
}

Property LongProperty(ULONG tag, LONG value) {
  Property property;
  property.tag = tag;
  property.number = value;
  return property;
}

Property ErrorProperty(ULONG tag, SCODE status) {
  Property property;
  property.tag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  property.number = status;
  return property;
}

bool IsStorableType(ULONG type) {
  switch (type) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_I8:
    case PT_STRING8:
    case PT_BINARY:
      return true;
  }
  return false;
}

HRESULT FromPropValue(const SPropValue& value, Property* out) {
  out->tag = value.ulPropTag;
  out->number = 0;
  out->bytes.clear();
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2:
      out->number = value.Value.i;
      return S_OK;
    case PT_LONG:
      out->number = value.Value.l;
      return S_OK;
    case PT_BOOLEAN:
      out->number = value.Value.b != 0;
      return S_OK;
    case PT_I8:
      out->number = value.Value.li.QuadPart;
      return S_OK;
    case PT_STRING8:
      if (value.Value.lpszA == nullptr) return MAPI_E_INVALID_PARAMETER;
      out->bytes = value.Value.lpszA;
      return S_OK;
    case PT_BINARY:
      if (value.Value.bin.cb > 0 && value.Value.bin.lpb == nullptr) return MAPI_E_INVALID_PARAMETER;
      out->bytes.assign((const char*)value.Value.bin.lpb, value.Value.bin.cb);
      return S_OK;
  }
  return MAPI_E_NO_SUPPORT;
}

HRESULT ToPropValue(const Property& property, LPVOID root, SPropValue* out) {
  memset(out, 0, sizeof *out);
  out->ulPropTag = property.tag;
  LPVOID data = nullptr;
  switch (PROP_TYPE(property.tag)) {
    case PT_ERROR:
      out->Value.err = (SCODE)property.number;
      return S_OK;
    case PT_I2:
      out->Value.i = (short)property.number;
      return S_OK;
    case PT_LONG:
      out->Value.l = (LONG)property.number;
      return S_OK;
    case PT_BOOLEAN:
      out->Value.b = property.number != 0;
      return S_OK;
    case PT_I8:
      out->Value.li.QuadPart = property.number;
      return S_OK;
    case PT_STRING8: {
      HRESULT status = MAPIAllocateMore((ULONG)property.bytes.size() + 1, root, &data);
      if (FAILED(status)) return status;
      memcpy(data, property.bytes.c_str(), property.bytes.size() + 1);
      out->Value.lpszA = (LPSTR)data;
      return S_OK;
    }
    case PT_BINARY: {
      size_t size = property.bytes.size();
      HRESULT status = MAPIAllocateMore(size ? (ULONG)size : 1, root, &data);
      if (FAILED(status)) return status;
      if (size) memcpy(data, property.bytes.data(), size);
      out->Value.bin.cb = (ULONG)size;
      out->Value.bin.lpb = (LPBYTE)data;
      return S_OK;
    }
  }
  return MAPI_E_NO_SUPPORT;
}

HRESULT ToPropArray(const std::vector<Property>& properties, ULONG* count, LPSPropValue* out) {
  *count = 0;
  *out = nullptr;
  LPVOID buffer = nullptr;
  size_t slots = properties.empty() ? 1 : properties.size();
  HRESULT status = MAPIAllocateBuffer((ULONG)(slots * sizeof(SPropValue)), &buffer);
  if (FAILED(status)) return status;
  LPSPropValue values = (LPSPropValue)buffer;
  memset(values, 0, slots * sizeof(SPropValue));
  for (size_t i = 0; i < properties.size(); i++) {
    status = ToPropValue(properties[i], buffer, &values[i]);
    if (FAILED(status)) {
      MAPIFreeBuffer(buffer);
      return status;
    }
  }
  *count = (ULONG)properties.size();
  *out = values;
  return S_OK;
}

const Property* FindProperty(const std::vector<Property>& properties, ULONG tag) {
  for (const Property& property : properties)
    if (property.tag == tag) return &property;
  if (PROP_TYPE(tag) == PT_UNSPECIFIED)
    for (const Property& property : properties)
      if (PROP_ID(property.tag) == PROP_ID(tag)) return &property;
  return nullptr;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return text;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (x >= 'A' && x <= 'Z') x = (unsigned char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (unsigned char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const MAPIUID& GlobalSectionUid() {
  static const MAPIUID uid = [] {
    MAPIUID value;
    memcpy(value.ab, pbGlobalProfileSectionGuid, sizeof value.ab);
    return value;
  }();
  return uid;
}
}  // namespace qsmapi
