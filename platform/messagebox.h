// Message boxes and their formatting. On Windows they are user32's MessageBoxA and wsprintfA; on
// POSIX a box is written to the terminal (messagebox-posix.cc) and wsprintfA follows user32's
// rules (wsprintf-posix.cc).
#pragma once

#include "platform/wintypes.h"

#ifndef _WIN32
#define MB_OK 0x00000000
#define IDOK 1

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// user32's formatter: %s, %c, %d, %i, %u, %x, %X with the flags '-', '0' and '#', a width and a
// precision; the size prefix 'l' names a 32-bit value, as it does on Windows. The output is cut
// to 1023 characters and always terminated.
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
#endif
