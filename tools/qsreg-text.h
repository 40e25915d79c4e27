// The text encodings qsreg meets. The store holds 8-bit text, which qsreg reads and writes as
// UTF-8, the POSIX code page; a .reg file of Version 5.00 holds UTF-16LE, and one of REGEDIT4
// 8-bit text in the code page of the system that wrote it.
//
// Store text that is not UTF-8 still goes to UTF-16 and back losslessly: each byte that is not
// part of a UTF-8 sequence becomes one of the unpaired low surrogates U+DC80 to U+DCFF (byte
// 0x80 + n as U+DC80 + n), which no UTF-8 text gives, and those come back as the bytes.
#pragma once

#include <stddef.h>

#include <string>

// The length of the UTF-8 sequence that starts at text[i] (1 for ASCII), or 0 where no valid
// one does: a stray or missing continuation byte, an overlong form, a surrogate, or beyond
// U+10FFFF.
size_t Utf8Sequence(const std::string& text, size_t i);

bool IsUtf8(const std::string& text);

// The UTF-16 code units that text takes (a byte that is not UTF-8 takes one).
size_t Utf16Length(const std::string& text);

// Appends text as UTF-16LE, with each \n as \r\n when crlf is set.
void AppendUtf16(const std::string& text, bool crlf, std::string* out);

// Appends UTF-16LE bytes (from bytes[start]) as UTF-8, and U+DC80 to U+DCFF as their bytes;
// false at an odd byte count or any other unpaired surrogate.
bool AppendUtf8FromUtf16(const std::string& bytes, size_t start, std::string* out);

// Windows-1252 text as UTF-8. The five bytes that code page leaves unassigned become the C1
// controls of the same number, as Windows converts them.
std::string Utf8FromWindows1252(const std::string& text);
