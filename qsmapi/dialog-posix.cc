// The dialog on the terminal: prompts and remarks on stderr, answers read line by line from
// stdin through stdio (the terminal message box reads stdin with stdio too), whether or not
// stdin is a terminal, so that a script can answer:
//
//   Microsoft Exchange Server
//   Microsoft Exchange server [CURRENT]:       (an empty answer keeps CURRENT)
//   Mailbox [CURRENT]:                         (likewise)
//   Check Name, OK or Cancel [check]:          (check, ok or cancel in any case; empty = check)
//
// A prompt without a current value has no brackets. When stdin is not a terminal each answer is
// echoed after its prompt, so that a scripted dialog reads like a typed one. End of input at any
// prompt, or an interrupt (Ctrl-C) while it waits, cancels: "Cancelled.", nothing changed. The
// other remarks:
//   Please answer check, ok or cancel.                          then the button prompt again
//   Both a Microsoft Exchange server and a mailbox are needed.  then again from the server
//   A name cannot contain '/' or control characters.            then the same prompt again
//   A name is at most 255 characters long.                      likewise
//   Resolved the server SERVER to DN                            after check, and likewise
//   Resolved the mailbox MAILBOX to DN                          for the mailbox
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/interrupt.h"
#include "qsmapi/dialog.h"
#include "qsmapi/props.h"

namespace qsmapi::dialog {
namespace {

// Reads one answer. False at the end of input, on a read error or after an interrupt, after
// ending the prompt's line. A last line without its newline is still an answer.
bool ReadAnswer(std::string* answer) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = WaitForInput(fileno(stdin)) ? getline(&line, &capacity, stdin) : -1;
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
    if (const char* problem = NameProblem(answer)) {
      fprintf(stderr, "%s\n", problem);
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

}  // namespace

// The terminal has no windows to own the dialog.
Button Run(ULONG_PTR, std::string* server, std::string* mailbox) {
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
    if (const char* problem = ClosingProblem(newServer, newMailbox)) {
      fprintf(stderr, "%s\n", problem);
      continue;
    }
    *server = newServer;
    *mailbox = newMailbox;
    return button;
  }
}

void ShowResolved(const std::string& server, const std::string& serverDn,
                  const std::string& mailbox, const std::string& mailboxDn) {
  fprintf(stderr, "Resolved the server %s to %s\n", server.c_str(), serverDn.c_str());
  fprintf(stderr, "Resolved the mailbox %s to %s\n", mailbox.c_str(), mailboxDn.c_str());
}

}  // namespace qsmapi::dialog
