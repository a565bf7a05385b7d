// The fixed parts of log lines: the prefix "TIME|MODULE|PID=%4ld|TID=%4ld|TAG|"
// and the banner that opens a file.
#ifndef QOLOG_FORMAT_LINE_TEXT_H_
#define QOLOG_FORMAT_LINE_TEXT_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "format/line_buffer.h"
#include "format/timestamp.h"

namespace qolog {

constexpr char kVersionText[] = "QOLOG 1.0.13.0";

// "PID=%4ld|TID=%4ld|" of a thread. Formatting a thread id of fifteen
// digits costs more than the rest of the prefix, so the text of the last
// few threads is kept. REQUIRES: one caller at a time.
class ThreadIdText {
 public:
  struct Entry {
    long pid;
    pthread_t tid;
    size_t len;
    char text[56];
  };
  const Entry &get(long pid, pthread_t tid);

 private:
  static constexpr unsigned kKept = 16;
  Entry entries_[kKept] = {};
  unsigned last_ = 0;  // the entry found last: most calls repeat it
  unsigned next_ = 0;
};

// "%s|%s|PID=%4ld|TID=%4ld|%4s|" from the timestamp text, the module name,
// the ids and the level's tag, written at `out`, which has room for
// prefixSize() bytes. Returns the end.
inline size_t prefixSize(size_t stampLen, size_t nameLen, const ThreadIdText::Entry &ids) {
  return stampLen + nameLen + ids.len + 8;
}
char *putPrefix(char *out, const char *stamp, size_t stampLen, const char *name, size_t nameLen,
                const ThreadIdText::Entry &ids, uint32_t level);

// Separator, "QOLOG 1.0.13.0: Log file 'NAME.LOG' start TIME", separator.
void appendBanner(LineBuffer &buf, const char *name, const char *stamp);

}  // namespace qolog

#endif  // QOLOG_FORMAT_LINE_TEXT_H_
