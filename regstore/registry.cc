// The current user's registry hive on POSIX: one SQLite database in the user's configuration
// folder, served through the same calls and error codes as advapi32.
// Layout: table keys holds one row per key (the hive's root is row 1, with no parent); table
// vals holds the values, keyed by key id and name. Names compare case-insensitively in ASCII
// (SQLite's NOCASE) and keep the case they were created with. Key ids are never reused, so a
// handle whose key was deleted stays deleted even when a key of the same name is made again.
// The store itself (regstore/store.h) finds, checks and opens the file; this file is the calls.
#include "platform/registry.h"
#include "regstore/batch.h"
#include "regstore/store.h"

#include <string.h>

#include <map>
#include <string>
#include <vector>

using namespace regstore;

namespace {

constexpr int64_t RootId = 1;
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxValueNameLength = 16383;
// Windows keeps a tree at most this many levels deep.
constexpr size_t MaxDepth = 512;
constexpr REGSAM DeleteAccess = 0x00010000;
constexpr DWORD OpenLinkOption = 0x00000008;  // REG_OPTION_OPEN_LINK

// Where an enumeration of a handle's subkeys (in name order) or values (in creation order) stands:
// the row it reached last, by index and by name or rowid, so that walking index 0, 1, 2, ... costs
// an indexed step per call. In a read batch, where nothing changes, its scan stays on that row.
struct Cursor {
  DWORD index = UINT32_MAX;
  std::string name = {};
  int64_t rowid = 0;
  sqlite3_stmt* scan = nullptr;
};

// What an open handle refers to.
struct KeyHandle {
  int64_t id;
  REGSAM access;
  int64_t store;  // the store the key lives in (unused for the root, which is in every store)
  size_t depth;   // levels below the hive's root
  // The store's epoch in which the cursors and confirmed hold; confirmed once the key was seen
  // to exist in a read batch.
  uint64_t epoch = 0;
  Cursor keys = {}, values = {};
  bool confirmed = false;
};

KeyHandle RootHandle = {RootId, KEY_ALL_ACCESS, 0, 0};

std::map<uintptr_t, KeyHandle> Handles;
uintptr_t NextHandle = 0x1000;
// The first handle made in the batch under way.
uintptr_t BatchHandles = 0;
// The keys this process created volatile, by store and id, until RegUnloadVolatileKeys.
std::vector<std::pair<int64_t, int64_t>> VolatileKeys;

// Generic rights map onto the key rights as advapi32 maps them.
REGSAM MapAccess(REGSAM sam) {
  REGSAM result = sam & 0x00FFFFFF;
  if (sam & 0x80000000u) result |= KEY_READ;        // GENERIC_READ
  if (sam & 0x40000000u) result |= KEY_WRITE;       // GENERIC_WRITE
  if (sam & 0x20000000u) result |= KEY_READ;        // GENERIC_EXECUTE
  if (sam & 0x10000000u) result |= KEY_ALL_ACCESS;  // GENERIC_ALL
  if (sam & 0x02000000u) result |= KEY_ALL_ACCESS;  // MAXIMUM_ALLOWED
  return result;
}

KeyHandle* Find(HKEY key) {
  if (key == HKEY_CURRENT_USER) return &RootHandle;
  auto it = Handles.find((uintptr_t)key);
  return it == Handles.end() ? nullptr : &it->second;
}

// The rights that change a key: a handle asking for any of them cannot be had to a key of a
// store the user may not write.
constexpr REGSAM WriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DeleteAccess |
                               0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

// Refuses a handle with write rights to a key of a read-only store, saying so as a write to it
// would.
LONG CheckAccess(REGSAM access) {
  if (!(MapAccess(access) & WriteAccess) || !TheStore.readOnly()) return ERROR_SUCCESS;
  return TheStore.Report(Problem{ERROR_ACCESS_DENIED, "store is read-only"});
}

HKEY NewHandle(int64_t id, REGSAM access, size_t depth) {
  uintptr_t value = NextHandle;
  NextHandle += 4;
  KeyHandle& handle = Handles[value] = KeyHandle{id, MapAccess(access), TheStore.id(), depth};
  // A key found in a read batch exists to its end.
  handle.epoch = TheStore.epoch();
  handle.confirmed = TheStore.batch() == 1;
  return (HKEY)value;
}

void GiveBack(Cursor* cursor) {
  if (cursor->scan) TheStore.GiveBackScan(cursor->scan);
  cursor->scan = nullptr;
}

// Forgets what a handle knew of an epoch that is over; its scans were taken back with it.
void Sync(KeyHandle* handle) {
  if (handle->epoch == TheStore.epoch()) return;
  handle->epoch = TheStore.epoch();
  handle->keys = handle->values = Cursor{};
  handle->confirmed = false;
}

// Moves a handle's cursor over its subkeys (keys) or values to row index: on from the row it
// stands on, or, for another index, counted from the start; a read batch's walk from index 0 takes
// a scan. The statement on the row, or null with *result set (ERROR_NO_MORE_ITEMS past the end).
sqlite3_stmt* Seek(KeyHandle* handle, bool keys, DWORD index, LONG* result) {
  Sync(handle);
  Cursor& cursor = keys ? handle->keys : handle->values;
  // A call repeated with a larger buffer finds its scan on the row already.
  if (cursor.scan && index == cursor.index) return cursor.scan;
  sqlite3_stmt* stmt = cursor.scan;
  bool next = index == 0 || index == cursor.index + 1;
  if (!stmt || index != cursor.index + 1) {
    GiveBack(&cursor);
    Statement which =
        keys ? (next ? EnumKeyAfter : EnumKeyAt) : (next ? EnumValueAfter : EnumValueAt);
    stmt = index == 0 && TheStore.batch() == 1 ? (cursor.scan = TheStore.TakeScan(which, result))
                                               : TheStore.Get(which, result);
    if (!stmt) return nullptr;
    sqlite3_bind_int64(stmt, 1, handle->id);
    // The first subkey is the one after the empty name, the first value the one after row 0.
    if (!next)
      sqlite3_bind_int64(stmt, 2, index);
    else if (keys)
      sqlite3_bind_text(stmt, 2, index ? cursor.name.data() : "",
                        index ? (int)cursor.name.size() : 0, SQLITE_STATIC);
    else
      sqlite3_bind_int64(stmt, 2, index ? cursor.rowid : 0);
  }
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    GiveBack(&cursor);
    *result = rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : TheStore.Fail(rc);
    return nullptr;
  }
  cursor.index = index;
  if (keys)
    cursor.name.assign((const char*)sqlite3_column_blob(stmt, 0), sqlite3_column_bytes(stmt, 0));
  else
    cursor.rowid = sqlite3_column_int64(stmt, 0);
  return stmt;
}

