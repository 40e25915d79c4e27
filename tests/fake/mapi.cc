#include "fake/mapi.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace fake {

Subsystem Mapi;

namespace {

// Every object handed out, kept until Reset so that a late call on a released object is
// recorded instead of touching freed memory.
struct Tracked {
  Tracked(const char* kind, std::string profile)
      : kind(kind),
        profile(std::move(profile)),
        addRefName(std::string(kind) + ".AddRef"),
        releaseName(std::string(kind) + ".Release") {}
  virtual ~Tracked() = default;
  const char* kind;
  std::string profile;
  std::string addRefName;
  std::string releaseName;
  int id = 0;
  int references = 1;
};

struct State {
  std::vector<std::unique_ptr<Tracked>> objects;
  std::map<void*, std::vector<void*>> blocks;  // each root with what was allocated onto it
  std::vector<std::string> problems;
  std::map<std::string, int> counts;  // calls per name, for the rules' occurrences
  int depth = 0;                      // successful MAPIInitialize calls not yet undone
  int startDepth = 0;
  int services = 0;
  volatile int* inaccessible = nullptr;
} S;

__attribute__((format(printf, 1, 2))) void Problem(const char* format, ...) {
  char text[512];
  va_list list;
  va_start(list, format);
  vsnprintf(text, sizeof text, format, list);
  va_end(list);
  S.problems.push_back(text);
}

// What the matching rule makes of a call. Plain data: a fault leaves the frames that hold it
// without unwinding them.
struct Outcome {
  Effect effect;
  HRESULT status;
  bool hasStatus;
  const Rule* rule;
  bool Skips() const { return effect == Effect::Fail || effect == Effect::Empty; }
  HRESULT Or(HRESULT natural) const { return hasStatus ? status : natural; }
};

void Record(Tracked* self, const char* name, const char* args) {
  Mapi.calls.push_back(std::string(name) + "(" + args + ")");
  if (self != nullptr && self->references <= 0)
    Problem("%s #%d used after its release: %s", self->kind, self->id, name);
  if (S.depth == 0 && strcmp(name, "MAPIInitialize") != 0)
    Problem("%s while the subsystem is not initialised", name);
}

Outcome Decide(const char* name) {
  int occurrence = ++S.counts[name];
  for (const Rule& rule : Mapi.rules) {
    if (rule.call != name || (rule.occurrence != 0 && rule.occurrence != occurrence)) continue;
    Outcome outcome = {rule.effect, rule.status.value_or(S_OK), rule.status.has_value(), &rule};
    if (rule.effect == Effect::Fail && !rule.status) outcome.status = MAPI_E_CALL_FAILED;
    return outcome;
  }
  return {Effect::Normal, S_OK, false, nullptr};
}

// Records the call and applies its rule. Called first in every entry point, before anything
// with a destructor is alive, so that the exception and the fault leave nothing behind. The
// use check is skipped for a null self (Release does its own).
__attribute__((format(printf, 3, 4))) Outcome Enter(Tracked* self, const char* name,
                                                    const char* format, ...) {
  char args[512] = "";
  va_list list;
  va_start(list, format);
  vsnprintf(args, sizeof args, format, list);
  va_end(list);
  Record(self, name, args);
  Outcome outcome = Decide(name);
  if (outcome.effect == Effect::Throw) throw std::runtime_error(name);
  if (outcome.effect == Effect::Fault) *S.inaccessible = 1;
  return outcome;
}

// A string argument as the records show it: quoted, or null. Kept in a small ring of static
// buffers so that one call can show several.
const char* Quote(const char* text) {
  static char ring[6][300];
  static int next;
  char* out = ring[next++ % 6];
  if (text == nullptr)
    snprintf(out, sizeof ring[0], "null");
  else
    snprintf(out, sizeof ring[0], "\"%s\"", text);
  return out;
}

void FormatTags(char* out, size_t size, LPSPropTagArray tags) {
  if (tags == nullptr) {
    snprintf(out, size, "null");
    return;
  }
  size_t used = snprintf(out, size, "{");
  for (ULONG i = 0; i < tags->cValues && used < size; i++)
    used += snprintf(out + used, size - used, "%s0x%08X", i ? ", " : "", tags->aulPropTag[i]);
  if (used < size) snprintf(out + used, size - used, "}");
}

bool IsGlobal(LPMAPIUID uid) {
  return memcmp(uid, pbGlobalProfileSectionGuid, 16) == 0;
}

void FormatUid(char* out, size_t size, LPMAPIUID uid) {
  if (uid == nullptr)
    snprintf(out, size, "null");
  else if (IsGlobal(uid))
    snprintf(out, size, "global");
  else
    snprintf(out, size, "%s", Hex(std::string((const char*)uid->ab, 16)).c_str());
}

template <class T, class... A>
T* Make(A&&... arguments) {
  auto object = std::make_unique<T>(std::forward<A>(arguments)...);
  T* raw = object.get();
  raw->id = (int)S.objects.size() + 1;
  S.objects.push_back(std::move(object));
  return raw;
}

ULONG AddRefTracked(Tracked* self) {
  Enter(self, self->addRefName.c_str(), "%s", "");
  return ++self->references;
}

ULONG ReleaseTracked(Tracked* self) {
  Enter(nullptr, self->releaseName.c_str(), "%s", "");
  if (self->references <= 0) {
    Problem("%s #%d released once more after its last reference", self->kind, self->id);
    return 0;
  }
  return --self->references;
}

HRESULT Unserved(Tracked* self, const char* name) {
  Enter(self, name, "%s", "unserved");
  Problem("%s is not served", name);
  return MAPI_E_NO_SUPPORT;
}

Profile* Find(const std::string& name) {
  auto it = Mapi.profiles.find(name);
  return it == Mapi.profiles.end() ? nullptr : &it->second;
}

void Store(Profile* profile, const std::vector<Prop>& values) {
  for (const Prop& value : values) profile->global[value.tag] = value.bytes;
}

void* Allocate(ULONG size) {
  void* block = malloc(size ? size : 1);
  memset(block, 0xCD, size);
  return block;
}

bool FreeRoot(void* root) {
  auto it = S.blocks.find(root);
  if (it == S.blocks.end()) {
    Problem("a buffer was freed that is not allocated (freed twice?)");
    return false;
  }
  for (void* child : it->second) free(child);
  free(root);
  S.blocks.erase(it);
  return true;
}

void Fill(SPropValue& value, const Prop& prop, void* root) {
  value.ulPropTag = prop.tag;
  value.Value.l = 0;
  switch (PROP_TYPE(prop.tag)) {
    case PT_STRING8:
      MAPIAllocateMore((ULONG)prop.bytes.size() + 1, root, (LPVOID*)&value.Value.lpszA);
      memcpy(value.Value.lpszA, prop.bytes.c_str(), prop.bytes.size() + 1);
      break;
    case PT_BINARY:
      // Exactly as long as the value, so that a read past it is caught.
      value.Value.bin.cb = (ULONG)prop.bytes.size();
      MAPIAllocateMore(value.Value.bin.cb, root, (LPVOID*)&value.Value.bin.lpb);
      memcpy(value.Value.bin.lpb, prop.bytes.data(), prop.bytes.size());
      break;
    case PT_ERROR:
      value.Value.err = MAPI_E_NOT_FOUND;
      break;
  }
}

// A value array: a root of its own, or allocated onto root. When fewer values than expected
// come back, the array still has room for what was asked, filled with bait: plausible values
// that a caller reading past the count would take for real.
LPSPropValue BuildValues(const std::vector<Prop>& values, const std::vector<Prop>& bait,
                         void* root) {
  size_t count = std::max<size_t>(std::max(values.size(), bait.size()), 1);
  ULONG size = (ULONG)(count * sizeof(SPropValue));
  LPSPropValue array = nullptr;
  if (root)
    MAPIAllocateMore(size, root, (LPVOID*)&array);
  else
    MAPIAllocateBuffer(size, (LPVOID*)&array);
  memset((void*)array, 0, size);
  for (size_t i = 0; i < count; i++) {
    if (i < values.size())
      Fill(array[i], values[i], root ? root : array);
    else if (i < bait.size())
      Fill(array[i], bait[i], root ? root : array);
  }
  return array;
}

std::vector<Prop> Bait(LPSPropTagArray tags) {
  std::vector<Prop> bait;
  for (ULONG i = 0; tags && i < tags->cValues; i++)
    bait.push_back({tags->aulPropTag[i], PROP_TYPE(tags->aulPropTag[i]) == PT_BINARY
                                             ? std::string(16, '\xBA')
                                             : std::string("bait")});
  return bait;
}

#define UNSERVED(name, ...)            \
  HRESULT name(__VA_ARGS__) override { \
    return Unserved(this, #name);      \
  }
#define TRACKED_UNKNOWN                     \
  UNSERVED(QueryInterface, REFIID, LPVOID*) \
  ULONG AddRef() override {                 \
    return AddRefTracked(this);             \
  }                                         \
  ULONG Release() override {                \
    return ReleaseTracked(this);            \
  }

class FakeTable : public IMAPITable, public Tracked {
 public:
  explicit FakeTable(std::string profile) : Tracked("Table", std::move(profile)) {}
  TRACKED_UNKNOWN
  UNSERVED(GetLastError, HRESULT, ULONG, LPMAPIERROR*)
  UNSERVED(Advise, ULONG, LPMAPIADVISESINK, ULONG*)
  UNSERVED(Unadvise, ULONG)
  UNSERVED(GetStatus, ULONG*, ULONG*)
  UNSERVED(SetColumns, LPSPropTagArray, ULONG)
  UNSERVED(QueryColumns, ULONG, LPSPropTagArray*)
  UNSERVED(GetRowCount, ULONG, ULONG*)
  UNSERVED(SeekRow, BOOKMARK, LONG, LONG*)
  UNSERVED(SeekRowApprox, ULONG, ULONG)
  UNSERVED(QueryPosition, ULONG*, ULONG*, ULONG*)
  UNSERVED(FindRow, LPSRestriction, BOOKMARK, ULONG)
  UNSERVED(Restrict, LPSRestriction, ULONG)
  UNSERVED(CreateBookmark, BOOKMARK*)
  UNSERVED(FreeBookmark, BOOKMARK)
  UNSERVED(SortTable, LPSSortOrderSet, ULONG)
  UNSERVED(QuerySortOrder, LPSSortOrderSet*)
  UNSERVED(QueryRows, LONG, ULONG, LPSRowSet*)
  UNSERVED(Abort)
  UNSERVED(ExpandRow, ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*)
  UNSERVED(CollapseRow, ULONG, LPBYTE, ULONG, ULONG*)
  UNSERVED(WaitForCompletion, ULONG, ULONG, ULONG*)
  UNSERVED(GetCollapseState, ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*)
  UNSERVED(SetCollapseState, ULONG, ULONG, LPBYTE, BOOKMARK*)
};

class FakeSection : public IProfSect, public Tracked {
 public:
  FakeSection(std::string profile, bool modifiable)
      : Tracked("Section", std::move(profile)), modifiable(modifiable) {}
  TRACKED_UNKNOWN
  UNSERVED(GetLastError, HRESULT, ULONG, LPMAPIERROR*)
  UNSERVED(SaveChanges, ULONG)
  UNSERVED(GetPropList, ULONG, LPSPropTagArray*)
  UNSERVED(OpenProperty, ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*)
  UNSERVED(SetProps, ULONG, LPSPropValue, LPSPropProblemArray*)
  UNSERVED(CopyTo, ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
           LPSPropProblemArray*)
  UNSERVED(CopyProps, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
           LPSPropProblemArray*)
  UNSERVED(GetNamesFromIDs, LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**)
  UNSERVED(GetIDsFromNames, ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*)

  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    char shown[256];
    FormatTags(shown, sizeof shown, tags);
    *count = 0;
    *values = nullptr;
    Outcome outcome = Enter(this, "GetProps", "%s, 0x%X", shown, flags);
    if (outcome.Skips()) return outcome.status;
    Profile* found = Find(profile);
    if (found == nullptr) return outcome.Or(MAPI_E_OBJECT_DELETED);
    std::vector<Prop> result;
    HRESULT status = S_OK;
    if (outcome.rule && outcome.rule->values) {
      result = *outcome.rule->values;
    } else {
      for (ULONG i = 0; i < tags->cValues; i++) {
        ULONG tag = tags->aulPropTag[i];
        auto it = found->global.find(tag);
        if (it != found->global.end()) {
          result.push_back({tag, it->second});
        } else {
          result.push_back({CHANGE_PROP_TYPE(tag, PT_ERROR), ""});
          status = MAPI_W_ERRORS_RETURNED;
        }
      }
    }
    *values = BuildValues(result, Bait(tags), nullptr);
    *count = (ULONG)result.size();
    return outcome.Or(status);
  }

  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    char shown[256];
    FormatTags(shown, sizeof shown, tags);
    Outcome outcome = Enter(this, "DeleteProps", "%s, %s", shown, problems ? "problems" : "null");
    if (outcome.Skips()) return outcome.status;
    if (!modifiable) return outcome.Or(MAPI_E_NO_ACCESS);
    Profile* found = Find(profile);
    if (found == nullptr) return outcome.Or(MAPI_E_OBJECT_DELETED);
    for (ULONG i = 0; i < tags->cValues; i++) found->global.erase(tags->aulPropTag[i]);
    if (problems) *problems = nullptr;
    return outcome.Or(S_OK);
  }

