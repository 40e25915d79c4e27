#include "tools/qsreg-text.h"

#include <algorithm>

namespace {

void AppendUtf8(unsigned long c, std::string* out) {
  if (c < 0x80) {
    *out += (char)c;
  } else if (c < 0x800) {
    *out += (char)(0xC0 | c >> 6);
    *out += (char)(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += (char)(0xE0 | c >> 12);
    *out += (char)(0x80 | (c >> 6 & 0x3F));
    *out += (char)(0x80 | (c & 0x3F));
  } else {
    *out += (char)(0xF0 | c >> 18);
    *out += (char)(0x80 | (c >> 12 & 0x3F));
    *out += (char)(0x80 | (c >> 6 & 0x3F));
    *out += (char)(0x80 | (c & 0x3F));
  }
}

}  // namespace

size_t Utf8Sequence(const std::string& text, size_t i) {
  auto byte = [&](size_t k) { return i + k < text.size() ? (unsigned char)text[i + k] : 0u; };
  unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  // The second byte's range rules out overlong forms, surrogates and what lies past U+10FFFF.
  unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || byte(1) < low || byte(1) > high) return 0;
  for (size_t k = 2; k < length; k++)
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  return length;
}

bool IsUtf8(const std::string& text) {
  for (size_t i = 0, n; i < text.size(); i += n)
    if ((n = Utf8Sequence(text, i)) == 0) return false;
  return true;
}

size_t Utf16Length(const std::string& text) {
  size_t units = 0;
  for (size_t i = 0, n; i < text.size(); i += n ? n : 1) {
    n = Utf8Sequence(text, i);
    units += n == 4 ? 2 : 1;
  }
  return units;
}

void AppendUtf16(const std::string& text, bool crlf, std::string* out) {
  size_t at = out->size(), lines = crlf ? (size_t)std::count(text.begin(), text.end(), '\n') : 0;
  out->resize(at + 2 * (text.size() + lines));  // two bytes a byte at most, and a CR a line
  char* p = out->data() + at;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = (unsigned char)text[i];
    if (c < 0x80) {  // most of an export, so done without a call
      if (c == '\n' && crlf) *p++ = '\r', *p++ = 0;
      *p++ = (char)c, *p++ = 0;
      i++;
      continue;
    }
    size_t n = Utf8Sequence(text, i);
    unsigned long code = n == 0 ? 0xDC00 + c : c & (0x7F >> n);
    for (size_t k = 1; k < n; k++) code = code << 6 | ((unsigned char)text[i + k] & 0x3F);
    i += n ? n : 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      unsigned long high = 0xD800 + (code >> 10);
      *p++ = (char)(high & 0xFF), *p++ = (char)(high >> 8);
      code = 0xDC00 + (code & 0x3FF);
    }
    *p++ = (char)(code & 0xFF), *p++ = (char)(code >> 8);
  }
  out->resize(p - out->data());
}

bool AppendUtf8FromUtf16(const std::string& bytes, size_t start, std::string* out) {
  if ((bytes.size() - start) % 2) return false;
  auto unit = [&](size_t i) {
    return (unsigned long)(unsigned char)bytes[i] | (unsigned long)(unsigned char)bytes[i + 1] << 8;
  };
  for (size_t i = start; i < bytes.size(); i += 2) {
    unsigned long c = unit(i);
    if (c >= 0xDC80 && c < 0xDD00) {
      *out += (char)(c - 0xDC00);
      continue;
    }
    if (c >= 0xDC00 && c < 0xE000) return false;
    if (c >= 0xD800 && c < 0xDC00) {
      unsigned long low = i + 3 < bytes.size() ? unit(i + 2) : 0;
      if (low < 0xDC00 || low >= 0xE000) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(c, out);
  }
  return true;
}

std::string Utf8FromWindows1252(const std::string& text) {
  // 0x80 to 0x9F; the rest of the upper half is Latin-1, the code points of the same number.
  static const unsigned short High[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) AppendUtf8(c >= 0x80 && c < 0xA0 ? High[c - 0x80] : c, &out);
  return out;
}
