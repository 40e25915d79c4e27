// user32's wsprintfA: a small printf with the conversions s, c, d, i, u, x and X, the flags
// '-' and '0', a width, and the size prefix 'l', which names a 32-bit value on every platform
// (as it does on Windows, where long is 32 bits). The output is cut to 1023 characters and
// always terminated. A conversion it does not know is copied as it stands.
#include <stdarg.h>
#include <stdint.h>

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
static void PutField(Output* out, const char* text, int length, int width, bool leftAlign,
                     char pad) {
  int fill = width > length ? width - length : 0;
  if (!leftAlign)
    for (int i = 0; i < fill; i++) Put(out, pad);
  for (int i = 0; i < length; i++) Put(out, text[i]);
  if (leftAlign)
    for (int i = 0; i < fill; i++) Put(out, ' ');
}

// Writes a number; a '0' pad goes after the sign, as in printf.
static void PutNumber(Output* out, uint32_t magnitude, bool negative, unsigned base, bool upper,
                      int width, bool leftAlign, bool zeroPad) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[16];
  int length = 0;
  do {
    text[sizeof text - 1 - length++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  char* start = text + sizeof text - length;
  if (negative) {
    if (zeroPad && !leftAlign) {
      Put(out, '-');
      PutField(out, start, length, width - 1, false, '0');
      return;
    }
    *--start = '-';
    length++;
  }
  PutField(out, start, length, width, leftAlign, zeroPad && !leftAlign ? '0' : ' ');
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
    bool leftAlign = false, zeroPad = false;
    for (; *p == '-' || *p == '0' || *p == '#'; p++) {
      if (*p == '-') leftAlign = true;
      if (*p == '0') zeroPad = true;
    }
    int width = 0;
    for (; *p >= '0' && *p <= '9'; p++)
      if (width < WSPRINTF_LIMIT) width = width * 10 + (*p - '0');
    if (*p == 'l' || *p == 'h') p++;  // every integer argument is 32 bits
    switch (*p) {
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        int length = 0;
        while (text[length] && length < WSPRINTF_LIMIT) length++;
        PutField(&out, text, length, width, leftAlign, ' ');
        break;
      }
      case 'c': {
        char c = (char)va_arg(args, int);
        PutField(&out, &c, 1, width, leftAlign, ' ');
        break;
      }
      case 'd':
      case 'i': {
        int32_t value = va_arg(args, int32_t);
        uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
        PutNumber(&out, magnitude, value < 0, 10, false, width, leftAlign, zeroPad);
        break;
      }
      case 'u':
        PutNumber(&out, va_arg(args, uint32_t), false, 10, false, width, leftAlign, zeroPad);
        break;
      case 'x':
      case 'X':
        PutNumber(&out, va_arg(args, uint32_t), false, 16, *p == 'X', width, leftAlign, zeroPad);
        break;
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