 private:
  bool modifiable;
};

class FakeServiceAdmin : public IMsgServiceAdmin, public Tracked {
 public:
  explicit FakeServiceAdmin(std::string profile) : Tracked("ServiceAdmin", std::move(profile)) {}
  TRACKED_UNKNOWN
  UNSERVED(GetLastError, HRESULT, ULONG, LPMAPIERROR*)
  UNSERVED(DeleteMsgService, LPMAPIUID)
  UNSERVED(CopyMsgService, LPMAPIUID, LPTSTR, LPCIID, LPCIID, LPVOID, ULONG_PTR, ULONG)
  UNSERVED(RenameMsgService, LPMAPIUID, ULONG, LPTSTR)
  UNSERVED(MsgServiceTransportOrder, ULONG, LPMAPIUID, ULONG)
  UNSERVED(AdminProviders, LPMAPIUID, ULONG, LPPROVIDERADMIN*)
  UNSERVED(SetPrimaryIdentity, LPMAPIUID, ULONG)
  UNSERVED(GetProviderTable, ULONG, LPMAPITABLE*)

  HRESULT GetMsgServiceTable(ULONG flags, LPMAPITABLE* table) override {
    *table = nullptr;
    Outcome outcome = Enter(this, "GetMsgServiceTable", "0x%X", flags);
    if (outcome.Skips()) return outcome.status;
    if (Find(profile) == nullptr) return outcome.Or(MAPI_E_NOT_FOUND);
    *table = Make<FakeTable>(profile);
    return outcome.Or(S_OK);
  }

