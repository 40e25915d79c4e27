// qsreg: shows, seeds, deletes, exports and imports keys and values of the current user's registry
// store, with the operations and options administrators know from the Windows registry console
// tool. It goes through the same registry calls as the system code, so it sees exactly what the
// system sees.
//
// Exit status 0 on success, 1 on any failure; a failure is one "ERROR: " line on stderr.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "regstore/batch.h"
#include "tools/qsreg-format.h"
#include "tools/qsreg-regfile.h"
#include "tools/qsreg-text.h"

namespace {

const char Usage[] =
    "qsreg OPERATION [ARGUMENTS]\n"
    "\n"
    "  Shows and changes the current user's registry store.\n"
    "\n"
    "  OPERATION  QUERY | ADD | DELETE | EXPORT | IMPORT\n"
    "\n"
    "  KEY is HKCU\\SubKey or HKEY_CURRENT_USER\\SubKey.\n"
    "  Options are case-insensitive and may begin with / or -.\n"
    "  \"qsreg OPERATION /?\" describes one operation.\n";

const char QueryUsage[] =
    "qsreg QUERY KEY [/v NAME | /ve] [/s]\n"
    "\n"
    "  Shows a key's values and lists its subkeys.\n"
    "\n"
    "  /v NAME  Shows only the value NAME.\n"
    "  /ve      Shows only the default (unnamed) value.\n"
    "  /s       Goes through all subkeys and their values.\n";

const char AddUsage[] =
    "qsreg ADD KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEPARATOR] [/f]\n"
    "\n"
    "  Creates a key (with the keys above it) and sets a value in it.\n"
    "\n"
    "  /v NAME       The value to set.\n"
    "  /ve           Sets the default (unnamed) value, as /t, /d and /s do without /v.\n"
    "  /t TYPE       REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "                REG_BINARY or REG_NONE.\n"
    "  /d DATA       REG_DWORD and REG_QWORD (which need it) in decimal or 0x hex; REG_BINARY\n"
    "                as hex digits; REG_MULTI_SZ items separated by \\0; other types as text.\n"
    "  /s SEPARATOR  One character that separates REG_MULTI_SZ items instead of \\0.\n"
    "  /f            Overwrites an existing value without asking.\n";

const char DeleteUsage[] =
    "qsreg DELETE KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "  Deletes a key with all its subkeys and values, or values of a key.\n"
    "\n"
    "  /v NAME  Deletes the value NAME.\n"
    "  /ve      Deletes the default (unnamed) value.\n"
    "  /va      Deletes all values of the key, keeping its subkeys.\n"
    "  /f       Deletes without asking.\n";

const char ExportUsage[] =
    "qsreg EXPORT KEY FILE [/y]\n"
    "\n"
    "  Writes a key with all its subkeys and values to FILE as a Windows Registry Editor\n"
    "  Version 5.00 file (UTF-16LE); FILE - is the standard output. FILE is a regular file: a\n"
    "  folder, device, FIFO or link is refused.\n"
    "\n"
    "  /y  Overwrites an existing FILE without asking.\n";

const char ImportUsage[] =
    "qsreg IMPORT FILE\n"
    "\n"
    "  Makes the changes a REGEDIT4 or Windows Registry Editor Version 5.00 file describes,\n"
    "  all of them or, on any error, none. FILE - is the standard input.\n";

const char Completed[] = "The operation completed successfully.\n";

enum Operation { Query, Add, Delete, Export, Import };

struct Request {
  Operation operation;
  std::string keyArgument;
  std::string file;
  bool hasValue = false;  // a value to work on: /v, /ve, or add's /t, /d and /s
  std::string valueName;  // "" for /ve, and for add's /t, /d and /s without /v
  bool allValues = false;
  bool recurse = false;
  bool force = false;
  bool hasType = false;
  std::string type;
  bool hasData = false;
  std::string data;
  bool hasSeparator = false;
  std::string separator;
};

// Thrown for any failure; main prints it as the one error line.
struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) {
  throw Failure{message};
}

[[noreturn]] void SyntaxError(const std::string& detail, const char* operation) {
  std::string help = operation ? std::string("qsreg ") + operation + " /?" : "qsreg /?";
  Fail("Invalid syntax: " + detail + ". Type \"" + help + "\" for usage.");
}

