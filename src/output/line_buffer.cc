// The growable line buffer of the message writers: the slow paths.
#include "output/line_buffer.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace qolog {

namespace {
// The heap buffer of the last long line, kept for the next one so that long
// lines cost no allocation each. Only one LineBuffer lives at a time (under
// the library mutex), so it needs no lock of its own.
char *ST_pSpare = nullptr;
size_t ST_nSpareCap = 0;
constexpr size_t kSpareKeepMax = 1 << 20;  // larger ones go back to the heap
}  // namespace

LineBuffer::~LineBuffer() {
  if (data_ == stack_) return;
  if (cap_ <= kSpareKeepMax && cap_ > ST_nSpareCap) {
    free(ST_pSpare);
    ST_pSpare = data_;
    ST_nSpareCap = cap_;
  } else {
    free(data_);
  }
}

char *LineBuffer::grow(size_t n) {
  size_t want = len_ + n + 1;
  if (want < len_) return nullptr;  // overflow: nobody formats that much
  size_t grown = cap_ * 2 > want ? cap_ * 2 : want;
  char *bigger;
  if (data_ == stack_ && ST_pSpare != nullptr && ST_nSpareCap >= want) {
    bigger = ST_pSpare;
    grown = ST_nSpareCap;
    ST_pSpare = nullptr;
    ST_nSpareCap = 0;
  } else {
    bigger = static_cast<char *>(malloc(grown));
    if (bigger == nullptr) return nullptr;
  }
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
