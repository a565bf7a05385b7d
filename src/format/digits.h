// Decimal digits for the hand-made parts of message lines and dumps, where
// printf would cost more than the rest of the line.
#ifndef QOLOG_FORMAT_DIGITS_H_
#define QOLOG_FORMAT_DIGITS_H_

#include <string.h>

namespace qolog {

// Writes `v` in decimal so that it ends at `end`; returns its first digit.
// `end` must have 20 bytes of room before it.
inline char *putDecimal(char *end, unsigned long long v) {
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return end;
}

// Writes `value` in decimal at `p`, padded on the left with `pad` to `width`
// columns ("%*ld" with ' ', "%0*d" with '0'); returns the end.
inline char *putPadded(char *p, long value, int width, char pad) {
  char digits[24];
  char *end = digits + sizeof(digits);
  unsigned long u = value < 0 ? 0UL - static_cast<unsigned long>(value)
                              : static_cast<unsigned long>(value);
  char *d = putDecimal(end, u);
  if (value < 0 && pad == ' ') *--d = '-';
  int n = static_cast<int>(end - d);
  for (; n < width; --width) *p++ = pad;
  memcpy(p, d, static_cast<size_t>(n));
  return p + n;
}

}  // namespace qolog

#endif  // QOLOG_FORMAT_DIGITS_H_
