// The growable line buffer of the message writers: the slow paths.
#include "format/line_buffer.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace qolog {

LineBuffer::~LineBuffer() {
  if (data_ != stack_) free(data_);
}

char *LineBuffer::grow(size_t n) {
  size_t want = len_ + n + 1;
  if (want < len_) return nullptr;  // overflow: nobody formats that much
  size_t grown = cap_ * 2 > want ? cap_ * 2 : want;
  char *bigger = static_cast<char *>(malloc(grown));
  if (bigger == nullptr) return nullptr;
  memcpy(bigger, data_, len_);
  if (data_ != stack_) free(data_);
  data_ = bigger;
  cap_ = grown;
  return data_ + len_;
}

void LineBuffer::appendV(const char *format, va_list args) {
  int savedErrno = errno;  // %m must see the caller's errno both times
  va_list copy;
  va_copy(copy, args);
  size_t room = cap_ - len_;
  int n = vsnprintf(data_ + len_, room, format, copy);
  va_end(copy);
  if (n < 0) return;
  size_t need = static_cast<size_t>(n);
  if (need < room) {
    len_ += need;
    return;
  }
  // Did not fit: grow to the exact size and format again; when memory runs
  // out keep what the first pass wrote.
  if (grow(need) == nullptr) {
    len_ = cap_ - 1;
    return;
  }
  errno = savedErrno;
  va_copy(copy, args);
  vsnprintf(data_ + len_, need + 1, format, copy);
  va_end(copy);
  len_ += need;
}

}  // namespace qolog
