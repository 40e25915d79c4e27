// The simulated messaging subsystem: initialisation, MAPI's chained buffers, property values,
// and the objects the system works through (profile administration, message service
// administration, profile sections, tables and sessions). The objects keep no copy of what is
// stored: every call goes to the profile store (profstore-posix.cc), so an object sees what
// another object or process wrote, and a profile deleted under an object is reported as
// MAPI_E_NOT_FOUND rather than brought back.
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>

#include "platform/mapi-posix-internal.h"
#include "platform/mapistubs-posix.h"

namespace qsmapi {
namespace {

std::mutex InitLock;
int InitCount;
std::atomic<bool> Initialised;

// A buffer from MAPIAllocateBuffer (a root) or MAPIAllocateMore (linked to its root), preceded
// by this header. Freeing the root frees every block linked to it.
struct alignas(std::max_align_t) Block {
  ULONG magic;
  Block* root;  // the root a "more" block belongs to; null for a root
  Block* next;  // the next "more" block of the same root
};
constexpr ULONG RootMagic = 0x4D415042;  // "MAPB"
constexpr ULONG MoreMagic = 0x4D41504D;  // "MAPM"
std::mutex ChainLock;

Block* HeaderOf(LPVOID buffer) {
  return (Block*)((char*)buffer - sizeof(Block));
}

Block* NewBlock(ULONG size, ULONG magic) {
  Block* block = (Block*)malloc(sizeof(Block) + (size_t)size);
  if (block == nullptr) return nullptr;
  block->magic = magic;
  block->root = nullptr;
  block->next = nullptr;
  return block;
}

}  // namespace

bool IsInitialized() {
  return Initialised.load();
}

Property StringProperty(ULONG tag, const std::string& text) {
  Property property;
  property.tag = tag;
  property.bytes = text;
  return property;
}

Property BinaryProperty(ULONG tag, const void* data, size_t size) {
  Property property;
  property.tag = tag;
  property.bytes.assign((const char*)data, size);
  return property;
}

Property LongProperty(ULONG tag, LONG value) {
  Property property;
  property.tag = tag;
  property.number = value;
  return property;
}

Property ErrorProperty(ULONG tag, SCODE status) {
  Property property;
  property.tag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  property.number = status;
  return property;
}

bool IsStorableType(ULONG type) {
  switch (type) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_I8:
    case PT_STRING8:
    case PT_BINARY:
      return true;
  }
  return false;
}

HRESULT FromPropValue(const SPropValue& value, Property* out) {
  out->tag = value.ulPropTag;
  out->number = 0;
  out->bytes.clear();
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2:
      out->number = value.Value.i;
      return S_OK;
    case PT_LONG:
      out->number = value.Value.l;
      return S_OK;
    case PT_BOOLEAN:
      out->number = value.Value.b != 0;
      return S_OK;
    case PT_I8:
      out->number = value.Value.li.QuadPart;
      return S_OK;
    case PT_STRING8:
      if (value.Value.lpszA == nullptr) return MAPI_E_INVALID_PARAMETER;
      out->bytes = value.Value.lpszA;
      return S_OK;
    case PT_BINARY:
      if (value.Value.bin.cb > 0 && value.Value.bin.lpb == nullptr) return MAPI_E_INVALID_PARAMETER;
      out->bytes.assign((const char*)value.Value.bin.lpb, value.Value.bin.cb);
      return S_OK;
  }
  return MAPI_E_NO_SUPPORT;
}

