#include "fake/mapi.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "qsmapi/stubs.h"

namespace fake {

Subsystem Mapi;

namespace {

// Every object handed out is kept until Reset, so that a call on a released one is noted
// instead of touching freed memory.
struct Tracked {
  virtual ~Tracked() = default;
  const char* kind = "";
  std::string profile;
  int id = 0;
  int references = 1;
};

struct State {
  std::vector<std::unique_ptr<Tracked>> objects;
  std::map<void*, std::vector<void*>> blocks;  // each root with what was allocated onto it
  std::vector<std::string> problems;
  std::map<std::string, int> counts;  // calls per name, for the rules' occurrences
  int depth = 0, startDepth = 0;      // initialisations not undone, now and at Reset
  int services = 0;
  volatile int* inaccessible = nullptr;
} S;

void Problem(const Tracked* self, const std::string& text) {
  S.problems.push_back(self ? std::string(self->kind) + " #" + std::to_string(self->id) + text
                            : text);
}

// What the matching rule makes of a call. Plain data: a fault leaves the frames that hold it
// without unwinding them.
struct Outcome {
  Effect effect;
  HRESULT status;
  const Rule* rule;
  bool Skips() const { return effect == Effect::Fail || effect == Effect::Empty; }
  HRESULT Or(HRESULT natural) const { return rule && rule->status ? status : natural; }
};

// Records the call and applies its rule. Called first in every entry point, before anything
// with a destructor is alive, so that the exception and the fault leave nothing behind.
__attribute__((format(printf, 3, 4))) Outcome Enter(Tracked* self, const char* name,
                                                    const char* format, ...) {
  char args[512];
  va_list list;
  va_start(list, format);
  vsnprintf(args, sizeof args, format, list);
  va_end(list);
  Mapi.calls.push_back(std::string(name) + "(" + args + ")");
  if (self && self->references <= 0) Problem(self, std::string(" used after its release: ") + name);
  if (S.depth == 0 && strcmp(name, "MAPIInitialize") != 0)
    Problem(nullptr, std::string(name) + " while the subsystem is not initialised");
  int occurrence = ++S.counts[name];
  for (const Rule& rule : Mapi.rules) {
    if (rule.call != name || (rule.occurrence != 0 && rule.occurrence != occurrence)) continue;
    if (rule.effect == Effect::Throw) throw std::runtime_error(name);
    if (rule.effect == Effect::Fault) *S.inaccessible = 1;
    HRESULT otherwise = rule.effect == Effect::Fail ? MAPI_E_CALL_FAILED : S_OK;
    return {rule.effect, rule.status.value_or(otherwise), &rule};
  }
  return {Effect::Normal, S_OK, nullptr};
}

// Records the call and leaves with the rule's status when the rule skips the call's work.
#define ENTER(self, name, ...)                      \
  Outcome outcome = Enter(self, name, __VA_ARGS__); \
  if (outcome.Skips()) return outcome.status

// A string argument as the records show it, in a small ring of buffers so that one call can
// show several.
const char* Quote(const char* text) {
  static char ring[4][300];
  static int next;
  char* out = ring[next++ % 4];
  if (text)
    snprintf(out, sizeof ring[0], "\"%s\"", text);
  else
    snprintf(out, sizeof ring[0], "null");
  return out;
}

const char* ShowTags(LPSPropTagArray tags) {
  static char shown[256];
  if (tags == nullptr) return "null";
  size_t used = snprintf(shown, sizeof shown, "{");
  for (ULONG i = 0; i < tags->cValues && used < sizeof shown; i++)
    used +=
        snprintf(shown + used, sizeof shown - used, "%s0x%08X", i ? ", " : "", tags->aulPropTag[i]);
  if (used < sizeof shown) snprintf(shown + used, sizeof shown - used, "}");
  return shown;
}

bool IsGlobal(LPMAPIUID uid) {
  return uid && memcmp(uid, pbGlobalProfileSectionGuid, 16) == 0;
}

const char* ShowUid(LPMAPIUID uid) {
  static char shown[40];
  snprintf(shown, sizeof shown, "%s",
           !uid            ? "null"
           : IsGlobal(uid) ? "global"
                           : Hex(std::string((char*)uid->ab, 16)).c_str());
  return shown;
}

Profile* Find(const char* name) {
  auto it = name ? Mapi.profiles.find(name) : Mapi.profiles.end();
  return it == Mapi.profiles.end() ? nullptr : &it->second;
}

void Store(Profile* profile, const std::vector<Prop>& values) {
  for (const Prop& value : values) profile->global[value.tag] = value.bytes;
}

// AddRef, Release and the unserved methods, recorded and checked, for each interface's object.
template <class Stubs>
class Fake : public Stubs, public Tracked {
 public:
  Fake(const char* kind, const std::string& profile) {
    this->kind = kind;
    this->profile = profile;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    char name[64];
    snprintf(name, sizeof name, "%s.Release", kind);
    Enter(nullptr, name, "%s", "");
    if (references > 0) return --references;
    Problem(this, " released once more after its last reference");
    return 0;
  }

