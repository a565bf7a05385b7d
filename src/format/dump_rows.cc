// Hexadecimal dump rows, formatted from table lookups.
#include "format/dump_rows.h"

#include <ctype.h>
#include <string.h>

#include "format/digits.h"

namespace qolog {

namespace {

// "%02X" of every byte value, two characters each.
struct HexPairs {
  char text[512];
  constexpr HexPairs() : text() {
    const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
      text[2 * i] = digits[i >> 4];
      text[2 * i + 1] = digits[i & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

// A row of `count` bytes (1 to 20) at `offset`.
size_t formatRow(const unsigned char *bytes, int count, int32_t offset, char *out,
                 const char *shown) {
  // Built in a local array: its stores can't alias the caller's bytes, so
  // the compiler keeps everything in registers.
  char row[kDumpRowMax];
  char *p = row;
  p = putPadded(p, offset, 4, '0');  // "%04d " of a non-negative offset
  *p++ = ' ';
  // Two bytes per group, a space after each group.
  int i = 0;
  for (; i + 1 < count; i += 2) {
    memcpy(p, kHexPairs.text + 2 * bytes[i], 2);
    memcpy(p + 2, kHexPairs.text + 2 * bytes[i + 1], 2);
    p[4] = ' ';
    p += 5;
  }
  if (i < count) {
    memcpy(p, kHexPairs.text + 2 * bytes[i], 2);
    p += 2;
  }
  // " [" right-aligned in (20 - r) * 2 + (21 - r) / 2 + 2 columns, "]\n"
  // in 22 - r: a short row's brackets stand where a full row's do.
  int r = count;
  if (r < kDumpRowBytes) {
    int pad = (kDumpRowBytes - r) * 2 + (kDumpRowBytes + 1 - r) / 2;
    memset(p, ' ', static_cast<size_t>(pad));
    p += pad;
  }
  *p++ = ' ';
  *p++ = '[';
  for (int k = 0; k < count; ++k) p[k] = shown[bytes[k]];
  p += count;
  if (r < kDumpRowBytes) {
    memset(p, ' ', static_cast<size_t>(kDumpRowBytes - r));
    p += kDumpRowBytes - r;
  }
  *p++ = ']';
  *p++ = '\n';
  size_t n = static_cast<size_t>(p - row);
  memcpy(out, row, n);
  return n;
}

// A full row of 20 bytes, the common case, with every loop unrolled.
// `__restrict`: the row's stores can't change the bytes or the tables, so
// nothing is reloaded after each store. Writes up to 16 bytes of the offset
// field, which the caller's room for a row covers.
size_t formatFullRow(const unsigned char *__restrict bytes, const char *__restrict offset,
                     int offsetLen, char *__restrict out, const char *__restrict shown) {
  memcpy(out, offset, 16);
  char *p = out + offsetLen;
  *p++ = ' ';
#pragma GCC unroll 10
  for (int g = 0; g < kDumpRowBytes / 2; ++g) {
    memcpy(p, kHexPairs.text + 2 * bytes[2 * g], 2);
    memcpy(p + 2, kHexPairs.text + 2 * bytes[2 * g + 1], 2);
    p[4] = ' ';
    p += 5;
  }
  p[0] = ' ';
  p[1] = '[';
  p += 2;
#pragma GCC unroll 20
  for (int k = 0; k < kDumpRowBytes; ++k) p[k] = shown[bytes[k]];
  p[kDumpRowBytes] = ']';
  p[kDumpRowBytes + 1] = '\n';
  return static_cast<size_t>(p + kDumpRowBytes + 2 - out);
}

}  // namespace

void DumpRows::OffsetText::reset() {
  memset(text, 0, sizeof(text));
  memcpy(text, "0000", 4);
  len = 4;
}

void DumpRows::OffsetText::advance() {
  int carry = 2;  // 20: two in the tens digit
  for (int i = len - 2; i >= 0 && carry != 0; --i) {
    int d = text[i] - '0' + carry;
    text[i] = static_cast<char>('0' + d % 10);
    carry = d / 10;
  }
  if (carry != 0) {
    memmove(text + 1, text, static_cast<size_t>(len));
    text[0] = static_cast<char>('0' + carry);
    ++len;
  }
}

void DumpRows::refreshShown() {
#if defined(__GLIBC__)
  const void *table = *__ctype_b_loc();
  if (table == shownFor_) return;
  shownFor_ = table;
#endif
  for (int c = 0; c < 256; ++c) shown_[c] = isprint(c) ? static_cast<char>(c) : '.';
}

void DumpRows::begin(const void *bytes, int32_t length) {
  bytes_ = static_cast<const unsigned char *>(bytes);
  length_ = length > 0 ? length : 0;
  pos_ = 0;
  offset_.reset();
  refreshShown();
}

size_t DumpRows::next(char *out, size_t room) {
  size_t used = 0;
  while (pos_ < length_ && room - used >= kDumpRowMax) {
    int count = length_ - pos_ < kDumpRowBytes ? static_cast<int>(length_ - pos_) : kDumpRowBytes;
    used += count == kDumpRowBytes
                ? formatFullRow(bytes_ + pos_, offset_.text, offset_.len, out + used, shown_)
                : formatRow(bytes_ + pos_, count, pos_, out + used, shown_);
    if (pos_ > INT32_MAX - kDumpRowBytes) {
      pos_ = length_;  // last row of a huge buffer
      break;
    }
    pos_ += kDumpRowBytes;
    offset_.advance();
  }
  return used;
}

}  // namespace qolog