HRESULT ToPropValue(const Property& property, LPVOID root, SPropValue* out) {
  memset(out, 0, sizeof *out);
  out->ulPropTag = property.tag;
  LPVOID data = nullptr;
  switch (PROP_TYPE(property.tag)) {
    case PT_ERROR:
      out->Value.err = (SCODE)property.number;
      return S_OK;
    case PT_I2:
      out->Value.i = (short)property.number;
      return S_OK;
    case PT_LONG:
      out->Value.l = (LONG)property.number;
      return S_OK;
    case PT_BOOLEAN:
      out->Value.b = property.number != 0;
      return S_OK;
    case PT_I8:
      out->Value.li.QuadPart = property.number;
      return S_OK;
    case PT_STRING8: {
      HRESULT status = MAPIAllocateMore((ULONG)property.bytes.size() + 1, root, &data);
      if (FAILED(status)) return status;
      memcpy(data, property.bytes.c_str(), property.bytes.size() + 1);
      out->Value.lpszA = (LPSTR)data;
      return S_OK;
    }
    case PT_BINARY: {
      size_t size = property.bytes.size();
      HRESULT status = MAPIAllocateMore(size ? (ULONG)size : 1, root, &data);
      if (FAILED(status)) return status;
      if (size) memcpy(data, property.bytes.data(), size);
      out->Value.bin.cb = (ULONG)size;
      out->Value.bin.lpb = (LPBYTE)data;
      return S_OK;
    }
  }
  return MAPI_E_NO_SUPPORT;
}

HRESULT ToPropArray(const std::vector<Property>& properties, ULONG* count, LPSPropValue* out) {
  *count = 0;
  *out = nullptr;
  LPVOID buffer = nullptr;
  size_t slots = properties.empty() ? 1 : properties.size();
  HRESULT status = MAPIAllocateBuffer((ULONG)(slots * sizeof(SPropValue)), &buffer);
  if (FAILED(status)) return status;
  LPSPropValue values = (LPSPropValue)buffer;
  memset(values, 0, slots * sizeof(SPropValue));
  for (size_t i = 0; i < properties.size(); i++) {
    status = ToPropValue(properties[i], buffer, &values[i]);
    if (FAILED(status)) {
      MAPIFreeBuffer(buffer);
      return status;
    }
  }
  *count = (ULONG)properties.size();
  *out = values;
  return S_OK;
}

