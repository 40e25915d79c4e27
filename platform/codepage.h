// Whether 8-bit text the system was given is the text that was meant. On Windows the command
// line and the registry's strings are wide, and reach the system's 8-bit code through the ANSI
// code page: a character the code page lacks becomes a default character ('?'), and some become
// a similar letter (a best-fit mapping), so two different names can arrive as one. These checks
// read the wide form and tell whether that happened. On POSIX names are bytes that pass through
// unchanged, and the checks always hold.
#pragma once

#include "platform/registry.h"

// Whether argument index of the process, split from the wide command line by the runtime's
// rules, converts to the code page exactly, without a default or best-fit character, and gives
// text, the 8-bit argument the system got.
bool ArgumentFitsCodePage(int index, const char* text);

// Whether the string value valueName under key converts to the code page exactly likewise. A
// value that cannot be read wide is taken as it was read.
bool StoredStringFitsCodePage(HKEY key, const char* valueName);
