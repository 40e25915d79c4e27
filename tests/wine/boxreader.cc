// Reads the message boxes another program shows, for the Wine smoke test.
//
//   boxreader.exe [-t SECONDS] [-k] PROGRAM [ARGUMENT...]
//
// Starts PROGRAM with the arguments, quoted as the runtime splits them again, and until it ends
// finds each dialog window it shows, writes one line for it, presses its OK button and waits for
// it to go. The lines, on standard output in binary mode:
//
//   box <caption> <text>      one per dialog, in the order shown; caption and text escaped
//   exit <code>               the program's exit code, in hexadecimal
//
// Escaping keeps every byte: printable ASCII stands for itself except the backslash, which is
// "\\"; newline, tab and carriage return are "\n", "\t", "\r"; every other byte is "\xNN"; a blank
// is "\s", so that the two fields of a line are split at blanks. The text is that of the box's
// static control. After SECONDS (default 60) the program is ended and "timeout" is written; the
// helper then exits with 2. It exits with 1 when PROGRAM cannot be started. With -k it writes the
// first box's line and exits at once, leaving the box open (for a screenshot).
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

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
  for (;;) {
    if (first + 1 < argc && strcmp(argv[first], "-t") == 0) {
      seconds = (DWORD)atoi(argv[first + 1]);
      first += 2;
    } else if (first < argc && strcmp(argv[first], "-k") == 0) {
      keepOpen = true;
      first++;
    } else {
      break;
    }
  }
  if (first >= argc) {
    fputs("usage: boxreader.exe [-t SECONDS] [-k] PROGRAM [ARGUMENT...]\n", stderr);
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
  unsigned waits = 0;
  for (;;) {
    // The wait doubles as the pause between looks for a new box.
    if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) break;
    if (GetTickCount64() > deadline) {
      TerminateProcess(process.hProcess, 0xDEAD);
      puts("timeout");
      return 2;
    }
    if (pressed != nullptr) {
      // The box just answered must be gone before the next one is looked for; should the press
      // have been lost, it is repeated every two seconds or so.
      if (IsWindow(pressed)) {
        if (++waits % 200 == 0) PressOk(pressed);
        continue;
      }
      pressed = nullptr;
    }
    HWND box = nullptr;
    EnumWindows(FindChildDialog, (LPARAM)&box);
    if (box == nullptr) continue;
    ReportBox(box);
    if (keepOpen) return 0;
    PressOk(box);
    pressed = box;
    waits = 0;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit %lx\n", (unsigned long)code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
