// The direct formatter of common printf conversions.
#include "output/fast_format.h"

#include <stdint.h>
#include <sys/types.h>
#include <string.h>

namespace qolog {

namespace {

enum Length { kInt, kLong, kLongLong, kSize };

// Unsigned value in base 10 or 16 at the end of `end`; returns the start.
char *putUnsigned(char *end, unsigned long long v, unsigned base,
                  const char *digits) {
  do {
    *--end = digits[v % base];
    v /= base;
  } while (v != 0);
  return end;
}

}  // namespace

bool fastFormat(LineBuffer &buf, const char *format, va_list args) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  size_t start = buf.size();
  va_list ap;
  va_copy(ap, args);
  const char *p = format;
  bool ok = true;
  while (ok) {
    const char *pct = strchr(p, '%');
    size_t lit = pct != nullptr ? static_cast<size_t>(pct - p) : strlen(p);
    buf.append(p, lit);
    if (pct == nullptr) break;
    p = pct + 1;
    Length len = kInt;
    if (*p == 'l') {
      ++p;
      len = kLong;
      if (*p == 'l') {
        ++p;
        len = kLongLong;
      }
    } else if (*p == 'z') {
      ++p;
      len = kSize;
    }
    char num[24];
    char *end = num + sizeof(num);
    char conv = *p++;
    switch (conv) {
      case '%':
        if (len != kInt) ok = false;
        else buf.appendChar('%');
        break;
      case 'd':
      case 'i': {
        long long v = len == kInt    ? va_arg(ap, int)
                      : len == kLong ? va_arg(ap, long)
                      : len == kSize ? static_cast<long long>(va_arg(ap, ssize_t))
                                     : va_arg(ap, long long);
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
        char *s = putUnsigned(end, u, 10, kLower);
        if (v < 0) *--s = '-';
        buf.append(s, static_cast<size_t>(end - s));
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = len == kInt    ? va_arg(ap, unsigned)
                               : len == kLong ? va_arg(ap, unsigned long)
                               : len == kSize ? va_arg(ap, size_t)
                                              : va_arg(ap, unsigned long long);
        char *s = putUnsigned(end, v, conv == 'u' ? 10 : 16,
                              conv == 'X' ? kUpper : kLower);
        buf.append(s, static_cast<size_t>(end - s));
        break;
      }
      case 's': {
        if (len != kInt) {
          ok = false;  // %ls: wide strings
          break;
        }
        const char *s = va_arg(ap, const char *);
        buf.append(s != nullptr ? s : "(null)");
        break;
      }
      case 'c':
        if (len != kInt) ok = false;
        else buf.appendChar(static_cast<char>(static_cast<unsigned char>(va_arg(ap, int))));
        break;
      default:
        ok = false;  // flags, width, precision, other conversions, or '\0'
        break;
    }
  }
  va_end(ap);
  if (!ok) buf.truncate(start);
  return ok;
}

}  // namespace qolog
