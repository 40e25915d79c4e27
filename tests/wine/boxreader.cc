// Reads the message boxes another program shows, and answers the Exchange provider's dialog of
// the simulated messaging subsystem (qsmapi.dll), for the Wine tests.
//
//   boxreader.exe [-t SECONDS] [-k] [-r] [-a ANSWERS] PROGRAM [ARGUMENT...]
//
// Starts PROGRAM with the arguments, quoted as the runtime splits them again, and until it ends
// finds each dialog window it shows, writes it out, presses its OK button and waits for it to go.
// The lines, on standard output in binary mode:
//
//   box <caption> <text>      one per dialog, in the order shown; caption and text escaped
//   exit <code>               the program's exit code, in hexadecimal
//
// Escaping keeps every byte: printable ASCII stands for itself except the backslash, which is
// "\\"; newline, tab and carriage return are "\n", "\t", "\r"; every other byte is "\xNN"; a blank
// is "\s", so that the two fields of a line are split at blanks. The text is that of the box's
// static control. With -r each box is written instead as its text as it is (CRLF as LF) and a
// line "----", and no exit line.
//
// The Exchange dialog is answered from the file ANSWERS, read as the terminal dialog reads stdin:
// a line for the server, one for the mailbox, one for the button (check, ok or cancel; empty
// means check). A non-empty name is typed into its edit control, an empty one keeps what the
// control holds, and then the button is pressed. When the dialog stays open (it refused to close)
// its remark goes to stderr and the next three lines answer it again; at the end of the answers
// (or without -a) Cancel is pressed.
//
// After SECONDS (default 60) the program is ended and "timeout" is written (with -r, to stderr);
// the helper then exits with 2. It exits with 1 when PROGRAM cannot be started, and with 0 once the
// program ended (with -r, 3 when its exit code was not 0). With -k it writes the first box's line
// and exits at once, leaving the box open (for a screenshot); the Exchange dialog is left open the
// same way, with the names of the first two answers typed in, and written as "dialog <caption>".
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "qsmapi/dialog-ids.h"

namespace {

// The static control that holds a message box's text.
const int MessageTextId = 0xFFFF;

DWORD ChildProcessId;

void PutEscaped(const char* text) {
  for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
    switch (*p) {
      case '\\':
        fputs("\\\\", stdout);
        break;
      case '\n':
        fputs("\\n", stdout);
        break;
      case '\t':
        fputs("\\t", stdout);
        break;
      case '\r':
        fputs("\\r", stdout);
        break;
      case ' ':
        fputs("\\s", stdout);
        break;
      default:
        if (*p > 0x20 && *p < 0x7F)
          putchar(*p);
        else
          printf("\\x%02X", *p);
    }
  }
}

// Appends one argument to a command line so that the runtime's splitter gives it back as it was.
void AppendArgument(char* line, size_t size, const char* argument) {
  size_t n = strlen(line);
  auto put = [&](char c) {
    if (n + 1 < size) line[n++] = c;
  };
  if (n > 0) put(' ');
  put('"');
  size_t backslashes = 0;
  for (const char* p = argument; *p; p++) {
    if (*p == '\\') {
      backslashes++;
      continue;
    }
    // Backslashes are literal unless a quote follows them; then each is doubled.
    for (size_t i = 0; i < backslashes * (*p == '"' ? 2 : 1); i++) put('\\');
    backslashes = 0;
    if (*p == '"') put('\\');
    put(*p);
  }
  for (size_t i = 0; i < backslashes * 2; i++) put('\\');
  put('"');
  line[n] = '\0';
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

// Reads a window's text through WM_GETTEXT, which crosses processes.
void ReadText(HWND window, char* text, size_t size) {
  text[0] = '\0';
  if (window == nullptr) return;
  SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)text, SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  text[size - 1] = '\0';
}

void ReportBox(HWND box) {
  static char caption[512];
  static char text[8192];
  ReadText(box, caption, sizeof caption);
  HWND control = GetDlgItem(box, MessageTextId);
  if (control == nullptr) EnumChildWindows(box, FindTextControl, (LPARAM)&control);
  ReadText(control, text, sizeof text);
  fputs("box ", stdout);
  PutEscaped(caption);
  putchar(' ');
  PutEscaped(text);
  putchar('\n');
  fflush(stdout);
}

void ReportRawBox(HWND box) {
  static char text[8192];
  HWND control = GetDlgItem(box, MessageTextId);
  if (control == nullptr) EnumChildWindows(box, FindTextControl, (LPARAM)&control);
  ReadText(control, text, sizeof text);
  std::string shown;
  for (const char* p = text; *p; p++)
    if (!(p[0] == '\r' && p[1] == '\n')) shown += *p;
  if (shown.empty() || shown.back() != '\n') shown += '\n';
  fputs(shown.c_str(), stdout);
  fputs("----\n", stdout);
  fflush(stdout);
}