const Property* FindProperty(const std::vector<Property>& properties, ULONG tag) {
  for (const Property& property : properties)
    if (property.tag == tag) return &property;
  if (PROP_TYPE(tag) == PT_UNSPECIFIED)
    for (const Property& property : properties)
      if (PROP_ID(property.tag) == PROP_ID(tag)) return &property;
  return nullptr;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (x >= 'A' && x <= 'Z') x = (unsigned char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (unsigned char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const MAPIUID& GlobalSectionUid() {
  static const MAPIUID uid = [] {
    MAPIUID value;
    memcpy(value.ab, pbGlobalProfileSectionGuid, sizeof value.ab);
    return value;
  }();
  return uid;
}

namespace {

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

// Reference counting and QueryInterface for every object. An object starts with one reference,
// the caller's, and deletes itself when the last is released.
template <class Interface>
class Object : public Interface {
 public:
  explicit Object(const IID& own) : own_(own) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT QueryInterface(REFIID riid, LPVOID* ppvObj) override {
    if (ppvObj == nullptr) return MAPI_E_INVALID_PARAMETER;
    *ppvObj = nullptr;
    if (!SameIid(riid, IidUnknown) && !SameIid(riid, own_) && !AlsoAnswers(riid))
      return E_NOINTERFACE;
    AddRef();
    *ppvObj = static_cast<Interface*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return references_.fetch_add(1) + 1; }
  ULONG Release() override {
    ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Object() = default;
  virtual bool AlsoAnswers(REFIID) { return false; }

 private:
  IID own_;
  std::atomic<ULONG> references_{1};
};

#define REQUIRE_INITIALISED() \
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED

// A snapshot table: the rows as they were when it was made, shown with the columns set.
class Table : public Object<mapistubs::Table> {
 public:
  Table(std::vector<std::vector<Property>> rows, std::vector<ULONG> columns)
      : Object(IidTable), rows_(std::move(rows)), columns_(std::move(columns)) {}

  HRESULT GetStatus(ULONG* status, ULONG* type) override {
    REQUIRE_INITIALISED();
    if (status == nullptr || type == nullptr) return MAPI_E_INVALID_PARAMETER;
    *status = 0;  // TBLSTAT_COMPLETE
    *type = 0;    // TBLTYPE_SNAPSHOT
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    REQUIRE_INITIALISED();
    if (tags == nullptr || tags->cValues == 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lock_);
    columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return S_OK;
  }
  HRESULT QueryColumns(ULONG, LPSPropTagArray* tags) override {
    REQUIRE_INITIALISED();
    if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
    *tags = nullptr;
    std::lock_guard<std::mutex> lock(lock_);
    LPVOID buffer = nullptr;
    HRESULT status = MAPIAllocateBuffer((ULONG)CbNewSPropTagArray(columns_.size()), &buffer);
    if (FAILED(status)) return status;
    LPSPropTagArray result = (LPSPropTagArray)buffer;
    result->cValues = (ULONG)columns_.size();
    for (size_t i = 0; i < columns_.size(); i++) result->aulPropTag[i] = columns_[i];
    *tags = result;
    return S_OK;
  }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    REQUIRE_INITIALISED();
    if (count == nullptr) return MAPI_E_INVALID_PARAMETER;
    *count = (ULONG)rows_.size();
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG count, LONG* sought) override {
    REQUIRE_INITIALISED();
    std::lock_guard<std::mutex> lock(lock_);
    long long start;
    if (origin == BOOKMARK_BEGINNING) {
      start = 0;
    } else if (origin == BOOKMARK_CURRENT) {
      start = position_;
    } else if (origin == BOOKMARK_END) {
      start = (long long)rows_.size();
    } else {
      return MAPI_E_INVALID_BOOKMARK;
    }
    long long target = start + count;
    if (target < 0) target = 0;
    if (target > (long long)rows_.size()) target = (long long)rows_.size();
    if (sought) *sought = (LONG)(target - start);
    position_ = (size_t)target;
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) override {
    REQUIRE_INITIALISED();
    if (row == nullptr || numerator == nullptr || denominator == nullptr)
      return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lock_);
    *row = (ULONG)position_;
    *numerator = (ULONG)position_;
    *denominator = (ULONG)rows_.size();
    return S_OK;
  }
  // The table cannot filter or sort: clearing is fine, anything else is too complex.
  HRESULT Restrict(LPSRestriction restriction, ULONG) override {
    REQUIRE_INITIALISED();
    return restriction == nullptr ? S_OK : MAPI_E_TOO_COMPLEX;
  }
  HRESULT SortTable(LPSSortOrderSet order, ULONG) override {
    REQUIRE_INITIALISED();
    return order == nullptr || order->cSorts == 0 ? S_OK : MAPI_E_TOO_COMPLEX;
  }
  // A positive count reads forward from the current row, a negative one the rows before it;
  // either way the rows come in table order. TBL_NOADVANCE leaves the position where it was.
  HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* result) override {
    REQUIRE_INITIALISED();
    if (result == nullptr) return MAPI_E_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(lock_);
    size_t first, last;
    if (count >= 0) {
      first = position_;
      last = position_ + std::min((size_t)count, rows_.size() - position_);
    } else {
      size_t back = std::min((size_t)(-(long long)count), position_);
      first = position_ - back;
      last = position_;
    }
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
    if (!(flags & TBL_NOADVANCE)) position_ = count >= 0 ? last : first;
    *result = set;
    return S_OK;
  }
  HRESULT WaitForCompletion(ULONG, ULONG, ULONG* status) override {
    REQUIRE_INITIALISED();
    if (status) *status = 0;
    return S_OK;
  }

 private:
  std::mutex lock_;
  const std::vector<std::vector<Property>> rows_;
  std::vector<ULONG> columns_;
  size_t position_ = 0;
};

// A profile section. Opened without MAPI_MODIFY it only reads. Writes go to the store at once,
// so SaveChanges has nothing left to do.
class ProfileSection : public Object<mapistubs::ProfSect> {
 public:
  ProfileSection(std::string keyPath, const MAPIUID& uid, bool writable)
      : Object(IidProfSect), keyPath_(std::move(keyPath)), uid_(uid), writable_(writable) {}

  HRESULT SaveChanges(ULONG) override {
    REQUIRE_INITIALISED();
    return S_OK;
  }
  // One value per tag asked for, in order; a missing one as PT_ERROR with MAPI_E_NOT_FOUND (or
  // MAPI_E_CORRUPT_DATA when its stored form is unreadable). Without tags: every property.
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    REQUIRE_INITIALISED();
    if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    std::vector<Property> stored;
    HRESULT status = store::ReadSection(keyPath_, uid_, &stored);
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
    bool errors = false;
    for (const Property& property : result) errors = errors || PROP_TYPE(property.tag) == PT_ERROR;
    status = ToPropArray(result, count, values);
    if (FAILED(status)) return status;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* tags) override {
    REQUIRE_INITIALISED();
    if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
    *tags = nullptr;
    std::vector<Property> stored;
    HRESULT status = store::ReadSection(keyPath_, uid_, &stored);
    if (FAILED(status)) return status;
    LPVOID buffer = nullptr;
    status = MAPIAllocateBuffer((ULONG)CbNewSPropTagArray(stored.size()), &buffer);
    if (FAILED(status)) return status;
    LPSPropTagArray result = (LPSPropTagArray)buffer;
    result->cValues = (ULONG)stored.size();
    for (size_t i = 0; i < stored.size(); i++) result->aulPropTag[i] = stored[i].tag;
    *tags = result;
    return S_OK;
  }
  // A value that cannot be kept is reported in the problem array and the rest are written.
  HRESULT SetProps(ULONG cValues, LPSPropValue props, LPSPropProblemArray* problems) override {
    REQUIRE_INITIALISED();
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
    HRESULT status = writes.empty() ? S_OK : store::WriteSection(keyPath_, uid_, writes, {});
    if (FAILED(status)) return status;
    return ReportProblems(found, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    REQUIRE_INITIALISED();
    if (problems) *problems = nullptr;
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<ULONG> removals(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return store::WriteSection(keyPath_, uid_, {}, removals);
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

HRESULT NewUid(MAPIUID* uid) {
  size_t filled = 0;
  while (filled < sizeof uid->ab) {
    ssize_t got = getrandom(uid->ab + filled, sizeof uid->ab - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return MAPI_E_CALL_FAILED;
    filled += (size_t)got;
  }
  return S_OK;
}

class ServiceAdmin : public Object<mapistubs::ServiceAdmin> {
 public:
  explicit ServiceAdmin(std::string keyPath)
      : Object(IidServiceAdmin), keyPath_(std::move(keyPath)) {}

  // One row per service in creation order, with the display name, the service name, the UID
  // and the resource flags as the default columns.
  HRESULT GetMsgServiceTable(ULONG, LPMAPITABLE* table) override {
    REQUIRE_INITIALISED();
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<MAPIUID> uids;
    HRESULT status = store::ReadServiceList(keyPath_, &uids);
    if (FAILED(status)) return status;
    std::vector<std::vector<Property>> rows;
    for (const MAPIUID& uid : uids) {
      std::vector<Property> section;
      status = store::ReadSection(keyPath_, uid, &section);
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
  }

  HRESULT CreateMsgService(LPTSTR service, LPTSTR displayName, ULONG_PTR, ULONG) override {
    REQUIRE_INITIALISED();
    if (service == nullptr || service[0] == '\0') return MAPI_E_INVALID_PARAMETER;
    services::Service installed;
    if (!services::FindInstalled(service, &installed)) return MAPI_E_NOT_FOUND;
    MAPIUID uid;
    HRESULT status = NewUid(&uid);
    if (FAILED(status)) return status;
    std::string shown = displayName && displayName[0] ? displayName : installed.displayName;
    return store::AddService(
        keyPath_, uid,
        {StringProperty(PR_SERVICE_NAME, installed.name), StringProperty(PR_DISPLAY_NAME, shown),
         BinaryProperty(PR_SERVICE_UID, uid.ab, sizeof uid.ab),
         LongProperty(PR_RESOURCE_FLAGS, 0)});
  }

  // Hands the service to its provider. The Exchange provider has a dialog; any other provider
  // keeps the given properties in the service's own section.
  HRESULT ConfigureMsgService(LPMAPIUID uid, ULONG_PTR, ULONG flags, ULONG cValues,
                              LPSPropValue props) override {
    REQUIRE_INITIALISED();
    if (uid == nullptr || (cValues > 0 && props == nullptr)) return MAPI_E_INVALID_PARAMETER;
    std::vector<MAPIUID> uids;
    HRESULT status = store::ReadServiceList(keyPath_, &uids);
    if (FAILED(status)) return status;
    bool listed = false;
    for (const MAPIUID& listedUid : uids) listed = listed || SameUid(listedUid, *uid);
    if (!listed) return MAPI_E_NOT_FOUND;
    std::vector<Property> section;
    status = store::ReadSection(keyPath_, *uid, &section);
    if (FAILED(status)) return status;
    const Property* name = FindProperty(section, PR_SERVICE_NAME);
    if (name && SameName(name->bytes, exchange::ServiceName))
      return exchange::Configure(keyPath_, flags, cValues, props);
    std::vector<Property> writes;
    for (ULONG i = 0; i < cValues; i++) {
      Property property;
      status = FromPropValue(props[i], &property);
      if (FAILED(status)) return status;
      writes.push_back(property);
    }
    return writes.empty() ? S_OK : store::WriteSection(keyPath_, *uid, writes, {});
  }

  // A section that does not exist yet opens empty and is created by its first write.
  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID iid, ULONG flags, LPPROFSECT* section) override {
    REQUIRE_INITIALISED();
    if (section == nullptr) return MAPI_E_INVALID_PARAMETER;
    *section = nullptr;
    if (uid == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (iid && !SameIid(*iid, IidProfSect) && !SameIid(*iid, IidProp) && !SameIid(*iid, IidUnknown))
      return MAPI_E_INTERFACE_NOT_SUPPORTED;
    std::vector<Property> ignored;
    HRESULT status = store::ReadSection(keyPath_, *uid, &ignored);  // the profile must exist
    if (FAILED(status)) return status;
    *section = new ProfileSection(keyPath_, *uid, (flags & MAPI_MODIFY) != 0);
    return S_OK;
  }

 private:
  const std::string keyPath_;
};

class ProfileAdmin : public Object<mapistubs::ProfAdmin> {
 public:
  ProfileAdmin() : Object(IidProfAdmin) {}

  HRESULT CreateProfile(LPTSTR name, LPTSTR, ULONG_PTR, ULONG) override {
    REQUIRE_INITIALISED();
    return store::CreateProfile(name);
  }
  HRESULT DeleteProfile(LPTSTR name, ULONG) override {
    REQUIRE_INITIALISED();
    std::string keyPath;
    HRESULT status = store::FindProfile(name, &keyPath);
    if (FAILED(status)) return status;
    return store::DeleteProfile(keyPath);
  }
  HRESULT AdminServices(LPTSTR name, LPTSTR, ULONG_PTR, ULONG,
                        LPSERVICEADMIN* serviceAdmin) override {
    REQUIRE_INITIALISED();
    if (serviceAdmin == nullptr) return MAPI_E_INVALID_PARAMETER;
    *serviceAdmin = nullptr;
    std::string keyPath;
    HRESULT status = store::FindProfile(name, &keyPath);
    if (FAILED(status)) return status;
    *serviceAdmin = new ServiceAdmin(keyPath);
    return S_OK;
  }
};

// A logged-on session. Logging on did the providers' work; the session itself only logs off.
class Session : public Object<mapistubs::Session> {
 public:
  Session() : Object(IidSession) {}

  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override {
    REQUIRE_INITIALISED();
    return S_OK;
  }
};

}  // namespace
}  // namespace qsmapi

using namespace qsmapi;

HRESULT MAPIInitialize(LPVOID lpMapiInit) {
  if (lpMapiInit != nullptr && ((LPMAPIINIT_0)lpMapiInit)->ulVersion > MAPI_INIT_VERSION)
    return MAPI_E_VERSION;
  std::lock_guard<std::mutex> lock(InitLock);
  InitCount++;
  Initialised = true;
  return S_OK;
}

void MAPIUninitialize(void) {
  std::lock_guard<std::mutex> lock(InitLock);
  if (InitCount == 0) return;
  if (--InitCount > 0) return;
  Initialised = false;
  services::Forget();
}

HRESULT MAPIAdminProfiles(ULONG, LPPROFADMIN* lppProfAdmin) {
  if (lppProfAdmin == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppProfAdmin = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  *lppProfAdmin = new ProfileAdmin();
  return S_OK;
}

// Logs on to a named profile: each of its services' providers logs on in turn, which for the
// Exchange provider resolves the server and the mailbox. No dialog is shown.
HRESULT MAPILogonEx(ULONG_PTR, LPTSTR lpszProfileName, LPTSTR, ULONG, LPMAPISESSION* lppSession) {
  if (lppSession == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppSession = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  std::string keyPath;
  HRESULT status = store::FindProfile(lpszProfileName, &keyPath);
  if (FAILED(status)) return status;
  std::vector<MAPIUID> uids;
  status = store::ReadServiceList(keyPath, &uids);
  if (FAILED(status)) return status;
  bool exchangeDone = false;
  for (const MAPIUID& uid : uids) {
    std::vector<Property> section;
    status = store::ReadSection(keyPath, uid, &section);
    if (FAILED(status)) return status;
    const Property* name = FindProperty(section, PR_SERVICE_NAME);
    // Exchange services of one profile share its global section: one logon serves them all.
    if (exchangeDone || !name || !SameName(name->bytes, exchange::ServiceName)) continue;
    status = exchange::Logon(keyPath);
    if (FAILED(status)) return status;
    exchangeDone = true;
  }
  *lppSession = new Session();
  return S_OK;
}

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  Block* block = NewBlock(cbSize, RootMagic);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppBuffer = block + 1;
  return S_OK;
}

// lpObject is a root or any block already linked to one; the new block joins that root.
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  if (lpObject == nullptr) return MAPI_E_INVALID_PARAMETER;
  Block* owner = HeaderOf(lpObject);
  Block* root;
  if (owner->magic == RootMagic) {
    root = owner;
  } else if (owner->magic == MoreMagic) {
    root = owner->root;
  } else {
    return MAPI_E_INVALID_PARAMETER;
  }
  Block* block = NewBlock(cbSize, MoreMagic);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  block->root = root;
  {
    std::lock_guard<std::mutex> lock(ChainLock);
    block->next = root->next;
    root->next = block;
  }
  *lppBuffer = block + 1;
  return S_OK;
}

// Frees a root with everything allocated on it. Freeing works whether or not the subsystem is
// initialised, so that nothing handed out before the last MAPIUninitialize has to leak. A block
// allocated "more" is freed only with its root; freeing it alone is refused.
ULONG MAPIFreeBuffer(LPVOID lpBuffer) {
  if (lpBuffer == nullptr) return S_OK;
  Block* root = HeaderOf(lpBuffer);
  if (root->magic != RootMagic) return (ULONG)MAPI_E_INVALID_PARAMETER;
  Block* chain;
  {
    std::lock_guard<std::mutex> lock(ChainLock);
    chain = root->next;
    root->next = nullptr;
    root->magic = 0;
  }
  while (chain != nullptr) {
    Block* next = chain->next;
    chain->magic = 0;
    free(chain);
    chain = next;
  }
  free(root);
  return S_OK;
}
