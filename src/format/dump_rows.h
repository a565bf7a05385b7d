// Rows of a hexadecimal dump: "%04d " offset, ten groups of two bytes in
// upper-case hex, " [", the bytes as characters, "]" and a line feed.
#ifndef QOLOG_FORMAT_DUMP_ROWS_H_
#define QOLOG_FORMAT_DUMP_ROWS_H_

#include <stddef.h>
#include <stdint.h>

namespace qolog {

constexpr int kDumpRowBytes = 20;
// Room a row needs: at most 85 characters (a ten-digit offset), and at least
// the 16 bytes its offset field is copied with.
constexpr size_t kDumpRowMax = 96;

// Formats the rows of one dump at a time into buffers.
// REQUIRES: one caller at a time.
class DumpRows {
 public:
  // Starts the dump of `length` bytes (length >= 0) at `bytes`.
  void begin(const void *bytes, int32_t length);
  bool done() const { return pos_ >= length_; }
  // Formats as many of the next rows as fit in `room` bytes of `out`;
  // returns the bytes written.
  size_t next(char *out, size_t room);

 private:
  // The "%04d" text of the row offsets, counted up by 20 from one row to
  // the next instead of converted afresh.
  struct OffsetText {
    char text[16];  // 16 readable bytes
    int len;
    void reset();
    void advance();
  };
  void refreshShown();

  const unsigned char *bytes_ = nullptr;
  int32_t length_ = 0;
  int32_t pos_ = 0;
  OffsetText offset_ = {};
  // The character column of every byte value: the byte itself when the
  // current locale's isprint accepts it, else '.'. Rebuilt only when the
  // thread's locale data changes (glibc gives each locale its own ctype
  // table); elsewhere at every dump.
  const void *shownFor_ = nullptr;
  char shown_[256] = {};
};

}  // namespace qolog

#endif  // QOLOG_FORMAT_DUMP_ROWS_H_
