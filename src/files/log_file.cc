// Opening a slot's file under an exclusive fcntl lock, falling back to a
// per-process file name, and rolling files into numbered backups.
#include "files/log_file.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/posix.h"

namespace qolog {

namespace {

// Any accepted path, a dot and any backup number.
constexpr size_t kBackupPathSize = kPathSize + 16;

void setProcessTag(TraceCfg &cfg) {
  int n = snprintf(cfg.szPid, sizeof(cfg.szPid), "%ld", cachedPid());
  if (n < 0 || static_cast<size_t>(n) >= sizeof(cfg.szPid)) cfg.szPid[0] = '\0';
}

// Records the position of a stream just opened from `path` at the end of
// its file: a regular file's size (every write appends), else what seeking
// to the end reports (0 for /dev/null, -1 where there is no position). Only
// a path that is itself the regular file opened may roll: renaming a
// symbolic link such as /dev/stderr, or a device node, would replace it.
// `st` is the stream's fstat.
void seekToEnd(LogFile *slot, const char *path, const struct stat &st) {
  int fd = fileno(slot->pStream);
  struct stat link;
  bool regular = S_ISREG(st.st_mode);
  slot->nRollable = regular && lstat(path, &link) == 0 && S_ISREG(link.st_mode) &&
                    link.st_dev == st.st_dev && link.st_ino == st.st_ino;
  if (regular) {
    slot->lnPosition = static_cast<int64_t>(st.st_size);
  } else {
    off_t end = lseek(fd, 0, SEEK_END);
    slot->lnPosition = end < 0 ? -1 : static_cast<int64_t>(end);
  }
}

bool backupName(char *out, const char *path, long number) {
  int n = snprintf(out, kBackupPathSize, "%s.%ld", path, number);
  return n > 0 && static_cast<size_t>(n) < kBackupPathSize;
}

// Highest N for which "<path>.N" exists in the file's directory (0 for
// none), or -1 when the directory can't be read.
long highestBackup(const char *path) {
  const char *slash = strrchr(path, '/');
  char dir[kPathSize];
  const char *base = path;
  if (slash == nullptr) {
    memcpy(dir, ".", 2);
  } else {
    size_t dirLen = static_cast<size_t>(slash - path);
    if (dirLen == 0) dirLen = 1;  // the root directory
    memcpy(dir, path, dirLen);
    dir[dirLen] = '\0';
    base = slash + 1;
  }
  size_t baseLen = strlen(base);
  DIR *d = opendir(dir);
  if (d == nullptr) return -1;
  long highest = 0;
  while (struct dirent *e = readdir(d)) {
    const char *name = e->d_name;
    if (strncmp(name, base, baseLen) != 0 || name[baseLen] != '.') continue;
    const char *digits = name + baseLen + 1;
    // Only the names the roll itself writes: decimal, no leading zero.
    if (digits[0] < '1' || digits[0] > '9') continue;
    long n = 0;
    const char *p = digits;
    for (; *p >= '0' && *p <= '9'; ++p) {
      int digit = *p - '0';
      if (n > (INT_MAX - digit) / 10) break;  // beyond any backup a roll writes
      n = n * 10 + digit;
    }
    if (*p == '\0' && n > highest) highest = n;
  }
  closedir(d);
  return highest;
}

// First backup number k worth shifting from: backups above the highest one
// present need no remove or rename, so an absurd count costs nothing. Small
// counts are shifted in full, which costs less than reading the directory.
constexpr long kShiftWithoutScan = 16;

long shiftStart(const char *path, long backups) {
  long top = backups - 1;
  if (top <= kShiftWithoutScan) return top;
  long highest = highestBackup(path);
  if (highest < 0) {
    // Unreadable directory: probe upwards; rolls make backups contiguous.
    char name[kBackupPathSize];
    highest = 0;
    while (highest < top && backupName(name, path, highest + 1) &&
           access(name, F_OK) == 0) {
      ++highest;
    }
  }
  return highest < top ? highest : top;
}

// The old file stays open, and locked, until the new one is: a process that
// opens the path meanwhile finds it locked (and takes its own per-process
// file) instead of rolling it a second time under our feet, which would
// rename our new file over the backup holding our lines.
void roll(TraceCfg &cfg, LogFile *slot, const ModuleCfg *module) {
  FILE *old = slot->pStream;
  slot->pStream = nullptr;
  const char *path = slot->szName;
  char from[kBackupPathSize];
  char to[kBackupPathSize];
  long backups = module->nMaxFileBackups;
  // Without a ".1" there is nothing to shift. That is also the state after a
  // roll whose last rename failed (the file itself could not be renamed):
  // shifting again at every retry would push one more backup out each time.
  long start = 0;
  if (backups > 1 && backupName(from, path, 1) && access(from, F_OK) == 0) {
    start = shiftStart(path, backups);
  }
  // The target is removed before each rename, never replaced by it: on
  // ext4 a rename over an existing file forces the renamed file's data out
  // to disk first, which slows every roll down.
  for (long k = start; k >= 1; --k) {
    if (!backupName(to, path, k + 1) || !backupName(from, path, k)) continue;
    removeFile(to);
    renameFile(from, to);
  }
  bool moved = false;
  if (backups != 0) {
    if (backupName(to, path, 1)) {
      removeFile(to);
      moved = renameFile(path, to) == 0;
    }
  } else {
    moved = removeFile(path) == 0;
  }
  // Where that fails (no descriptor left, another process took the new
  // file), or the path still names the old file, the old one is closed
  // first and the file opened as at any other time, per-process fallback
  // included. Closing any descriptor of a file drops this process's lock on
  // it, so a stream on the same file must never outlive the old one's close.
  if (moved) openFileLock(cfg, slot, false);
  if (slot->pStream == nullptr) {
    closeFile(&old);
    openFileLock(cfg, slot);
  }
  closeFile(&old);
  slot->nHeaderWritten = 0;
}

// Opens `path` for appending under an exclusive lock, with the stream's
// fstat in `held`; null when it can't be opened or another process holds it.
FILE *openLocked(const char *path, struct stat *held) {
  for (int tries = 0; tries < 2; ++tries) {
    FILE *stream = openAppendStream(path);
    if (stream == nullptr) return nullptr;
    // The lock lives as long as the stream. A second descriptor of the same
    // file opened and closed anywhere in this process drops it.
    if (!lockFileExclusive(fileno(stream))) {
      fclose(stream);
      return nullptr;
    }
    // A file opened just before another process rolled it away is locked
    // only once that process has let go of it, and by then the path names
    // the new file (held by its roller): look again.
    struct stat named;
    if (fstatFile(fileno(stream), held) == 0 && statPath(path, &named) == 0 &&
        held->st_dev == named.st_dev && held->st_ino == named.st_ino) {
      return stream;
    }
    fclose(stream);
  }
  return nullptr;
}

}  // namespace

bool perProcessName(const char *path, const char *tag, char *out,
                    size_t outSize) {
  out[0] = '\0';
  const char *slash = strrchr(path, '/');
  size_t dirLen = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
  const char *file = path + dirLen;
  int n = snprintf(out, outSize, "%.*s%s-%s", static_cast<int>(dirLen), path,
                   tag, file);
  if (n < 0 || static_cast<size_t>(n) >= outSize ||
      static_cast<size_t>(n) > static_cast<size_t>(kPathMax)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

void openFileLock(TraceCfg &cfg, LogFile *slot, bool fallBack) {
  // An empty path never gets a stream, creates no file and sets no tag.
  if (slot == nullptr || slot->szName[0] == '\0') return;
  char path[kPathSize];
  FILE *stream = nullptr;
  struct stat held;
  for (int attempt = 0; attempt < 2 && stream == nullptr; ++attempt) {
    path[0] = '\0';
    if (cfg.szPid[0] != '\0' && slot->nPidRenamed == 0) {
      perProcessName(slot->szName, cfg.szPid, path, sizeof(path));
    } else if (strlen(slot->szName) <= static_cast<size_t>(kPathMax)) {
      memcpy(path, slot->szName, strlen(slot->szName) + 1);
    }
    if (path[0] == '\0') return;
    stream = openLocked(path, &held);
    if (stream != nullptr || cfg.szPid[0] != '\0' || !fallBack) break;
    setProcessTag(cfg);  // first failure of the process: tag set once, for good
  }
  if (stream == nullptr) return;
  slot->pStream = stream;
  seekToEnd(slot, path, held);
  struct stat cwd;
  bool relative = path[0] != '/' && statPath(".", &cwd) == 0;
  slot->ulOpenedInDev = relative ? static_cast<uint64_t>(cwd.st_dev) : 0;
  slot->ulOpenedInIno = relative ? static_cast<uint64_t>(cwd.st_ino) : 0;
  if (strcmp(path, slot->szName) == 0) return;
  if (strlen(path) > static_cast<size_t>(kPathMax)) return;
  memcpy(slot->szName, path, strlen(path) + 1);
  slot->nPidRenamed = 1;
}

LogFile *rollingFiles(TraceCfg &cfg, const ModuleCfg *module) {
  LogFile *slot = moduleFileSlot(cfg, module);
  if (slot == nullptr) return nullptr;
  if (slot->pStream == nullptr) {
    openFileLock(cfg, slot);
    if (slot->pStream == nullptr) return slot;
  }
  if (slot->lnPosition < 0) {
    // The stream is in error (a failed write, full disk): reopen it, and
    // take the new position without testing it again.
    closeFile(&slot->pStream);
    openFileLock(cfg, slot);
    if (slot->pStream == nullptr) return slot;
  }
  if (slot->nRollable == 0 || slot->lnPosition <= module->nMaxFileSize) {
    return slot;
  }
  roll(cfg, slot, module);
  return slot;
}

bool writeToSlot(LogFile *slot, const char *data, size_t n) {
  if (slot->pStream == nullptr || n == 0) return true;
  int fd = fileno(slot->pStream);
  size_t written = writeAll(fd, data, n);
  if (written == n) {
    if (slot->nRollable != 0 && slot->lnPosition >= 0) {
      slot->lnPosition += static_cast<int64_t>(n);
    }
    return true;
  }
  // A write cut short (a full disk) leaves part of a line that the next line
  // would be glued to: take it back while the file still ends with it.
  if (written > 0 && slot->nRollable != 0 && slot->lnPosition >= 0) {
    struct stat st;
    if (fstatFile(fd, &st) == 0 &&
        static_cast<int64_t>(st.st_size) ==
            slot->lnPosition + static_cast<int64_t>(written)) {
      truncateFd(fd, static_cast<off_t>(slot->lnPosition));
    }
  }
  // The next message reopens the file, and starts with a banner again: this
  // write may have been the one that carried it.
  slot->lnPosition = -1;
  slot->nHeaderWritten = 0;
  return false;
}

void forgetInheritedFiles(TraceCfg &cfg) {
  size_t tagLen = strlen(cfg.szPid);
  for (LogFile &f : cfg.asFiles) {
    if (f.pStream != nullptr) {
      // Not closeFile: an unlock here would be a no-op at best; the parent
      // owns these locks.
      fclose(f.pStream);
      f.pStream = nullptr;
      f.nHeaderWritten = 0;
    }
    if (f.nUsed == 1 && f.nPidRenamed == 1 && tagLen > 0) {
      char *slash = strrchr(f.szName, '/');
      char *file = slash != nullptr ? slash + 1 : f.szName;
      if (strncmp(file, cfg.szPid, tagLen) == 0 && file[tagLen] == '-') {
        memmove(file, file + tagLen + 1, strlen(file + tagLen + 1) + 1);
      }
      f.nPidRenamed = 0;
    }
  }
  cfg.szPid[0] = '\0';
}

}  // namespace qolog
