// The profile store of the simulated messaging subsystem: profiles, their sections and their
// message services, kept in the registry where Windows keeps them (the layout is described in
// qsmapi.h). Nothing is cached: every call reads or writes the registry, so several
// processes see one another's work, and a registry failure comes back as a MAPI status.
#include <stdio.h>
#include <string.h>

#include "qsmapi/host.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/profstore.h"
#include "platform/registry.h"

namespace qsmapi::profstore {
namespace {

const char ProfilesRoot[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\";
const char NameValue[] = "ProfileName";
const char ServicesValue[] = "Services";

// Only the first 64 bytes of a name reach its key.
constexpr int EncodedNameBytes = 64;

HRESULT FromRegistry(LONG error) {
  switch (error) {
    case ERROR_SUCCESS:
      return S_OK;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
      return MAPI_E_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return MAPI_E_NO_ACCESS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return MAPI_E_NOT_ENOUGH_MEMORY;
    case ERROR_INVALID_PARAMETER:
      return MAPI_E_INVALID_PARAMETER;
    case ERROR_BUSY:
      return MAPI_E_BUSY;
    default:
      return MAPI_E_CALL_FAILED;
  }
}

// An open registry key, closed when it goes.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle_) RegCloseKey(handle_);
  }
  LONG Open(HKEY parent, const std::string& path, REGSAM access) {
    return RegOpenKeyExA(parent, path.c_str(), 0, access, &handle_);
  }
  LONG Create(HKEY parent, const std::string& path, DWORD* disposition) {
    DWORD ignored = 0;
    return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &handle_, disposition ? disposition : &ignored);
  }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = nullptr;
};

// Room for a value at the first attempt: every value the subsystem writes fits, so one registry
// call reads it; a longer one takes a second call with the size the first reported.
constexpr DWORD ValueRoom = 512;