 protected:
  HRESULT Unserved(const char* method, HRESULT status) override {
    Enter(this, method, "unserved");
    Problem(nullptr, std::string(method) + " is not served");
    return status;
  }
};

template <class T, class... A>
T* Make(A&&... arguments) {
  S.objects.push_back(std::make_unique<T>(std::forward<A>(arguments)...));
  S.objects.back()->id = (int)S.objects.size();
  return static_cast<T*>(S.objects.back().get());
}

// A buffer of its own (root null) or one freed with root; filled so that nothing reads as zero.
void* Alloc(size_t size, void* root) {
  void* block = malloc(size ? size : 1);
  memset(block, 0xCD, size);
  if (root)
    S.blocks[root].push_back(block);
  else
    S.blocks[block];
  return block;
}

void FreeRoot(void* root) {
  auto it = S.blocks.find(root);
  if (it == S.blocks.end()) return Problem(nullptr, "a buffer freed that is not allocated");
  for (void* child : it->second) free(child);
  free(root);
  S.blocks.erase(it);
}

// A value array, a root of its own or freed with root. When fewer values come back than were
// asked for, the array still has room for all, the rest filled with the asked tags and
// plausible values: a caller reading past the count takes them for real. Binary values are
// exactly as long as they are, so that a read past one is caught.
LPSPropValue BuildValues(const std::vector<Prop>& values, LPSPropTagArray asked, void* root) {
  size_t count = std::max<size_t>({values.size(), asked->cValues, 1});
  LPSPropValue array = (LPSPropValue)Alloc(count * sizeof(SPropValue), root);
  memset((void*)array, 0, count * sizeof(SPropValue));
  for (size_t i = 0; i < count; i++) {
    ULONG tag = i < asked->cValues ? asked->aulPropTag[i] : PR_DISPLAY_NAME;
    std::string bait = PROP_TYPE(tag) == PT_BINARY ? std::string(16, '\xBA') : "bait";
    const Prop& prop = i < values.size() ? values[i] : Prop{tag, bait};
    size_t size = prop.bytes.size() + (PROP_TYPE(prop.tag) == PT_BINARY ? 0 : 1);
    void* data = Alloc(size, root ? root : array);
    memcpy(data, prop.bytes.c_str(), size);
    array[i].ulPropTag = prop.tag;
    if (PROP_TYPE(prop.tag) == PT_STRING8) array[i].Value.lpszA = (LPSTR)data;
    if (PROP_TYPE(prop.tag) == PT_BINARY)
      array[i].Value.bin = {(ULONG)prop.bytes.size(), (LPBYTE)data};
    if (PROP_TYPE(prop.tag) == PT_ERROR) array[i].Value.err = MAPI_E_NOT_FOUND;
  }
  return array;
}

class FakeTable : public Fake<qsmapi::stubs::Table> {
 public:
  explicit FakeTable(const std::string& profile) : Fake("Table", profile) {}
};

class FakeSection : public Fake<qsmapi::stubs::ProfSect> {
 public:
  FakeSection(const std::string& profile, bool modifiable)
      : Fake("Section", profile), modifiable(modifiable) {}

  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    *count = 0;
    *values = nullptr;
    ENTER(this, "GetProps", "%s, 0x%X", ShowTags(tags), flags);
    Profile* found = Find(profile.c_str());
    if (found == nullptr) return outcome.Or(MAPI_E_OBJECT_DELETED);
    std::vector<Prop> result;
    HRESULT status = S_OK;
    for (ULONG i = 0; i < tags->cValues; i++) {
      auto it = found->global.find(tags->aulPropTag[i]);
      if (it == found->global.end()) status = MAPI_W_ERRORS_RETURNED;
      result.push_back(
          {it != found->global.end() ? it->first : CHANGE_PROP_TYPE(tags->aulPropTag[i], PT_ERROR),
           it != found->global.end() ? it->second : ""});
    }
    if (outcome.rule && outcome.rule->values) result = *outcome.rule->values;
    *values = BuildValues(result, tags, nullptr);
    *count = (ULONG)result.size();
    return outcome.Or(status);
  }

  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    ENTER(this, "DeleteProps", "%s, %s", ShowTags(tags), problems ? "problems" : "null");
    Profile* found = Find(profile.c_str());
    if (!modifiable || found == nullptr) return outcome.Or(MAPI_E_NO_ACCESS);
    for (ULONG i = 0; i < tags->cValues; i++) found->global.erase(tags->aulPropTag[i]);
    if (problems) *problems = nullptr;
    return outcome.Or(S_OK);
  }