  HRESULT CreateMsgService(LPTSTR service, LPTSTR display, ULONG_PTR window, ULONG flags) override {
    Outcome outcome = Enter(this, "CreateMsgService", "%s, %s, %lu, 0x%X", Quote(service),
                            Quote(display), (unsigned long)window, flags);
    if (outcome.Skips()) return outcome.status;
    const std::vector<std::string>& installed = Mapi.providers;
    if (Find(profile) == nullptr ||
        std::find(installed.begin(), installed.end(), service) == installed.end())
      return outcome.Or(MAPI_E_NOT_FOUND);
    Mapi.AddService(profile, service);
    return outcome.Or(S_OK);
  }

  HRESULT ConfigureMsgService(LPMAPIUID uid, ULONG_PTR window, ULONG flags, ULONG count,
                              LPSPropValue values) override {
    char shown[64];
    FormatUid(shown, sizeof shown, uid);
    Outcome outcome = Enter(this, "ConfigureMsgService", "%s, %lu, 0x%X, %u, %s", shown,
                            (unsigned long)window, flags, count, values ? "values" : "null");
    if (outcome.Skips()) return outcome.status;
    Profile* found = Find(profile);
    if (found == nullptr || uid == nullptr) return outcome.Or(MAPI_E_NOT_FOUND);
    std::string key((const char*)uid->ab, 16);
    for (const Service& service : found->services) {
      if (service.uid != key) continue;
      Store(found, Mapi.dialogWrites);
      return outcome.Or(S_OK);
    }
    return outcome.Or(MAPI_E_NOT_FOUND);
  }

  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID iface, ULONG flags,
                             LPPROFSECT* section) override {
    char shown[64];
    FormatUid(shown, sizeof shown, uid);
    *section = nullptr;
    Outcome outcome = Enter(this, "OpenProfileSection", "%s, %s, 0x%X", shown,
                            iface ? "interface" : "null", flags);
    if (outcome.Skips()) return outcome.status;
    if (Find(profile) == nullptr || uid == nullptr || !IsGlobal(uid))
      return outcome.Or(MAPI_E_NOT_FOUND);
    *section = Make<FakeSection>(profile, (flags & MAPI_MODIFY) != 0);
    return outcome.Or(S_OK);
  }
};

