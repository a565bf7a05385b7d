// A line under construction: on the stack while it fits, on the heap beyond.
#ifndef QOLOG_OUTPUT_LINE_BUFFER_H_
#define QOLOG_OUTPUT_LINE_BUFFER_H_

#include <stdarg.h>
#include <stddef.h>

namespace qolog {

class LineBuffer {
 public:
  LineBuffer();
  ~LineBuffer();
  LineBuffer(const LineBuffer &) = delete;
  LineBuffer &operator=(const LineBuffer &) = delete;

  const char *data() const { return data_; }
  size_t size() const { return len_; }

  void append(const char *s, size_t n);
  void append(const char *s);
  void appendChar(char c, size_t count = 1);
  // `value` in decimal, right-aligned in `width` columns ("%*ld").
  void appendLong(long value, int width);
  // `s` right-aligned in `width` columns ("%*s").
  void appendRight(const char *s, int width);
  // printf into the buffer; `args` itself is not consumed.
  void appendV(const char *format, va_list args);

 private:
  // Makes room for `extra` more bytes plus a terminator. When memory runs
  // out the buffer keeps its size and later text is cut to what fits.
  size_t reserve(size_t extra);

  static constexpr size_t kStackSize = 4096;
  char *data_;
  size_t cap_;
  size_t len_;
  char stack_[kStackSize];
};

}  // namespace qolog

#endif  // QOLOG_OUTPUT_LINE_BUFFER_H_
