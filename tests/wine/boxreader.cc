// Starts a program and, until it ends, writes the text of each message box it shows and presses
// OK, and answers the Exchange dialog of the simulated messaging subsystem (qsmapi.dll), whose
// control identifiers it shares. Used by tests/wine/run.sh and scripts/screenshot.sh.
//
//   boxreader.exe [-t SECONDS] [-k] [-a ANSWERS] PROGRAM [ARGUMENT...]
//
// PROGRAM gets the arguments quoted so that the runtime splits them back as they were. Each box's
// text goes to stdout, CRLF as LF, followed by a line "----".
//
// ANSWERS answers the Exchange dialog as the terminal dialog's stdin does: a line for the server
// and one for the mailbox (typed in; an empty one keeps the control's text), one for the button
// (check, ok or cancel; empty means check). When the dialog refuses to close, its remark goes to
// stderr and the next lines answer it again; at the end of the answers, or without -a, Cancel is
// pressed.
//
// With -k the first box, or the dialog with the first two answers typed in, is left open for a
// picture: its text (the dialog's caption) and "----" are written and boxreader exits.
//
// Exits with 0 when the program ended with 0, 1 when it could not start, 2 when it was ended
// after SECONDS (default 60), 3 when it exited with another code.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "qsmapi/dialog-ids.h"

namespace {

// The static control that holds a message box's text.
const int MessageTextId = 0xFFFF;

DWORD ChildProcessId;

// Appends one argument to a command line so that the runtime's splitter gives it back as it was:
// backslashes are literal unless a quote follows them, and then each is doubled.
void AppendArgument(std::string& line, const char* argument) {
  if (!line.empty()) line += ' ';
  line += '"';
  size_t backslashes = 0;
  for (const char* p = argument;; p++) {
    if (*p == '\\') {
      backslashes++;
      continue;
    }
    bool quoteFollows = *p == '"' || *p == '\0';
    line.append(backslashes * (quoteFollows ? 2 : 1), '\\');
    backslashes = 0;
    if (*p == '\0') break;
    if (*p == '"') line += '\\';
    line += *p;
  }
  line += '"';
}

BOOL CALLBACK FindTextControl(HWND child, LPARAM found) {
  char className[32];
  if (GetClassNameA(child, className, sizeof className) == 0) return TRUE;
  if (lstrcmpiA(className, "Static") != 0) return TRUE;
  if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
  *(HWND*)found = child;
  return FALSE;
}

BOOL CALLBACK FindChildDialog(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != ChildProcessId || !IsWindowVisible(window)) return TRUE;
  char className[32];
  if (GetClassNameA(window, className, sizeof className) == 0) return TRUE;
  if (strcmp(className, "#32770") != 0) return TRUE;
  *(HWND*)found = window;
  return FALSE;
}

// A window's text, through WM_GETTEXT, which crosses processes.
std::string ReadText(HWND window) {
  static char text[8192];
  text[0] = '\0';
  if (window != nullptr)
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000,
                        nullptr);
  text[sizeof text - 1] = '\0';
  return text;
}

std::string BoxText(HWND box) {
  HWND control = GetDlgItem(box, MessageTextId);
  if (control == nullptr) EnumChildWindows(box, FindTextControl, (LPARAM)&control);
  return ReadText(control);
}

void Report(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size(); i++)
    if (text.compare(i, 2, "\r\n") != 0) shown += text[i];
  if (shown.empty() || shown.back() != '\n') shown += '\n';
  fputs((shown + "----\n").c_str(), stdout);
  fflush(stdout);
}

// --- The Exchange dialog -------------------------------------------------------------------

std::vector<std::string> Answers;
size_t NextAnswer;

bool TakeAnswer(std::string* answer) {
  if (NextAnswer >= Answers.size()) return false;
  const std::string& line = Answers[NextAnswer++];
  const char* blanks = " \t\r\n\v\f";
  size_t first = line.find_first_not_of(blanks);
  *answer = first == std::string::npos
                ? ""
                : line.substr(first, line.find_last_not_of(blanks) - first + 1);
  return true;
}

// The button an answer names; an answer that names none is passed over, as the terminal asks
// again. False at the end of the answers.
bool TakeButton(int* button) {
  for (std::string answer; TakeAnswer(&answer);) {
    for (char& c : answer) c = (char)tolower((unsigned char)c);
    if (answer.empty() || answer == "check")
      *button = QSMAPI_CONTROL_CHECK_NAME;
    else if (answer == "ok")
      *button = IDOK;
    else if (answer == "cancel")
      *button = IDCANCEL;
    else
      continue;
    return true;
  }
  return false;
}

