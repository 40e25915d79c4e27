#include "tools/qsreg-regfile.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "tools/qsreg-text.h"

namespace {

const char Unicode[] = "Windows Registry Editor Version 5.00";

// How a file holds the data of its hex(1), hex(2) and hex(7) values: as UTF-16LE (Version 5.00),
// or as 8-bit text in the file's code page, UTF-8 (kept as it is) or Windows-1252.
enum StringBytes { Utf16Bytes, Utf8Bytes, Windows1252Bytes };

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to maxDigits hex digits, all of text.
bool ParseHex(const std::string& text, size_t maxDigits, unsigned long* value) {
  if (text.empty() || text.size() > maxDigits) return false;
  *value = 0;
  for (char c : text) {
    if (HexDigit(c) < 0) return false;
    *value = *value << 4 | HexDigit(c);
  }
  return true;
}

// Appends text in quotes, with \\ and \" for its backslashes and quotes.
void AppendQuoted(const char* text, size_t size, std::string* out) {
  *out += '"';
  for (size_t start = 0, i = 0; i <= size; i++) {
    if (i < size && text[i] != '\\' && text[i] != '"') continue;
    out->append(text + start, i - start);
    if (i < size) *out += '\\';
    start = i;
  }
  *out += '"';
}

// Whether text holds a line break, or with bracket also a ].
bool BreaksLine(const std::string& text, bool bracket = false) {
  for (char c : text)
    if (c == '\n' || c == '\r' || (bracket && c == ']')) return true;
  return false;
}

// Reads a quoted string starting at text[*pos], with \\ and \" as its only escapes, and moves
// *pos past it.
bool ReadQuoted(const std::string& text, size_t* pos, std::string* out) {
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); i++) {
    if (text[i] == '"') {
      *pos = i + 1;
      return true;
    }
    if (text[i] == '\\' && (++i == text.size() || (text[i] != '\\' && text[i] != '"')))
      return false;
    *out += text[i];
  }
  return false;
}

// Splits a key's full name into its path below HKEY_CURRENT_USER; false with *problem.
bool ParseKeyName(const std::string& fullName, std::string* path, std::string* problem) {
  size_t slash = fullName.find('\\');
  std::string root = fullName.substr(0, slash);
  if (strcasecmp(root.c_str(), "HKEY_CURRENT_USER") != 0 && strcasecmp(root.c_str(), "HKCU") != 0) {
    *problem = "Only HKEY_CURRENT_USER keys can be imported, not " + Printable(root) + ".";
    return false;
  }
  *path = slash == std::string::npos ? "" : fullName.substr(slash + 1);
  for (size_t start = 0; slash != std::string::npos && start <= path->size();) {
    size_t end = std::min(path->find('\\', start), path->size());
    if (end == start || end - start > 255) {
      *problem = "Key names are 1 to 255 bytes: " + Printable(fullName) + ".";
      return false;
    }
    start = end + 1;
  }
  return true;
}

