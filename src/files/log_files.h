// The log files of one process: for each slot of the configuration's file
// table, the file it writes and whether its banner is written there; the
// files themselves, one per file whatever the paths that name it (matched
// by device and inode); opening under an exclusive lock with the
// per-process fallback name, rolling into numbered backups, writing and
// closing.
// REQUIRES for every member: the caller owns the state (the library holds
// its lock).
#ifndef QOLOG_FILES_LOG_FILES_H_
#define QOLOG_FILES_LOG_FILES_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include "config/trace_cfg.h"
#include "os/os.h"

namespace qolog {

// A file this process has open.
struct OpenFile {
  int fd = -1;  // -1: the entry is free
  // The directory the file was opened in and its name there: rolls and the
  // replaced-file check work on them, so a relative path keeps naming the
  // directory it was opened in after a chdir. -1 for what is not a regular
  // file.
  int dirFd = -1;
  char name[kPathSize] = {};
  char path[kPathSize] = {};  // as opened: what problems are told of
  uint64_t dev = 0;
  uint64_t ino = 0;
  // The file's size when opened plus every byte written since: ftell on an
  // append stream would cost a system call. -1: unknown (a failed write, or
  // a file without a position), so the next message reopens.
  int64_t position = 0;
  // A regular file: locked, its position counted, a short write taken back.
  bool regular = false;
  // The path named the regular file itself: it rolls. A symbolic link, a
  // device or a pipe never does (renaming /dev/stderr would replace it).
  bool rollable = false;
  int users = 0;  // slots writing to it
};

// What the process holds of one file slot.
struct OpenLog {
  uint32_t serial = 0;  // the slot's nSerial this state belongs to
  int file = -1;        // index of its OpenFile, -1: none
  bool bannerWritten = false;
  bool writeFailed = false;  // told until a write succeeds again
};

// What the layer tells its reporter (see LogFiles::setReporter): the
// problems it met, and the successes that end them.
enum class FileEvent {
  kOpenFailed,   // `path` could not be opened (detail "open") or locked ("lock")
  kFallback,     // the configured `path` is written under the name `detail`
  kOpened,       // `path` was opened: its open problems are over
  kRollFailed,   // a roll of `path` failed at step `detail`
  kRolled,       // `path` rolled
  kWriteFailed,  // a write to `path` failed (detail "cut short" when it was)
  kWrote,        // `path` was written again after a failure
  kReopened,     // `path` was replaced or deleted from outside: let go
};
struct FileReporter {
  void (*report)(void *context, FileEvent event, const char *path, const char *detail, int err);
  void *context;
};

class LogFiles {
 public:
  explicit LogFiles(const os::Os &os) : os_(&os) {}

  const os::Os &os() const { return *os_; }
  // The process id, read once; refreshed in a child after fork.
  long pid();
  void refreshPid();
  // Problems are told to `reporter` (null: to nobody, at no cost).
  void setReporter(const FileReporter *reporter) { reporter_ = reporter; }

  // The module's slot, opened and rolled as needed: its index, or -1 when
  // the module has no slot in use. The slot may still have no file.
  int prepare(TraceCfg &cfg, const ModuleCfg &module);
  bool isOpen(int slot) const { return slots_[slot].file >= 0; }
  // `bytes` more leave the slot's file within `limit` (or it never rolls).
  bool fits(int slot, int64_t bytes, int64_t limit) const;
  bool bannerDue(int slot) const { return !slots_[slot].bannerWritten; }
  void bannerDone(int slot) { slots_[slot].bannerWritten = true; }

  // Appends the pieces (at most kMaxPieces) to the slot's file and advances
  // its position. After a failed write the lines written whole are kept and
  // a part of one is taken back; the position is marked bad so that the
  // next message reopens the file, banner first. Returns false when the
  // write failed.
  static constexpr int kMaxPieces = 256;
  bool write(int slot, const struct iovec *iov, int count);

  // Closes every file, keeping the banner flags (a rebuild; slot 0 keeps
  // its flag across it; the library being unloaded).
  void closeAll();
  // Drops what is kept for slots that were freed or taken since: their
  // files are let go, their banners due again.
  void sync(const TraceCfg &cfg);
  // Lets go of every regular file whose name no longer leads to it
  // (deleted, or renamed away or over from outside; for a symbolic link,
  // its target), so that the next message reopens the path, banner first. A
  // name that can't be examined for another reason than being absent keeps
  // its file.
  void closeReplaced();
  // In a child after fork: the parent holds the locks of the inherited
  // files. Closes them without unlocking (an open file description shared
  // with the parent keeps its lock), clears the process tag and puts renamed
  // slots back on their configured path, so each file is reopened through
  // the lock.
  void forgetInherited(TraceCfg &cfg);

  // Builds the per-process name of `path` ("dir/" + tag + "-" + file) into
  // `out` (outSize bytes). False, with `out` empty, when it would be longer
  // than kPathMax.
  static bool perProcessName(const char *path, const char *tag, char *out, size_t outSize);

 private:
  // Gives the slot a file, trying its path and then, once the process tag
  // is set, its per-process path. Without `fallBack` a failure leaves the
  // slot without a file instead of setting the process tag.
  void open(TraceCfg &cfg, int slot, bool fallBack = true);
  // Opens `path` as an OpenFile (new, or the one already open for the same
  // file) and returns its index; -1 with errno set when it can't be opened
  // or another process holds its lock. *regular tells whether the path
  // names a regular file (or nothing), so that a failure may fall back to a
  // per-process name. With `exclusive` the file must not exist yet.
  int openPath(const char *path, bool exclusive, bool *regular);
  // The same for `name` in the directory `dirFd`, which it takes over;
  // `path` is how problems name it.
  int openIn(int dirFd, const char *name, const char *path, bool exclusive, bool *regular);
  // A per-process name that cannot collide, "dir/<tag>.<n>-file", created
  // afresh, for when "dir/<tag>-file" exists and can't be had. The path
  // opened goes to `out`.
  int openUnique(const char *path, const char *tag, char *out);
  int adopt(const OpenFile &opened);
  // `path` names a device, a FIFO or the like: never a per-process name.
  bool isStream(const char *path) const;
  void attach(int slot, int file);
  void detach(int slot);
  // Closes the file; its slots keep their flags unless `bannersDue`.
  void release(int file, bool bannersDue);
  void closeFile(OpenFile &file, bool unlock);
  void roll(TraceCfg &cfg, int slot, const ModuleCfg &module);
  void setProcessTag(TraceCfg &cfg);
  void report(FileEvent event, const char *path, const char *detail, int err);

  const os::Os *os_;
  const FileReporter *reporter_ = nullptr;
  const char *failedStep_ = "open";  // of the last openIn that failed
  long pid_ = -1;
  OpenLog slots_[kMaxFiles];
  OpenFile files_[kMaxFiles];
  struct iovec pieces_[kMaxPieces];  // what write() hands to the OS layer
};

}  // namespace qolog

#endif  // QOLOG_FILES_LOG_FILES_H_
