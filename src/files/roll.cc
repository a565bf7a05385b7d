// Rolling a slot's file into numbered backups: "path.1" is the newest,
// "path.N" the oldest, N the module's MAXFILEBACKUPS.
#include <stdio.h>
#include <sys/stat.h>

#include "files/log_files.h"

namespace qolog {

namespace {

// Any accepted path, a dot and any backup number.
constexpr size_t kBackupPathSize = kPathSize + 16;

bool backupName(char *out, const char *path, long number) {
  int n = snprintf(out, kBackupPathSize, "%s.%ld", path, number);
  return n > 0 && static_cast<size_t>(n) < kBackupPathSize;
}

// How many of path.1, path.2, ... exist without a gap, up to `cap`. Only
// that run is shifted: a file beyond a gap (an administrator's dated copy,
// backups left by a larger count) is never touched, and a huge count costs
// nothing when few backups exist.
long backupRun(const os::Os &os, const char *path, long cap) {
  char name[kBackupPathSize];
  struct stat st;
  long run = 0;
  while (run < cap && backupName(name, path, run + 1) &&
         os::statAt(os, AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    ++run;
  }
  return run;
}

}  // namespace

// The old file stays open, and locked, until the new one is: a process that
// opens the path meanwhile finds it locked (and takes its own per-process
// file) instead of rolling it a second time under our feet, which would
// rename our new file over the backup holding our lines.
void LogFiles::roll(TraceCfg &cfg, int slot, const ModuleCfg &module) {
  OpenLog &log = slots_[slot];
  OpenLog old = log;
  log.fd = -1;
  const char *path = cfg.asFiles[slot].szName;
  char from[kBackupPathSize];
  char to[kBackupPathSize];
  long backups = module.nMaxFileBackups;
  // Each backup is moved up one place, the oldest beyond the count removed
  // first. The target is removed before each rename, never replaced by it
  // (on ext4 a rename over an existing file forces the renamed file's data
  // out to disk first); a target that the step before moved away needs no
  // remove. Without a "path.1" nothing is shifted: that is also the state
  // after a roll whose last rename failed, and shifting again at each retry
  // would push one more backup out every time.
  long run = backups > 0 ? backupRun(*os_, path, backups) : 0;
  long start = run < backups - 1 ? run : backups - 1;
  bool targetExists = run >= backups;
  for (long k = start; k >= 1; --k) {
    if (!backupName(to, path, k + 1) || !backupName(from, path, k)) continue;
    if (targetExists) os::unlinkAt(*os_, AT_FDCWD, to);
    targetExists = os::renameAt(*os_, AT_FDCWD, from, to) != 0;
  }
  bool moved = false;
  if (backups != 0) {
    if (backupName(to, path, 1)) {
      if (start >= 1 ? targetExists : run >= 1) os::unlinkAt(*os_, AT_FDCWD, to);
      moved = os::renameAt(*os_, AT_FDCWD, path, to) == 0;
    }
  } else {
    moved = os::unlinkAt(*os_, AT_FDCWD, path) == 0;
  }
  // Where that fails (no descriptor left, another process took the new
  // file), or the path still names the old file, the old one is closed
  // first and the file opened as at any other time, per-process fallback
  // included. Closing any descriptor of a file drops this process's lock on
  // it, so a descriptor of the same file must never outlive the old one's
  // close.
  if (moved) open(cfg, slot, false);
  if (log.fd < 0) {
    close(old);
    open(cfg, slot);
  }
  close(old);
  log.bannerWritten = false;
}

}  // namespace qolog
