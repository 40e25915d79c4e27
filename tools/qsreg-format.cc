#include "tools/qsreg-format.h"

#include <stdio.h>
#include <strings.h>

#include <vector>

namespace {

struct TypeRow {
  DWORD type;
  const char* name;
  bool added;  // whether add takes it
};

const TypeRow Types[] = {
    {REG_NONE, "REG_NONE", true},
    {REG_SZ, "REG_SZ", true},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ", true},
    {REG_BINARY, "REG_BINARY", true},
    {REG_DWORD, "REG_DWORD", true},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN", false},
    {REG_LINK, "REG_LINK", false},
    {REG_MULTI_SZ, "REG_MULTI_SZ", true},
    {8, "REG_RESOURCE_LIST", false},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {REG_QWORD, "REG_QWORD", true},
};

// Reads a whole unsigned number in decimal or 0x hex no larger than limit.
bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long* value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  size_t start = hex ? 2 : 0;
  if (text.size() == start) return false;
  unsigned long long result = 0, base = hex ? 16 : 10;
  for (size_t i = start; i < text.size(); i++) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (result > (limit - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(const std::string& data) {
  std::string out;
  for (unsigned char byte : data) {
    out += "0123456789ABCDEF"[byte >> 4];
    out += "0123456789ABCDEF"[byte & 15];
  }
  return out;
}

uint64_t LittleEndian(const std::string& data) {
  uint64_t value = 0;
  for (size_t i = data.size(); i-- > 0;) value = value << 8 | (unsigned char)data[i];
  return value;
}

}  // namespace

std::string TypeName(DWORD type) {
  for (const TypeRow& row : Types)
    if (row.type == type) return row.name;
  char number[16];
  snprintf(number, sizeof number, "0x%x", (unsigned)type);
  return number;
}

bool ParseTypeName(const std::string& name, DWORD* type) {
  for (const TypeRow& row : Types)
    if (row.added && strcasecmp(name.c_str(), row.name) == 0) {
      *type = row.type;
      return true;
    }
  return false;
}

bool EncodeData(DWORD type, const std::string& text, const std::string& separator,
                std::string* data, std::string* problem) {
  data->clear();
  unsigned long long number = 0;
  switch (type) {
    case REG_NONE:  // text, as reg takes it for this type
    case REG_SZ:
    case REG_EXPAND_SZ:
      *data = text;
      data->push_back('\0');
      return true;
    case REG_MULTI_SZ: {
      // Items end with one terminator each and the list with one more. An empty item would end
      // the list early and hide the items after it; only a list of one empty item, given as the
      // separator alone, may hold one.
      std::vector<std::string> items;
      for (size_t start = 0; start < text.size();) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        items.push_back(text.substr(start, end - start));
        start = end + separator.size();
      }
      if (text == separator) {
        data->assign(2, '\0');
        return true;
      }
      for (const std::string& item : items) {
        if (item.empty()) {
          *problem = "REG_MULTI_SZ items cannot be empty.";
          return false;
        }
        *data += item;
        data->push_back('\0');
      }
      data->push_back('\0');
      if (items.empty()) data->resize(1);
      return true;
    }
    case REG_DWORD:
      if (!text.empty() && !ParseNumber(text, 0xFFFFFFFFull, &number)) {
        *problem = "REG_DWORD data is a number from 0 to 4294967295, in decimal or 0x hex.";
        return false;
      }
      for (int i = 0; i < 4; i++) data->push_back((char)(number >> (8 * i)));
      return true;
    case REG_QWORD:
      if (!text.empty() && !ParseNumber(text, ~0ull, &number)) {
        *problem =
            "REG_QWORD data is a number from 0 to 18446744073709551615, in decimal or 0x hex.";
        return false;
      }
      for (int i = 0; i < 8; i++) data->push_back((char)(number >> (8 * i)));
      return true;
    default: {  // REG_BINARY; an odd count of digits reads as if a 0 came first
      std::string digits = text.size() % 2 ? "0" + text : text;
      for (size_t i = 0; i < digits.size(); i += 2) {
        int high = HexDigit(digits[i]), low = HexDigit(digits[i + 1]);
        if (high < 0 || low < 0) {
          *problem = TypeName(type) + " data is hex digits.";
          return false;
        }
        data->push_back((char)(high << 4 | low));
      }
      return true;
    }
  }
}

std::string FormatData(DWORD type, const std::string& data) {
  char number[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return data.substr(0, data.find('\0'));
    case REG_MULTI_SZ: {
      std::string out;
      for (size_t start = 0; start < data.size();) {
        size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (end == start) break;
        if (start) out += "\\0";
        out += data.substr(start, end - start);
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
    case REG_QWORD:
      if (data.size() != (type == REG_DWORD ? 4u : 8u)) break;
      snprintf(number, sizeof number, "0x%llx", (unsigned long long)LittleEndian(data));
      return number;
    case REG_DWORD_BIG_ENDIAN:
      if (data.size() != 4) break;
      snprintf(number, sizeof number, "0x%llx",
               (unsigned long long)LittleEndian(std::string(data.rbegin(), data.rend())));
      return number;
  }
  return Hex(data);
}