// --- The Exchange dialog -------------------------------------------------------------------

std::vector<std::string> Answers;
size_t NextAnswer;

bool ReadAnswers(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  std::string line;
  for (int c; (c = fgetc(file)) != EOF;) {
    if (c != '\n') {
      line += (char)c;
      continue;
    }
    Answers.push_back(line);
    line.clear();
  }
  if (!line.empty()) Answers.push_back(line);  // a last line without its newline
  fclose(file);
  return true;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool TakeAnswer(std::string* answer) {
  if (NextAnswer >= Answers.size()) return false;
  *answer = Trim(Answers[NextAnswer++]);
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

// Types a name into an edit control; an empty one leaves the control as it is.
void Type(HWND dialog, int control, const std::string& name) {
  if (name.empty()) return;
  SendMessageTimeoutA(GetDlgItem(dialog, control), WM_SETTEXT, 0, (LPARAM)name.c_str(),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
}

// Clicks a button and returns once the dialog has acted on it.
void Click(HWND dialog, int button) {
  SendMessageTimeoutA(GetDlgItem(dialog, button), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
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
    Click(dialog, button);
    if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return;
    char remark[512];
    ReadText(GetDlgItem(dialog, QSMAPI_CONTROL_REMARK), remark, sizeof remark);
    fprintf(stderr, "%s\n", remark);
  }
}

void PressOk(HWND box) {
  HWND button = GetDlgItem(box, IDOK);
  if (button == nullptr) button = GetDlgItem(box, IDCANCEL);
  int id = button == GetDlgItem(box, IDOK) ? IDOK : IDCANCEL;
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int first = 1;
  DWORD seconds = 60;
  bool keepOpen = false;
  bool raw = false;
  for (;;) {
    if (first + 1 < argc && strcmp(argv[first], "-t") == 0) {
      seconds = (DWORD)atoi(argv[first + 1]);
      first += 2;
    } else if (first < argc && strcmp(argv[first], "-k") == 0) {
      keepOpen = true;
      first++;
    } else if (first < argc && strcmp(argv[first], "-r") == 0) {
      raw = true;
      first++;
    } else if (first + 1 < argc && strcmp(argv[first], "-a") == 0) {
      if (!ReadAnswers(argv[first + 1])) {
        fprintf(stderr, "boxreader: cannot read %s\n", argv[first + 1]);
        return 1;
      }
      first += 2;
    } else {
      break;
    }
  }
  if (first >= argc) {
    fputs("usage: boxreader.exe [-t SECONDS] [-k] [-r] [-a ANSWERS] PROGRAM [ARGUMENT...]\n",
          stderr);
    return 1;
  }
  static char commandLine[32768];
  for (int i = first; i < argc; i++) AppendArgument(commandLine, sizeof commandLine, argv[i]);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(argv[first], commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    fprintf(stderr, "boxreader: cannot start %s (error %lu)\n", argv[first],
            (unsigned long)GetLastError());
    return 1;
  }
  ChildProcessId = process.dwProcessId;

  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
  HWND pressed = nullptr;
  bool pressedBox = false;
  unsigned waits = 0;
  for (;;) {
    // The wait doubles as the pause between looks for a new box.
    if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) break;
    if (GetTickCount64() > deadline) {
      TerminateProcess(process.hProcess, 0xDEAD);
      if (raw) {
        fprintf(stderr, "boxreader: ended the program after %lu seconds\n", (unsigned long)seconds);
      } else {
        puts("timeout");
      }
      return 2;
    }
    if (pressed != nullptr) {
      // The box just answered must be gone before the next one is looked for; should the press
      // have been lost, it is repeated every two seconds or so.
      if (IsWindow(pressed)) {
        if (++waits % 200 == 0 && pressedBox) PressOk(pressed);
        continue;
      }
      pressed = nullptr;
    }
    HWND box = nullptr;
    EnumWindows(FindChildDialog, (LPARAM)&box);
    if (box == nullptr) continue;
    pressed = box;
    waits = 0;
    pressedBox = !IsExchangeDialog(box);
    if (!pressedBox) {
      AnswerDialog(box, keepOpen);
      if (keepOpen) {
        static char caption[512];
        ReadText(box, caption, sizeof caption);
        fputs("dialog ", stdout);
        PutEscaped(caption);
        putchar('\n');
        return 0;
      }
      continue;
    }
    raw ? ReportRawBox(box) : ReportBox(box);
    if (keepOpen) return 0;
    PressOk(box);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (!raw) {
    printf("exit %lx\n", (unsigned long)code);
  } else if (code != 0) {
    fprintf(stderr, "boxreader: the program exited with %lx\n", (unsigned long)code);
    return 3;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
