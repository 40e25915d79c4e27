// A messaging subsystem for the system tests. By default it behaves like the real one over a
// small in-memory profile store: a name can be created once (again it is refused with
// MAPI_E_NO_ACCESS), services are added to and listed from a profile, the configuration dialog
// and a logon store what the test says into the profile's global section, and GetProps reports a
// missing property with an error-typed tag. Any call can be scripted to behave otherwise.
//
// It records every call in order with the arguments that matter, counts the references of every
// object it hands out and tracks every buffer it allocates, so that a test can ask whether
// everything was given back exactly once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi.h"

namespace fake {

enum class Effect {
  Normal,  // does its work; returns the rule's status instead of its own when one is set
  Fail,    // does nothing and returns the status (MAPI_E_CALL_FAILED unless set)
  Empty,   // does nothing, returns the status (S_OK unless set) and hands back no object
  Throw,   // throws a C++ exception instead of running
  Fault,   // writes to an inaccessible page instead of running: a processor fault
};

// The effect's name, for telling table rows apart in failure messages.
inline const char* Describe(Effect effect) {
  static const char* const names[] = {"normal", "fail", "empty", "throw", "fault"};
  return names[(int)effect];
}

// A property value. String8 and binary values carry their bytes; an error-typed value carries
// MAPI_E_NOT_FOUND; other types carry zero.
struct Prop {
  ULONG tag;
  std::string bytes;
};
using Row = std::vector<Prop>;

// How a call behaves. `call` is the name it is recorded under ("GetProps", "Session.Release").
struct Rule {
  std::string call;
  int occurrence = 1;  // the n-th call of that name since Reset; 0 for every one
  Effect effect = Effect::Normal;
  std::optional<HRESULT> status;
  std::optional<std::vector<Prop>> values;  // GetProps hands back exactly these
  std::optional<std::vector<Row>> rows;     // HrQueryAllRows hands back exactly these
};

Rule Fail(const std::string& call, HRESULT status = MAPI_E_CALL_FAILED, int occurrence = 1);
Rule Empty(const std::string& call, HRESULT status = S_OK, int occurrence = 1);
Rule Throw(const std::string& call, int occurrence = 1);
Rule Fault(const std::string& call, int occurrence = 1);
Rule Returns(const std::string& call, HRESULT status, int occurrence = 1);
Rule Values(std::vector<Prop> values, HRESULT status = S_OK, int occurrence = 1);
Rule Rows(std::vector<Row> rows, HRESULT status = S_OK);

struct Service {
  std::string name;
  std::string uid;  // 16 bytes
};

struct Profile {
  std::vector<Service> services;
  std::map<ULONG, std::string> global;  // the global section's properties by tag
};

class Subsystem {
 public:
  std::map<std::string, Profile> profiles;
  std::vector<std::string> providers;  // the services CreateMsgService can add
  std::vector<Prop> dialogWrites;      // what ConfigureMsgService stores in the global section
  std::vector<Prop> logonWrites;       // what MAPILogonEx stores there
  std::vector<Rule> rules;             // the first rule that matches a call decides it
  std::vector<std::string> calls;      // "Name(arguments)", in order

  // Forgets everything, frees what is still allocated and starts over: no profiles, "MSEMS"
  // installed, a dialog that stores both the user and the home server, a logon that stores
  // nothing, no rules. With initialised, the subsystem counts as initialised already.
  void Reset(bool initialised = false);

  // Adds a service to a profile (creating the profile) and returns its UID.
  std::string AddService(const std::string& profile, const std::string& service);

  // The recorded calls without their arguments, and how often a name was called.
  std::vector<std::string> Names() const;
  int Count(const std::string& name) const;

  // What went wrong in the caller's use of the subsystem: objects held or released too often,
  // objects used after their release, buffers not freed or freed twice, calls while the
  // subsystem was not initialised, MAPIUninitialize unmatched or missing, unserved calls.
  std::vector<std::string> Problems() const;
};

extern Subsystem Mapi;

// Bytes as upper-case hex, as the call records show UIDs.
std::string Hex(const std::string& bytes);

}  // namespace fake