// The message the Windows system gives for a registry result.
std::string Describe(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case ERROR_BUSY:
      return "The requested resource is in use.";
    case ERROR_BADDB:
      return "The configuration registry database is corrupt.";
    case ERROR_REGISTRY_IO_FAILED:
      return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_KEY_DELETED:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    default:
      return "The registry call failed with error " + std::to_string(code) + ".";
  }
}

void Check(LONG code) {
  if (code != ERROR_SUCCESS) Fail(Describe(code));
}

// Describe, but for ERROR_INVALID_PARAMETER names the store's limit that the key path (below
// HKCU) or the value name breaks, where one of them does.
std::string DescribeFor(LONG code, const std::string& path, const std::string& valueName) {
  if (code != ERROR_INVALID_PARAMETER) return Describe(code);
  if (valueName.size() > 16383) return "The value name is longer than 16383 bytes.";
  size_t depth = path.empty() ? 0 : 1 + std::count(path.begin(), path.end(), '\\');
  if (depth > 512) return "The key is more than 512 levels deep.";
  for (size_t start = 0, end; start < path.size(); start = end + 1) {
    end = std::min(path.find('\\', start), path.size());
    if (end - start > 255) return "A key name is longer than 255 bytes.";
  }
  return Describe(code);
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

constexpr unsigned Q = 1 << Query, A = 1 << Add, D = 1 << Delete, E = 1 << Export, I = 1 << Import;

struct OperationRow {
  const char* name;
  unsigned bit;
  const char* usage;
  size_t positionals;  // KEY, KEY and FILE, or FILE
  bool fileFirst;      // the first positional is FILE
};

const OperationRow Operations[] = {
    {"QUERY", Q, QueryUsage, 1, false},   {"ADD", A, AddUsage, 1, false},
    {"DELETE", D, DeleteUsage, 1, false}, {"EXPORT", E, ExportUsage, 2, false},
    {"IMPORT", I, ImportUsage, 1, true},
};

// The options, each with the operations that take it and what it sets in the request: a flag,
// and for an option that takes the next word, where that goes. /v, /ve and /va exclude one
// another. Add's /t, /d and /s name a value too: without /v, the default value.
struct OptionRow {
  const char* name;
  unsigned operations;
  bool Request::*flag;
  std::string Request::*argument;
  bool value;      // sets hasValue
  bool exclusive;  // one of /v, /ve, /va
};

const OptionRow Options[] = {
    {"v", Q | A | D, nullptr, &Request::valueName, true, true},
    {"ve", Q | A | D, nullptr, nullptr, true, true},
    {"va", D, &Request::allValues, nullptr, false, true},
    {"s", Q, &Request::recurse, nullptr, false, false},
    {"s", A, &Request::hasSeparator, &Request::separator, true, false},
    {"t", A, &Request::hasType, &Request::type, true, false},
    {"d", A, &Request::hasData, &Request::data, true, false},
    {"f", A | D, &Request::force, nullptr, false, false},
    {"y", E, &Request::force, nullptr, false, false},
};

// Whether a word is /NAME or -NAME, in any case.
bool IsOption(const std::string& word, const char* name) {
  return word.size() > 1 && (word[0] == '/' || word[0] == '-') &&
         strcasecmp(word.c_str() + 1, name) == 0;
}

// Reads the command line. Returns false after printing help.
bool ParseArguments(int argc, char** argv, Request* request) {
  if (argc < 2) SyntaxError("an operation is missing", nullptr);
  if (IsOption(argv[1], "?")) {
    fputs(Usage, stdout);
    return false;
  }
  const OperationRow* operation = nullptr;
  for (const OperationRow& row : Operations)
    if (EqualsIgnoringCase(argv[1], row.name)) operation = &row;
  if (!operation) SyntaxError(std::string("unknown operation ") + argv[1], nullptr);
  request->operation = (Operation)(operation - Operations);
  const char* name = operation->name;
  for (int i = 2; i < argc; i++)
    if (IsOption(argv[i], "?")) {
      fputs(operation->usage, stdout);
      return false;
    }

  std::vector<std::string> positionals;
  bool given[std::size(Options)] = {};
  int exclusive = 0;
  for (int i = 2; i < argc; i++) {
    std::string word = argv[i];
    const OptionRow* option = nullptr;
    for (const OptionRow& row : Options)
      if ((row.operations & operation->bit) && IsOption(word, row.name)) option = &row;
    // An export or import FILE may well be an absolute path: a word that is not one of the
    // operation's options is then taken for the file.
    bool fileNext = positionals.size() == (operation->fileFirst ? 0 : 1) &&
                    operation->positionals > positionals.size();
    if (!option && word.size() > 1 && (word[0] == '-' || (word[0] == '/' && !fileNext)))
      SyntaxError("invalid option " + word, name);
    if (!option) {
      if (positionals.size() == operation->positionals) SyntaxError("too many arguments", name);
      positionals.push_back(word);
      continue;
    }
    if (given[option - Options])
      SyntaxError("/" + std::string(option->name) + " is given twice", name);
    given[option - Options] = true;
    exclusive += option->exclusive;
    if (option->flag) request->*option->flag = true;
    request->hasValue |= option->value;
    if (option->argument) {
      if (i + 1 >= argc) SyntaxError("/" + std::string(option->name) + " needs an argument", name);
      request->*option->argument = argv[++i];
    }
  }
  if (exclusive > 1) SyntaxError("/v, /ve and /va exclude one another", name);
  if (positionals.size() < operation->positionals)
    SyntaxError(positionals.empty() && !operation->fileFirst ? "KEY is missing" : "FILE is missing",
                name);
  request->keyArgument = positionals[0];
  request->file = positionals.back();
  return true;
}

// The characters of UTF-8 text (what the command line gives); a byte that is not UTF-8 counts
// as one.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); i += std::max<size_t>(Utf8Sequence(text, i), 1)) count++;
  return count;
}