// Reads value data after the = of a value line. Hex data may go on over further lines, each
// ending with a backslash; *next is the index of the last line used.
bool ParseData(const std::vector<std::string>& lines, size_t* next, std::string text,
               StringBytes strings, RegChange* change, std::string* problem) {
  unsigned long number = 0;
  if (text[0] == '"') {
    size_t end = 0;
    if (!ReadQuoted(text, &end, &change->data) || end != text.size()) {
      *problem = "A string is \"text\" with \\\\ and \\\" as its only escapes.";
      return false;
    }
    change->type = REG_SZ;
    change->data += '\0';
    return true;
  }
  if (strncasecmp(text.c_str(), "dword:", 6) == 0) {
    if (!ParseHex(text.substr(6), 8, &number)) {
      *problem = "dword: takes 1 to 8 hex digits.";
      return false;
    }
    change->type = REG_DWORD;
    for (int i = 0; i < 4; i++) change->data += (char)(number >> (8 * i));
    return true;
  }
  size_t colon = text.find(':');
  std::string prefix = text.substr(0, colon);
  if (colon == std::string::npos || strncasecmp(prefix.c_str(), "hex", 3) != 0) {
    *problem = "Value data is \"text\", dword:, hex:, hex(TYPE): or - (to delete the value).";
    return false;
  }
  change->type = REG_BINARY;
  if (prefix.size() > 3) {
    if (prefix[3] != '(' || prefix.back() != ')' ||
        !ParseHex(prefix.substr(4, prefix.size() - 5), 8, &number)) {
      *problem = "A value type is hex(N), with N in hex.";
      return false;
    }
    change->type = (DWORD)number;
  }
  text.erase(0, colon + 1);
  while (!text.empty() && text.back() == '\\') {
    if (++*next == lines.size()) {
      *problem = "The file ends after a line that goes on (\\).";
      return false;
    }
    text.pop_back();
    text += lines[*next];
  }
  std::string bytes;
  for (size_t start = 0; !text.empty() && start <= text.size();) {
    size_t end = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, end - start);
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (!ParseHex(item, 2, &number)) {
      *problem = "Hex data is bytes of two hex digits separated by commas.";
      return false;
    }
    bytes += (char)number;
    start = end + 1;
  }
  change->data.clear();
  bool isText =
      change->type == REG_SZ || change->type == REG_EXPAND_SZ || change->type == REG_MULTI_SZ;
  if (!isText || strings == Utf8Bytes) {
    change->data = bytes;
  } else if (strings == Windows1252Bytes) {
    change->data = Utf8FromWindows1252(bytes);
  } else if (!AppendUtf8FromUtf16(bytes, 0, &change->data)) {
    *problem = "The data of a string type in a Version 5.00 file is UTF-16LE text.";
    return false;
  }
  return true;
}

}  // namespace

bool ParseRegFile(const std::string& bytes, const std::string& fileName,
                  std::vector<RegChange>* changes, std::string* error) {
  auto fail = [&](size_t line, const std::string& what) {
    *error = fileName + ":" + std::to_string(line) + ": " + what;
    return false;
  };
  changes->clear();
  // UTF-16LE with its byte order mark, or 8-bit text: UTF-8 when it is valid UTF-8 (with or
  // without a byte order mark), and otherwise Windows-1252, as a Western Windows writes it.
  std::string text;
  StringBytes strings = Utf16Bytes;
  if (bytes.starts_with("\xFF\xFE")) {
    if (!AppendUtf8FromUtf16(bytes, 2, &text))
      return fail(1 + std::count(text.begin(), text.end(), '\n'), "This is not UTF-16LE text.");
  } else {
    text = bytes.substr(bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    strings = IsUtf8(text) ? Utf8Bytes : Windows1252Bytes;
    if (strings == Windows1252Bytes) text = Utf8FromWindows1252(text);
  }

  // The lines, without the whitespace around them.
  std::vector<std::string> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    line.erase(0, line.find_first_not_of(" \t"));
    line.erase(line.find_last_not_of(" \t\r") + 1);
    if (line.find('\0') != std::string::npos) return fail(lines.size() + 1, "A NUL character.");
    lines.push_back(line);
    start = end + 1;
  }
  if (lines[0] != "REGEDIT4" && lines[0] != Unicode)
    return fail(1, std::string("The first line is not REGEDIT4 or ") + Unicode + ".");
  if (lines[0] == Unicode) strings = Utf16Bytes;

  bool inKey = false, deleting = false;
  std::string key, problem;
  for (size_t i = 1; i < lines.size(); i++) {
    const std::string& line = lines[i];
    size_t number = i + 1;
    if (line.empty() || line[0] == ';') continue;
    RegChange change{RegChange::CreateKey, number, key, "", REG_NONE, ""};
    if (line[0] == '[') {
      deleting = line.size() > 1 && line[1] == '-';
      std::string fullName = line.substr(deleting ? 2 : 1, line.size() - (deleting ? 3 : 2));
      if (line.back() != ']' || line.size() < 2 || fullName.find(']') != std::string::npos)
        return fail(number, "A key line is [KEY] or [-KEY], and KEY has no ].");
      if (!ParseKeyName(fullName, &key, &problem)) return fail(number, problem);
      inKey = true;
      change.kind = deleting ? RegChange::DeleteKey : RegChange::CreateKey;
      change.key = key;
      changes->push_back(change);
      continue;
    }
    if (line[0] != '"' && line[0] != '@')
      return fail(number, "A line is [KEY], \"NAME\"=DATA, @=DATA, a comment (;) or blank.");
    if (!inKey) return fail(number, "A value comes before the first [KEY] line.");
    if (deleting) return fail(number, "A key that is deleted ([-KEY]) cannot have values.");
    size_t pos = line[0] == '@' ? 1 : 0;
    if (line[0] == '"' && !ReadQuoted(line, &pos, &change.name))
      return fail(number, "A value name is \"text\" with \\\\ and \\\" as its only escapes.");
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos || line[pos] != '=')
      return fail(number, "A value name is followed by =.");
    std::string data = line.substr(pos + 1);
    data.erase(0, data.find_first_not_of(" \t"));
    if (data.empty()) return fail(number, "The value has no data.");
    change.kind = data == "-" ? RegChange::DeleteValue : RegChange::SetValue;
    if (change.kind == RegChange::SetValue &&
        !ParseData(lines, &i, data, strings, &change, &problem))
      return fail(number, problem);
    changes->push_back(change);
  }
  return true;
}

