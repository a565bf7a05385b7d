// The message pipeline: the configuration check, and the writer of batches
// of lines. A batch's lines bound for one file go out in one write, split
// where the file must roll; a dump's first rows go out with its line when
// the line cannot make the file roll.
#include "pipeline/pipeline.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include "format/fast_format.h"
#include "format/line_text.h"

namespace qolog {

namespace {

// Writes the lines of one batch. The pieces of the next write to a file
// (banner, prefix and text of each line) and to standard error (prefix and
// text) are gathered in the state's scratch space.
class BatchWriter {
 public:
  explicit BatchWriter(State &state) : s_(state), scratch_(state.scratch) {}
  ~BatchWriter() { flush(); }
  BatchWriter(const BatchWriter &) = delete;
  BatchWriter &operator=(const BatchWriter &) = delete;

  void add(const Pending &entry);

 private:
  using Scratch = State::Scratch;
  void flush() {
    flushFile();
    flushErr();
    textUsed_ = 0;
  }
  void flushFile();
  void flushErr();
  void writeWithDump(int slot, const ModuleCfg &module, const struct iovec (&line)[2],
                     const Pending &entry);

  State &s_;
  Scratch &scratch_;
  size_t textUsed_ = 0;
  int slot_ = -1;  // of the file pieces
  int filePieces_ = 0;
  int64_t fileBytes_ = 0;
  int errPieces_ = 0;
};

void BatchWriter::flushFile() {
  if (filePieces_ > 0) s_.files.write(slot_, scratch_.file, filePieces_);
  filePieces_ = 0;
  fileBytes_ = 0;
}

void BatchWriter::flushErr() {
  // One write, retried whole when a signal interrupts it: a line written
  // piecewise could interleave with other writers of the terminal.
  if (errPieces_ > 0) os::writeAllv(s_.files.os(), STDERR_FILENO, scratch_.err, errPieces_);
  errPieces_ = 0;
}

void BatchWriter::writeWithDump(int slot, const ModuleCfg &module, const struct iovec (&line)[2],
                                const Pending &entry) {
  struct iovec iov[3] = {line[0], line[1], {s_.dumpBuf, 0}};
  DumpRows &rows = s_.dump;
  rows.begin(entry.dump, entry.dumpLength);
  // A line that leaves the file within its limit can't make the dump's step
  // roll the file: the two then go out in one write.
  if (s_.files.fits(slot, static_cast<int64_t>(line[0].iov_len + line[1].iov_len),
                    module.nMaxFileSize)) {
    iov[2].iov_len = rows.next(s_.dumpBuf, sizeof(s_.dumpBuf));
    if (!s_.files.write(slot, iov, 3)) return;
  } else {
    // The line alone; one that took the file over its limit makes the dump
    // start the next file.
    if (!s_.files.write(slot, iov, 2)) return;
    slot = s_.files.prepare(s_.cfg, module);
    if (slot < 0 || !s_.files.isOpen(slot)) return;
  }
  while (!rows.done()) {
    struct iovec part = {s_.dumpBuf, rows.next(s_.dumpBuf, sizeof(s_.dumpBuf))};
    // After a failed write (a full disk) the rest would be rows without
    // their line.
    if (!s_.files.write(slot, &part, 1)) return;
  }
}

void BatchWriter::add(const Pending &entry) {
  TraceCfg &cfg = s_.cfg;
  const char *name;
  ModuleCfg *module = resolveModule(cfg, s_.modules, s_.szModuleName, entry.module, &name);
  if (module == nullptr || !levelPasses(*module, entry.level)) return;
  const LogFile *file = moduleFileSlot(cfg, module);
  if (file == nullptr) return;  // nothing is written, to the file or to stderr
  s_.cancel.hold();
  int want = static_cast<int>(file - cfg.asFiles);
  bool dumping = entry.dump != nullptr && entry.dumpLength > 0;
  // A line joins the pending write to its file unless the file is due to
  // roll before it, exactly as if every line were written on its own.
  if (filePieces_ == 0 || slot_ != want || dumping || !s_.files.isOpen(want) ||
      !s_.files.fits(want, fileBytes_, module->nMaxFileSize)) {
    flushFile();
    slot_ = s_.files.prepare(cfg, *module);
  }
  int slot = slot_;
  bool toFile = (module->nOutput & QOLOG_OUT_FILE) != 0 && s_.files.isOpen(slot);
  bool toErr = (module->nOutput & QOLOG_OUT_STDERR) != 0;
  if (!toFile && !toErr) return;  // the file could not be opened

  // The prefix's time is read before the banner's, as the lines show them.
  bool prefixed = entry.level != QOLOG_PROCINFO;
  char stamp[kTimeBufSize];
  size_t stampLen = 0;
  if (prefixed && cfg.nDateFormat != QOLOG_DATE_NONE) {
    stampLen = s_.time.format(cfg.nDateFormat, readClock(), stamp);
  }
  LineBuffer head;
  if (toFile && s_.files.bannerDue(slot)) {
    s_.files.bannerDone(slot);
    char bannerStamp[kTimeBufSize];
    s_.time.format(cfg.nDateFormat, readClock(), bannerStamp);
    appendBanner(head, name, bannerStamp);
  }
  size_t bannerLen = head.size();
  if (prefixed) {
    appendPrefix(head, stamp, stampLen, name, s_.ids.get(s_.files.pid(), entry.thread),
                 entry.level);
  }
  if (textUsed_ + head.size() > Scratch::kTextSize || filePieces_ + 2 > Scratch::kPieces ||
      errPieces_ + 2 > Scratch::kPieces) {
    flush();
  }
  // A head too long for the scratch space (a very long module name) is
  // written from its own buffer, on its own.
  const char *text = head.data();
  bool alone = head.size() > Scratch::kTextSize;
  if (!alone) {
    memcpy(scratch_.text + textUsed_, head.data(), head.size());
    text = scratch_.text + textUsed_;
    textUsed_ += head.size();
  }
  const struct iovec line[2] = {{const_cast<char *>(text), head.size()},
                                {const_cast<char *>(entry.text), entry.textLen}};
  if (toFile && (dumping || alone)) {
    if (dumping) {
      writeWithDump(slot, *module, line, entry);
    } else {
      struct iovec copy[2] = {line[0], line[1]};
      s_.files.write(slot, copy, 2);
    }
  } else if (toFile) {
    scratch_.file[filePieces_++] = line[0];
    scratch_.file[filePieces_++] = line[1];
    fileBytes_ += static_cast<int64_t>(line[0].iov_len + line[1].iov_len);
  }
  if (toErr) {
    scratch_.err[errPieces_++] = {const_cast<char *>(text + bannerLen), head.size() - bannerLen};
    scratch_.err[errPieces_++] = line[1];
    if (alone) flushErr();
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

void formatText(LineBuffer &buf, const char *format, va_list args) {
  if (format != nullptr && !fastFormat(buf, format, args)) buf.appendV(format, args);
  buf.appendChar('\n');
}

void writeBatch(State &state, Pending *batch) {
  BatchWriter writer(state);
  for (; batch != nullptr; batch = batch->next) writer.add(*batch);
}

void traceMessage(State &state, const Message &message, va_list args) {
  // Whole seconds are all the check needs, and time() is the cheapest read;
  // the precise clock is read only for a line that is written.
  reloadIfDue(state, time(nullptr));
  LineBuffer text;
  formatText(text, message.format, args);
  Pending entry;
  entry.module = message.module;
  entry.level = message.level;
  entry.thread = pthread_self();
  entry.text = text.data();
  entry.textLen = text.size();
  entry.dump = message.dump;
  entry.dumpLength = message.dumpLength;
  writeBatch(state, &entry);
}

}  // namespace qolog