 private:
  bool modifiable;
};

class FakeServiceAdmin : public Fake<qsmapi::stubs::ServiceAdmin> {
 public:
  explicit FakeServiceAdmin(const std::string& profile) : Fake("ServiceAdmin", profile) {}

  HRESULT GetMsgServiceTable(ULONG flags, LPMAPITABLE* table) override {
    *table = nullptr;
    ENTER(this, "GetMsgServiceTable", "0x%X", flags);
    if (Find(profile.c_str()) == nullptr) return outcome.Or(MAPI_E_NOT_FOUND);
    *table = Make<FakeTable>(profile);
    return outcome.Or(S_OK);
  }

  HRESULT CreateMsgService(LPTSTR service, LPTSTR display, ULONG_PTR window, ULONG flags) override {
    ENTER(this, "CreateMsgService", "%s, %s, %lu, 0x%X", Quote(service), Quote(display),
          (unsigned long)window, flags);
    const std::vector<std::string>& installed = Mapi.providers;
    if (Find(profile.c_str()) == nullptr ||
        std::find(installed.begin(), installed.end(), service) == installed.end())
      return outcome.Or(MAPI_E_NOT_FOUND);
    Mapi.AddService(profile, service);
    return outcome.Or(S_OK);
  }

  HRESULT ConfigureMsgService(LPMAPIUID uid, ULONG_PTR window, ULONG flags, ULONG count,
                              LPSPropValue values) override {
    ENTER(this, "ConfigureMsgService", "%s, %lu, 0x%X, %u, %s", ShowUid(uid), (unsigned long)window,
          flags, count, values ? "values" : "null");
    Profile* found = Find(profile.c_str());
    for (const Service& service : found ? found->services : std::vector<Service>{}) {
      if (uid == nullptr || service.uid != std::string((char*)uid->ab, 16)) continue;
      Store(found, Mapi.dialogWrites);
      return outcome.Or(S_OK);
    }
    return outcome.Or(MAPI_E_NOT_FOUND);
  }

  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID iface, ULONG flags,
                             LPPROFSECT* section) override {
    *section = nullptr;
    ENTER(this, "OpenProfileSection", "%s, %s, 0x%X", ShowUid(uid), iface ? "interface" : "null",
          flags);
    if (Find(profile.c_str()) == nullptr || !IsGlobal(uid)) return outcome.Or(MAPI_E_NOT_FOUND);
    *section = Make<FakeSection>(profile, (flags & MAPI_MODIFY) != 0);
    return outcome.Or(S_OK);
  }
};