const char ExportHeader[] = "Windows Registry Editor Version 5.00\n";

bool KeyLine(const std::string& fullName, std::string* line, std::string* error) {
  if (BreaksLine(fullName, true)) {
    *error = "Cannot export the key " + Printable(fullName) +
             ": a .reg file cannot hold a key name with ] or a line break.";
    return false;
  }
  line->assign(1, '[');
  *line += fullName;
  *line += ']';
  return true;
}

bool ValueLine(const std::string& keyName, const std::string& name, DWORD type,
               const std::string& data, std::string* line, std::string* error) {
  if (BreaksLine(name)) {
    *error = "Cannot export the value " + Printable(name) + " of " + Printable(keyName) +
             ": a .reg file cannot hold a value name with a line break.";
    return false;
  }
  line->clear();
  if (name.empty())
    *line += '@';
  else
    AppendQuoted(name.data(), name.size(), line);
  *line += '=';
  if (type == REG_SZ && !data.empty() && memchr(data.data(), '\0', data.size()) == &data.back() &&
      !BreaksLine(data)) {
    AppendQuoted(data.data(), data.size() - 1, line);
    return true;
  }
  char prefix[24];
  if (type == REG_DWORD && data.size() == 4) {
    unsigned long value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | (unsigned char)data[i];
    snprintf(prefix, sizeof prefix, "dword:%08lx", value);
    *line += prefix;
    return true;
  }
  if (type == REG_BINARY)
    snprintf(prefix, sizeof prefix, "hex:");
  else
    snprintf(prefix, sizeof prefix, "hex(%x):", (unsigned)type);
  *line += prefix;
  // The text types hold UTF-16LE in the file.
  const std::string* bytes = &data;
  std::string wide;
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    AppendUtf16(data, false, &wide);
    bytes = &wide;
  }
  // Lines of bytes are broken as reg breaks them: after a comma that passes column 76, with
  // the next line indented by two spaces.
  size_t column = Utf16Length(*line);
  line->reserve(line->size() + bytes->size() * 3 + bytes->size() / 6);
  for (size_t i = 0; i < bytes->size(); i++) {
    unsigned char byte = (unsigned char)(*bytes)[i];
    *line += "0123456789abcdef"[byte >> 4];
    *line += "0123456789abcdef"[byte & 15];
    if (i + 1 == bytes->size()) break;
    *line += ',';
    if ((column += 3) > 76) {
      *line += "\\\n  ";
      column = 2;
    }
  }
  return true;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char escape[8];
    snprintf(escape, sizeof escape, "\\x%02x", c);
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c < 0x20 || c == 0x7F ? escape : std::string(1, (char)c);
  }
  return out;
}
