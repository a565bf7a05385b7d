// The log files of one process: for each slot of the configuration's file
// table, the open file, its position and whether its banner is written;
// opening under an exclusive lock with the per-process fallback name,
// rolling into numbered backups, writing, and closing.
// REQUIRES for every member: the caller owns the state (the library holds
// its lock).
#ifndef QOLOG_FILES_LOG_FILES_H_
#define QOLOG_FILES_LOG_FILES_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include "config/trace_cfg.h"
#include "os/os.h"

namespace qolog {

// What the process holds of one file slot.
struct OpenLog {
  uint32_t serial = 0;   // the slot's nSerial this state belongs to
  int fd = -1;           // -1: not open
  // The file's size when opened plus every byte written since: ftell on an
  // append stream would cost a system call. -1: unknown (a failed write, or
  // a file without a position), so the next message reopens.
  int64_t position = 0;
  // The path names the regular file itself: the position counts the bytes
  // written and the file rolls. A device, a pipe or a symbolic link keeps
  // the position it had when opened (0 for /dev/null, -1 where there is
  // none) and never rolls.
  bool rollable = false;
  bool bannerWritten = false;
  // For a relative path, the working directory it was opened in (device and
  // inode of "."): after a chdir the path names another file, which does not
  // mean that this one was deleted.
  uint64_t openedInDev = 0;
  uint64_t openedInIno = 0;
};

class LogFiles {
 public:
  explicit LogFiles(const os::Os &os) : os_(&os) {}

  const os::Os &os() const { return *os_; }
  // The process id, read once; refreshed in a child after fork.
  long pid();
  void refreshPid();

  // The module's slot, opened and rolled as needed: its index, or -1 when
  // the module has no slot in use. The slot may still have no open file.
  int prepare(TraceCfg &cfg, const ModuleCfg &module);
  OpenLog &at(int slot) { return slots_[slot]; }

  // Appends the gather list to the slot's file and advances its position;
  // a failed write marks the position bad so that the next message reopens
  // the file, banner first. Returns false when the write failed.
  bool write(int slot, struct iovec *iov, int count);

  // Closes every open file, keeping the banner flags (a rebuild; slot 0
  // keeps its flag across it).
  void closeAll();
  // Drops what is kept for slots that were freed or taken since: their
  // files are closed, their banners due again.
  void sync(const TraceCfg &cfg);
  // Closes the file of every rollable slot whose path no longer names it
  // (deleted, or renamed away or over from outside), so that the next
  // message reopens the path, banner first. A path that can't be examined
  // for another reason than being absent keeps its file.
  void closeReplaced(const TraceCfg &cfg);
  // In a child after fork: the parent holds the locks of the inherited
  // files. Clears the process tag, puts renamed slots back on their
  // configured path and drops every inherited file without unlocking it, so
  // each file is reopened through the lock.
  void forgetInherited(TraceCfg &cfg);

  // Builds the per-process name of `path` ("dir/" + tag + "-" + file) into
  // `out` (outSize bytes). False, with `out` empty, when it would be longer
  // than kPathMax.
  static bool perProcessName(const char *path, const char *tag, char *out, size_t outSize);

 private:
  // Gives the slot an open, locked file, trying its path and then, once the
  // process tag is set, its per-process path. Without `fallBack` a failure
  // leaves the slot closed instead of setting the process tag.
  void open(TraceCfg &cfg, int slot, bool fallBack = true);
  int openLocked(const char *path, struct stat *held);
  void close(OpenLog &log);
  void roll(TraceCfg &cfg, int slot, const ModuleCfg &module);
  void setProcessTag(TraceCfg &cfg);

  const os::Os *os_;
  long pid_ = -1;
  OpenLog slots_[kMaxFiles];
};

}  // namespace qolog

#endif  // QOLOG_FILES_LOG_FILES_H_
