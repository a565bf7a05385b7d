// The message pipeline. A line is built whole in one buffer (banner
// included) and reaches the file in one write; a dump's first rows go out in
// the same write when the line cannot make the file roll.
#include "pipeline/pipeline.h"

#include <errno.h>
#include <unistd.h>

#include "format/fast_format.h"
#include "format/line_buffer.h"

namespace qolog {

namespace {

void appendText(LineBuffer &buf, const char *format, va_list args, int callerErrno) {
  if (format == nullptr) return;
  if (!fastFormat(buf, format, args)) {
    errno = callerErrno;  // for %m
    buf.appendV(format, args);
  }
}

// The line, then the dump's rows, into the slot's file.
void writeToFile(State &state, int slot, const ModuleCfg &module, const LineBuffer &line,
                 const Message &message) {
  struct iovec iov[2] = {{const_cast<char *>(line.data()), line.size()}, {nullptr, 0}};
  if (message.dump == nullptr || message.dumpLength <= 0) {
    state.files.write(slot, iov, 1);
    return;
  }
  DumpRows &rows = state.dump;
  rows.begin(message.dump, message.dumpLength);
  // A line that leaves the file within its limit can't make the dump's step
  // roll the file: the two then go out in one write.
  if (state.files.fits(slot, static_cast<int64_t>(line.size()), module.nMaxFileSize)) {
    iov[1].iov_base = state.dumpBuf;
    iov[1].iov_len = rows.next(state.dumpBuf, sizeof(state.dumpBuf));
    if (!state.files.write(slot, iov, 2)) return;
  } else {
    // The line alone; one that took the file over its limit makes the dump
    // start the next file.
    if (!state.files.write(slot, iov, 1)) return;
    slot = state.files.prepare(state.cfg, module);
    if (slot < 0 || !state.files.isOpen(slot)) return;
  }
  while (!rows.done()) {
    struct iovec part = {state.dumpBuf, rows.next(state.dumpBuf, sizeof(state.dumpBuf))};
    // After a failed write (a full disk) the rest would be rows without
    // their line.
    if (!state.files.write(slot, &part, 1)) return;
  }
}

}  // namespace

void reloadIfDue(State &state, time_t now) {
  if (!cfgCheckDue(state.watch, now)) return;
  state.cancel.hold();
  if (loadChangedCfg(state.files.os(), state.watch, state.cfg)) {
    state.files.closeAll();
    state.files.sync(state.cfg);
  }
  state.files.closeReplaced();
  scheduleCfgCheck(state.watch, now, state.cfg.nReloadPeriod);
}

void traceMessage(State &state, const Message &message, va_list args) {
  TraceCfg &cfg = state.cfg;
  // Whole seconds are all the check needs, and time() is the cheapest read;
  // the precise clock is read only for a line that is written.
  reloadIfDue(state, time(nullptr));

  const char *name;
  ModuleCfg *module = resolveModule(cfg, state.modules, state.szModuleName, message.module, &name);
  if (module == nullptr || !levelPasses(*module, message.level)) return;
  state.cancel.hold();
  int slot = state.files.prepare(cfg, *module);
  if (slot < 0) return;
  bool toFile = (module->nOutput & QOLOG_OUT_FILE) != 0 && state.files.isOpen(slot);
  bool toStderr = (module->nOutput & QOLOG_OUT_STDERR) != 0;
  if (!toFile && !toStderr) return;  // the file could not be opened

  // The prefix's time is read before the banner's, as the lines show them.
  bool prefixed = message.level != QOLOG_PROCINFO;
  char stamp[kTimeBufSize];
  size_t stampLen = 0;
  if (prefixed && cfg.nDateFormat != QOLOG_DATE_NONE) {
    stampLen = state.time.format(cfg.nDateFormat, readClock(), stamp);
  }
  LineBuffer buf;
  if (toFile && state.files.bannerDue(slot)) {
    state.files.bannerDone(slot);
    char bannerStamp[kTimeBufSize];
    state.time.format(cfg.nDateFormat, readClock(), bannerStamp);
    appendBanner(buf, name, bannerStamp);
  }
  size_t lineStart = buf.size();
  if (prefixed) {
    appendPrefix(buf, stamp, stampLen, name, state.ids.get(state.files.pid()), message.level);
  }
  appendText(buf, message.format, args, state.callerErrno);
  buf.appendChar('\n');

  if (toFile) writeToFile(state, slot, *module, buf, message);
  if (toStderr) {
    // One write, retried whole when a signal interrupts it: a line written
    // piecewise could interleave with other writers of the terminal.
    os::writeAll(state.files.os(), STDERR_FILENO, buf.data() + lineStart, buf.size() - lineStart);
  }
}

}  // namespace qolog
