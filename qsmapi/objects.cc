// The objects the system works through: profile administration, message service
// administration, profile sections, tables and sessions. They keep no copy of what is stored:
// every call goes to the profile store (profstore.cc), so an object sees what another object or
// process wrote, and a profile deleted under an object is reported as MAPI_E_NOT_FOUND rather
// than brought back. Each call the caller makes is logged and planned (plan.h) before it works.
#include "qsmapi/objects.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <mutex>

#include "qsmapi/host.h"
#include "qsmapi/plan.h"
#include "qsmapi/qsmapi.h"
#include "qsmapi/exchange.h"
#include "qsmapi/mapisvc.h"
#include "qsmapi/profstore.h"
#include "qsmapi/stubs.h"

namespace qsmapi {
namespace {

std::mutex CountLock;
using plan::Quote;
using plan::ShowTags;
using plan::ShowUid;

// Logs and plans the call, and checks that the subsystem is initialised.
#define ENTER(name, ...)                    \
  plan::Call call(this, name, __VA_ARGS__); \
  if (call.Skips()) return call.status();   \
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED

// The interface identifiers QueryInterface answers to: IUnknown's and each object's own.
IID MapiIid(uint32_t first) {
  return IID{first, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}
const IID IidUnknown = MapiIid(0x00000000);
const IID IidSession = MapiIid(0x00020300);
const IID IidTable = MapiIid(0x00020301);
const IID IidProp = MapiIid(0x00020303);
const IID IidProfSect = MapiIid(0x00020304);
const IID IidProfAdmin = MapiIid(0x0002031C);
const IID IidServiceAdmin = MapiIid(0x0002031D);

bool SameIid(const IID& a, const IID& b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

// The values a plan gives, in place of the section's. When fewer come than were asked for, the
// array still has room for all, the rest holding the asked tags with plausible values, so that
// a caller reading past the count takes them for real.
HRESULT GivenValues(const std::vector<Property>& given, LPSPropTagArray asked, ULONG* count,
                    LPSPropValue* values) {
  std::vector<Property> all = given;
  for (ULONG i = (ULONG)given.size(); asked && i < asked->cValues; i++)
    all.push_back(StringProperty(CHANGE_PROP_TYPE(asked->aulPropTag[i], PT_STRING8), "bait"));
  ULONG filled = 0;
  HRESULT status = ToPropArray(all, &filled, values);
  if (FAILED(status)) return status;
  *count = (ULONG)given.size();
  return S_OK;
}

// Reference counting and QueryInterface for every object, with the accounting of plan.h. An
// object starts with one reference, the caller's; when the last goes it is retired, and kept
// until the accounting is reset.
template <class Interface>
class Object : public Interface, public plan::Tracked {
 public:
  Object(const IID& own, const char* kind) : own_(own) {
    this->kind = kind;
    plan::Track(this);
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, LPVOID* ppvObj) override {
    if (ppvObj) *ppvObj = nullptr;
    ENTER("QueryInterface", "%s", "");
    if (ppvObj == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (!SameIid(riid, IidUnknown) && !SameIid(riid, own_) && !AlsoAnswers(riid))
      return E_NOINTERFACE;
    references++;
    *ppvObj = static_cast<Interface*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    plan::Call call(this, "AddRef", "%s", "");
    std::lock_guard<std::mutex> hold(CountLock);
    return (ULONG)++references;
  }
  STDMETHODIMP_(ULONG) Release() override {
    plan::Call call(this, "Release", "%s", "");
    {
      std::lock_guard<std::mutex> hold(CountLock);
      if (references <= 0) {
        plan::Note(std::string(kind) + " #" + std::to_string(id) +
                   " released once more after its last reference");
        return 0;
      }
      if (--references > 0) return (ULONG)references;
    }
    LastReleased();
    plan::Retire(this);
    return 0;
  }

 protected:
  virtual bool AlsoAnswers(REFIID) { return false; }
  // Checks what the caller owed the object before giving up its last reference.
  virtual void LastReleased() {}
  HRESULT Unserved(const char* method, HRESULT status) override {
    plan::Call call(this, method, "%s", "unserved");
    plan::Note(std::string(method) + " is not served");
    return status;
  }

 private:
  IID own_;
};

// A snapshot table: the rows as they were when it was made, shown with the columns set.
class Table : public Object<stubs::Table> {
 public:
  Table(std::vector<std::vector<Property>> rows, std::vector<ULONG> columns)
      : Object(IidTable, "Table"), rows_(std::move(rows)), columns_(std::move(columns)) {}

  STDMETHODIMP SetColumns(LPSPropTagArray tags, ULONG flags) override {
    ENTER("SetColumns", "%s, 0x%X", ShowTags(tags), flags);
    return call.Result([&]() -> HRESULT {
      if (tags == nullptr || tags->cValues == 0) return MAPI_E_INVALID_PARAMETER;
      std::lock_guard<std::mutex> lock(lock_);
      columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
      return S_OK;
    }());
  }
  // Only from the first row, which is all the subsystem's readers need.
  STDMETHODIMP SeekRow(BOOKMARK origin, LONG count, LONG* sought) override {
    if (origin != BOOKMARK_BEGINNING) return Unserved("SeekRow from elsewhere", MAPI_E_NO_SUPPORT);
    ENTER("SeekRow", "%d", count);
    return call.Result([&]() -> HRESULT {
      std::lock_guard<std::mutex> lock(lock_);
      position_ = (size_t)std::clamp<long long>(count, 0, (long long)rows_.size());
      if (sought) *sought = (LONG)position_;
      return S_OK;
    }());
  }
  // The table cannot filter or sort: clearing is fine, anything else is too complex.
  STDMETHODIMP Restrict(LPSRestriction restriction, ULONG) override {
    ENTER("Restrict", "%s", restriction ? "restriction" : "null");
    return call.Result(
        [&]() -> HRESULT { return restriction == nullptr ? S_OK : MAPI_E_TOO_COMPLEX; }());
  }
  STDMETHODIMP SortTable(LPSSortOrderSet order, ULONG) override {
    ENTER("SortTable", "%s", order ? "order" : "null");
    return call.Result([&]() -> HRESULT {
      return order == nullptr || order->cSorts == 0 ? S_OK : MAPI_E_TOO_COMPLEX;
    }());
  }
  // Reads forward from the current row; TBL_NOADVANCE leaves the position where it was.
  STDMETHODIMP QueryRows(LONG count, ULONG flags, LPSRowSet* result) override {
    if (count < 0) return Unserved("QueryRows backwards", MAPI_E_NO_SUPPORT);
    ENTER("QueryRows", "%d, 0x%X", count, flags);
    return call.Result([&]() -> HRESULT {
      if (result == nullptr) return MAPI_E_INVALID_PARAMETER;
      *result = nullptr;
      std::lock_guard<std::mutex> lock(lock_);
      size_t first = position_,
             last = position_ + std::min((size_t)count, rows_.size() - position_);
      LPVOID buffer = nullptr;
      HRESULT status = MAPIAllocateBuffer((ULONG)CbNewSRowSet(last - first), &buffer);
      if (FAILED(status)) return status;
      LPSRowSet set = (LPSRowSet)buffer;
      set->cRows = 0;
      for (size_t r = first; r < last; r++) {
        std::vector<Property> shown;
        for (ULONG column : columns_) {
          const Property* property = FindProperty(rows_[r], column);
          shown.push_back(property ? *property : ErrorProperty(column, MAPI_E_NOT_FOUND));
        }
        SRow& row = set->aRow[set->cRows];
        row.ulAdrEntryPad = 0;
        status = ToPropArray(shown, &row.cValues, &row.lpProps);
        if (FAILED(status)) {
          FreeProws(set);
          return status;
        }
        set->cRows++;
      }
      if (!(flags & TBL_NOADVANCE)) position_ = last;
      *result = set;
      return S_OK;
    }());
  }

 private:
  std::mutex lock_;
  const std::vector<std::vector<Property>> rows_;
  std::vector<ULONG> columns_;
  size_t position_ = 0;
};

// A profile section. Opened without MAPI_MODIFY it only reads. Writes go to the store at once.
class ProfileSection : public Object<stubs::ProfSect> {
 public:
  ProfileSection(std::string keyPath, const MAPIUID& uid, bool writable)
      : Object(IidProfSect, "Section"),
        keyPath_(std::move(keyPath)),
        uid_(uid),
        writable_(writable) {}

  // One value per tag asked for, in order; a missing one as PT_ERROR with MAPI_E_NOT_FOUND (or
  // MAPI_E_CORRUPT_DATA when its stored form is unreadable). Without tags: every property.
  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                        LPSPropValue* values) override {
    if (count) *count = 0;
    if (values) *values = nullptr;
    ENTER("GetProps", "%s, 0x%X", ShowTags(tags), flags);
    return call.Result([&]() -> HRESULT {
      if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
      std::vector<Property> stored;
      HRESULT status = profstore::ReadSection(keyPath_, uid_, &stored);
      if (FAILED(status)) return status;
      std::vector<Property> result;
      if (tags == nullptr) {
        result = stored;
      } else {
        for (ULONG i = 0; i < tags->cValues; i++) {
          ULONG tag = tags->aulPropTag[i];
          const Property* property = FindProperty(stored, tag);
          if (property == nullptr) {
            const Property* broken = FindProperty(stored, CHANGE_PROP_TYPE(tag, PT_ERROR));
            result.push_back(broken ? ErrorProperty(tag, (SCODE)broken->number)
                                    : ErrorProperty(tag, MAPI_E_NOT_FOUND));
          } else {
            result.push_back(*property);
          }
        }
      }
      if (const plan::Rule* rule = call.Substitute(plan::Kind::Values))
        return GivenValues(rule->values, tags, count, values);
      bool errors = false;
      for (const Property& property : result)
        errors = errors || PROP_TYPE(property.tag) == PT_ERROR;
      status = ToPropArray(result, count, values);
      if (FAILED(status)) return status;
      return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    }());
  }
  // A value that cannot be kept is reported in the problem array and the rest are written.
  STDMETHODIMP SetProps(ULONG cValues, LPSPropValue props, LPSPropProblemArray* problems) override {
    ENTER("SetProps", "%u", cValues);
    return call.Result([&]() -> HRESULT {
      if (problems) *problems = nullptr;
      if (!writable_) return MAPI_E_NO_ACCESS;
      if (cValues > 0 && props == nullptr) return MAPI_E_INVALID_PARAMETER;
      std::vector<Property> writes;
      std::vector<SPropProblem> found;
      for (ULONG i = 0; i < cValues; i++) {
        Property property;
        HRESULT status = FromPropValue(props[i], &property);
        if (FAILED(status)) {
          found.push_back({i, props[i].ulPropTag, status});
        } else {
          writes.push_back(property);
        }
      }
      HRESULT status = writes.empty() ? S_OK : profstore::WriteSection(keyPath_, uid_, writes, {});
      if (FAILED(status)) return status;
      return ReportProblems(found, problems);
    }());
  }
  STDMETHODIMP DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    ENTER("DeleteProps", "%s, %s", ShowTags(tags), problems ? "problems" : "null");
    return call.Result([&]() -> HRESULT {
      if (problems) *problems = nullptr;
      if (!writable_) return MAPI_E_NO_ACCESS;
      if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
      std::vector<ULONG> removals(tags->aulPropTag, tags->aulPropTag + tags->cValues);
      return profstore::WriteSection(keyPath_, uid_, {}, removals);
    }());
  }

 protected:
  bool AlsoAnswers(REFIID riid) override { return SameIid(riid, IidProp); }

 private:
  static HRESULT ReportProblems(const std::vector<SPropProblem>& found,
                                LPSPropProblemArray* problems) {
    if (found.empty() || problems == nullptr) return S_OK;
    LPVOID buffer = nullptr;
    size_t size = offsetof(SPropProblemArray, aProblem) + found.size() * sizeof(SPropProblem);
    HRESULT status = MAPIAllocateBuffer((ULONG)size, &buffer);
    if (FAILED(status)) return status;
    LPSPropProblemArray array = (LPSPropProblemArray)buffer;
    array->cProblem = (ULONG)found.size();
    for (size_t i = 0; i < found.size(); i++) array->aProblem[i] = found[i];
    *problems = array;
    return S_OK;
  }

  const std::string keyPath_;
  const MAPIUID uid_;
  const bool writable_;
};

bool SameUid(const MAPIUID& a, const MAPIUID& b) {
  return memcmp(a.ab, b.ab, sizeof a.ab) == 0;
}

class ServiceAdmin : public Object<stubs::ServiceAdmin> {
 public:
  explicit ServiceAdmin(std::string keyPath)
      : Object(IidServiceAdmin, "ServiceAdmin"), keyPath_(std::move(keyPath)) {}

  // One row per service in creation order, with the display name, the service name, the UID
  // and the resource flags as the default columns.
  STDMETHODIMP GetMsgServiceTable(ULONG flags, LPMAPITABLE* table) override {
    if (table) *table = nullptr;
    ENTER("GetMsgServiceTable", "0x%X", flags);
    return call.Result([&]() -> HRESULT {
      if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
      std::vector<MAPIUID> uids;
      HRESULT status = profstore::ReadServiceList(keyPath_, &uids);
      if (FAILED(status)) return status;
      std::vector<std::vector<Property>> rows;
      for (const MAPIUID& uid : uids) {
        std::vector<Property> section;
        status = profstore::ReadSection(keyPath_, uid, &section);
        if (FAILED(status)) return status;
        // The list is what names a service's UID, whatever its section holds.
        std::vector<Property> row;
        row.push_back(BinaryProperty(PR_SERVICE_UID, uid.ab, sizeof uid.ab));
        for (const Property& property : section)
          if (PROP_ID(property.tag) != PROP_ID(PR_SERVICE_UID)) row.push_back(property);
        rows.push_back(std::move(row));
      }
      *table = new Table(std::move(rows),
                         {PR_DISPLAY_NAME, PR_SERVICE_NAME, PR_SERVICE_UID, PR_RESOURCE_FLAGS});
      return S_OK;
    }());
  }

  STDMETHODIMP CreateMsgService(LPTSTR service, LPTSTR displayName, ULONG_PTR window,
                                ULONG flags) override {
    ENTER("CreateMsgService", "%s, %s, %lu, 0x%X", Quote(service), Quote(displayName),
          (unsigned long)window, flags);
    return call.Result([&]() -> HRESULT {
      if (service == nullptr || service[0] == '\0') return MAPI_E_INVALID_PARAMETER;
      services::Service installed;
      if (!services::FindInstalled(service, &installed)) return MAPI_E_NOT_FOUND;
      MAPIUID uid;
      HRESULT status = host::NewUid(&uid);
      if (FAILED(status)) return status;
      std::string shown = displayName && displayName[0] ? displayName : installed.displayName;
      return profstore::AddService(
          keyPath_, uid,
          {StringProperty(PR_SERVICE_NAME, installed.name), StringProperty(PR_DISPLAY_NAME, shown),
           BinaryProperty(PR_SERVICE_UID, uid.ab, sizeof uid.ab),
           LongProperty(PR_RESOURCE_FLAGS, 0)});
    }());
  }

  // Hands the service to its provider. The Exchange provider has a dialog; any other provider
  // keeps the given properties in the service's own section.
  STDMETHODIMP ConfigureMsgService(LPMAPIUID uid, ULONG_PTR window, ULONG flags, ULONG cValues,
                                   LPSPropValue props) override {
    ENTER("ConfigureMsgService", "%s, %lu, 0x%X, %u, %s", ShowUid(uid), (unsigned long)window,
          flags, cValues, props ? "values" : "null");
    return call.Result([&]() -> HRESULT {
      if (uid == nullptr || (cValues > 0 && props == nullptr)) return MAPI_E_INVALID_PARAMETER;
      std::vector<MAPIUID> uids;
      HRESULT status = profstore::ReadServiceList(keyPath_, &uids);
      if (FAILED(status)) return status;
      bool listed = false;
      for (const MAPIUID& listedUid : uids) listed = listed || SameUid(listedUid, *uid);
      if (!listed) return MAPI_E_NOT_FOUND;
      std::vector<Property> section;
      status = profstore::ReadSection(keyPath_, *uid, &section);
      if (FAILED(status)) return status;
      const Property* name = FindProperty(section, PR_SERVICE_NAME);
      if (name && SameName(name->bytes, exchange::ServiceName))
        return exchange::Configure(keyPath_, window, flags, cValues, props);
      std::vector<Property> writes;
      for (ULONG i = 0; i < cValues; i++) {
        Property property;
        status = FromPropValue(props[i], &property);
        if (FAILED(status)) return status;
        writes.push_back(property);
      }
      return writes.empty() ? S_OK : profstore::WriteSection(keyPath_, *uid, writes, {});
    }());
  }

  // A section that does not exist yet opens empty and is created by its first write.
  STDMETHODIMP OpenProfileSection(LPMAPIUID uid, LPCIID iid, ULONG flags,
                                  LPPROFSECT* section) override {
    if (section) *section = nullptr;
    ENTER("OpenProfileSection", "%s, %s, 0x%X", ShowUid(uid), iid ? "interface" : "null", flags);
    return call.Result([&]() -> HRESULT {
      if (section == nullptr) return MAPI_E_INVALID_PARAMETER;
      if (uid == nullptr) return MAPI_E_INVALID_PARAMETER;
      if (iid && !SameIid(*iid, IidProfSect) && !SameIid(*iid, IidProp) &&
          !SameIid(*iid, IidUnknown))
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
      std::vector<Property> ignored;
      HRESULT status = profstore::ReadSection(keyPath_, *uid, &ignored);  // the profile must exist
      if (FAILED(status)) return status;
      *section = new ProfileSection(keyPath_, *uid, (flags & MAPI_MODIFY) != 0);
      return S_OK;
    }());
  }

 private:
  const std::string keyPath_;
};

class ProfileAdmin : public Object<stubs::ProfAdmin> {
 public:
  ProfileAdmin() : Object(IidProfAdmin, "ProfAdmin") {}

  STDMETHODIMP CreateProfile(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags) override {
    ENTER("CreateProfile", "%s, %s, %lu, 0x%X", Quote(name), Quote(password), (unsigned long)window,
          flags);
    return call.Result([&]() -> HRESULT { return profstore::CreateProfile(name); }());
  }
  STDMETHODIMP DeleteProfile(LPTSTR name, ULONG flags) override {
    ENTER("DeleteProfile", "%s, 0x%X", Quote(name), flags);
    return call.Result([&]() -> HRESULT {
      std::string keyPath;
      HRESULT status = profstore::FindProfile(name, &keyPath);
      if (FAILED(status)) return status;
      return profstore::DeleteProfile(keyPath);
    }());
  }
  STDMETHODIMP AdminServices(LPTSTR name, LPTSTR password, ULONG_PTR window, ULONG flags,
                             LPSERVICEADMIN* serviceAdmin) override {
    if (serviceAdmin) *serviceAdmin = nullptr;
    ENTER("AdminServices", "%s, %s, %lu, 0x%X", Quote(name), Quote(password), (unsigned long)window,
          flags);
    return call.Result([&]() -> HRESULT {
      if (serviceAdmin == nullptr) return MAPI_E_INVALID_PARAMETER;
      std::string keyPath;
      HRESULT status = profstore::FindProfile(name, &keyPath);
      if (FAILED(status)) return status;
      *serviceAdmin = new ServiceAdmin(keyPath);
      return S_OK;
    }());
  }
};

// A logged-on session. Logging on did the providers' work; the session itself only logs off.
class Session : public Object<stubs::Session> {
 public:
  Session() : Object(IidSession, "Session") {}

  STDMETHODIMP Logoff(ULONG_PTR window, ULONG flags, ULONG reserved) override {
    plan::Call call(this, "Logoff", "%lu, 0x%X, %u", (unsigned long)window, flags, reserved);
    loggedOff_ = true;  // a Logoff that returned, whatever its status; not one that faulted
    if (call.Skips()) return call.status();
    if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
    return call.Result(S_OK);
  }

 protected:
  // A client logs off before it releases its session; otherwise the session's providers never
  // hear that it ended.
  void LastReleased() override {
    if (!loggedOff_) plan::Note("Session #" + std::to_string(id) + " released without Logoff");
  }

 private:
  bool loggedOff_ = false;
};

}  // namespace

LPPROFADMIN NewProfileAdmin() {
  return new ProfileAdmin();
}

LPMAPISESSION NewSession() {
  return new Session();
}

const plan::Tracked* TrackedOf(LPUNKNOWN object) {
  return dynamic_cast<const plan::Tracked*>(object);
}

}  // namespace qsmapi
