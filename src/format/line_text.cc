// Prefix and banner text.
#include "format/line_text.h"

#include <string.h>

#include "format/digits.h"
#include "qolog.h"

namespace qolog {

namespace {

constexpr size_t kSeparatorLen = 73;

// The tag of the first level bit set, in this order.
const char *levelTag(uint32_t level) {
  if (level & QOLOG_ERROR) return "ERR";
  if (level & QOLOG_INFO) return "INFO";
  if (level & QOLOG_DEBUG) return "DBG";
  if (level & QOLOG_FUNCBEG) return "FBEG";
  if (level & QOLOG_FUNCEND) return "FEND";
  return "";
}

void appendSeparator(LineBuffer &buf) {
  buf.appendChar('-', kSeparatorLen);
  buf.appendChar('\n');
}

}  // namespace

const ThreadIdText::Entry &ThreadIdText::get(long pid, pthread_t tid) {
  for (unsigned n = 0, i = last_; n < kKept; ++n, i = (i + 1) % kKept) {
    const Entry &e = entries_[i];
    if (e.len != 0 && e.pid == pid && pthread_equal(e.tid, tid)) {
      last_ = i;
      return e;
    }
  }
  last_ = next_++ % kKept;
  Entry &e = entries_[last_];
  char *p = e.text;
  memcpy(p, "PID=", 4);
  p = putPadded(p + 4, pid, 4, ' ');
  memcpy(p, "|TID=", 5);
  p = putPadded(p + 5, static_cast<long>(tid), 4, ' ');
  *p++ = '|';
  e.pid = pid;
  e.tid = tid;
  e.len = static_cast<size_t>(p - e.text);
  return e;
}

char *putPrefix(char *out, const char *stamp, size_t stampLen, const char *name, size_t nameLen,
                const ThreadIdText::Entry &ids, uint32_t level) {
  char *p = out;
  memcpy(p, stamp, stampLen);
  p += stampLen;
  *p++ = '|';
  memcpy(p, name, nameLen);
  p += nameLen;
  *p++ = '|';
  memcpy(p, ids.text, ids.len);
  p += ids.len;
  const char *tag = levelTag(level);
  size_t tagLen = strlen(tag);
  for (size_t i = tagLen; i < 4; ++i) *p++ = ' ';
  memcpy(p, tag, tagLen);
  p += tagLen;
  *p++ = '|';
  return p;
}

void appendBanner(LineBuffer &buf, const char *name, const char *stamp) {
  appendSeparator(buf);
  buf.append(kVersionText);
  buf.append(": Log file '");
  buf.append(name);
  buf.append(".LOG' start ");
  buf.append(stamp);
  buf.appendChar('\n');
  appendSeparator(buf);
}

}  // namespace qolog
