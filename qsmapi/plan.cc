#include "qsmapi/plan.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>

#include "qsmapi/host.h"

namespace qsmapi::plan {
namespace {

std::mutex Lock;
std::vector<Rule> Rules;
bool RulesSet;
std::vector<std::string> Log;
std::map<std::string, int> Counts;  // calls per name, for the rules' occurrences
std::vector<std::string> Noted;
// Never destroyed: what a call broken by a planned fault or exception left held (an object whose
// Release raised, rows FreeProws did not free) stays reachable through them until the process
// has ended, instead of counting as leaked.
std::vector<Tracked*>& Live = *new std::vector<Tracked*>;
std::vector<std::unique_ptr<Tracked>> Retired;
// Each root handed out, and whether it is still live.
std::map<void*, bool>& Buffers = *new std::map<void*, bool>;
int Initialisations, Baseline;
int NextId;
// How deep the current thread is in the subsystem's calls: only the outermost is the caller's.
thread_local int Depth;
// Whether a planned fault or exception broke a call: what it held is nobody's fault.
bool Broken;

bool IsUnknownMethod(const char* name) {
  return strcmp(name, "Release") == 0 || strcmp(name, "AddRef") == 0 ||
         strcmp(name, "QueryInterface") == 0;
}

std::string Describe(const Tracked* object) {
  return std::string(object->kind) + " #" + std::to_string(object->id);
}

bool IsStatusText(const std::string& text) {
  return text.size() == 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
         strspn(text.c_str() + 2, "0123456789abcdefABCDEF") == 8;
}

bool Matches(const Rule& rule, const std::string& name, int occurrence) {
  return rule.call == name && (rule.occurrence == 0 || rule.occurrence == occurrence);
}

}  // namespace

bool ParseRule(const std::string& text, Rule* rule, std::string* problem) {
  *rule = Rule();
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *problem = "expected CALL[#N]:KIND";
    return false;
  }
  std::string call = text.substr(0, colon), kind = text.substr(colon + 1);
  size_t hash = call.find('#');
  if (hash != std::string::npos) {
    std::string number = call.substr(hash + 1);
    char* end = nullptr;
    long n = strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || n < 1 || n > 1000000) {
      *problem = "the call number after '#' must be a whole number from 1";
      return false;
    }
    rule->occurrence = (int)n;
    call.resize(hash);
  }
  for (char c : call) {
    if (!isalnum((unsigned char)c) && c != '.') {
      *problem = "'" + call + "' is not the name of a call";
      return false;
    }
  }
  if (call.empty()) {
    *problem = "no call is named";
    return false;
  }
  rule->call = call;
  // empty and raise may name the status they return or the code they raise: KIND=0xHHHHHHHH.
  std::string code;
  size_t equals = kind.find('=');
  if (equals != std::string::npos) {
    code = kind.substr(equals + 1);
    kind.resize(equals);
  }
  bool named = equals != std::string::npos;
  if (!named && IsStatusText(kind)) {
    rule->kind = Kind::Status;
    code = kind;
  } else if (kind == "empty") {
    rule->kind = Kind::Empty;
  } else if (kind == "raise") {
    rule->kind = Kind::Raise;
    rule->status = (HRESULT)PlannedExceptionCode;
  } else if (kind == "fault" && !named) {
    rule->kind = Kind::Fault;
  } else {
    named = true;
    code.clear();
  }
  if (named && !IsStatusText(code)) {
    *problem =
        "the kind must be 0xHHHHHHHH, empty, fault or raise, the last two optionally "
        "followed by =0xHHHHHHHH, not '" +
        text.substr(colon + 1) + "'";
    return false;
  }
  if (!code.empty()) rule->status = (HRESULT)(ULONG)strtoul(code.c_str() + 2, nullptr, 16);
  return true;
}

void SetRules(std::vector<Rule> rules) {
  std::lock_guard<std::mutex> hold(Lock);
  Rules = std::move(rules);
  RulesSet = true;
}

bool LoadFromEnvironment() {
  std::lock_guard<std::mutex> hold(Lock);
  if (RulesSet) return true;
  RulesSet = true;
  const char* text = getenv("QSMAPI_FAULT");
  if (text == nullptr || *text == '\0') return true;
  Rule rule;
  std::string problem;
  if (!ParseRule(text, &rule, &problem)) {
    fprintf(stderr, "QSMAPI_FAULT=%s: %s\n", text, problem.c_str());
    return false;
  }
  Rules = {rule};
  return true;
}

void Reset() {
  std::lock_guard<std::mutex> hold(Lock);
  Log.clear();
  Counts.clear();
  Noted.clear();
  Retired.clear();
  Buffers.clear();
  Live.clear();
  Baseline = Initialisations;
  NextId = 0;
}

const std::vector<std::string>& Calls() {
  return Log;
}

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const std::string& call : Log) names.push_back(call.substr(0, call.find('(')));
  return names;
}

int Count(const std::string& name) {
  int count = 0;
  for (const std::string& call : Names()) count += call == name;
  return count;
}

std::vector<std::string> Problems() {
  std::lock_guard<std::mutex> hold(Lock);
  std::vector<std::string> problems = Noted;
  for (const Tracked* object : Live)
    if (object->references > 0) problems.push_back(Describe(object) + " still held");
  int buffers = 0;
  for (const auto& [root, live] : Buffers) buffers += live;
  if (buffers > 0) problems.push_back(std::to_string(buffers) + " buffers not freed");
  if (Initialisations > Baseline) problems.push_back("MAPIInitialize not undone");
  return problems;
}

