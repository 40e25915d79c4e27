// The Exchange provider ("MSEMS"). Its configuration dialog runs on the terminal: prompts and
// remarks on stderr, answers read line by line from stdin through stdio (the terminal message
// box reads stdin with stdio too), whether or not stdin is a terminal, so a script can answer:
//
//   Microsoft Exchange Server
//   Microsoft Exchange server [CURRENT]:       (an empty answer keeps CURRENT)
//   Mailbox [CURRENT]:                         (likewise)
//   Check Name, OK or Cancel [check]:          (check, ok or cancel in any case; empty = check)
//
// A prompt without a current value has no brackets. When stdin is not a terminal each answer is
// echoed after its prompt, so that a scripted dialog reads like a typed one. End of input at any
// prompt cancels: "Cancelled.", MAPI_E_USER_CANCEL, nothing changed. The other remarks:
//   Please answer check, ok or cancel.                          then the button prompt again
//   Both a Microsoft Exchange server and a mailbox are needed.  then again from the server
//   A name cannot contain '/' or control characters.            then the same prompt again
//   A name is at most 255 characters long.                      likewise
//   Resolved the server SERVER to DN                            after check, and likewise
//   Resolved the mailbox MAILBOX to DN                          for the mailbox
// The dialog closes with check or ok only when it has both names (the service is of no use
// without them), each free of '/' and control characters (they would break the distinguished
// names).
//
// What it stores, in the profile's global section:
//   PR_PROFILE_HOME_SERVER (0x6602001E)      the server as typed
//   PR_PROFILE_UNRESOLVED_NAME (0x6607001E)  the mailbox as typed
//   PR_PROFILE_HOME_SERVER_DN (0x6612001E)   "/o=ORG/ou=SITE/cn=Configuration/cn=Servers/cn=SERVER"
//   PR_PROFILE_USER (0x6603001E)             "/o=ORG/ou=SITE/cn=Recipients/cn=MAILBOX"
// "check" writes all four; "ok" writes the first two and leaves the names to be resolved by the
// first logon; either drops a resolved name that no longer matches. ORG and SITE are the
// Organization and Site settings of the [MSEMS] section of mapisvc.inf ("Quorvane" and
// "First Site" when they are not set).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/mapi-posix-internal.h"

namespace qsmapi::exchange {

const char ServiceName[] = "MSEMS";

namespace {

const char DefaultOrganization[] = "Quorvane";
const char DefaultSite[] = "First Site";
constexpr size_t LongestName = 255;

enum class Button { Check, Ok, Cancel };

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return text;
}

// Whether the directory can give the name a distinguished name.
bool IsResolvable(const std::string& name) {
  if (name.empty() || name.size() > LongestName) return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

std::string Organization() {
  return services::Setting(ServiceName, "Organization", DefaultOrganization);
}
std::string Site() {
  return services::Setting(ServiceName, "Site", DefaultSite);
}

std::string StringOf(const std::vector<Property>& section, ULONG tag) {
  const Property* property = FindProperty(section, tag);
  return property ? property->bytes : "";
}

// Reads one answer. False at the end of input or on a read error, after ending the prompt's
// line. A last line without its newline is still an answer. When stdin is not a terminal the
// answer is echoed after its prompt, so that a scripted dialog reads like a typed one.
bool ReadAnswer(std::string* answer) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = getline(&line, &capacity, stdin);
  if (length < 0) {
    free(line);
    fprintf(stderr, "\n");
    return false;
  }
  *answer = Trim(std::string(line, (size_t)length));
  free(line);
  if (!isatty(fileno(stdin))) fprintf(stderr, "%s\n", answer->c_str());
  return true;
}

// Asks for a name; an empty answer keeps the current one. False at the end of input.
bool AskName(const char* label, std::string* value) {
  for (;;) {
    if (value->empty()) {
      fprintf(stderr, "%s: ", label);
    } else {
      fprintf(stderr, "%s [%s]: ", label, value->c_str());
    }
    fflush(stderr);
    std::string answer;
    if (!ReadAnswer(&answer)) return false;
    if (answer.empty()) return true;
    if (answer.size() > LongestName) {
      fprintf(stderr, "A name is at most %zu characters long.\n", LongestName);
      continue;
    }
    if (!IsResolvable(answer)) {
      fprintf(stderr, "A name cannot contain '/' or control characters.\n");
      continue;
    }
    *value = answer;
    return true;
  }
}

Button AskButton() {
  for (;;) {
    fprintf(stderr, "Check Name, OK or Cancel [check]: ");
    fflush(stderr);
    std::string answer;
    if (!ReadAnswer(&answer)) return Button::Cancel;
    answer = Lower(answer);
    if (answer.empty() || answer == "check") return Button::Check;
    if (answer == "ok") return Button::Ok;
    if (answer == "cancel") return Button::Cancel;
    fprintf(stderr, "Please answer check, ok or cancel.\n");
  }
}

// Runs the dialog over copies of the values; they change only when it closes with check or ok.
Button RunDialog(std::string* server, std::string* mailbox) {
  std::string newServer = *server, newMailbox = *mailbox;
  fprintf(stderr, "Microsoft Exchange Server\n");
  for (;;) {
    Button button = Button::Cancel;
    if (AskName("Microsoft Exchange server", &newServer) && AskName("Mailbox", &newMailbox))
      button = AskButton();
    if (button == Button::Cancel) {
      fprintf(stderr, "Cancelled.\n");
      return button;
    }
    if (newServer.empty() || newMailbox.empty()) {
      fprintf(stderr, "Both a Microsoft Exchange server and a mailbox are needed.\n");
      continue;
    }
    // Kept values are checked as well: a stored one may never have passed the dialog.
    if (!IsResolvable(newServer) || !IsResolvable(newMailbox)) {
      fprintf(stderr, "A name cannot contain '/' or control characters.\n");
      continue;
    }
    *server = newServer;
    *mailbox = newMailbox;
    return button;
  }
}

// Stores the server and the mailbox. With resolve, their distinguished names too; otherwise a
// resolved name that does not belong to them any more is dropped.
HRESULT Store(const std::string& keyPath, const std::vector<Property>& global,
              const std::string& server, const std::string& mailbox, bool resolve) {
  std::string serverDn = ServerDn(server), mailboxDn = MailboxDn(mailbox);
  std::vector<Property> writes = {StringProperty(PR_PROFILE_HOME_SERVER, server),
                                  StringProperty(PR_PROFILE_UNRESOLVED_NAME, mailbox)};
  std::vector<ULONG> removals;
  if (resolve) {
    writes.push_back(StringProperty(PR_PROFILE_HOME_SERVER_DN, serverDn));
    writes.push_back(StringProperty(PR_PROFILE_USER, mailboxDn));
  } else {
    const Property* stored = FindProperty(global, PR_PROFILE_HOME_SERVER_DN);
    if (stored && !SameName(stored->bytes, serverDn)) removals.push_back(PR_PROFILE_HOME_SERVER_DN);
    stored = FindProperty(global, PR_PROFILE_USER);
    if (stored && !SameName(stored->bytes, mailboxDn)) removals.push_back(PR_PROFILE_USER);
  }
  HRESULT status = store::WriteSection(keyPath, GlobalSectionUid(), writes, removals);
  if (FAILED(status) || !resolve) return status;
  fprintf(stderr, "Resolved the server %s to %s\n", server.c_str(), serverDn.c_str());
  fprintf(stderr, "Resolved the mailbox %s to %s\n", mailbox.c_str(), mailboxDn.c_str());
  return status;
}

}  // namespace