// Splits a relative key path at its backslashes. Null or "" is the key itself; one trailing
// backslash is allowed; an empty or overlong component is not.
LONG SplitPath(LPCSTR path, std::vector<std::string>* parts) {
  parts->clear();
  for (const char* p = path; p && *p;) {
    const char* end = strchrnul(p, '\\');
    if (end == p || (size_t)(end - p) > MaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(p, (size_t)(end - p));
    p = *end ? end + 1 : end;
  }
  return ERROR_SUCCESS;
}

// One registry call: holds the process lock, finds the store, checks the handle and its rights.
class Call {
 public:
  Call() : guard_(Lock) {}

  // Validates the handle and its rights, then finds the store. A handle to a key whose store
  // is gone is a handle to a deleted key.
  LONG Enter(HKEY key, REGSAM need) {
    handle_ = Find(key);
    if (!handle_) return ERROR_INVALID_HANDLE;
    if ((handle_->access & need) != need) return ERROR_ACCESS_DENIED;
    LONG result = TheStore.Refresh();
    if (result != ERROR_SUCCESS) return result;
    if (handle_->id != RootId && !TheStore.exists()) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
  }

  // Starts the transaction and confirms that the handle's key still exists.
  LONG Begin(bool write) {
    LONG result = write ? TheStore.Create() : ERROR_SUCCESS;
    if (result == ERROR_SUCCESS) result = TheStore.Begin(write);
    if (result != ERROR_SUCCESS) return result;
    active_ = TheStore.exists();
    // A key of another store (one that replaced the handle's, or that XDG_CONFIG_HOME now
    // names) is not the handle's key, whatever its id.
    if (handle_->id != RootId && handle_->store != TheStore.id()) return Abort(ERROR_KEY_DELETED);
    // Nothing changes during a read batch: a key seen to exist in it is not looked up again.
    Sync(handle_);
    if (handle_->confirmed || handle_->id == RootId) return ERROR_SUCCESS;
    bool exists = false;
    if ((result = Step(KeyExists, handle_->id, nullptr, 0, &exists)) != ERROR_SUCCESS)
      return Abort(result);
    if (!exists) return Abort(ERROR_KEY_DELETED);
    handle_->confirmed = TheStore.batch() == 1;
    return ERROR_SUCCESS;
  }

  // Commits; a failed commit outweighs what the call itself would return.
  LONG Commit(LONG result = ERROR_SUCCESS) {
    active_ = false;
    LONG end = TheStore.Commit();
    return end != ERROR_SUCCESS ? end : result;
  }

  LONG Abort(LONG result) {
    if (active_) TheStore.Abort(result);
    active_ = false;
    return result;
  }

  ~Call() {
    if (active_) TheStore.Abort(ERROR_SUCCESS);
  }

  KeyHandle* handle() const { return handle_; }

  // Steps statement which, with key id bound first, then the name when there is one (length -1
  // for up to its NUL), and the time now last where the statement writes it; *row says whether
  // it gave a row, and *out is the statement on it.
  LONG Step(Statement which, int64_t id, const char* name = nullptr, int length = -1,
            bool* row = nullptr, sqlite3_stmt** out = nullptr) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(which, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    if (name) sqlite3_bind_text(stmt, 2, name, length, SQLITE_STATIC);
    if (which == TouchKey || which == InsertKey)
      sqlite3_bind_int64(stmt, sqlite3_bind_parameter_count(stmt), FileTimeNow());
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return TheStore.Fail(rc);
    if (row) *row = rc == SQLITE_ROW;
    if (out) *out = stmt;
    return ERROR_SUCCESS;
  }

  // Walks parts from the handle's key; stops at the first missing one. *found counts the parts
  // that exist, *id is the deepest key reached.
  LONG Walk(const std::vector<std::string>& parts, size_t* found, int64_t* id) {
    *id = handle_->id;
    *found = 0;
    if (TheStore.empty()) return ERROR_SUCCESS;
    for (const std::string& part : parts) {
      bool row = false;
      sqlite3_stmt* stmt = nullptr;
      LONG result = Step(FindChild, *id, part.data(), (int)part.size(), &row, &stmt);
      if (result != ERROR_SUCCESS || !row) return result;
      *id = sqlite3_column_int64(stmt, 0);
      (*found)++;
    }
    return ERROR_SUCCESS;
  }

  LONG Resolve(const std::vector<std::string>& parts, int64_t* id) {
    size_t found = 0;
    LONG result = Walk(parts, &found, id);
    if (result != ERROR_SUCCESS) return result;
    return found == parts.size() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }

 private:
  std::lock_guard<std::recursive_mutex> guard_;
  KeyHandle* handle_ = nullptr;
  bool active_ = false;
};

LONG CopyValue(sqlite3_stmt* stmt, int typeColumn, LPDWORD lpType, LPBYTE lpData,
               LPDWORD lpcbData) {
  DWORD size = (DWORD)sqlite3_column_bytes(stmt, typeColumn + 1);
  if (lpType) *lpType = (DWORD)sqlite3_column_int64(stmt, typeColumn);
  if (!lpcbData) return ERROR_SUCCESS;
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) memcpy(lpData, sqlite3_column_blob(stmt, typeColumn + 1), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// Deletes a key with everything below it; with self false only what is below and its values.
LONG DeleteSubtree(Call& call, int64_t id, bool self) {
  LONG result = call.Step(DeleteBelowValues, id);
  if (result == ERROR_SUCCESS) result = call.Step(DeleteBelowKeys, id);
  if (result == ERROR_SUCCESS) result = call.Step(DeleteKeyValues, id);
  if (result != ERROR_SUCCESS) return result;
  if (!self) return call.Step(TouchKey, id);
  bool row = false;
  sqlite3_stmt* stmt = nullptr;
  if ((result = call.Step(ParentOf, id, nullptr, 0, &row, &stmt)) != ERROR_SUCCESS) return result;
  if (!row) return ERROR_KEY_DELETED;
  int64_t parent = sqlite3_column_int64(stmt, 0);
  result = call.Step(DeleteKeyRow, id);
  return result == ERROR_SUCCESS ? call.Step(TouchKey, parent) : result;
}

// Deletes a subkey, in one transaction: with tree, together with everything below it; without,
// only when it has no subkeys. An empty name is the handle's own key, which then needs the
// DELETE right; a named subkey is checked against its own (here: unrestricted) security, as on
// Windows, not against the rights of the handle it is named from. A tree without a subkey name
// is the handle's key, which stays and loses its subkeys and values: that needs the rights to
// list and change it.
LONG DeleteKey(HKEY hKey, LPCSTR lpSubKey, bool tree) {
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  bool self = lpSubKey != nullptr;
  REGSAM need = !self ? KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE
                      : (parts.empty() ? DeleteAccess : 0);
  Call call;
  if (result == ERROR_SUCCESS) result = call.Enter(hKey, need);
  if (result != ERROR_SUCCESS) return result;
  if (!TheStore.exists()) {
    if (!self) return ERROR_SUCCESS;
    return parts.empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  bool children = false;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if (self && id == RootId) return call.Abort(ERROR_ACCESS_DENIED);
  if (!tree && (result = call.Step(HasChild, id, nullptr, 0, &children)) != ERROR_SUCCESS)
    return call.Abort(result);
  if (children) return call.Abort(ERROR_ACCESS_DENIED);
  if ((result = DeleteSubtree(call, id, self)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // Reserved, but for the option to open a link, which here is opened as its key.
  if (ulOptions & ~OpenLinkOption) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  Call call;
  if (result == ERROR_SUCCESS) result = call.Enter(hKey, 0);
  if (result == ERROR_SUCCESS) result = call.Begin(false);
  if (result != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  if ((result = CheckAccess(samDesired)) != ERROR_SUCCESS) return result;
  *phkResult = NewHandle(id, samDesired, call.handle()->depth + parts.size());
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey || Reserved != 0) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // Volatile keys are kept like any other until RegUnloadVolatileKeys ends the session.
  if (dwOptions & ~(DWORD)REG_OPTION_VOLATILE) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  Call call;
  if (result == ERROR_SUCCESS) result = call.Enter(hKey, 0);
  if (result != ERROR_SUCCESS) return result;
  // Checked before anything is written, so that a call refused leaves nothing behind.
  if (call.handle()->depth + parts.size() > MaxDepth) return ERROR_INVALID_PARAMETER;
  // Opening an existing key writes nothing, so it needs neither a write lock nor the right to
  // create subkeys.
  size_t found = 0;
  int64_t id = 0;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if ((result = call.Walk(parts, &found, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (found < parts.size()) {
    if (!(call.handle()->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // Walk again inside the write transaction: another process may have been quicker.
    if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
    if ((result = call.Walk(parts, &found, &id)) != ERROR_SUCCESS) return call.Abort(result);
    if (found < parts.size()) {
      disposition = REG_CREATED_NEW_KEY;
      if ((result = call.Step(TouchKey, id)) != ERROR_SUCCESS) return call.Abort(result);
    }
    for (size_t i = found; i < parts.size(); i++) {
      sqlite3_stmt* stmt = nullptr;
      result = call.Step(InsertKey, id, parts[i].data(), (int)parts[i].size(), nullptr, &stmt);
      if (result != ERROR_SUCCESS) return call.Abort(result);
      id = sqlite3_last_insert_rowid(sqlite3_db_handle(stmt));
      if (dwOptions & REG_OPTION_VOLATILE) VolatileKeys.emplace_back(TheStore.id(), id);
    }
    if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  }
  if ((result = CheckAccess(samDesired)) != ERROR_SUCCESS) return result;
  *phkResult = NewHandle(id, samDesired, call.handle()->depth + parts.size());
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result == ERROR_SUCCESS) result = call.Begin(false);
  if (result != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_FILE_NOT_FOUND);
  bool row = false;
  sqlite3_stmt* stmt = nullptr;
  const char* name = lpValueName ? lpValueName : "";
  if ((result = call.Step(GetValue, call.handle()->id, name, -1, &row, &stmt)) != ERROR_SUCCESS)
    return call.Abort(result);
  if (!row) return call.Abort(ERROR_FILE_NOT_FOUND);
  return call.Commit(CopyValue(stmt, 0, lpType, lpData, lpcbData));
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  if (Reserved != 0 || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
  if (cbData > (DWORD)INT32_MAX) return ERROR_INVALID_PARAMETER;
  const char* name = lpValueName ? lpValueName : "";
  if (strlen(name) > MaxValueNameLength) return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result == ERROR_SUCCESS) result = call.Begin(true);
  if (result != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = TheStore.Get(SetValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  sqlite3_bind_int64(stmt, 3, dwType);
  if (cbData)
    sqlite3_bind_blob(stmt, 4, lpData, (int)cbData, SQLITE_STATIC);
  else
    sqlite3_bind_zeroblob(stmt, 4, 0);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return call.Abort(TheStore.Fail(rc));
  if ((result = call.Step(TouchKey, call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result != ERROR_SUCCESS) return result;
  // Deleting never creates the store: without one there is nothing to delete.
  if (!TheStore.exists()) return ERROR_FILE_NOT_FOUND;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = nullptr;
  const char* name = lpValueName ? lpValueName : "";
  if ((result = call.Step(DeleteValue, call.handle()->id, name, -1, nullptr, &stmt)) !=
      ERROR_SUCCESS)
    return call.Abort(result);
  if (sqlite3_changes(sqlite3_db_handle(stmt)) == 0) return call.Abort(ERROR_FILE_NOT_FOUND);
  if ((result = call.Step(TouchKey, call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return lpSubKey ? DeleteKey(hKey, lpSubKey, false) : ERROR_INVALID_PARAMETER;
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  return DeleteKey(hKey, lpSubKey, true);
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_ENUMERATE_SUB_KEYS);
  if (result == ERROR_SUCCESS) result = call.Begin(false);
  if (result != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  sqlite3_stmt* stmt = Seek(call.handle(), true, dwIndex, &result);
  if (!stmt) return call.Abort(result);
  const char* name = (const char*)sqlite3_column_text(stmt, 0);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 0);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchName || (lpClass && *lpcchClass < 1)) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpName, name, length + 1);
  *lpcchName = (DWORD)length;
  if (lpClass) lpClass[0] = '\0';
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) {
    bool row = false;
    sqlite3_stmt* key = nullptr;
    result = call.Step(KeyWritten, call.handle()->id, name, (int)length, &row, &key);
    if (result != ERROR_SUCCESS) return call.Abort(result);
    uint64_t written = row ? (uint64_t)sqlite3_column_int64(key, 0) : 0;
    lpftLastWriteTime->dwLowDateTime = (DWORD)written;
    lpftLastWriteTime->dwHighDateTime = (DWORD)(written >> 32);
  }
  return call.Commit();
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result == ERROR_SUCCESS) result = call.Begin(false);
  if (result != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  sqlite3_stmt* stmt = Seek(call.handle(), false, dwIndex, &result);
  if (!stmt) return call.Abort(result);
  const char* name = (const char*)sqlite3_column_text(stmt, 1);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 1);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchValueName) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpValueName, name, length + 1);
  *lpcchValueName = (DWORD)length;
  return call.Commit(CopyValue(stmt, 2, lpType, lpData, lpcbData));
}

LONG RegCloseKey(HKEY hKey) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  auto it = Handles.find((uintptr_t)hKey);
  if (it == Handles.end()) return ERROR_INVALID_HANDLE;
  // Scans the handle still holds serve the next walk.
  Sync(&it->second);
  GiveBack(&it->second.keys);
  GiveBack(&it->second.values);
  Handles.erase(it);
  return ERROR_SUCCESS;
}

int RegOpenHandleCount(void) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  return (int)Handles.size();
}

void RegUnloadVolatileKeys(void) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  for (const auto& [store, id] : VolatileKeys) {
    HKEY key = NewHandle(id, KEY_ALL_ACCESS, 0);
    Handles[(uintptr_t)key].store = store;
    RegDeleteTreeA(key, "");  // a key already gone with its parent fails, as it may
    RegCloseKey(key);
  }
  VolatileKeys.clear();
}

LONG RegBeginBatch(bool write) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (TheStore.batch()) return ERROR_BUSY;  // batches do not nest
  LONG result = TheStore.Refresh();
  if (result == ERROR_SUCCESS && write) result = TheStore.Create();
  if (result == ERROR_SUCCESS) result = TheStore.Begin(write);
  if (result != ERROR_SUCCESS) return result;
  TheStore.SetBatch(write ? 2 : 1);
  BatchHandles = NextHandle;
  return ERROR_SUCCESS;
}

LONG RegEndBatch(bool commit) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (!TheStore.batch()) return ERROR_INVALID_PARAMETER;
  TheStore.SetBatch(0);
  LONG result = commit ? TheStore.Commit() : TheStore.Abort(ERROR_SUCCESS);
  // Keys made in a batch that did not take effect never existed; their ids may be given out
  // again, so the handles opened in the batch must not reach the keys that get them.
  if (!commit || result != ERROR_SUCCESS)
    for (auto it = Handles.lower_bound(BatchHandles); it != Handles.end(); ++it) it->second.id = 0;
  return result;
}
