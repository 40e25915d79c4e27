// .reg files as qsreg writes and reads them: the lines of an export, and the reading of a whole
// REGEDIT4 or "Windows Registry Editor Version 5.00" file into the changes an import makes. Both
// work on text in memory, apart from the store, so that each can be checked against the other: what
// export writes, import reads back as the same keys and values.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"

// One change a .reg file asks for, in the order the file gives them.
struct RegChange {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind;
  size_t line;       // the line of the file that asks for it
  std::string key;   // the path below HKEY_CURRENT_USER; "" is HKEY_CURRENT_USER itself
  std::string name;  // SetValue, DeleteValue: the value's name; "" is the default value
  DWORD type = REG_NONE;
  std::string data;
};

// Reads a whole .reg file into *changes. The text of a UTF-16LE file becomes UTF-8, and so does
// the data of hex(1), hex(2) and hex(7) values in a Version 5.00 file, which that format keeps as
// UTF-16LE. An 8-bit file is read as UTF-8 when it is valid UTF-8, and otherwise as
// Windows-1252, and so is the data of those types in a REGEDIT4 file. On a fault returns false
// with *error as "fileName:line: what is wrong".
bool ParseRegFile(const std::string& bytes, const std::string& fileName,
                  std::vector<RegChange>* changes, std::string* error);

// An export is this line and then, for each key, a blank line, its KeyLine and its ValueLines,
// and a blank line at the end; all of it as UTF-16LE with a byte order mark and CRLF line ends
// (AppendUtf16).
extern const char ExportHeader[];

// The header line of a key given by its full name (HKEY_CURRENT_USER\...). False, with
// *error naming the key, when the line would read back as another key.
bool KeyLine(const std::string& fullName, std::string* line, std::string* error);

// One value's line or lines, as a Version 5.00 file has them: "name"= or @= followed by "string",
// dword:, hex: or hex(N):, the data of hex(1), hex(2) and hex(7) as UTF-16LE, and long hex data
// broken over lines as reg breaks it. A string that would not come back byte for byte from its
// quoted form is written as hex(1).
// False, with *error naming the value and its key, when the name would not read back.
bool ValueLine(const std::string& keyName, const std::string& name, DWORD type,
               const std::string& data, std::string* line, std::string* error);

// A name as a one-line message can show it: a control character becomes \n, \r or \xNN.
std::string Printable(const std::string& text);
