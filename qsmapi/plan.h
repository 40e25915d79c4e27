// The failure plan and the accounting of the simulated subsystem.
//
// The plan makes chosen calls misbehave, so that a caller's handling of every failure can be
// seen: the Nth call of a name returns a given status, succeeds without handing back its object,
// hands back odd rows or values, raises an exception or faults. Tests set it in-process with
// SetRules; from outside it comes from the environment variable QSMAPI_FAULT, CALL[#N]:KIND, read
// at the first MAPIInitialize of the process.
//
// The accounting watches the caller: every call the caller makes is logged with the arguments
// that matter, and every object, buffer and initialisation it is handed is tracked, so that a
// leak, a double release, a call on a released object and a call while the subsystem is not
// initialised all show up in Problems(). Released objects are kept, marked dead, until the next
// Reset, so that a call through a stale pointer is reported instead of reaching freed memory.
//
// Only the caller's own calls are logged and planned: calls the subsystem makes of itself
// while it serves one (HrQueryAllRows reading a table, GetProps allocating its buffer) are not.
#pragma once

#include <string>
#include <vector>

#include "qsmapi/props.h"

namespace qsmapi::plan {

enum class Kind {
  Status,  // below zero: the call does nothing and returns it; otherwise the call does its
           // work and returns it in place of its own success (a failure stays a failure)
  Empty,   // the call does nothing, returns the status and hands back no object
  Fault,   // a processor fault inside the call (a write to an inaccessible page)
  Raise,   // an exception inside the call: a C++ throw on POSIX, RaiseException of the status
           // as its code on Windows
  Rows,    // HrQueryAllRows hands back these rows, with the status
  Values,  // GetProps hands back these values, with the status
};

struct Rule {
  std::string call;    // "CreateMsgService", "Release", or "Session.Release" for one kind's
  int occurrence = 1;  // the Nth call of that name since the last Reset; 0 for every one
  Kind kind = Kind::Status;
  HRESULT status = S_OK;
  std::vector<std::vector<Property>> rows;
  std::vector<Property> values;
};

// The code a planned exception raises unless its rule names one: the customer's range, error
// severity.
constexpr ULONG PlannedExceptionCode = 0xE0515300;

// Parses CALL[#N]:KIND, where KIND is 0xHHHHHHHH, empty, fault or raise; empty=0xHHHHHHHH gives
// the status returned without the object, raise=0xHHHHHHHH the exception's code.
bool ParseRule(const std::string& text, Rule* rule, std::string* problem);

// Replaces the plan; the environment is not read after this.
void SetRules(std::vector<Rule> rules);

// Takes the plan from QSMAPI_FAULT unless SetRules came first. False, after a one-line
// diagnostic on stderr, when the variable is malformed.
bool LoadFromEnvironment();

// Starts the accounting over: forgets the log, the counts and the problems, destroys the
// released objects, and takes the present initialisations as the baseline.
void Reset();

const std::vector<std::string>& Calls();  // "Name(arguments)", in order
std::vector<std::string> Names();         // the same without the arguments
int Count(const std::string& name);
std::vector<std::string> Problems();

// --- What the subsystem's entry points use ---------------------------------------------------

// Every object the subsystem hands out.
struct Tracked {
  virtual ~Tracked() = default;
  const char* kind = "";
  int id = 0;
  int references = 1;
};
void Track(Tracked* object);   // a new object, with its first reference
void Retire(Tracked* object);  // its last reference is gone; kept until Reset

void TrackBuffer(void* root);
// False, after noting the problem, when root is not a live buffer: it must not be touched.
bool UntrackBuffer(void* root);

void Initialised();    // a successful MAPIInitialize
void Uninitialised();  // a MAPIUninitialize

// At the MAPIUninitialize that balances the first initialisation: with QSMAPI_STRICT set (the
// end-to-end cases set it), a caller that still holds an object or a buffer, or made any other
// mistake the accounting saw, ends the process with status 3 after listing the problems, so
// that a missing release fails a case on every platform. Not after a planned fault or
// exception, which may leave the broken call's object behind.
void CheckStrictly();

// A problem the subsystem saw in how it was called.
void Note(const std::string& problem);

// How the log shows arguments: a string quoted or null, a tag array as {0x..., ...}, a UID as
// "global" or 32 hex digits. Each result lasts until the fourth call after it.
const char* Quote(const char* text);
const char* ShowTags(const SPropTagArray* tags);
const char* ShowUid(const MAPIUID* uid);
std::string Hex(const std::string& bytes);  // upper-case

// One call of the caller's, from its entry to its return: logs it, checks the caller, and
// applies the plan (a fault or an exception happens here, before the call does anything).
class Call {
 public:
  Call(const Tracked* self, const char* name, const char* format, ...);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Whether the call must return status() at once without doing its work.
  bool Skips() const { return skips_; }
  HRESULT status() const { return status_; }
  // The status to return after the work, which gave natural.
  HRESULT Result(HRESULT natural) const {
    return replaces_ && !(warns_ && FAILED(natural)) ? status_ : natural;
  }
  // The rule for this call when it hands back given rows or values, else null.
  const Rule* Substitute(Kind kind) const { return rule_ && rule_->kind == kind ? rule_ : nullptr; }

 private:
  const Rule* rule_ = nullptr;
  bool outermost_ = false;
  bool skips_ = false;
  bool replaces_ = false;
  bool warns_ = false;
  HRESULT status_ = S_OK;
};

}  // namespace qsmapi::plan
