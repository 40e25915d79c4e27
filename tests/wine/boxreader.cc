//   boxreader.exe [-t SECONDS] [-k] [-a ANSWERS] PROGRAM [ARGUMENT...]
// starts PROGRAM and until it ends writes the text of each message box it shows (CRLF as LF, then a
// line "----") and presses OK. ANSWERS answers qsmapi.dll's Exchange dialog as the terminal
// dialog's stdin does: server, mailbox (empty keeps the text), button (check, ok or cancel; empty:
// check), again after a refused close, whose remark goes to stderr; Cancel after the last. With -k
// the first box, or the dialog with two answers typed in, is left open for a picture and its text
// (the dialog's caption) and "----" are written. Exits with 0 when the program ended with 0; 1: it
// could not start; 2: ended after SECONDS (60); 3: other exit code; 4: Wine has no display driver.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <fstream>
#include <string>
#include <vector>

#include "qsmapi/dialog-ids.h"

namespace {

const int MessageTextId = 0xFFFF;  // the static control that holds a message box's text

DWORD ChildProcessId;
std::vector<std::string> Answers;  // the lines of ANSWERS, without leading and trailing blanks
size_t NextAnswer;

// Appends one argument to a command line so that the runtime's splitter gives it back as it was:
// backslashes are literal unless a quote follows them, and then each is doubled. Wide, so that
// a character outside the code page reaches the program as it was given.
void AppendArgument(std::wstring& line, const wchar_t* p) {
  line += line.empty() ? L"\"" : L" \"";
  for (;; p++) {
    size_t backslashes = wcsspn(p, L"\\");
    p += backslashes;
    line.append(*p == L'"' || *p == L'\0' ? 2 * backslashes : backslashes, L'\\');
    if (*p == L'\0') break;
    if (*p == L'"') line += L'\\';
    line += *p;
  }
  line += L'"';
}

// Stops at the program's visible dialog box (class #32770), which it puts in found.
BOOL CALLBACK FindChildDialog(HWND window, LPARAM found) {
  DWORD process = 0;
  char className[32];
  GetWindowThreadProcessId(window, &process);
  bool dialog = process == ChildProcessId && IsWindowVisible(window) &&
                GetClassNameA(window, className, sizeof className) && !strcmp(className, "#32770");
  return dialog ? (*(HWND*)found = window, FALSE) : TRUE;
}

// A window's text, through WM_GETTEXT, which crosses processes.
std::string ReadText(HWND window) {
  char text[8192] = "";
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  return text;
}

bool TakeAnswer(std::string* answer) {
  return NextAnswer < Answers.size() && (*answer = Answers[NextAnswer++], true);
}

// The button the next answer names; an answer that names none is passed over, as the terminal
// asks again. Cancel at the end of the answers.
int TakeButton() {
  for (std::string answer; TakeAnswer(&answer);) {
    if (answer.empty() || _stricmp(answer.c_str(), "check") == 0) return QSMAPI_CONTROL_CHECK_NAME;
    if (_stricmp(answer.c_str(), "ok") == 0) return IDOK;
    if (_stricmp(answer.c_str(), "cancel") == 0) return IDCANCEL;
  }
  return IDCANCEL;
}

bool IsExchangeDialog(HWND window) {
  return GetDlgItem(window, QSMAPI_CONTROL_SERVER) && GetDlgItem(window, QSMAPI_CONTROL_MAILBOX);
}

// Answers the dialog until it closes. With keepOpen, only types the first two answers in.
void AnswerDialog(HWND dialog, bool keepOpen) {
  for (;;) {
    std::string names[2];
    bool answered = TakeAnswer(&names[0]) && TakeAnswer(&names[1]);
    const int controls[] = {QSMAPI_CONTROL_SERVER, QSMAPI_CONTROL_MAILBOX};
    for (int i = 0; answered && i < 2; i++)
      if (!names[i].empty())
        SendMessageTimeoutA(GetDlgItem(dialog, controls[i]), WM_SETTEXT, 0,
                            (LPARAM)names[i].c_str(), SMTO_ABORTIFHUNG, 5000, nullptr);
    if (keepOpen) return;
    // Returns once the dialog has acted on the click.
    SendMessageTimeoutA(GetDlgItem(dialog, answered ? TakeButton() : IDCANCEL), BM_CLICK, 0, 0,
                        SMTO_ABORTIFHUNG, 10000, nullptr);
    if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return;
    fprintf(stderr, "%s\n", ReadText(GetDlgItem(dialog, QSMAPI_CONTROL_REMARK)).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int first = 1;
  DWORD seconds = 60;
  bool keepOpen = false;
  for (; first + 1 < argc; first++) {
    if (strcmp(argv[first], "-k") == 0) {
      keepOpen = true;
    } else if (strcmp(argv[first], "-t") == 0) {
      seconds = (DWORD)atoi(argv[++first]);
    } else if (strcmp(argv[first], "-a") == 0) {
      std::ifstream file(argv[++first], std::ios::binary);
      if (!file) return fprintf(stderr, "boxreader: cannot read %s\n", argv[first]), 1;
      const char* blanks = " \t\r\n\v\f";
      for (std::string line; std::getline(file, line); Answers.push_back(line))
        line.erase(line.find_last_not_of(blanks) + 1).erase(0, line.find_first_not_of(blanks));
    } else {
      break;
    }
  }
  const char* usage = "usage: boxreader.exe [-t SECONDS] [-k] [-a ANSWERS] PROGRAM [ARGUMENT...]\n";
  if (first >= argc) return fputs(usage, stderr), 1;
  // Whether this session can show windows, and so the program, started on the same desktop.
  HWND probe =
      CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (probe == nullptr)
    return fputs("boxreader: no window can be created: this Wine session has no display driver\n",
                 stderr),
           4;
  DestroyWindow(probe);
  // The arguments as they were given: the wide command line, split as the runtime split argv.
  int wideCount = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
  if (wide == nullptr || wideCount != argc)
    return fputs("boxreader: cannot read the command line\n", stderr), 1;
  std::wstring commandLine;
  for (int i = first; i < argc; i++) AppendArgument(commandLine, wide[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(wide[first], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return fprintf(stderr, "boxreader: cannot start %s (error %lu)\n", argv[first],
                   (unsigned long)GetLastError()),
           1;
  ChildProcessId = process.dwProcessId;
  // The program shows MB_OK boxes only.
  auto pressOk = [](HWND box) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); };
  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
  HWND box = nullptr;  // the box or dialog last answered
  unsigned waits = 0;
  // The wait doubles as the pause between looks for a new box.
  while (WaitForSingleObject(process.hProcess, 10) != WAIT_OBJECT_0) {
    if (GetTickCount64() > deadline) {
      TerminateProcess(process.hProcess, 0xDEAD);
      fprintf(stderr, "boxreader: ended the program after %lu seconds\n", (unsigned long)seconds);
      return 2;
    }
    // The box just answered must be gone before the next one is looked for; should the press
    // have been lost, it is repeated every two seconds or so.
    if (IsWindow(box)) {
      if (++waits % 200 == 0 && !IsExchangeDialog(box)) pressOk(box);
      continue;
    }
    box = nullptr;
    EnumWindows(FindChildDialog, (LPARAM)&box);
    if (box == nullptr) continue;
    waits = 0;
    bool dialog = IsExchangeDialog(box);
    if (dialog) AnswerDialog(box, keepOpen);
    if (dialog && !keepOpen) continue;
    std::string text = ReadText(dialog ? box : GetDlgItem(box, MessageTextId));
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    if (text.empty() || text.back() != '\n') text += '\n';
    fputs((text + "----\n").c_str(), stdout);
    fflush(stdout);
    if (keepOpen) return 0;
    pressOk(box);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (code != 0) fprintf(stderr, "boxreader: the program exited with %lx\n", (unsigned long)code);
  return code == 0 ? 0 : 3;
}
