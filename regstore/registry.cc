// The current user's registry hive on POSIX: one SQLite database in the user's configuration
// folder, served through the same calls and error codes as advapi32.//
// Layout: table keys holds one row per key (the hive's root is row 1, with no parent); table
// vals holds the values, keyed by key id and name. Names compare case-insensitively in ASCII
// (SQLite's NOCASE) and keep the case they were created with. Key ids are never reused, so a
// handle whose key was deleted stays deleted even when a key of the same name is made again.
// The store itself (regstore/store.h) finds, checks and opens the file; this file is the calls.
#include "platform/registry.h"
#include "regstore/batch.h"
#include "regstore/store.h"

#include <string.h>
#include <sys/stat.h>

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

// What an open handle refers to. Enumeration remembers where the last call stopped, so that
// walking index 0, 1, 2, ... costs one indexed step per call instead of a scan from the start.
struct KeyHandle {
  int64_t id;
  REGSAM access;
  int64_t store;  // the store the key lives in (unused for the root, which is in every store)
  size_t depth;   // levels below the hive's root
  uint64_t cursorEpoch = 0;
  DWORD keyCursor = UINT32_MAX;
  std::string lastKeyName = {};
  DWORD valueCursor = UINT32_MAX;
  int64_t lastValueRowid = 0;
  // In a read batch: the scans of the subkeys and of the values this handle steps through,
  // with the index of the row each stands on, and whether the key was seen to exist; all valid
  // while the store's scanEpoch is this one.
  uint64_t scanEpoch = 0;
  sqlite3_stmt* keyScan = nullptr;
  DWORD keyScanIndex = 0;
  sqlite3_stmt* valueScan = nullptr;
  DWORD valueScanIndex = 0;
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

// Whether the store file exists without its owner's write bit: a key one may not write, which
// opens for reading only. Judged by the mode, as the platform judges by the key's security,
// whoever the process runs as.
bool StoreIsReadOnly() {
  std::string path;
  struct stat st;
  return LocateStore(&path) && stat(path.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
}

// Refuses a handle with write rights to a key of a read-only store, saying so as a write to it
// would.
LONG CheckAccess(REGSAM access) {
  if (!(MapAccess(access) & WriteAccess) || !StoreIsReadOnly()) return ERROR_SUCCESS;
  return TheStore.Report(ERROR_ACCESS_DENIED, "store is read-only");
}

HKEY NewHandle(int64_t id, REGSAM access, size_t depth) {
  uintptr_t value = NextHandle;
  NextHandle += 4;
  KeyHandle& handle = Handles[value] = KeyHandle{id, MapAccess(access), TheStore.id(), depth};
  // A key found in a read batch exists to its end.
  handle.scanEpoch = TheStore.scanEpoch();
  handle.confirmed = TheStore.batch() == 1;
  return (HKEY)value;
}

// Forgets what a handle knew of a batch that is over.
void SyncScans(KeyHandle* handle) {
  if (handle->scanEpoch == TheStore.scanEpoch()) return;
  handle->scanEpoch = TheStore.scanEpoch();
  handle->keyScan = handle->valueScan = nullptr;
  handle->confirmed = false;
}

void GiveBack(Statement which, sqlite3_stmt** scan) {
  if (*scan) TheStore.GiveBackScan(which, *scan);
  *scan = nullptr;
}

// Steps a read batch's scan to row index of a key's subkeys or values, when the scan can get
// there: it stands on that row already (a call repeated with a larger buffer), on the row
// before, or has yet to start (index 0). Returns the scan on its row, or null when another way
// must be taken; *rc is SQLite's result of the step. A scan that reached its end is given back.
sqlite3_stmt* StepScan(KeyHandle* handle, Statement which, DWORD index, int* rc, LONG* result) {
  *rc = SQLITE_ROW;
  if (TheStore.batch() != 1) return nullptr;
  SyncScans(handle);
  bool keys = which == ScanKeys;
  sqlite3_stmt** scan = keys ? &handle->keyScan : &handle->valueScan;
  DWORD* at = keys ? &handle->keyScanIndex : &handle->valueScanIndex;
  if (*scan && index == *at) return *scan;
  if (!(*scan && index == *at + 1)) {
    GiveBack(which, scan);
    if (index != 0) return nullptr;
    if (!(*scan = TheStore.TakeScan(which, result))) return nullptr;
    sqlite3_bind_int64(*scan, 1, handle->id);
  }
  *at = index;
  sqlite3_stmt* stmt = *scan;
  *rc = sqlite3_step(stmt);
  if (*rc != SQLITE_ROW) GiveBack(which, scan);
  return stmt;
}

// Splits a relative key path at its backslashes. Null or "" is the key itself; one trailing
// backslash is allowed; an empty or overlong component is not.
LONG SplitPath(LPCSTR path, std::vector<std::string>* parts) {
  parts->clear();
  if (!path) return ERROR_SUCCESS;
  const char* p = path;
  while (*p) {
    const char* end = strchr(p, '\\');
    size_t length = end ? (size_t)(end - p) : strlen(p);
    if (length == 0 || length > MaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(p, length);
    if (!end) break;
    p = end + 1;
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
    if (write) {
      LONG result = TheStore.Create();
      if (result != ERROR_SUCCESS) return result;
    }
    LONG result = TheStore.Begin(write);
    if (result != ERROR_SUCCESS) return result;
    active_ = TheStore.exists();
    // A key of another store (one that replaced the handle's, or that XDG_CONFIG_HOME now
    // names) is not the handle's key, whatever its id.
    if (handle_->id != RootId && handle_->store != TheStore.id()) return Abort(ERROR_KEY_DELETED);
    // Nothing changes during a read batch: a key seen to exist in it is not looked up again.
    SyncScans(handle_);
    if (handle_->confirmed) return ERROR_SUCCESS;
    bool exists = false;
    result = Exists(handle_->id, &exists);
    if (result != ERROR_SUCCESS) return Abort(result);
    if (!exists) return Abort(ERROR_KEY_DELETED);
    handle_->confirmed = TheStore.batch() == 1;
    return ERROR_SUCCESS;
  }

  LONG Commit() {
    active_ = false;
    return TheStore.Commit();
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

  LONG Exists(int64_t id, bool* exists) {
    *exists = id == RootId;
    return TheStore.empty() ? ERROR_SUCCESS : Step(KeyExists, id, exists);
  }

  // Steps statement which, its first parameter bound to key id (and TouchKey's second to the time
  // now), to its first row, and says in *row whether there is one.
  LONG Step(Statement which, int64_t id, bool* row = nullptr, sqlite3_stmt** out = nullptr) {
    LONG result = ERROR_SUCCESS;
    sqlite3_stmt* stmt = TheStore.Get(which, &result);
    if (!stmt) return result;
    sqlite3_bind_int64(stmt, 1, id);
    if (which == TouchKey) sqlite3_bind_int64(stmt, 2, FileTimeNow());
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return TheStore.Fail(rc);
    if (row) *row = rc == SQLITE_ROW;
    if (out) *out = stmt;
    return ERROR_SUCCESS;
  }

  // Walks parts from the key from; stops at the first missing one. *found counts the parts
  // that exist, *id is the deepest key reached.
  LONG Walk(int64_t from, const std::vector<std::string>& parts, size_t* found, int64_t* id) {
    *id = from;
    *found = 0;
    if (TheStore.empty()) return ERROR_SUCCESS;
    for (const std::string& part : parts) {
      int64_t parent = *id;
      LONG result = ERROR_SUCCESS;
      sqlite3_stmt* stmt = TheStore.Get(FindChild, &result);
      if (!stmt) return result;
      sqlite3_bind_int64(stmt, 1, parent);
      sqlite3_bind_text(stmt, 2, part.data(), (int)part.size(), SQLITE_STATIC);
      int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) return ERROR_SUCCESS;
      if (rc != SQLITE_ROW) return TheStore.Fail(rc);
      *id = sqlite3_column_int64(stmt, 0);
      (*found)++;
    }
    return ERROR_SUCCESS;
  }

  LONG Resolve(const std::vector<std::string>& parts, int64_t* id) {
    size_t found = 0;
    LONG result = Walk(handle_->id, parts, &found, id);
    if (result != ERROR_SUCCESS) return result;
    return found == parts.size() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }

  LONG Done(int rc) { return rc == SQLITE_DONE ? ERROR_SUCCESS : TheStore.Fail(rc); }

  LONG ParentOfKey(int64_t id, int64_t* parent) {
    bool row = false;
    sqlite3_stmt* stmt = nullptr;
    LONG result = Step(ParentOf, id, &row, &stmt);
    if (result == ERROR_SUCCESS && !row) result = ERROR_KEY_DELETED;
    if (result == ERROR_SUCCESS) *parent = sqlite3_column_int64(stmt, 0);
    return result;
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
  int64_t parent = 0;
  result = call.ParentOfKey(id, &parent);
  if (result == ERROR_SUCCESS) result = call.Step(DeleteKeyRow, id);
  if (result == ERROR_SUCCESS) result = call.Step(TouchKey, parent);
  return result;
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
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, 0)) != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
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
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, 0)) != ERROR_SUCCESS) return result;
  // Checked before anything is written, so that a call refused leaves nothing behind.
  if (call.handle()->depth + parts.size() > MaxDepth) return ERROR_INVALID_PARAMETER;

  // Opening an existing key writes nothing, so it needs neither a write lock nor the right to
  // create subkeys.
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  size_t found = 0;
  int64_t id = 0;
  if ((result = call.Walk(call.handle()->id, parts, &found, &id)) != ERROR_SUCCESS)
    return call.Abort(result);
  if ((result = call.Commit()) != ERROR_SUCCESS) return result;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (found < parts.size()) {
    if (!(call.handle()->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // Walk again inside the write transaction: another process may have been quicker.
    if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
    if ((result = call.Walk(call.handle()->id, parts, &found, &id)) != ERROR_SUCCESS)
      return call.Abort(result);
    if (found < parts.size()) {
      disposition = REG_CREATED_NEW_KEY;
      if ((result = call.Step(TouchKey, id)) != ERROR_SUCCESS) return call.Abort(result);
      LONG error = ERROR_SUCCESS;
      for (size_t i = found; i < parts.size(); i++) {
        sqlite3_stmt* stmt = TheStore.Get(InsertKey, &error);
        if (!stmt) return call.Abort(error);
        sqlite3_bind_int64(stmt, 1, id);
        sqlite3_bind_text(stmt, 2, parts[i].data(), (int)parts[i].size(), SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 3, FileTimeNow());
        if ((error = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(error);
        id = sqlite3_last_insert_rowid(sqlite3_db_handle(stmt));
        if (dwOptions & REG_OPTION_VOLATILE) VolatileKeys.emplace_back(TheStore.id(), id);
      }
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
  const char* name = lpValueName ? lpValueName : "";
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_FILE_NOT_FOUND);
  sqlite3_stmt* stmt = TheStore.Get(GetValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return call.Abort(ERROR_FILE_NOT_FOUND);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  result = CopyValue(stmt, 0, lpType, lpData, lpcbData);
  LONG end = call.Commit();
  return end != ERROR_SUCCESS ? end : result;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  if (Reserved != 0 || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
  if (cbData > (DWORD)INT32_MAX) return ERROR_INVALID_PARAMETER;
  const char* name = lpValueName ? lpValueName : "";
  if (strlen(name) > MaxValueNameLength) return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = TheStore.Get(SetValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  sqlite3_bind_int64(stmt, 3, dwType);
  if (cbData)
    sqlite3_bind_blob(stmt, 4, lpData, (int)cbData, SQLITE_STATIC);
  else
    sqlite3_bind_zeroblob(stmt, 4, 0);
  if ((result = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(result);
  if ((result = call.Step(TouchKey, call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  const char* name = lpValueName ? lpValueName : "";
  Call call;
  LONG result = call.Enter(hKey, KEY_SET_VALUE);
  if (result != ERROR_SUCCESS) return result;
  // Deleting never creates the store: without one there is nothing to delete.
  if (!TheStore.exists()) return ERROR_FILE_NOT_FOUND;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  sqlite3_stmt* stmt = TheStore.Get(DeleteValue, &result);
  if (!stmt) return call.Abort(result);
  sqlite3_bind_int64(stmt, 1, call.handle()->id);
  sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
  if ((result = call.Done(sqlite3_step(stmt))) != ERROR_SUCCESS) return call.Abort(result);
  if (sqlite3_changes(sqlite3_db_handle(stmt)) == 0) return call.Abort(ERROR_FILE_NOT_FOUND);
  if ((result = call.Step(TouchKey, call.handle()->id)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

// Deletes a key that has no subkeys. An empty name is the handle's own key, which then needs
// the DELETE right; a named subkey is checked against its own (here: unrestricted) security,
// as on Windows, not against the rights of the handle it is named from.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  Call call;
  if ((result = call.Enter(hKey, parts.empty() ? DeleteAccess : 0)) != ERROR_SUCCESS) return result;
  if (!TheStore.exists()) return parts.empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if (id == RootId) return call.Abort(ERROR_ACCESS_DENIED);
  bool children = false;
  if ((result = call.Step(HasChild, id, &children)) != ERROR_SUCCESS) return call.Abort(result);
  if (children) return call.Abort(ERROR_ACCESS_DENIED);
  if ((result = DeleteSubtree(call, id, true)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

// Deletes a subkey with all its subkeys and values in one transaction. Without a subkey name
// the handle's key stays and loses its subkeys and values, which needs the rights to list and
// change it.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  std::vector<std::string> parts;
  LONG result = SplitPath(lpSubKey, &parts);
  if (result != ERROR_SUCCESS) return result;
  bool self = lpSubKey != nullptr;
  REGSAM need = !self ? KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE
                      : (parts.empty() ? DeleteAccess : 0);
  Call call;
  if ((result = call.Enter(hKey, need)) != ERROR_SUCCESS) return result;
  if (!TheStore.exists()) {
    if (!self) return ERROR_SUCCESS;
    return parts.empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  if ((result = call.Begin(true)) != ERROR_SUCCESS) return result;
  int64_t id = 0;
  if ((result = call.Resolve(parts, &id)) != ERROR_SUCCESS) return call.Abort(result);
  if (self && id == RootId) return call.Abort(ERROR_ACCESS_DENIED);
  if ((result = DeleteSubtree(call, id, self)) != ERROR_SUCCESS) return call.Abort(result);
  return call.Commit();
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_ENUMERATE_SUB_KEYS);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  KeyHandle* handle = call.handle();
  int rc = SQLITE_ROW;
  // The scan has the names only; a call that asks for the time of the last write looks it up.
  sqlite3_stmt* stmt =
      lpftLastWriteTime ? nullptr : StepScan(handle, ScanKeys, dwIndex, &rc, &result);
  if (!stmt) {
    if (result != ERROR_SUCCESS) return call.Abort(result);
    // The first subkey is the one after the empty name, which no key has.
    bool next = dwIndex == 0 ||
                (handle->cursorEpoch == TheStore.epoch() && handle->keyCursor == dwIndex - 1);
    stmt = TheStore.Get(next ? EnumKeyAfter : EnumKeyAt, &result);
    if (!stmt) return call.Abort(result);
    sqlite3_bind_int64(stmt, 1, handle->id);
    if (next)
      sqlite3_bind_text(stmt, 2, dwIndex ? handle->lastKeyName.data() : "",
                        dwIndex ? (int)handle->lastKeyName.size() : 0, SQLITE_STATIC);
    else
      sqlite3_bind_int64(stmt, 2, dwIndex);
    rc = sqlite3_step(stmt);
  }
  if (rc == SQLITE_DONE) return call.Abort(ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  const char* name = (const char*)sqlite3_column_text(stmt, 0);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 0);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchName || (lpClass && *lpcchClass < 1)) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpName, name, length + 1);
  *lpcchName = (DWORD)length;
  if (lpClass) {
    lpClass[0] = '\0';
    *lpcchClass = 0;
  } else if (lpcchClass) {
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) {
    uint64_t written = (uint64_t)sqlite3_column_int64(stmt, 1);
    lpftLastWriteTime->dwLowDateTime = (DWORD)written;
    lpftLastWriteTime->dwHighDateTime = (DWORD)(written >> 32);
  }
  if (handle->cursorEpoch != TheStore.epoch()) handle->valueCursor = UINT32_MAX;
  handle->cursorEpoch = TheStore.epoch();
  handle->keyCursor = dwIndex;
  handle->lastKeyName.assign(name, length);
  return call.Commit();
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  Call call;
  LONG result = call.Enter(hKey, KEY_QUERY_VALUE);
  if (result != ERROR_SUCCESS) return result;
  if ((result = call.Begin(false)) != ERROR_SUCCESS) return result;
  if (TheStore.empty()) return call.Abort(ERROR_NO_MORE_ITEMS);
  KeyHandle* handle = call.handle();
  int rc = SQLITE_ROW;
  sqlite3_stmt* stmt = StepScan(handle, ScanValues, dwIndex, &rc, &result);
  if (!stmt) {
    if (result != ERROR_SUCCESS) return call.Abort(result);
    // The first value is the one after row 0, which no value has.
    bool next = dwIndex == 0 ||
                (handle->cursorEpoch == TheStore.epoch() && handle->valueCursor == dwIndex - 1);
    stmt = TheStore.Get(next ? EnumValueAfter : EnumValueAt, &result);
    if (!stmt) return call.Abort(result);
    sqlite3_bind_int64(stmt, 1, handle->id);
    sqlite3_bind_int64(stmt, 2, next ? (dwIndex ? handle->lastValueRowid : 0) : (int64_t)dwIndex);
    rc = sqlite3_step(stmt);
  }
  if (rc == SQLITE_DONE) return call.Abort(ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return call.Abort(TheStore.Fail(rc));
  const char* name = (const char*)sqlite3_column_text(stmt, 1);
  size_t length = (size_t)sqlite3_column_bytes(stmt, 1);
  if (!name) return call.Abort(ERROR_OUTOFMEMORY);
  if (length >= *lpcchValueName) return call.Abort(ERROR_MORE_DATA);
  memcpy(lpValueName, name, length + 1);
  *lpcchValueName = (DWORD)length;
  if (handle->cursorEpoch != TheStore.epoch()) handle->keyCursor = UINT32_MAX;
  handle->cursorEpoch = TheStore.epoch();
  handle->valueCursor = dwIndex;
  handle->lastValueRowid = sqlite3_column_int64(stmt, 0);
  result = CopyValue(stmt, 2, lpType, lpData, lpcbData);
  LONG end = call.Commit();
  return end != ERROR_SUCCESS ? end : result;
}

LONG RegCloseKey(HKEY hKey) {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  auto it = Handles.find((uintptr_t)hKey);
  if (it == Handles.end()) return ERROR_INVALID_HANDLE;
  // Scans the handle still holds serve the next walk.
  SyncScans(&it->second);
  GiveBack(ScanKeys, &it->second.keyScan);
  GiveBack(ScanValues, &it->second.valueScan);
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
