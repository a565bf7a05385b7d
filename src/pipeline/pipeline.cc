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

// Writes the lines of one batch. The lines bound for one file are laid end
// to end in the state's scratch space and go out in one write(2) (cheaper
// than writev), with a piece per line so that a failed write knows where
// lines end; the copies to standard error are pieces of the same text.
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
  void writeWithDump(int slot, const ModuleCfg &module, const char *line, size_t lineLen,
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

void BatchWriter::writeWithDump(int slot, const ModuleCfg &module, const char *line,
                                size_t lineLen, const Pending &entry) {
  DumpRows &rows = s_.dump;
  rows.begin(entry.dump, entry.dumpLength);
  // A line that leaves the file within its limit can't make the dump's step
  // roll the file: the two then go out in one write, the line ahead of the
  // rows in the dump buffer.
  size_t used = 0;
  if (lineLen <= sizeof(s_.dumpBuf) / 2 &&
      s_.files.fits(slot, static_cast<int64_t>(lineLen), module.nMaxFileSize)) {
    memcpy(s_.dumpBuf, line, lineLen);
    used = lineLen;
  } else {
    // The line alone; one that took the file over its limit makes the dump
    // start the next file.
    struct iovec alone = {const_cast<char *>(line), lineLen};
    if (!s_.files.write(slot, &alone, 1)) return;
    slot = s_.files.prepare(s_.cfg, module);
    if (slot < 0 || !s_.files.isOpen(slot)) return;
  }
  do {
    struct iovec part[2] = {{s_.dumpBuf, used}, {s_.dumpBuf + used, 0}};
    part[1].iov_len = rows.next(s_.dumpBuf + used, sizeof(s_.dumpBuf) - used);
    // After a failed write (a full disk) the rest would be rows without
    // their line.
    if (!s_.files.write(slot, part, 2)) return;
    used = 0;
  } while (!rows.done());
}

void BatchWriter::add(const Pending &entry) {
  TraceCfg &cfg = s_.cfg;
  const char *name;
  ModuleCfg *module = resolveModule(cfg, s_.modules, s_.szModuleName, entry.module, &name);
  if (module == nullptr || !levelPasses(*module, entry.level)) return;
  const LogFile *file = moduleFileSlot(cfg, module);
  if (file == nullptr) return;  // nothing is written, to the file or to stderr
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
  LineBuffer banner;  // rare: at the top of a file
  if (toFile && s_.files.bannerDue(slot)) {
    s_.files.bannerDone(slot);
    char bannerStamp[kTimeBufSize];
    s_.time.format(cfg.nDateFormat, readClock(), bannerStamp);
    appendBanner(banner, name, bannerStamp);
  }
  size_t nameLen = prefixed ? strlen(name) : 0;
  const ThreadIdText::Entry *ids = prefixed ? &s_.ids.get(s_.files.pid(), entry.thread) : nullptr;
  size_t room = banner.size() + (prefixed ? prefixSize(stampLen, nameLen, *ids) : 0) + entry.textLen;
  if (textUsed_ + room > Scratch::kTextSize || filePieces_ == Scratch::kPieces ||
      errPieces_ == Scratch::kPieces) {
    flush();
  }
  // Laid end to end in the scratch space, or, when longer than that, put
  // together in the banner's buffer and written on its own.
  size_t bannerLen = banner.size();
  bool alone = room > Scratch::kTextSize;
  char *text;
  char *end;
  if (alone) {
    end = banner.reserve(room - bannerLen);
    if (end == nullptr) return;  // no memory for a line that long
    text = const_cast<char *>(banner.data());
  } else {
    text = scratch_.text + textUsed_;
    memcpy(text, banner.data(), bannerLen);
    end = text + bannerLen;
  }
  if (prefixed) end = putPrefix(end, stamp, stampLen, name, nameLen, *ids, entry.level);
  memcpy(end, entry.text, entry.textLen);
  size_t size = static_cast<size_t>(end + entry.textLen - text);
  if (!alone) textUsed_ += size;
  if (toFile && dumping) {
    writeWithDump(slot, *module, text, size, entry);
  } else if (toFile) {
    scratch_.file[filePieces_++] = {text, size};
    fileBytes_ += static_cast<int64_t>(size);
    if (alone) flushFile();
  }
  if (toErr) {
    scratch_.err[errPieces_++] = {text + bannerLen, size - bannerLen};
    if (alone) flushErr();
  }
}

}  // namespace

void reloadIfDue(State &state, time_t now) {
  if (!cfgCheckDue(state.watch, now)) return;
  CfgOutcome outcome;
  if (loadChangedCfg(state.files.os(), state.watch, state.cfg, &outcome)) {
    state.files.closeAll();
    state.files.sync(state.cfg);
  }
  state.diag.configuration(outcome, state.watch, state.cfg);
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
