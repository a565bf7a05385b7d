// Rolling a file into numbered backups: "name.1" is the newest, "name.N"
// the oldest, N the module's MAXFILEBACKUPS. Every step works in the
// directory the file was opened in, on the file held and its own backups.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "files/log_files.h"

namespace qolog {

namespace {

// Any accepted name, a dot and any backup number.
constexpr size_t kBackupNameSize = kPathSize + 16;

bool backupName(char *out, const char *name, long number) {
  int n = snprintf(out, kBackupNameSize, "%s.%ld", name, number);
  return n > 0 && static_cast<size_t>(n) < kBackupNameSize;
}

// How many of name.1, name.2, ... exist without a gap, up to `cap`. Only
// that run is shifted: a file beyond a gap (an administrator's dated copy,
// backups left by a larger count) is never touched, and a huge count costs
// nothing when few backups exist.
long backupRun(const os::Os &os, int dirFd, const char *name, long cap) {
  char backup[kBackupNameSize];
  struct stat st;
  long run = 0;
  while (run < cap && backupName(backup, name, run + 1) &&
         os::statAt(os, dirFd, backup, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    ++run;
  }
  return run;
}

// Moves every backup up one place, the oldest beyond `backups` removed
// first, then the file itself to name.1 (with no backups, removes it).
// Returns true when the file's name is free for a new file.
bool shiftBackups(const os::Os &os, int dirFd, const char *name, long backups) {
  char from[kBackupNameSize];
  char to[kBackupNameSize];
  // The target is removed before each rename, never replaced by it (on
  // ext4 a rename over an existing file forces the renamed file's data out
  // to disk first); a target that the step before moved away needs no
  // remove. Without a "name.1" nothing is shifted: that is also the state
  // after a roll whose last rename failed, and shifting again at each retry
  // would push one more backup out every time.
  long run = backups > 0 ? backupRun(os, dirFd, name, backups) : 0;
  long start = run < backups - 1 ? run : backups - 1;
  bool targetExists = run >= backups;
  for (long k = start; k >= 1; --k) {
    if (!backupName(to, name, k + 1) || !backupName(from, name, k)) continue;
    if (targetExists) os::unlinkAt(os, dirFd, to);
    targetExists = os::renameAt(os, dirFd, from, to) != 0;
  }
  if (backups == 0) return os::unlinkAt(os, dirFd, name) == 0;
  if (!backupName(to, name, 1)) return false;
  if (start >= 1 ? targetExists : run >= 1) os::unlinkAt(os, dirFd, to);
  return os::renameAt(os, dirFd, name, to) == 0;
}

}  // namespace

// The old file stays open, and locked, until the new one is: a process that
// opens the path meanwhile finds it locked (and takes its own per-process
// file) instead of rolling it a second time under our feet, which would
// rename our new file over the backup holding our lines.
void LogFiles::roll(TraceCfg &cfg, int slot, const ModuleCfg &module) {
  int index = slots_[slot].file;
  OpenFile old = files_[index];
  // Only the file held is rolled: when its name leads elsewhere now
  // (replaced from outside since the last check), it is let go and the
  // path opened again, as the reload check would have done.
  struct stat named;
  if (os::statAt(*os_, old.dirFd, old.name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      static_cast<uint64_t>(named.st_dev) != old.dev ||
      static_cast<uint64_t>(named.st_ino) != old.ino) {
    report(FileEvent::kReopened, old.path, "", 0);
    release(index, true);
    open(cfg, slot);
    return;
  }
  // Every slot of the file starts the new file with a banner.
  bool users[kMaxFiles] = {};
  for (int i = 0; i < kMaxFiles; ++i) {
    users[i] = slots_[i].file == index;
    if (users[i]) slots_[i] = OpenLog{slots_[i].serial, -1, false};
  }
  files_[index] = OpenFile();
  bool moved = shiftBackups(*os_, old.dirFd, old.name, module.nMaxFileBackups);
  report(moved ? FileEvent::kRolled : FileEvent::kRollFailed, old.path,
         module.nMaxFileBackups == 0 ? "remove" : "rename", errno);
  // The new file: the same name, or the per-process one once the process
  // tag is set (the slot keeps its directory in the name it is given).
  LogFile &entry = cfg.asFiles[slot];
  char name[kPathSize];
  bool perProcess = cfg.szPid[0] != '\0' && entry.nPidRenamed == 0;
  if (!perProcess || !perProcessName(old.name, cfg.szPid, name, sizeof(name))) {
    memcpy(name, old.name, strlen(old.name) + 1);
    perProcess = false;
  }
  int fresh = -1;
  if (moved) {
    char path[kPathSize];
    size_t dirLen = strlen(old.path) - strlen(old.name);
    if (dirLen + strlen(name) > static_cast<size_t>(kPathMax)) dirLen = 0;
    memcpy(path, old.path, dirLen);
    memcpy(path + dirLen, name, strlen(name) + 1);
    bool regular;
    fresh = openIn(old.dirFd, name, path, false, &regular);
    old.dirFd = -1;  // taken over by openIn
  }
  // Where that fails (no descriptor left, another process took the new
  // file), or the name still leads to the old file, the old one is closed
  // first and the file opened as at any other time, per-process fallback
  // included. With classic fcntl locks, closing any descriptor of a file
  // drops this process's lock on it, so a descriptor of the same file must
  // never outlive the old one's close.
  if (fresh < 0) {
    closeFile(old, true);
    open(cfg, slot);
    return;
  }
  closeFile(old, true);
  if (perProcess) {
    attach(slot, fresh);
    char path[kPathSize];
    if (perProcessName(entry.szName, cfg.szPid, path, sizeof(path))) renameToPerProcess(entry, path);
    return;
  }
  for (int i = 0; i < kMaxFiles; ++i) {
    if (users[i]) attach(i, fresh);
  }
}

}  // namespace qolog