// Splits KEY into the path under HKEY_CURRENT_USER and the full name shown to the user.
void ParseKey(const std::string& argument, bool rootAllowed, std::string* path,
              std::string* fullName) {
  size_t slash = argument.find('\\');
  std::string root = argument.substr(0, slash);
  if (!EqualsIgnoringCase(root, "HKCU") && !EqualsIgnoringCase(root, "HKEY_CURRENT_USER")) {
    if (strncasecmp(root.c_str(), "HK", 2) == 0)
      Fail("Invalid key name: " + argument + ". Only HKCU (HKEY_CURRENT_USER) is kept here.");
    Fail("Invalid key name: " + argument + ". A key begins with HKCU\\ or HKEY_CURRENT_USER\\.");
  }
  *path = slash == std::string::npos ? "" : argument.substr(slash + 1);
  if (!path->empty() && path->back() == '\\') path->pop_back();
  if (path->empty() && !rootAllowed)
    Fail("Invalid key name: " + argument + ". This operation needs a key below HKCU.");
  size_t start = 0;
  while (!path->empty() && start <= path->size()) {
    size_t end = path->find('\\', start);
    if (end == std::string::npos) end = path->size();
    if (end == start || end - start > 255)
      Fail("Invalid key name: " + argument + ". Key names are 1 to 255 bytes.");
    start = end + 1;
  }
  *fullName = "HKEY_CURRENT_USER" + (path->empty() ? "" : "\\" + *path);
}