std::string ServerDn(const std::string& server) {
  return "/o=" + Organization() + "/ou=" + Site() + "/cn=Configuration/cn=Servers/cn=" + server;
}

std::string MailboxDn(const std::string& mailbox) {
  return "/o=" + Organization() + "/ou=" + Site() + "/cn=Recipients/cn=" + mailbox;
}

HRESULT Configure(const std::string& keyPath, ULONG flags, ULONG cValues, LPSPropValue props) {
  std::vector<Property> global;
  HRESULT status = store::ReadSection(keyPath, GlobalSectionUid(), &global);
  if (FAILED(status)) return status;
  std::string server = StringOf(global, PR_PROFILE_HOME_SERVER);
  std::string mailbox = StringOf(global, PR_PROFILE_UNRESOLVED_NAME);
  for (ULONG i = 0; i < cValues; i++) {
    std::string* target = props[i].ulPropTag == PR_PROFILE_HOME_SERVER       ? &server
                          : props[i].ulPropTag == PR_PROFILE_UNRESOLVED_NAME ? &mailbox
                                                                             : nullptr;
    if (target == nullptr) continue;
    if (props[i].Value.lpszA == nullptr || !IsResolvable(props[i].Value.lpszA))
      return MAPI_E_INVALID_PARAMETER;
    *target = props[i].Value.lpszA;
  }

  bool configured = IsResolvable(server) && IsResolvable(mailbox);
  bool dialog = (flags & SERVICE_UI_ALWAYS) || ((flags & SERVICE_UI_ALLOWED) && !configured);
  bool resolve = false;
  if (dialog) {
    Button button = RunDialog(&server, &mailbox);
    if (button == Button::Cancel) return MAPI_E_USER_CANCEL;
    resolve = button == Button::Check;
  } else if (!configured) {
    return MAPI_E_UNCONFIGURED;
  }
  return Store(keyPath, global, server, mailbox, resolve);
}

HRESULT Logon(const std::string& keyPath) {
  std::vector<Property> global;
  HRESULT status = store::ReadSection(keyPath, GlobalSectionUid(), &global);
  if (FAILED(status)) return status;
  std::string server = StringOf(global, PR_PROFILE_HOME_SERVER);
  std::string mailbox = StringOf(global, PR_PROFILE_UNRESOLVED_NAME);
  if (!IsResolvable(server)) return MAPI_E_LOGON_FAILED;
  // A mailbox resolved before needs no typed name any more.
  bool userKnown = FindProperty(global, PR_PROFILE_USER) != nullptr;
  if (mailbox.empty() ? !userKnown : !IsResolvable(mailbox)) return MAPI_E_LOGON_FAILED;

  std::vector<Property> writes;
  std::string serverDn = ServerDn(server);
  const Property* stored = FindProperty(global, PR_PROFILE_HOME_SERVER_DN);
  if (!stored || stored->bytes != serverDn)
    writes.push_back(StringProperty(PR_PROFILE_HOME_SERVER_DN, serverDn));
  if (!mailbox.empty()) {
    std::string mailboxDn = MailboxDn(mailbox);
    stored = FindProperty(global, PR_PROFILE_USER);
    if (!stored || stored->bytes != mailboxDn)
      writes.push_back(StringProperty(PR_PROFILE_USER, mailboxDn));
  }
  if (writes.empty()) return S_OK;
  return store::WriteSection(keyPath, GlobalSectionUid(), writes, {});
}

}  // namespace qsmapi::exchange