class FakeProfAdmin : public IProfAdmin, public Tracked {
 public:
  FakeProfAdmin() : Tracked("ProfAdmin", "") {}
  TRACKED_UNKNOWN
  UNSERVED(GetLastError, HRESULT, ULONG, LPMAPIERROR*)
  UNSERVED(GetProfileTable, ULONG, LPMAPITABLE*)
  UNSERVED(ChangeProfilePassword, LPTSTR, LPTSTR, LPTSTR, ULONG)
  UNSERVED(CopyProfile, LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG)
  UNSERVED(RenameProfile, LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG)
  UNSERVED(SetDefaultProfile, LPTSTR, ULONG)

  HRESULT CreateProfile(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags) override {
    Outcome outcome = Enter(this, "CreateProfile", "%s, %s, %lu, 0x%X", Quote(name),
                            Quote(password), (unsigned long)window, flags);
    if (outcome.Skips()) return outcome.status;
    if (Find(name) != nullptr) return outcome.Or(MAPI_E_NO_ACCESS);
    Mapi.profiles[name];
    return outcome.Or(S_OK);
  }

  HRESULT DeleteProfile(LPTSTR name, ULONG flags) override {
    Outcome outcome = Enter(this, "DeleteProfile", "%s, 0x%X", Quote(name), flags);
    if (outcome.Skips()) return outcome.status;
    for (const auto& object : S.objects)
      if (object->references > 0 && object->profile == name)
        Problem("DeleteProfile while %s #%d of the profile is held", object->kind, object->id);
    return outcome.Or(Mapi.profiles.erase(name) ? S_OK : MAPI_E_NOT_FOUND);
  }

