// user32's wsprintfA: a small printf with the conversions s, c, d, i, u, x and X, the flags
// '-', '0' and '#', a width and a precision, and the size prefix 'l', which names a 32-bit
// value on every platform
// (as it does on Windows, where long is 32 bits). The output is cut to 1023 characters and
// always terminated. A conversion it does not know is copied as it stands.
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include "platform/messagebox.h"

#define WSPRINTF_LIMIT 1024  // bytes written at most, the terminator included

struct Output {
  char* buffer;
  int length;
};

static void Put(Output* out, char c) {
  if (out->length < WSPRINTF_LIMIT - 1) out->buffer[out->length++] = c;
}

// Writes text of the given length padded to width, on the left unless leftAlign.
static void PutField(Output* out, const char* text, int length, int width, bool leftAlign) {
  int fill = width > length ? width - length : 0;
  if (!leftAlign)
    for (int i = 0; i < fill; i++) Put(out, ' ');
  for (int i = 0; i < length; i++) Put(out, text[i]);
  if (leftAlign)
    for (int i = 0; i < fill; i++) Put(out, ' ');
}

// Writes a number of at least minDigits digits after its sign or prefix, padded to width; a
// '0' pad goes between the sign or prefix and the digits, as in printf.
static void PutNumber(Output* out, uint32_t magnitude, const char* prefix, unsigned base,
                      bool upper, int minDigits, int width, bool leftAlign, bool zeroPad) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[64];
  int length = 0;
  do {
    text[sizeof text - 1 - length++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  while (length < minDigits && length < (int)sizeof text) text[sizeof text - 1 - length++] = '0';
  int prefixLength = (int)strlen(prefix);
  int fill = width > length + prefixLength ? width - length - prefixLength : 0;
  if (!leftAlign && !zeroPad)
    for (int i = 0; i < fill; i++) Put(out, ' ');
  for (int i = 0; i < prefixLength; i++) Put(out, prefix[i]);
  if (!leftAlign && zeroPad)
    for (int i = 0; i < fill; i++) Put(out, '0');
  for (int i = 0; i < length; i++) Put(out, text[sizeof text - length + i]);
  if (leftAlign)
    for (int i = 0; i < fill; i++) Put(out, ' ');
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  Output out = {lpOut, 0};
  va_list args;
  va_start(args, lpFmt);
  for (const char* p = lpFmt; *p; p++) {
    if (*p != '%') {
      Put(&out, *p);
      continue;
    }
    const char* conversion = p++;
    bool leftAlign = false, zeroPad = false, alternate = false;
    for (; *p == '-' || *p == '0' || *p == '#'; p++) {
      if (*p == '-') leftAlign = true;
      if (*p == '0') zeroPad = true;
      if (*p == '#') alternate = true;
    }
    int width = 0, precision = -1;
    for (; *p >= '0' && *p <= '9'; p++)
      if (width < WSPRINTF_LIMIT) width = width * 10 + (*p - '0');
    if (*p == '.') {
      precision = 0;
      for (p++; *p >= '0' && *p <= '9'; p++)
        if (precision < WSPRINTF_LIMIT) precision = precision * 10 + (*p - '0');
      zeroPad = false;  // a precision gives the digits; the width is padded with blanks
    }
    if (*p == 'l' || *p == 'h') p++;  // every integer argument is 32 bits
    switch (*p) {
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        int length = 0;
        int limit = precision >= 0 && precision < WSPRINTF_LIMIT ? precision : WSPRINTF_LIMIT;
        while (text[length] && length < limit) length++;
        PutField(&out, text, length, width, leftAlign);
        break;
      }
      case 'c': {
        char c = (char)va_arg(args, int);
        PutField(&out, &c, 1, width, leftAlign);
        break;
      }
      case 'd':
      case 'i': {
        int32_t value = va_arg(args, int32_t);
        uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
        PutNumber(&out, magnitude, value < 0 ? "-" : "", 10, false, precision, width, leftAlign,
                  zeroPad);
        break;
      }
      case 'u':
        PutNumber(&out, va_arg(args, uint32_t), "", 10, false, precision, width, leftAlign,
                  zeroPad);
        break;
      case 'x':
      case 'X': {
        uint32_t value = va_arg(args, uint32_t);
        const char* prefix = alternate && value != 0 ? (*p == 'X' ? "0X" : "0x") : "";
        PutNumber(&out, value, prefix, 16, *p == 'X', precision, width, leftAlign, zeroPad);
        break;
      }
      case '%':
        Put(&out, '%');
        break;
      default:
        // Unknown: copy the conversion as written, and stop at the format's end.
        for (const char* q = conversion; q <= p && *q; q++) Put(&out, *q);
        if (*p == '\0') p--;
        break;
    }
  }
  va_end(args);
  out.buffer[out.length] = '\0';
  return out.length;
}