// Asks a question at the terminal until it gets Yes or No; end of input is No.
bool Ask(const std::string& question) {
  std::string line;
  for (;;) {
    printf("%s ", question.c_str());
    fflush(stdout);
    line.clear();
    int c;
    while ((c = getchar()) != EOF && c != '\n') line += (char)c;
    if (c == EOF && line.empty()) {
      putchar('\n');
      return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (EqualsIgnoringCase(line, "y") || EqualsIgnoringCase(line, "yes")) return true;
    if (EqualsIgnoringCase(line, "n") || EqualsIgnoringCase(line, "no")) return false;
  }
}

// Confirms a change that /f (or /y) would make without asking: at a terminal by asking, and
// otherwise not at all, since a script must say what it wants.
void Confirm(bool force, const std::string& question, const std::string& refusal) {
  if (force) return;
  if (!isatty(STDIN_FILENO)) Fail(refusal);
  if (!Ask(question)) Fail("The operation was cancelled by the user.");
}

// Joins every registry call until it ends into one transaction: a write batch takes effect by
// Commit, whole, and otherwise not at all; a read batch sees one state of the store.
class Batch {
 public:
  explicit Batch(bool write) { Check(RegBeginBatch(write)); }
  ~Batch() {
    if (open_) RegEndBatch(false);
  }
  void Commit() {
    open_ = false;
    Check(RegEndBatch(true));
  }

 private:
  bool open_ = true;
};

class Key {
 public:
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  LONG Open(HKEY parent, const std::string& path, REGSAM access) {
    return RegOpenKeyExA(parent, path.c_str(), 0, access, &key_);
  }
  // Closes the key held before, if any.
  LONG Create(const std::string& path, REGSAM access) {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
    return RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access, nullptr, &key_, nullptr);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

struct Value {
  std::string name;
  DWORD type;
  std::string data;
};

// Reads value index of key; false past the last one.
bool EnumValue(HKEY key, DWORD index, Value* value) {
  static char name[16384];
  static std::vector<BYTE> data(4096);
  for (;;) {
    DWORD nameLength = sizeof name;
    DWORD size = (DWORD)data.size();
    LONG result =
        RegEnumValueA(key, index, name, &nameLength, nullptr, &value->type, data.data(), &size);
    if (result == ERROR_NO_MORE_ITEMS) return false;
    if (result == ERROR_MORE_DATA) {
      data.resize(size > data.size() ? size : data.size() * 2);
      continue;
    }
    Check(result);
    value->name.assign(name, nameLength);
    value->data.assign((const char*)data.data(), size);
    return true;
  }
}

// Reads one value; false when it does not exist.
bool ReadValue(HKEY key, const std::string& name, Value* value) {
  for (;;) {
    value->data.resize(std::max<size_t>(value->data.capacity(), 1024));
    DWORD size = (DWORD)value->data.size();
    LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &value->type,
                                   (LPBYTE)value->data.data(), &size);
    if (result == ERROR_FILE_NOT_FOUND) return false;
    if (result == ERROR_MORE_DATA) {
      value->data.resize(size > value->data.size() ? size : value->data.size() * 2 + 64);
      continue;
    }
    Check(result);
    value->name = name;
    value->data.resize(size);
    return true;
  }
}

// The name a value was created with, found from a name of any case.
std::string StoredName(HKEY key, const std::string& name) {
  static char stored[16384];
  for (DWORD index = 0;; index++) {
    DWORD length = sizeof stored;
    LONG result = RegEnumValueA(key, index, stored, &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return name;
    if (strcasecmp(stored, name.c_str()) == 0) return std::string(stored, length);
  }
}

std::vector<std::string> SubkeyNames(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD index = 0;; index++) {
    DWORD length = sizeof name;
    LONG result = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    Check(result);
    names.emplace_back(name, length);
  }
  return names;
}

void PrintKeyHeader(const std::string& fullName) {
  putchar('\n');
  fputs(fullName.c_str(), stdout);
  putchar('\n');
}

void PrintValue(const Value& value) {
  fputs("    ", stdout);
  fputs(value.name.empty() ? "(Default)" : value.name.c_str(), stdout);
  fputs("    ", stdout);
  fputs(TypeName(value.type).c_str(), stdout);
  fputs("    ", stdout);
  fputs(FormatData(value.type, value.data).c_str(), stdout);
  putchar('\n');
}

// Prints a key's values under its name; a key without values gets no heading when untitled
// allows it. With /v or /ve only the value asked for is shown, and a key without it is left out.
// Returns how many values were shown.
size_t PrintKey(HKEY key, const std::string& fullName, const Request& request, bool untitled) {
  Value value;
  if (request.hasValue) {
    if (!ReadValue(key, request.valueName, &value)) return 0;
    value.name = StoredName(key, value.name);
    PrintKeyHeader(fullName);
    PrintValue(value);
    return 1;
  }
  size_t shown = 0;
  for (DWORD index = 0; EnumValue(key, index, &value); index++) {
    if (shown++ == 0) PrintKeyHeader(fullName);
    PrintValue(value);
  }
  if (shown == 0 && !untitled) PrintKeyHeader(fullName);
  return shown;
}

// The keys of a /s walk below the top one, each with its values. Returns how many values were
// shown.
size_t QueryTree(HKEY key, const std::string& fullName, const Request& request) {
  size_t shown = 0;
  for (const std::string& name : SubkeyNames(key)) {
    Key subkey;
    LONG result = subkey.Open(key, name, KEY_READ);
    if (result == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    Check(result);
    shown += PrintKey(subkey.get(), fullName + "\\" + name, request, request.hasValue);
    shown += QueryTree(subkey.get(), fullName + "\\" + name, request);
  }
  return shown;
}

// As reg prints it: a key's values under its name, a blank line, and its subkeys' full names.
// A key without values gets no heading. /s shows each key below it too, with its values; with
// /v or /ve, a walk shows only the keys that have the value, and fails when none has it.
void RunQuery(const Request& request) {
  std::string path, fullName;
  ParseKey(request.keyArgument, true, &path, &fullName);
  Batch batch(false);  // one state of the store, even for a whole tree
  Key key;
  Check(key.Open(HKEY_CURRENT_USER, path, KEY_READ));
  if (request.recurse) {
    size_t shown = PrintKey(key.get(), fullName, request, true);
    shown += QueryTree(key.get(), fullName, request);
    if (request.hasValue && shown == 0) Check(ERROR_FILE_NOT_FOUND);
    putchar('\n');
    return;
  }
  if (request.hasValue && PrintKey(key.get(), fullName, request, true) == 0) {
    // A default value that is not set is shown as such; reg users test a key's presence by it.
    if (!request.valueName.empty()) Check(ERROR_FILE_NOT_FOUND);
    PrintKeyHeader(fullName);
    fputs("    (Default)    REG_SZ    (value not set)\n", stdout);
  }
  if (!request.hasValue) PrintKey(key.get(), fullName, request, true);
  putchar('\n');
  if (request.hasValue) return;
  for (const std::string& name : SubkeyNames(key.get()))
    printf("%s\\%s\n", fullName.c_str(), name.c_str());
}

void RunAdd(const Request& request) {
  std::string path, fullName;
  ParseKey(request.keyArgument, false, &path, &fullName);
  DWORD type = REG_SZ;
  if (request.hasType && !ParseTypeName(request.type, &type))
    Fail("Invalid type: " + request.type +
         ". Use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or "
         "REG_NONE.");
  if (request.hasSeparator && type != REG_MULTI_SZ)
    SyntaxError("/s is for REG_MULTI_SZ data", "ADD");
  if (request.hasSeparator && CharacterCount(request.separator) != 1)
    SyntaxError("the /s separator is one character", "ADD");
  if ((type == REG_DWORD || type == REG_QWORD) && !request.hasData)
    SyntaxError(TypeName(type) + " needs /d DATA", "ADD");
  std::string data, problem;
  if (request.hasValue &&
      !EncodeData(type, request.data, request.hasSeparator ? request.separator : "\\0", &data,
                  &problem))
    Fail("Invalid data: " + problem);

  // Asks before the batch begins, so that a question at a terminal keeps no writer waiting.
  Value existing;
  Key existingKey;
  if (request.hasValue && !request.force &&
      existingKey.Open(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
      ReadValue(existingKey.get(), request.valueName, &existing)) {
    std::string shown = request.valueName.empty() ? "(Default)" : request.valueName;
    Confirm(false, "Value " + shown + " exists, overwrite(Yes/No)?",
            "Value " + shown + " exists. Use /f to overwrite it.");
  }
  // The keys and the value take effect together, or nothing does.
  Batch batch(true);
  Key key;
  LONG result = key.Create(path, request.hasValue ? KEY_SET_VALUE : KEY_READ);
  if (result == ERROR_SUCCESS && request.hasValue)
    result = RegSetValueExA(key.get(), request.valueName.c_str(), 0, type, (const BYTE*)data.data(),
                            (DWORD)data.size());
  if (result != ERROR_SUCCESS) Fail(DescribeFor(result, path, request.valueName));
  batch.Commit();
  fputs(Completed, stdout);
}

void RunDelete(const Request& request) {
  std::string path, fullName;
  ParseKey(request.keyArgument, false, &path, &fullName);
  const char* refusal = "Deleting without /f needs an answer at a terminal.";
  if (request.hasValue) {
    Key key;
    Check(key.Open(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE | KEY_SET_VALUE));
    Value existing;
    if (!ReadValue(key.get(), request.valueName, &existing)) Check(ERROR_FILE_NOT_FOUND);
    std::string shown = request.valueName.empty() ? "(Default)" : request.valueName;
    Confirm(request.force, "Delete the registry value " + shown + " (Yes/No)?", refusal);
    Check(RegDeleteValueA(key.get(), request.valueName.c_str()));
    fputs(Completed, stdout);
    return;
  }
  {
    Key key;
    Check(key.Open(HKEY_CURRENT_USER, path, KEY_READ));
  }
  Confirm(request.force,
          (request.allValues ? "Delete all values under the registry key "
                             : "Permanently delete the registry key ") +
              fullName + " (Yes/No)?",
          refusal);
  // All the values, or the whole tree, go together.
  Batch batch(true);
  if (request.allValues) {
    Key key;
    Check(key.Open(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE | KEY_SET_VALUE));
    std::vector<std::string> names;
    Value value;
    for (DWORD index = 0; EnumValue(key.get(), index, &value); index++) names.push_back(value.name);
    for (const std::string& name : names) Check(RegDeleteValueA(key.get(), name.c_str()));
  } else {
    Check(RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()));
  }
  batch.Commit();
  fputs(Completed, stdout);
}

// What a file that is not a regular one is, for the refusal to write it.
const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// A regular file written whole or not at all: what is written goes to a temporary file beside
// it, which is renamed into place only when all of it is on disk, so the file is either the old
// one or the whole new one; a temporary file not committed is removed. A link is not followed,
// and nothing but a regular file is ever replaced: whatever took the file's place while it was
// written is left alone.
class ReplacementFile {
 public:
  ReplacementFile(const std::string& file, bool force) : file_(file) {
    existed_ = lstat(file.c_str(), &before_) == 0;
    if (!existed_ && errno != ENOENT) Fail(errno);
    if (existed_ && !S_ISREG(before_.st_mode))
      ::Fail("Cannot write " + file + ": it is " + FileKind(before_.st_mode) +
             ", and qsreg exports only to a regular file.");
    if (existed_)
      Confirm(force, "File " + file + " already exists. Overwrite (Yes/No)?",
              "File " + file + " already exists. Use /y to overwrite it.");
    size_t slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? "" : file.substr(0, slash + 1);
    temporary_ = folder + "." + file.substr(slash + 1) + ".XXXXXX";
    fd_ = mkstemp(temporary_.data());  // O_EXCL, mode 0600
    if (fd_ < 0) Fail(errno);
    // A replaced file keeps its owner (where qsreg may give it) and permissions; a new one is
    // private, like the store it comes from.
    if ((existed_ && fchown(fd_, before_.st_uid, before_.st_gid) != 0 && errno != EPERM) ||
        (existed_ && fchmod(fd_, before_.st_mode & 07777) != 0))
      Fail(errno);
  }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(temporary_.c_str());
  }

  // Appends text, and has the system start writing it to disk while the export goes on.
  void Write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno != EINTR) Fail(errno);
      if (n > 0) done += (size_t)n;
    }