namespace {
char* NextShown() {
  static thread_local char ring[4][512];
  static thread_local int next;
  return ring[next++ % 4];
}
}  // namespace

const char* Quote(const char* text) {
  char* out = NextShown();
  snprintf(out, 512, text ? "\"%.500s\"" : "null", text);
  return out;
}

const char* ShowTags(const SPropTagArray* tags) {
  char* out = NextShown();
  if (tags == nullptr) return strcpy(out, "null");
  size_t used = (size_t)snprintf(out, 512, "{");
  for (ULONG i = 0; i < tags->cValues && used < 500; i++)
    used += (size_t)snprintf(out + used, 512 - used, "%s0x%08X", i ? ", " : "",
                             (unsigned)tags->aulPropTag[i]);
  if (used < 510) strcpy(out + used, "}");
  return out;
}

const char* ShowUid(const MAPIUID* uid) {
  char* out = NextShown();
  if (uid == nullptr) return strcpy(out, "null");
  if (memcmp(uid->ab, pbGlobalProfileSectionGuid, sizeof uid->ab) == 0)
    return strcpy(out, "global");
  return strcpy(out, Hex(std::string((const char*)uid->ab, sizeof uid->ab)).c_str());
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char byte : bytes)
    hex += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  return hex;
}

void Track(Tracked* object) {
  std::lock_guard<std::mutex> hold(Lock);
  object->id = ++NextId;
  Live.push_back(object);
}

void Retire(Tracked* object) {
  std::lock_guard<std::mutex> hold(Lock);
  for (size_t i = 0; i < Live.size(); i++) {
    if (Live[i] != object) continue;
    Live.erase(Live.begin() + (long)i);
    Retired.emplace_back(object);
    return;
  }
  // Tracked before the last Reset: its record is gone, but it may still be called.
  Retired.emplace_back(object);
}

void TrackBuffer(void* root) {
  std::lock_guard<std::mutex> hold(Lock);
  Buffers[root] = true;
}

bool UntrackBuffer(void* root) {
  std::lock_guard<std::mutex> hold(Lock);
  auto it = Buffers.find(root);
  if (it == Buffers.end()) {
    Noted.push_back("a buffer freed that was not allocated");
    return false;
  }
  if (!it->second) {
    Noted.push_back("a buffer freed twice");
    return false;
  }
  it->second = false;
  return true;
}

void Initialised() {
  std::lock_guard<std::mutex> hold(Lock);
  Initialisations++;
}

void Uninitialised() {
  std::lock_guard<std::mutex> hold(Lock);
  if (Initialisations == 0) {
    Noted.push_back("MAPIUninitialize without MAPIInitialize");
    return;
  }
  Initialisations--;
  for (const Tracked* object : Live)
    if (object->references > 0) Noted.push_back(Describe(object) + " held at MAPIUninitialize");
}

void CheckStrictly() {
  const char* strict = getenv("QSMAPI_STRICT");
  if (strict == nullptr || *strict == '\0' || Broken) return;
  std::string report;
  for (const std::string& problem : Problems()) report += "qsmapi: " + problem + "\n";
  if (!report.empty()) host::Abandon(report);
}

void Note(const std::string& problem) {
  std::lock_guard<std::mutex> hold(Lock);
  Noted.push_back(problem);
}

Call::Call(const Tracked* self, const char* name, const char* format, ...) {
  if (Depth > 0) return;
  char arguments[512];
  va_list list;
  va_start(list, format);
  vsnprintf(arguments, sizeof arguments, format, list);
  va_end(list);
  // Nothing that owns memory may live past this block: a planned fault leaves by siglongjmp.
  {
    std::string logged =
        self && IsUnknownMethod(name) ? std::string(self->kind) + "." + name : name;
    std::lock_guard<std::mutex> hold(Lock);
    Log.push_back(logged + "(" + arguments + ")");
    if (self && self->references <= 0)
      Noted.push_back(Describe(self) + " used after its release: " + name);
    if (Initialisations == 0 && strcmp(name, "MAPIInitialize") != 0)
      Noted.push_back(logged + " while the subsystem is not initialised");
    int occurrence = ++Counts[logged];
    int bare = logged == name ? occurrence : ++Counts[name];
    for (const Rule& rule : Rules) {
      if (Matches(rule, logged, occurrence) || (logged != name && Matches(rule, name, bare))) {
        rule_ = &rule;
        break;
      }
    }
  }
  if (rule_) {
    switch (rule_->kind) {
      case Kind::Fault:
        Broken = true;
        host::Fault();
        break;
      case Kind::Raise:
        Broken = true;
        host::Raise(name, (ULONG)rule_->status);
      case Kind::Status:
        skips_ = FAILED(rule_->status);
        replaces_ = warns_ = !skips_;
        break;
      case Kind::Empty:
        skips_ = true;
        break;
      case Kind::Rows:
      case Kind::Values:
        replaces_ = true;
        break;
    }
    status_ = rule_->status;
  }
  outermost_ = true;
  Depth++;
}

Call::~Call() {
  if (outermost_) Depth--;
}

}  // namespace qsmapi::plan