class FakeProfAdmin : public Fake<qsmapi::stubs::ProfAdmin> {
 public:
  FakeProfAdmin() : Fake("ProfAdmin", "") {}

  HRESULT CreateProfile(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags) override {
    ENTER(this, "CreateProfile", "%s, %s, %lu, 0x%X", Quote(name), Quote(password),
          (unsigned long)window, flags);
    if (Find(name) != nullptr) return outcome.Or(MAPI_E_NO_ACCESS);
    Mapi.profiles[name];
    return outcome.Or(S_OK);
  }

  HRESULT DeleteProfile(LPTSTR name, ULONG flags) override {
    ENTER(this, "DeleteProfile", "%s, 0x%X", Quote(name), flags);
    for (const auto& object : S.objects)
      if (object->references > 0 && object->profile == name)
        Problem(object.get(), " held while its profile is deleted");
    return outcome.Or(Mapi.profiles.erase(name) ? S_OK : MAPI_E_NOT_FOUND);
  }

  HRESULT AdminServices(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags,
                        LPSERVICEADMIN* admin) override {
    *admin = nullptr;
    ENTER(this, "AdminServices", "%s, %s, %lu, 0x%X", Quote(name), Quote(password),
          (unsigned long)window, flags);
    if (Find(name) == nullptr) return outcome.Or(MAPI_E_NOT_FOUND);
    *admin = Make<FakeServiceAdmin>(name);
    return outcome.Or(S_OK);
  }
};

class FakeSession : public Fake<qsmapi::stubs::Session> {
 public:
  explicit FakeSession(const std::string& profile) : Fake("Session", profile) {}
  HRESULT Logoff(ULONG_PTR window, ULONG flags, ULONG reserved) override {
    ENTER(this, "Logoff", "%lu, 0x%X, %u", (unsigned long)window, flags, reserved);
    return outcome.Or(S_OK);
  }
};

}  // namespace

Rule Fail(const std::string& call, HRESULT status) {
  return {call, 1, Effect::Fail, status, {}, {}};
}
Rule Empty(const std::string& call, HRESULT status) {
  return {call, 1, Effect::Empty, status, {}, {}};
}
Rule Values(std::vector<Prop> values, HRESULT status) {
  return {"GetProps", 1, Effect::Normal, status, std::move(values), {}};
}
Rule Rows(std::vector<Row> rows, HRESULT status) {
  return {"HrQueryAllRows", 1, Effect::Normal, status, {}, std::move(rows)};
}

void Subsystem::Reset(bool initialised) {
  while (!S.blocks.empty()) FreeRoot(S.blocks.begin()->first);
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
  for (const auto& object : S.objects)
    if (object->references > 0)
      problems.push_back(std::string(object->kind) + " #" + std::to_string(object->id) +
                         " still held");
  if (!S.blocks.empty()) problems.push_back(std::to_string(S.blocks.size()) + " buffers not freed");
  if (S.depth > S.startDepth) problems.push_back("MAPIInitialize not undone");
  return problems;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char byte : bytes)
    hex += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  return hex;
}

}  // namespace fake

using fake::Enter;
using fake::Mapi;
using fake::Outcome;
using fake::S;

HRESULT MAPIInitialize(LPVOID init) {
  LPMAPIINIT_0 given = (LPMAPIINIT_0)init;
  Outcome outcome =
      given ? Enter(nullptr, "MAPIInitialize", "%u, 0x%X", given->ulVersion, given->ulFlags)
            : Enter(nullptr, "MAPIInitialize", "null");
  if (outcome.Skips()) return outcome.status;
  HRESULT status = outcome.Or(S_OK);
  if (SUCCEEDED(status)) S.depth++;
  return status;
}