#ifdef SYNC_FILE_RANGE_WRITE  // Linux; elsewhere the final fsync does it all
    sync_file_range(fd_, written_, (off_t)text.size(), SYNC_FILE_RANGE_WRITE);
#endif
    written_ += (off_t)text.size();
  }

  void Commit() {
    if (fsync(fd_) != 0) Fail(errno);
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) Fail(errno);
    struct stat after;
    bool exists = lstat(file_.c_str(), &after) == 0;
    if (exists != existed_ ||
        (exists && (after.st_dev != before_.st_dev || after.st_ino != before_.st_ino)))
      Fail(EEXIST);
    if (rename(temporary_.c_str(), file_.c_str()) != 0) Fail(errno);
    committed_ = true;
  }

 private:
  [[noreturn]] void Fail(int error) {
    ::Fail("Cannot write " + file_ + ": " + strerror(error) + ".");
  }

  std::string file_, temporary_;
  struct stat before_ = {};
  bool existed_ = false, committed_ = false;
  int fd_ = -1;
  off_t written_ = 0;
};

// An export under way: its lines as 8-bit text, handed to the file as UTF-16LE as they grow when
// it goes to one.
struct ExportOut {
  std::string text, file16 = "\xFF\xFE";  // the byte order mark goes first
  ReplacementFile* file = nullptr;