  HRESULT AdminServices(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags,
                        LPSERVICEADMIN* admin) override {
    *admin = nullptr;
    Outcome outcome = Enter(this, "AdminServices", "%s, %s, %lu, 0x%X", Quote(name),
                            Quote(password), (unsigned long)window, flags);
    if (outcome.Skips()) return outcome.status;
    if (Find(name) == nullptr) return outcome.Or(MAPI_E_NOT_FOUND);
    *admin = Make<FakeServiceAdmin>(name);
    return outcome.Or(S_OK);
  }
};

class FakeSession : public IMAPISession, public Tracked {
 public:
  explicit FakeSession(std::string profile) : Tracked("Session", std::move(profile)) {}
  TRACKED_UNKNOWN
  UNSERVED(GetLastError, HRESULT, ULONG, LPMAPIERROR*)
  UNSERVED(GetMsgStoresTable, ULONG, LPMAPITABLE*)
  UNSERVED(OpenMsgStore, ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB*)
  UNSERVED(OpenAddressBook, ULONG_PTR, LPCIID, ULONG, LPADRBOOK*)
  UNSERVED(OpenProfileSection, LPMAPIUID, LPCIID, ULONG, LPPROFSECT*)
  UNSERVED(GetStatusTable, ULONG, LPMAPITABLE*)
  UNSERVED(OpenEntry, ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*)
  UNSERVED(CompareEntryIDs, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*)
  UNSERVED(Advise, ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*)
  UNSERVED(Unadvise, ULONG)
  UNSERVED(MessageOptions, ULONG_PTR, ULONG, LPTSTR, LPMESSAGE)
  UNSERVED(QueryDefaultMessageOpt, LPTSTR, ULONG, ULONG*, LPSPropValue*)
  UNSERVED(EnumAdrTypes, ULONG, ULONG*, LPTSTR**)
  UNSERVED(QueryIdentity, ULONG*, LPENTRYID*)
  UNSERVED(SetDefaultStore, ULONG, ULONG, LPENTRYID)
  UNSERVED(AdminServices, ULONG, LPSERVICEADMIN*)
  UNSERVED(ShowForm, ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG,
           ULONG, LPSTR)
  UNSERVED(PrepareForm, LPCIID, LPMESSAGE, ULONG*)

  HRESULT Logoff(ULONG_PTR window, ULONG flags, ULONG reserved) override {
    Outcome outcome =
        Enter(this, "Logoff", "%lu, 0x%X, %u", (unsigned long)window, flags, reserved);
    return outcome.Skips() ? outcome.status : outcome.Or(S_OK);
  }
};

}  // namespace

