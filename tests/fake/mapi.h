// A messaging subsystem for the system tests, over an in-memory profile store. By default it
// behaves like the real one: a name is created once (again it is refused with MAPI_E_NO_ACCESS),
// services are added and listed, the dialog and the logon store what the test says into the
// global section, and GetProps reports a missing property with an error-typed tag. A rule makes
// any call behave otherwise. Every call is recorded with the arguments that matter; objects,
// buffers and initialisations are tracked so that a test can ask whether all was given back
// exactly once.
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

// String8 and binary values carry their bytes; an error-typed value stands for MAPI_E_NOT_FOUND.
struct Prop {
  ULONG tag;
  std::string bytes;
};
using Row = std::vector<Prop>;

// How the occurrence-th call of a name since Reset behaves (every one for 0). Calls are named
// as recorded: "GetProps", "Session.Release".
struct Rule {
  std::string call;
  int occurrence = 1;
  Effect effect = Effect::Normal;
  std::optional<HRESULT> status;
  std::optional<std::vector<Prop>> values;  // GetProps hands back exactly these
  std::optional<std::vector<Row>> rows;     // HrQueryAllRows hands back exactly these
};
Rule Fail(const std::string& call, HRESULT status = MAPI_E_CALL_FAILED);
Rule Empty(const std::string& call, HRESULT status = S_OK);
Rule Values(std::vector<Prop> values, HRESULT status = S_OK);
Rule Rows(std::vector<Row> rows, HRESULT status = S_OK);

struct Service {
  std::string name, uid;  // the UID has 16 bytes
};
struct Profile {
  std::vector<Service> services;
  std::map<ULONG, std::string> global;  // the global section's properties by tag
};

struct Subsystem {
  std::map<std::string, Profile> profiles;
  std::vector<std::string> providers;  // what CreateMsgService can add
  std::vector<Prop> dialogWrites;      // what ConfigureMsgService stores in the global section
  std::vector<Prop> logonWrites;       // what MAPILogonEx stores there
  std::vector<Rule> rules;             // the first that matches a call decides it
  std::vector<std::string> calls;      // "Name(arguments)", in order

  // Starts over: no profiles, "MSEMS" installed, a dialog that stores the user and the home
  // server, a logon that stores nothing, no rules; initialised already when asked.
  void Reset(bool initialised = false);
  // Adds a service to a profile (creating the profile); the UIDs are "service-uid-0001", ...
  std::string AddService(const std::string& profile, const std::string& service);
  // The recorded calls without their arguments, and how often a name was called.
  std::vector<std::string> Names() const;
  int Count(const std::string& name) const;
  // What the caller did wrong: objects held, released too often or used after their release,
  // buffers not freed or freed twice, calls while not initialised, an initialisation not
  // undone, unserved calls.
  std::vector<std::string> Problems() const;
};
extern Subsystem Mapi;

// Bytes as upper-case hex, as the records show UIDs.
std::string Hex(const std::string& bytes);

}  // namespace fake