  // The file's text so far, and none of it is kept.
  const std::string& Take() {
    AppendUtf16(text, true, &file16);
    text.clear();
    return file16;
  }
};

// Appends a key with its values and subkeys to an export; fails on a name that the file would
// not give back as it is.
void ExportTree(ExportOut* out, HKEY key, const std::string& fullName) {
  std::string line, error;
  if (!KeyLine(fullName, &line, &error)) Fail(error);
  std::string& text = out->text;
  text += '\n';
  text += line;
  text += '\n';
  Value value;
  for (DWORD index = 0; EnumValue(key, index, &value); index++) {
    if (!ValueLine(fullName, value.name, value.type, value.data, &line, &error)) Fail(error);
    text += line;
    text += '\n';
  }
  if (out->file && text.size() >= (1 << 19)) {
    out->file->Write(out->Take());
    out->file16.clear();
  }
  for (const std::string& name : SubkeyNames(key)) {
    Key subkey;
    Check(subkey.Open(key, name, KEY_READ));
    ExportTree(out, subkey.get(), fullName + "\\" + name);
  }
}

// Reads the key's tree in one read batch, so the export is one state of the store even while
// other programs change it. A file is replaced only when all of the tree could be written
// faithfully; standard output gets the text only then.
void RunExport(const Request& request) {
  std::string path, fullName;
  ParseKey(request.keyArgument, true, &path, &fullName);
  ExportOut out;
  std::unique_ptr<ReplacementFile> file;
  if (request.file != "-")
    out.file = (file = std::make_unique<ReplacementFile>(request.file, request.force)).get();
  out.text = ExportHeader;
  {
    Batch batch(false);
    Key key;
    Check(key.Open(HKEY_CURRENT_USER, path, KEY_READ));
    ExportTree(&out, key.get(), fullName);
  }
  out.text += "\n";
  const std::string& rest = out.Take();
  if (!file) {
    fwrite(rest.data(), 1, rest.size(), stdout);
    return;
  }
  file->Write(rest);
  file->Commit();
  fputs(Completed, stdout);
}