Rule Fail(const std::string& call, HRESULT status, int occurrence) {
  return {call, occurrence, Effect::Fail, status, {}, {}};
}
Rule Empty(const std::string& call, HRESULT status, int occurrence) {
  return {call, occurrence, Effect::Empty, status, {}, {}};
}
Rule Throw(const std::string& call, int occurrence) {
  return {call, occurrence, Effect::Throw, {}, {}, {}};
}
Rule Fault(const std::string& call, int occurrence) {
  return {call, occurrence, Effect::Fault, {}, {}, {}};
}
Rule Returns(const std::string& call, HRESULT status, int occurrence) {
  return {call, occurrence, Effect::Normal, status, {}, {}};
}
Rule Values(std::vector<Prop> values, HRESULT status, int occurrence) {
  return {"GetProps", occurrence, Effect::Normal, status, std::move(values), {}};
}
Rule Rows(std::vector<Row> rows, HRESULT status) {
  return {"HrQueryAllRows", 1, Effect::Normal, status, {}, std::move(rows)};
}

void Subsystem::Reset(bool initialised) {
  for (auto& [root, children] : S.blocks) {
    for (void* child : children) free(child);
    free(root);
  }
  S.blocks.clear();
  S.objects.clear();
  S.problems.clear();
  S.counts.clear();
  S.depth = S.startDepth = initialised ? 1 : 0;
  S.services = 0;
  if (S.inaccessible == nullptr)
    S.inaccessible =
        (volatile int*)mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  profiles.clear();
  providers = {"MSEMS"};
  dialogWrites = {{PR_PROFILE_USER, "svc-quorvane"},
                  {PR_PROFILE_HOME_SERVER_DN, "/o=Quorvane/ou=Site/cn=Servers/cn=MAIL1"}};
  logonWrites.clear();
  rules.clear();
  calls.clear();
}

std::string Subsystem::AddService(const std::string& profile, const std::string& service) {
  char uid[32];
  snprintf(uid, sizeof uid, "service-uid-%04d", ++S.services % 10000);
  profiles[profile].services.push_back({service, uid});
  return uid;
}

std::vector<std::string> Subsystem::Names() const {
  std::vector<std::string> names;
  for (const std::string& call : calls) names.push_back(call.substr(0, call.find('(')));
  return names;
}

int Subsystem::Count(const std::string& name) const {
  std::vector<std::string> names = Names();
  return (int)std::count(names.begin(), names.end(), name);
}

std::vector<std::string> Subsystem::Problems() const {
  std::vector<std::string> problems = S.problems;
  char text[256];
  for (const auto& object : S.objects) {
    if (object->references <= 0) continue;
    snprintf(text, sizeof text, "%s #%d still held (%d references)", object->kind, object->id,
             object->references);
    problems.push_back(text);
  }
  if (!S.blocks.empty()) {
    snprintf(text, sizeof text, "%zu buffers never freed", S.blocks.size());
    problems.push_back(text);
  }
  if (S.depth > S.startDepth) problems.push_back("MAPIInitialize never undone by MAPIUninitialize");
  return problems;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  char digits[3];
  for (unsigned char byte : bytes) {
    snprintf(digits, sizeof digits, "%02X", byte);
    hex += digits;
  }
  return hex;
}

}  // namespace fake

using fake::Enter;
using fake::Mapi;
using fake::Outcome;
using fake::S;

HRESULT MAPIInitialize(LPVOID init) {
  char shown[64] = "null";
  if (init)
    snprintf(shown, sizeof shown, "%u, 0x%X", ((LPMAPIINIT_0)init)->ulVersion,
             ((LPMAPIINIT_0)init)->ulFlags);
  Outcome outcome = Enter(nullptr, "MAPIInitialize", "%s", shown);
  if (outcome.Skips()) return outcome.status;
  HRESULT status = outcome.Or(S_OK);
  if (SUCCEEDED(status)) S.depth++;
  return status;
}

void MAPIUninitialize(void) {
  Enter(nullptr, "MAPIUninitialize", "%s", "");
  for (const auto& object : S.objects)
    if (object->references > 0)
      fake::Problem("MAPIUninitialize while %s #%d is held", object->kind, object->id);
  if (S.depth > 0) S.depth--;
}

HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* admin) {
  *admin = nullptr;
  Outcome outcome = Enter(nullptr, "MAPIAdminProfiles", "0x%X", flags);
  if (outcome.Skips()) return outcome.status;
  *admin = fake::Make<fake::FakeProfAdmin>();
  return outcome.Or(S_OK);
}

HRESULT MAPILogonEx(ULONG_PTR window, LPTSTR name, LPTSTR password, ULONG flags,
                    LPMAPISESSION* session) {
  *session = nullptr;
  Outcome outcome = Enter(nullptr, "MAPILogonEx", "%lu, %s, %s, 0x%X", (unsigned long)window,
                          fake::Quote(name), fake::Quote(password), flags);
  if (outcome.Skips()) return outcome.status;
  fake::Profile* profile = name ? fake::Find(name) : nullptr;
  if (profile == nullptr) return outcome.Or(MAPI_E_LOGON_FAILED);
  fake::Store(profile, Mapi.logonWrites);
  *session = fake::Make<fake::FakeSession>(name);
  return outcome.Or(S_OK);
}

SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
  *buffer = fake::Allocate(size);
  S.blocks[*buffer];
  return S_OK;
}

SCODE MAPIAllocateMore(ULONG size, LPVOID root, LPVOID* buffer) {
  auto it = S.blocks.find(root);
  if (it == S.blocks.end()) {
    fake::Problem("MAPIAllocateMore onto a buffer that is not allocated");
    *buffer = nullptr;
    return MAPI_E_INVALID_PARAMETER;
  }
  *buffer = fake::Allocate(size);
  it->second.push_back(*buffer);
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  Mapi.calls.push_back("MAPIFreeBuffer()");
  if (buffer) fake::FreeRoot(buffer);
  return 0;
}

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction restriction,
                       LPSSortOrderSet order, LONG most, LPSRowSet* rows) {
  char shown[256];
  fake::FormatTags(shown, sizeof shown, tags);
  *rows = nullptr;
  fake::FakeTable* fakeTable = dynamic_cast<fake::FakeTable*>(table);
  Outcome outcome = Enter(fakeTable, "HrQueryAllRows", "%s, %s, %s, %d", shown,
                          restriction ? "restriction" : "null", order ? "order" : "null", most);
  if (outcome.Skips()) return outcome.status;
  fake::Profile* profile = fakeTable ? fake::Find(fakeTable->profile) : nullptr;
  if (profile == nullptr) return outcome.Or(MAPI_E_INVALID_PARAMETER);
  std::vector<fake::Row> result;
  if (outcome.rule && outcome.rule->rows) {
    result = *outcome.rule->rows;
  } else {
    for (const fake::Service& service : profile->services) {
      fake::Row row;
      for (ULONG i = 0; i < tags->cValues; i++) {
        ULONG tag = tags->aulPropTag[i];
        if (tag == PR_SERVICE_NAME)
          row.push_back({tag, service.name});
        else if (tag == PR_SERVICE_UID)
          row.push_back({tag, service.uid});
        else
          row.push_back({CHANGE_PROP_TYPE(tag, PT_ERROR), ""});
      }
      result.push_back(row);
    }
  }
  // Room for at least one row: a set without rows still has a bait row after its count. The
  // bait row belongs to the set's own buffer, since FreeProws frees only the counted rows.
  std::vector<fake::Prop> bait = fake::Bait(tags);
  size_t count = std::max<size_t>(result.size(), 1);
  LPSRowSet set = nullptr;
  MAPIAllocateBuffer((ULONG)CbNewSRowSet(count), (LPVOID*)&set);
  set->cRows = (ULONG)result.size();
  for (size_t i = 0; i < count; i++) {
    set->aRow[i].ulAdrEntryPad = 0;
    set->aRow[i].cValues = i < result.size() ? (ULONG)result[i].size() : (ULONG)bait.size();
    set->aRow[i].lpProps = i < result.size() ? fake::BuildValues(result[i], bait, nullptr)
                                             : fake::BuildValues(bait, bait, set);
  }
  *rows = set;
  return outcome.Or(S_OK);
}

void FreeProws(LPSRowSet rows) {
  Mapi.calls.push_back("FreeProws()");
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; i++)
    if (rows->aRow[i].lpProps) fake::FreeRoot(rows->aRow[i].lpProps);
  fake::FreeRoot(rows);
}
