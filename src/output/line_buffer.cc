// The growable line buffer of the message writers.
#include "output/line_buffer.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace qolog {

LineBuffer::LineBuffer() : data_(stack_), cap_(kStackSize), len_(0) {
  stack_[0] = '\0';
}

LineBuffer::~LineBuffer() {
  if (data_ != stack_) free(data_);
}

size_t LineBuffer::reserve(size_t extra) {
  size_t room = cap_ - len_ - 1;
  if (extra <= room) return extra;
  size_t want = len_ + extra + 1;
  if (want < len_) return room;  // overflow: nobody formats that much
  size_t grown = cap_ * 2 > want ? cap_ * 2 : want;
  char *bigger = static_cast<char *>(malloc(grown));
  if (bigger == nullptr) return room;
  memcpy(bigger, data_, len_ + 1);
  if (data_ != stack_) free(data_);
  data_ = bigger;
  cap_ = grown;
  return extra;
}

void LineBuffer::append(const char *s, size_t n) {
  n = reserve(n);
  memcpy(data_ + len_, s, n);
  len_ += n;
  data_[len_] = '\0';
}

void LineBuffer::append(const char *s) { append(s, strlen(s)); }

void LineBuffer::appendChar(char c, size_t count) {
  count = reserve(count);
  memset(data_ + len_, c, count);
  len_ += count;
  data_[len_] = '\0';
}

void LineBuffer::appendLong(long value, int width) {
  char digits[24];
  char *end = digits + sizeof(digits);
  char *p = end;
  unsigned long u = value < 0 ? 0UL - static_cast<unsigned long>(value)
                              : static_cast<unsigned long>(value);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (value < 0) *--p = '-';
  size_t n = static_cast<size_t>(end - p);
  if (static_cast<size_t>(width) > n) appendChar(' ', width - n);
  append(p, n);
}

void LineBuffer::appendRight(const char *s, int width) {
  size_t n = strlen(s);
  if (static_cast<size_t>(width) > n) appendChar(' ', width - n);
  append(s, n);
}

void LineBuffer::appendV(const char *format, va_list args) {
  int savedErrno = errno;  // %m must see the caller's errno both times
  va_list copy;
  va_copy(copy, args);
  size_t room = cap_ - len_;
  int n = vsnprintf(data_ + len_, room, format, copy);
  va_end(copy);
  if (n < 0) {
    data_[len_] = '\0';
    return;
  }
  size_t need = static_cast<size_t>(n);
  if (need < room) {
    len_ += need;
    return;
  }
  // Did not fit: grow to the exact size and format again.
  size_t got = reserve(need);
  errno = savedErrno;
  va_copy(copy, args);
  vsnprintf(data_ + len_, got + 1, format, copy);
  va_end(copy);
  len_ += got;
  data_[len_] = '\0';
}

}  // namespace qolog
