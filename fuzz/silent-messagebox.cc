// A message box that shows and keeps nothing, for the fuzz targets: it only counts the boxes
// and checks that the text it is handed ends where a box could show it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/silent-messagebox.h"
#include "platform/messagebox.h"

int BoxesShown = 0;

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  BoxesShown++;
  if (lpText == nullptr || memchr(lpText, '\0', SHOWN_TEXT_LIMIT) == nullptr) {
    fprintf(stderr, "message box text is not terminated within %d bytes\n", SHOWN_TEXT_LIMIT);
    abort();
  }
  if (lpCaption == nullptr) {
    fprintf(stderr, "message box without a caption\n");
    abort();
  }
  return IDOK;
}
