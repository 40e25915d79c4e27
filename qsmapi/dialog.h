// The Exchange provider's configuration dialog: the Microsoft Exchange server and the mailbox,
// each showing its current value, and the buttons Check Name, OK and Cancel. It closes with
// Check Name or OK only when it has both names, each free of '/' and control characters (they
// would break the distinguished names built from them); Cancel, or closing it any other way,
// changes nothing. dialog-posix.cc asks on the terminal, dialog-win32.cc shows a modal Win32
// dialog; dialog.cc holds the rules both apply.
#pragma once

#include <string>

#include "platform/mapi.h"

namespace qsmapi::dialog {

enum class Button { Check, Ok, Cancel };

constexpr size_t LongestName = 255;

// Why a name typed into the dialog cannot be taken, or null when it can. An empty name is
// taken: it leaves the field to be filled later.
const char* NameProblem(const std::string& name);

// Why the dialog cannot close with these names, or null when it can.
const char* ClosingProblem(const std::string& server, const std::string& mailbox);

// Whether the directory can give the name a distinguished name.
bool IsResolvable(const std::string& name);

// Shows the dialog, owned by window, over the current names; they change only when it closes
// with Check Name or OK.
Button Run(ULONG_PTR window, std::string* server, std::string* mailbox);

// After Check Name: what the names resolved to, where the dialog can say so.
void ShowResolved(const std::string& server, const std::string& serverDn,
                  const std::string& mailbox, const std::string& mailboxDn);

}  // namespace qsmapi::dialog
