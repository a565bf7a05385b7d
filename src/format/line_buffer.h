// A line under construction: on the stack while it fits, on the heap beyond.
#ifndef QOLOG_FORMAT_LINE_BUFFER_H_
#define QOLOG_FORMAT_LINE_BUFFER_H_

#include <stdarg.h>
#include <stddef.h>
#include <string.h>

namespace qolog {

class LineBuffer {
 public:
  LineBuffer() : data_(stack_), cap_(kStackSize), len_(0) {}
  ~LineBuffer();
  LineBuffer(const LineBuffer &) = delete;
  LineBuffer &operator=(const LineBuffer &) = delete;

  const char *data() const { return data_; }
  size_t size() const { return len_; }

  // Room for `n` more bytes: a pointer to write them at, then commit() the
  // count written. Null when memory for a long line runs out.
  char *reserve(size_t n) {
    return n < cap_ - len_ ? data_ + len_ : grow(n);
  }
  void commit(size_t n) { len_ += n; }
  void truncate(size_t n) {
    if (n < len_) len_ = n;
  }

  void append(const char *s, size_t n) {
    if (char *p = reserve(n)) {
      memcpy(p, s, n);
      len_ += n;
    }
  }
  void append(const char *s) { append(s, strlen(s)); }
  void appendChar(char c, size_t count = 1) {
    if (char *p = reserve(count)) {
      memset(p, c, count);
      len_ += count;
    }
  }
  // printf into the buffer; `args` itself is not consumed. A text longer
  // than the memory available is cut to what fits.
  void appendV(const char *format, va_list args);

 private:
  char *grow(size_t n);

  static constexpr size_t kStackSize = 4096;
  char *data_;
  size_t cap_;
  size_t len_;
  char stack_[kStackSize];
};

}  // namespace qolog

#endif  // QOLOG_FORMAT_LINE_BUFFER_H_
