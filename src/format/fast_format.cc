// The direct formatter of common printf conversions.
#include "format/fast_format.h"

#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include "format/digits.h"

namespace qolog {

namespace {

enum Length { kInt, kLong, kLongLong, kSize };

// Reads the conversion after a '%': the length modifier and the conversion
// character. Returns the text after it, or null for a conversion that is
// not handled here (flags, width, precision, other letters, the end).
const char *parseSpec(const char *p, Length *len, char *conv) {
  *len = kInt;
  if (*p == 'l') {
    ++p;
    *len = kLong;
    if (*p == 'l') {
      ++p;
      *len = kLongLong;
    }
  } else if (*p == 'z') {
    ++p;
    *len = kSize;
  }
  *conv = *p;
  switch (*conv) {
    case 'd': case 'i': case 'u': case 'x': case 'X':
      return p + 1;
    case '%': case 's': case 'c':
      return *len == kInt ? p + 1 : nullptr;  // %ls and %lc are wide
    default:
      return nullptr;
  }
}

char *putHex(char *end, unsigned long long v, const char *digits) {
  do {
    *--end = digits[v & 15];
    v >>= 4;
  } while (v != 0);
  return end;
}

}  // namespace

bool fastFormat(LineBuffer &buf, const char *format, va_list args) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  Length len;
  char conv;
  // One pass: the common formats pay for no separate check. A conversion
  // met that is not handled here cuts the text back to where it started.
  size_t start = buf.size();
  va_list ap;
  va_copy(ap, args);
  const char *p = format;
  for (;;) {
    const char *pct = strchr(p, '%');
    size_t lit = pct != nullptr ? static_cast<size_t>(pct - p) : strlen(p);
    buf.append(p, lit);
    if (pct == nullptr) break;
    p = parseSpec(pct + 1, &len, &conv);
    if (p == nullptr) {
      va_end(ap);
      buf.truncate(start);
      return false;
    }
    char num[24];
    char *end = num + sizeof(num);
    switch (conv) {
      case '%':
        buf.appendChar('%');
        break;
      case 'd':
      case 'i': {
        long long v = len == kInt    ? va_arg(ap, int)
                      : len == kLong ? va_arg(ap, long)
                      : len == kSize ? static_cast<long long>(va_arg(ap, ssize_t))
                                     : va_arg(ap, long long);
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
        char *s = putDecimal(end, u);
        if (v < 0) *--s = '-';
        buf.append(s, static_cast<size_t>(end - s));
        break;
      }
      case 's': {
        const char *s = va_arg(ap, const char *);
        buf.append(s != nullptr ? s : "(null)");
        break;
      }
      case 'c':
        buf.appendChar(static_cast<char>(static_cast<unsigned char>(va_arg(ap, int))));
        break;
      default: {  // u, x, X
        unsigned long long v = len == kInt    ? va_arg(ap, unsigned)
                               : len == kLong ? va_arg(ap, unsigned long)
                               : len == kSize ? va_arg(ap, size_t)
                                              : va_arg(ap, unsigned long long);
        char *s = conv == 'u' ? putDecimal(end, v)
                              : putHex(end, v, conv == 'X' ? kUpper : kLower);
        buf.append(s, static_cast<size_t>(end - s));
        break;
      }
    }
  }
  va_end(ap);
  return true;
}

}  // namespace qolog