// Reads the whole file first, then makes all its changes in one write batch: all or nothing.
void RunImport(const Request& request) {
  bool standardInput = request.file == "-";
  std::string name = standardInput ? "(standard input)" : request.file, bytes;
  FILE* in = standardInput ? stdin : fopen(request.file.c_str(), "rb");
  if (!in) Fail("Cannot read " + name + ": " + strerror(errno) + ".");
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
  int error = ferror(in) ? errno : 0;
  if (!standardInput) fclose(in);
  if (error) Fail("Cannot read " + name + ": " + strerror(error) + ".");

  std::vector<RegChange> changes;
  std::string problem;
  if (!ParseRegFile(bytes, name, &changes, &problem)) Fail(problem);
  Batch batch(true);
  Key key;
  for (const RegChange& change : changes) {
    LONG result = ERROR_SUCCESS;
    switch (change.kind) {
      case RegChange::CreateKey:
        result = key.Create(change.key, KEY_SET_VALUE);
        break;
      case RegChange::DeleteKey:
        result =
            RegDeleteTreeA(HKEY_CURRENT_USER, change.key.empty() ? nullptr : change.key.c_str());
        break;
      case RegChange::SetValue:
        result = RegSetValueExA(key.get(), change.name.c_str(), 0, change.type,
                                (const BYTE*)change.data.data(), (DWORD)change.data.size());
        break;
      case RegChange::DeleteValue:
        result = RegDeleteValueA(key.get(), change.name.c_str());
        break;
    }
    // Deleting what is not there is done already.
    if (result != ERROR_SUCCESS &&
        !(result == ERROR_FILE_NOT_FOUND && change.kind != RegChange::CreateKey &&
          change.kind != RegChange::SetValue))
      Fail(name + ":" + std::to_string(change.line) + ": " +
           DescribeFor(result, change.key, change.name));
  }
  batch.Commit();
  fputs(Completed, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Request request;
    if (ParseArguments(argc, argv, &request)) {
      switch (request.operation) {
        case Query:
          RunQuery(request);
          break;
        case Add:
          RunAdd(request);
          break;
        case Delete:
          RunDelete(request);
          break;
        case Export:
          RunExport(request);
          break;
        case Import:
          RunImport(request);
          break;
      }
    }
    if (fflush(stdout) != 0 || ferror(stdout))
      Fail(std::string("Cannot write the output: ") + strerror(errno) + ".");
  } catch (const Failure& failure) {
    fflush(stdout);
    fprintf(stderr, "ERROR: %s\n", failure.message.c_str());
    return 1;
  }
  return 0;
}
