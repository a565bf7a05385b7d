// The core writer of message lines. A line is built whole in one buffer
// (banner included) and reaches the file in one write.
#include "output/line_writer.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "config/cfg_loader.h"
#include "files/log_file.h"
#include "files/posix.h"
#include "output/digits.h"
#include "output/fast_format.h"
#include "output/line_buffer.h"
#include "output/timestamp.h"

namespace qolog {

int ST_nCallerErrno = 0;

namespace {

constexpr uint32_t kProcInfo = 32;
constexpr uint32_t kAllLevels = 63;
constexpr size_t kSeparatorLen = 73;

const char *levelTag(uint32_t level) {
  if (level & 1) return "ERR";
  if (level & 2) return "INFO";
  if (level & 4) return "DBG";
  if (level & 8) return "FBEG";
  if (level & 16) return "FEND";
  return "";
}

void appendSeparator(LineBuffer &buf) {
  buf.appendChar('-', kSeparatorLen);
  buf.appendChar('\n');
}

// Separator, "QOLOG 1.0.13.0: Log file 'NAME.LOG' start TIME", separator.
void appendBanner(LineBuffer &buf, const char *name, uint32_t dateFormat) {
  char stamp[kTimeBufSize];
  get_time(dateFormat, stamp, nullptr);
  appendSeparator(buf);
  buf.append(kVersionText);
  buf.append(": Log file '");
  buf.append(name);
  buf.append(".LOG' start ");
  buf.append(stamp);
  buf.appendChar('\n');
  appendSeparator(buf);
}

// "PID=%4ld|TID=%4ld|" of the calling thread. Formatting a thread id of
// fifteen digits costs more than the rest of the prefix, so the text of the
// last few threads is kept (the library's lock serialises all access).
struct IdText {
  long pid;
  pthread_t tid;
  size_t len;
  char text[56];
};
IdText ST_asIdTexts[4];
unsigned ST_nNextIdText = 0;

const IdText &idText() {
  long pid = cachedPid();
  pthread_t tid = pthread_self();
  for (const IdText &t : ST_asIdTexts) {
    if (t.len != 0 && t.pid == pid && pthread_equal(t.tid, tid)) return t;
  }
  IdText &t = ST_asIdTexts[ST_nNextIdText++ % 4];
  char *p = t.text;
  memcpy(p, "PID=", 4);
  p = putPadded(p + 4, pid, 4, ' ');
  memcpy(p, "|TID=", 5);
  p = putPadded(p + 5, static_cast<long>(tid), 4, ' ');
  *p++ = '|';
  t.pid = pid;
  t.tid = tid;
  t.len = static_cast<size_t>(p - t.text);
  return t;
}

// "%s|%s|PID=%4ld|TID=%4ld|%4s|", written in one reservation.
void appendPrefix(LineBuffer &buf, const char *stamp, size_t stampLen,
                  const char *name, uint32_t level) {
  size_t nameLen = strlen(name);
  const IdText &ids = idText();
  char *start = buf.reserve(stampLen + nameLen + ids.len + 8);
  if (start == nullptr) return;
  char *p = start;
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
  buf.commit(static_cast<size_t>(p - start));
}

}  // namespace

ModuleCfg *resolveModule(const char *name, const char **printed) {
  if (name == nullptr) name = ST_szModuleName;
  *printed = name;
  ModuleCfg *m = lookupModule(name);
  if (m == nullptr && ST_sTraceCfg.nEnableTraces == 1) {
    m = lookupModule("DEFAULT");
  }
  return m;
}

bool levelPasses(const ModuleCfg *module, uint32_t level) {
  if ((level & module->nDebugLevel) != level) return false;
  if ((module->nOutput & 3) == 0) return false;
  return (level & kAllLevels) != 0;
}

void va_trace_module(const char *module, uint32_t level, const char *format,
                     va_list args) {
  writeMessage(module, level, format, args, nullptr);
}

void writeMessage(const char *module, uint32_t level, const char *format,
                  va_list args, HeldLine *held) {
  TraceCfg &cfg = ST_sTraceCfg;
  // Whole seconds are all the check needs, and time() is the cheapest read;
  // the precise clock is read only for a line that is written.
  reloadTraceCfg(time(nullptr));

  const char *name;
  ModuleCfg *m = resolveModule(module, &name);
  if (m == nullptr || !levelPasses(m, level)) return;
  holdCancellation();
  LogFile *slot = rollingFiles(cfg, m);
  if (slot == nullptr) return;
  bool toFile = (m->nOutput & 1) != 0 && slot->pStream != nullptr;
  bool toStderr = (m->nOutput & 2) != 0;
  if (!toFile && !toStderr) return;  // the file could not be opened

  // The prefix's time is read before the banner's, as the lines show them.
  char stamp[kTimeBufSize];
  size_t stampLen = 0;
  if (level != kProcInfo && cfg.nDateFormat != 0) {
    stampLen = formatTime(cfg.nDateFormat, readClock(), stamp);
  }

  LineBuffer buf;
  if (toFile && slot->nHeaderWritten == 0) {
    slot->nHeaderWritten = 1;
    appendBanner(buf, name, cfg.nDateFormat);
  }
  size_t lineStart = buf.size();
  if (level != kProcInfo) appendPrefix(buf, stamp, stampLen, name, level);
  if (format != nullptr) {
    if (!fastFormat(buf, format, args)) {
      errno = ST_nCallerErrno;  // for %m
      buf.appendV(format, args);
    }
  }
  buf.appendChar('\n');

  if (toFile) {
    // A line that leaves the file within its limit can't make the caller's
    // next step roll it: the caller may then send it with what follows.
    int64_t after = slot->lnPosition + static_cast<int64_t>(buf.size());
    if (held != nullptr && buf.size() <= held->capacity &&
        slot->nRollable != 0 && slot->lnPosition >= 0 &&
        after <= m->nMaxFileSize) {
      memcpy(held->data, buf.data(), buf.size());
      held->size = buf.size();
      held->slot = slot;
    } else {
      writeToSlot(slot, buf.data(), buf.size());
    }
  }
  if (toStderr) {
    // One write: stderr is unbuffered, so a line formatted piecewise could
    // interleave with other writers of the terminal.
    fwrite(buf.data() + lineStart, 1, buf.size() - lineStart, stderr);
  }
}

}  // namespace qolog