// Reads a whole value, however long it is (it may grow between two calls).
LONG ReadValue(HKEY key, const char* name, DWORD* type, std::string* data) {
  DWORD size = ValueRoom;
  for (int attempt = 0; attempt < 8; attempt++) {
    data->assign(size ? size : 1, '\0');
    LONG result = RegQueryValueExA(key, name, nullptr, type, (LPBYTE)data->data(), &size);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) return result;
    data->resize(size);
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

// A key's values as enumeration gives them, with their data when want is set (then one call per
// value). A name longer than 255 bytes is nobody's property and is passed.
LONG ReadValues(HKEY key, bool want, std::vector<Value>* values) {
  values->clear();
  std::string data;
  for (DWORD index = 0;; index++) {
    char name[256];
    DWORD length = sizeof name, type = REG_NONE, size = ValueRoom;
    data.assign(size, '\0');
    LONG result = RegEnumValueA(key, index, name, &length, nullptr, &type,
                                want ? (LPBYTE)data.data() : nullptr, want ? &size : nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (result == ERROR_MORE_DATA) {
      // A long name, or data longer than the room: list the name alone, then read the value.
      length = sizeof name;
      result = RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
      if (result == ERROR_MORE_DATA) continue;
      if (result != ERROR_SUCCESS) return result;
      name[length] = '\0';
      result = ReadValue(key, name, &type, &data);
      if (result == ERROR_FILE_NOT_FOUND) continue;  // removed since it was listed
      if (result != ERROR_SUCCESS) return result;
      size = (DWORD)data.size();
    } else if (result != ERROR_SUCCESS) {
      return result;
    }
    values->push_back({std::string(name, length), type, want ? data.substr(0, size) : ""});
  }
}

std::string SectionName(const MAPIUID& uid) {
  std::string name(32, '0');
  for (int i = 0; i < 16; i++) {
    name[2 * i] = "0123456789abcdef"[uid.ab[i] >> 4];
    name[2 * i + 1] = "0123456789abcdef"[uid.ab[i] & 15];
  }
  return name;
}

std::string TagName(ULONG tag) {
  char name[9];
  snprintf(name, sizeof name, "%08x", (unsigned)tag);
  return name;
}

// The tag a value name stands for: exactly eight hex digits.
bool ParseTagName(const std::string& name, ULONG* tag) {
  if (name.size() != 8) return false;
  ULONG value = 0;
  for (char c : name) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value << 4 | (ULONG)digit;
  }
  *tag = value;
  return true;
}

// A stored value as a property; one whose registry type does not fit its tag is an error.
Property Decode(ULONG tag, DWORD type, const std::string& data) {
  Property property;
  property.tag = tag;
  switch (PROP_TYPE(tag)) {
    case PT_STRING8:
      if (type != REG_SZ) break;
      // The string ends at its first NUL, or at the end of the data when it has none.
      property.bytes = data.substr(0, data.find('\0'));
      return property;
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN: {
      if (type != REG_DWORD || data.size() != sizeof(DWORD)) break;
      DWORD value;
      memcpy(&value, data.data(), sizeof value);
      if (PROP_TYPE(tag) == PT_I2) {
        property.number = (short)value;
      } else if (PROP_TYPE(tag) == PT_BOOLEAN) {
        property.number = value != 0;
      } else {
        property.number = (LONG)value;
      }
      return property;
    }
    case PT_I8: {
      if (type != REG_QWORD || data.size() != sizeof(ULONGLONG)) break;
      LONGLONG value;
      memcpy(&value, data.data(), sizeof value);
      property.number = value;
      return property;
    }
    case PT_BINARY:
      if (type != REG_BINARY) break;
      property.bytes = data;
      return property;
  }
  return ErrorProperty(tag, MAPI_E_CORRUPT_DATA);
}

// The registry form of a property: its value's type and data. False for a type the store does
// not keep.
bool Encoded(const Property& property, DWORD* type, std::string* data) {
  switch (PROP_TYPE(property.tag)) {
    case PT_STRING8:
      *type = REG_SZ;
      *data = property.bytes.substr(0, property.bytes.find('\0'));
      *data += '\0';
      return true;
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN: {
      DWORD value = PROP_TYPE(property.tag) == PT_BOOLEAN ? (property.number != 0)
                                                          : (DWORD)(LONG)property.number;
      *type = REG_DWORD;
      data->assign((const char*)&value, sizeof value);
      return true;
    }
    case PT_I8: {
      LONGLONG value = property.number;
      *type = REG_QWORD;
      data->assign((const char*)&value, sizeof value);
      return true;
    }
    case PT_BINARY:
      *type = REG_BINARY;
      *data = property.bytes;
      return true;
  }
  return false;
}

// Opens an existing profile's key. A profile that is gone is MAPI_E_NOT_FOUND.
HRESULT OpenProfile(const std::string& keyPath, REGSAM access, Key* key) {
  LONG result = key->Open(HKEY_CURRENT_USER, keyPath, access);
  if (result == ERROR_INVALID_PARAMETER) return MAPI_E_NOT_FOUND;
  return FromRegistry(result);
}

// What writing properties and removing removals changes in a section that holds stored: the
// values to delete, and the properties to write with their registry form. A property identifier
// holds one value: every stored value of an identifier that is removed, or written with another
// type, goes; a property stored already as it is needs no write.
struct Update {
  std::vector<std::string> drops;
  struct Write {
    std::string name;
    DWORD type;
    std::string data;
  };
  std::vector<Write> writes;
};

LONG PlanUpdate(const std::vector<Value>& stored, const std::vector<Property>& properties,
                const std::vector<ULONG>& removals, Update* update) {
  for (const Value& value : stored) {
    ULONG tag;
    if (!ParseTagName(value.name, &tag)) continue;
    bool drop = false;
    for (ULONG removal : removals) drop = drop || PROP_ID(removal) == PROP_ID(tag);
    for (const Property& property : properties)
      drop = drop || (PROP_ID(property.tag) == PROP_ID(tag) && property.tag != tag);
    if (drop) update->drops.push_back(value.name);
  }
  for (const Property& property : properties) {
    Update::Write write{TagName(property.tag), REG_NONE, ""};
    if (!Encoded(property, &write.type, &write.data)) return ERROR_INVALID_PARAMETER;
    bool same = false;
    for (const Value& value : stored)
      same = same ||
             (value.name == write.name && value.type == write.type && value.data == write.data);
    if (!same) update->writes.push_back(std::move(write));
  }
  return ERROR_SUCCESS;
}

// Writes and removes properties in an open section key; one that was just created holds
// nothing to replace.
LONG UpdateSection(HKEY section, bool created, const std::vector<Property>& properties,
                   const std::vector<ULONG>& removals) {
  std::vector<Value> stored;
  Update update;
  LONG result = created ? ERROR_SUCCESS : ReadValues(section, true, &stored);
  if (result == ERROR_SUCCESS) result = PlanUpdate(stored, properties, removals, &update);
  if (result != ERROR_SUCCESS) return result;
  for (const std::string& name : update.drops) {
    result = RegDeleteValueA(section, name.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
  }
  for (const Update::Write& write : update.writes) {
    result = RegSetValueExA(section, write.name.c_str(), 0, write.type,
                            (const BYTE*)write.data.data(), (DWORD)write.data.size());
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

// Runs body as one group of registry calls (see host::BeginGroup): what it writes takes effect
// only when it succeeds. The keys it opens are closed within it.
template <typename Body>
HRESULT Grouped(bool write, Body body) {
  LONG begun = host::BeginGroup(write);
  if (begun != ERROR_SUCCESS) return FromRegistry(begun);
  HRESULT status = body();
  LONG ended = host::EndGroup(SUCCEEDED(status));
  return FAILED(status) || ended == ERROR_SUCCESS ? status : FromRegistry(ended);
}

// The service list of an open profile key.
HRESULT ReadServices(HKEY profile, std::vector<MAPIUID>* uids) {
  uids->clear();
  DWORD type = 0;
  std::string data;
  LONG result = ReadValue(profile, ServicesValue, &type, &data);
  if (result == ERROR_FILE_NOT_FOUND) return S_OK;
  if (result != ERROR_SUCCESS) return FromRegistry(result);
  if (type != REG_BINARY || data.size() % sizeof(MAPIUID) != 0) return MAPI_E_CORRUPT_DATA;
  uids->resize(data.size() / sizeof(MAPIUID));
  if (!data.empty()) memcpy(uids->data(), data.data(), data.size());
  return S_OK;
}

}  // namespace

std::string ProfileKeyPath(const char* name) {
  if (name == nullptr || name[0] == '\0' || strchr(name, '\\') != nullptr) return "";
  std::string path = ProfilesRoot;
  for (int i = 0; i < EncodedNameBytes && name[i] != '\0'; i++) {
    unsigned char c = (unsigned char)name[i];
    if (c <= 0x7F) {
      path += (char)c;
    } else {
      path += '[';
      path += (char)(0x70 + (c & 0x0F));
      path += (char)(0x70 + (c >> 4));
    }
  }
  return path;
}

HRESULT CreateProfile(const char* name) {
  return Grouped(true, [&]() -> HRESULT {
    std::string path = ProfileKeyPath(name);
    if (path.empty()) return MAPI_E_INVALID_PARAMETER;
    Key key;
    DWORD disposition = 0;
    LONG result = key.Create(HKEY_CURRENT_USER, path, &disposition);
    if (result != ERROR_SUCCESS) return FromRegistry(result);
    // The key is the profile: an existing one is refused even when its name only encodes alike.
    if (disposition == REG_OPENED_EXISTING_KEY) return MAPI_E_NO_ACCESS;
    result =
        RegSetValueExA(key.get(), NameValue, 0, REG_SZ, (const BYTE*)name, (DWORD)strlen(name) + 1);
    if (result != ERROR_SUCCESS) {
      RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
      return FromRegistry(result);
    }
    return S_OK;
  });
}

HRESULT FindProfile(const char* name, std::string* keyPath) {
  return Grouped(false, [&]() -> HRESULT {
    std::string path = ProfileKeyPath(name);
    if (path.empty()) return MAPI_E_NOT_FOUND;
    Key key;
    HRESULT status = OpenProfile(path, KEY_READ, &key);
    if (FAILED(status)) return status;
    DWORD type = 0;
    std::string stored;
    LONG result = ReadValue(key.get(), NameValue, &type, &stored);
    if (result == ERROR_SUCCESS && type == REG_SZ) {
      // The key of another profile whose name only encodes to the same key is not this one.
      stored = stored.substr(0, stored.find('\0'));
      if (!SameName(stored, name)) return MAPI_E_NOT_FOUND;
    } else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      return FromRegistry(result);
    }
    *keyPath = path;
    return S_OK;
  });
}

HRESULT DeleteProfile(const std::string& keyPath) {
  return Grouped(true, [&]() -> HRESULT {
    return FromRegistry(RegDeleteTreeA(HKEY_CURRENT_USER, keyPath.c_str()));
  });
}

HRESULT ReadSection(const std::string& keyPath, const MAPIUID& uid,
                    std::vector<Property>* properties) {
  return Grouped(false, [&]() -> HRESULT {
    properties->clear();
    // The section's key straight away; only when it is missing does the profile's own say
    // whether the section is merely not written yet.
    Key section;
    LONG result = section.Open(HKEY_CURRENT_USER, keyPath + "\\" + SectionName(uid), KEY_READ);
    if (result == ERROR_FILE_NOT_FOUND) {
      Key profile;
      HRESULT status = OpenProfile(keyPath, KEY_READ, &profile);
      return FAILED(status) ? status : S_OK;
    }
    if (result != ERROR_SUCCESS) return FromRegistry(result);
    std::vector<Value> values;
    result = ReadValues(section.get(), true, &values);
    if (result != ERROR_SUCCESS) return FromRegistry(result);
    for (const Value& value : values) {
      ULONG tag;
      if (ParseTagName(value.name, &tag))
        properties->push_back(Decode(tag, value.type, value.data));
    }
    return S_OK;
  });
}

HRESULT WriteSection(const std::string& keyPath, const MAPIUID& uid,
                     const std::vector<Property>& properties, const std::vector<ULONG>& removals) {
  // Most writes to an existing section change nothing (a dialog confirmed as it was shown):
  // looked at first in a read group, they take no write group, which would wait for the store's
  // write lock. Another process's change meanwhile comes after this write, which changed nothing.
  bool changes = true;
  Grouped(false, [&]() -> HRESULT {
    Key section;
    std::vector<Value> stored;
    Update update;
    if (section.Open(HKEY_CURRENT_USER, keyPath + "\\" + SectionName(uid), KEY_READ) ==
            ERROR_SUCCESS &&
        ReadValues(section.get(), true, &stored) == ERROR_SUCCESS &&
        PlanUpdate(stored, properties, removals, &update) == ERROR_SUCCESS)
      changes = !update.drops.empty() || !update.writes.empty();
    return S_OK;
  });
  if (!changes) return S_OK;
  return Grouped(true, [&]() -> HRESULT {
    Key profile;
    HRESULT status = OpenProfile(keyPath, KEY_ALL_ACCESS, &profile);
    if (FAILED(status)) return status;
    Key section;
    LONG result;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (properties.empty()) {
      // Only removals: a section that does not exist has nothing to remove.
      result = section.Open(profile.get(), SectionName(uid), KEY_ALL_ACCESS);
      if (result == ERROR_FILE_NOT_FOUND) return S_OK;
    } else {
      result = section.Create(profile.get(), SectionName(uid), &disposition);
    }
    if (result != ERROR_SUCCESS) return FromRegistry(result);
    return FromRegistry(
        UpdateSection(section.get(), disposition == REG_CREATED_NEW_KEY, properties, removals));
  });
}

HRESULT ReadServiceList(const std::string& keyPath, std::vector<MAPIUID>* uids) {
  return Grouped(false, [&]() -> HRESULT {
    uids->clear();
    Key profile;
    HRESULT status = OpenProfile(keyPath, KEY_READ, &profile);
    return FAILED(status) ? status : ReadServices(profile.get(), uids);
  });
}

HRESULT AddService(const std::string& keyPath, const MAPIUID& uid,
                   const std::vector<Property>& properties) {
  return Grouped(true, [&]() -> HRESULT {
    Key profile;
    HRESULT status = OpenProfile(keyPath, KEY_ALL_ACCESS, &profile);
    if (FAILED(status)) return status;
    std::vector<MAPIUID> uids;
    status = ReadServices(profile.get(), &uids);
    if (FAILED(status)) return status;

    std::string sectionName = SectionName(uid);
    Key section;
    DWORD disposition = 0;
    LONG result = section.Create(profile.get(), sectionName, &disposition);
    if (result != ERROR_SUCCESS) return FromRegistry(result);
    // A fresh random UID that names an existing section would mix two services: refuse.
    if (disposition == REG_OPENED_EXISTING_KEY) return MAPI_E_CALL_FAILED;
    result = UpdateSection(section.get(), true, properties, {});
    if (result == ERROR_SUCCESS) {
      uids.push_back(uid);
      result = RegSetValueExA(profile.get(), ServicesValue, 0, REG_BINARY, (const BYTE*)uids.data(),
                              (DWORD)(uids.size() * sizeof(MAPIUID)));
    }
    if (result != ERROR_SUCCESS) {
      RegDeleteTreeA(profile.get(), sectionName.c_str());
      return FromRegistry(result);
    }
    return S_OK;
  });
}

}  // namespace qsmapi::profstore