bool IsExchangeDialog(HWND window) {
  return GetDlgItem(window, QSMAPI_CONTROL_SERVER) != nullptr &&
         GetDlgItem(window, QSMAPI_CONTROL_MAILBOX) != nullptr;
}

void Type(HWND dialog, int control, const std::string& name) {
  if (name.empty()) return;
  SendMessageTimeoutA(GetDlgItem(dialog, control), WM_SETTEXT, 0, (LPARAM)name.c_str(),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
}

// Answers the dialog until it closes. With keepOpen, only types the first two answers in.
void AnswerDialog(HWND dialog, bool keepOpen) {
  for (;;) {
    std::string server, mailbox;
    int button = IDCANCEL;
    bool answered = TakeAnswer(&server) && TakeAnswer(&mailbox);
    if (answered) {
      Type(dialog, QSMAPI_CONTROL_SERVER, server);
      Type(dialog, QSMAPI_CONTROL_MAILBOX, mailbox);
    }
    if (keepOpen) return;
    if (!answered || !TakeButton(&button)) button = IDCANCEL;
    // Returns once the dialog has acted on the click.
    SendMessageTimeoutA(GetDlgItem(dialog, button), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000,
                        nullptr);
    if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return;
    fprintf(stderr, "%s\n", ReadText(GetDlgItem(dialog, QSMAPI_CONTROL_REMARK)).c_str());
  }
}

// The program shows MB_OK boxes only.
void PressOk(HWND box) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int first = 1;
  DWORD seconds = 60;
  bool keepOpen = false;
  for (;;) {
    if (first + 1 < argc && strcmp(argv[first], "-t") == 0) {
      seconds = (DWORD)atoi(argv[first + 1]);
      first += 2;
    } else if (first < argc && strcmp(argv[first], "-k") == 0) {
      keepOpen = true;
      first++;
    } else if (first + 1 < argc && strcmp(argv[first], "-a") == 0) {
      std::ifstream file(argv[first + 1], std::ios::binary);
      if (!file) {
        fprintf(stderr, "boxreader: cannot read %s\n", argv[first + 1]);
        return 1;
      }
      for (std::string line; std::getline(file, line);) Answers.push_back(line);
      first += 2;
    } else {
      break;
    }
  }
  if (first >= argc) {
    fputs("usage: boxreader.exe [-t SECONDS] [-k] [-a ANSWERS] PROGRAM [ARGUMENT...]\n", stderr);
    return 1;
  }
  std::string commandLine;
  for (int i = first; i < argc; i++) AppendArgument(commandLine, argv[i]);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(argv[first], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    fprintf(stderr, "boxreader: cannot start %s (error %lu)\n", argv[first],
            (unsigned long)GetLastError());
    return 1;
  }
  ChildProcessId = process.dwProcessId;

  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
  HWND pressed = nullptr;
  unsigned waits = 0;
  // The wait doubles as the pause between looks for a new box.
  while (WaitForSingleObject(process.hProcess, 10) != WAIT_OBJECT_0) {
    if (GetTickCount64() > deadline) {
      TerminateProcess(process.hProcess, 0xDEAD);
      fprintf(stderr, "boxreader: ended the program after %lu seconds\n", (unsigned long)seconds);
      return 2;
    }
    if (pressed != nullptr) {
      // The box just answered must be gone before the next one is looked for; should the press
      // have been lost, it is repeated every two seconds or so.
      if (IsWindow(pressed)) {
        if (++waits % 200 == 0 && !IsExchangeDialog(pressed)) PressOk(pressed);
        continue;
      }
      pressed = nullptr;
    }
    HWND box = nullptr;
    EnumWindows(FindChildDialog, (LPARAM)&box);
    if (box == nullptr) continue;
    pressed = box;
    waits = 0;
    bool dialog = IsExchangeDialog(box);
    if (dialog) AnswerDialog(box, keepOpen);
    if (keepOpen) {
      Report(dialog ? ReadText(box) : BoxText(box));
      return 0;
    }
    if (!dialog) {
      Report(BoxText(box));
      PressOk(box);
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (code != 0) {
    fprintf(stderr, "boxreader: the program exited with %lx\n", (unsigned long)code);
    return 3;
  }
  return 0;
}
