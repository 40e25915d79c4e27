// A message box on the terminal: the caption in brackets, the text, and the one button, written
// to stderr. At a terminal the box waits for Enter, as a modal box waits for OK; otherwise it
// is dismissed at once so that scripts run through. An interrupt dismisses it too.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/interrupt.h"
#include "platform/messagebox.h"

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  fprintf(stderr, "[%s]\n%s\n[OK]\n", lpCaption ? lpCaption : "", lpText ? lpText : "");
  fflush(stderr);
  if (isatty(STDIN_FILENO)) {
    int c;
    do c = WaitForInput(STDIN_FILENO) ? getchar() : EOF;
    while (c != '\n' && c != EOF);
  }
  return IDOK;
}