void MAPIUninitialize(void) {
  Enter(nullptr, "MAPIUninitialize", "%s", "");
  for (const auto& object : S.objects)
    if (object->references > 0) fake::Problem(object.get(), " held at MAPIUninitialize");
  if (S.depth > 0) S.depth--;
}

HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* admin) {
  *admin = nullptr;
  ENTER(nullptr, "MAPIAdminProfiles", "0x%X", flags);
  *admin = fake::Make<fake::FakeProfAdmin>();
  return outcome.Or(S_OK);
}

HRESULT MAPILogonEx(ULONG_PTR window, LPTSTR name, LPTSTR password, ULONG flags,
                    LPMAPISESSION* session) {
  *session = nullptr;
  ENTER(nullptr, "MAPILogonEx", "%lu, %s, %s, 0x%X", (unsigned long)window, fake::Quote(name),
        fake::Quote(password), flags);
  fake::Profile* profile = fake::Find(name);
  if (profile == nullptr) return outcome.Or(MAPI_E_LOGON_FAILED);
  fake::Store(profile, Mapi.logonWrites);
  *session = fake::Make<fake::FakeSession>(name);
  return outcome.Or(S_OK);
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  Mapi.calls.push_back("MAPIFreeBuffer()");
  if (buffer) fake::FreeRoot(buffer);
  return 0;
}

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction restriction,
                       LPSSortOrderSet order, LONG most, LPSRowSet* rows) {
  *rows = nullptr;
  fake::FakeTable* fakeTable = dynamic_cast<fake::FakeTable*>(table);
  ENTER(fakeTable, "HrQueryAllRows", "%s, %s, %s, %d", fake::ShowTags(tags),
        restriction ? "restriction" : "null", order ? "order" : "null", most);
  fake::Profile* profile = fakeTable ? fake::Find(fakeTable->profile.c_str()) : nullptr;
  if (profile == nullptr) return outcome.Or(MAPI_E_INVALID_PARAMETER);
  std::vector<fake::Row> result;
  if (outcome.rule && outcome.rule->rows) result = *outcome.rule->rows;
  for (size_t s = 0; !(outcome.rule && outcome.rule->rows) && s < profile->services.size(); s++) {
    fake::Row row;
    for (ULONG i = 0; i < tags->cValues; i++) {
      ULONG tag = tags->aulPropTag[i];
      const fake::Service& service = profile->services[s];
      row.push_back(tag == PR_SERVICE_NAME  ? fake::Prop{tag, service.name}
                    : tag == PR_SERVICE_UID ? fake::Prop{tag, service.uid}
                                            : fake::Prop{CHANGE_PROP_TYPE(tag, PT_ERROR), ""});
    }
    result.push_back(row);
  }
  // Room for one row more than counted: a reader past the count finds a plausible row there.
  // It belongs to the set's own buffer, since FreeProws frees only the counted rows.
  LPSRowSet set = (LPSRowSet)fake::Alloc(CbNewSRowSet(result.size() + 1), nullptr);
  set->cRows = (ULONG)result.size();
  for (size_t i = 0; i <= result.size(); i++) {
    bool bait = i == result.size();
    set->aRow[i].ulAdrEntryPad = 0;
    set->aRow[i].cValues = bait ? tags->cValues : (ULONG)result[i].size();
    set->aRow[i].lpProps =
        fake::BuildValues(bait ? fake::Row{} : result[i], tags, bait ? set : nullptr);
  }
  *rows = set;
  return outcome.Or(S_OK);
}

void FreeProws(LPSRowSet rows) {
  Mapi.calls.push_back("FreeProws()");
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; i++) fake::FreeRoot(rows->aRow[i].lpProps);
  fake::FreeRoot(rows);
}
