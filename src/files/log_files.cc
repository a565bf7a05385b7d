// Opening a slot's file under an exclusive lock, falling back to a
// per-process file name; writing with the position kept; closing.
#include "files/log_files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace qolog {

long LogFiles::pid() {
  if (pid_ < 0) pid_ = static_cast<long>(os_->getpid());
  return pid_;
}

void LogFiles::refreshPid() { pid_ = static_cast<long>(os_->getpid()); }

void LogFiles::setProcessTag(TraceCfg &cfg) {
  int n = snprintf(cfg.szPid, sizeof(cfg.szPid), "%ld", pid());
  if (n < 0 || static_cast<size_t>(n) >= sizeof(cfg.szPid)) cfg.szPid[0] = '\0';
}

bool LogFiles::perProcessName(const char *path, const char *tag, char *out, size_t outSize) {
  out[0] = '\0';
  const char *slash = strrchr(path, '/');
  size_t dirLen = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
  const char *file = path + dirLen;
  int n = snprintf(out, outSize, "%.*s%s-%s", static_cast<int>(dirLen), path, tag, file);
  if (n < 0 || static_cast<size_t>(n) >= outSize ||
      static_cast<size_t>(n) > static_cast<size_t>(kPathMax)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

// Opens `path` for appending under an exclusive lock, with the file's fstat
// in `held`; -1 when it can't be opened or another process holds it.
int LogFiles::openLocked(const char *path, struct stat *held) {
  for (int tries = 0; tries < 2; ++tries) {
    int fd = os::openAt(*os_, AT_FDCWD, path, O_RDWR | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return -1;
    // The lock lives as long as the descriptor. A second descriptor of the
    // same file opened and closed anywhere in this process drops it.
    if (!os::lockExclusive(*os_, fd)) {
      os::closeFd(*os_, fd);
      return -1;
    }
    // A file opened just before another process rolled it away is locked
    // only once that process has let go of it, and by then the path names
    // the new file (held by its roller): look again.
    struct stat named;
    if (os::statFd(*os_, fd, held) == 0 && os::statAt(*os_, AT_FDCWD, path, &named) == 0 &&
        held->st_dev == named.st_dev && held->st_ino == named.st_ino) {
      return fd;
    }
    os::closeFd(*os_, fd);
  }
  return -1;
}

void LogFiles::open(TraceCfg &cfg, int slot, bool fallBack) {
  LogFile &file = cfg.asFiles[slot];
  OpenLog &log = slots_[slot];
  // An empty path never gets a file, creates none and sets no tag.
  if (file.szName[0] == '\0') return;
  char path[kPathSize];
  int fd = -1;
  struct stat held;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    path[0] = '\0';
    if (cfg.szPid[0] != '\0' && file.nPidRenamed == 0) {
      perProcessName(file.szName, cfg.szPid, path, sizeof(path));
    } else if (strlen(file.szName) <= static_cast<size_t>(kPathMax)) {
      memcpy(path, file.szName, strlen(file.szName) + 1);
    }
    if (path[0] == '\0') return;
    fd = openLocked(path, &held);
    if (fd >= 0 || cfg.szPid[0] != '\0' || !fallBack) break;
    setProcessTag(cfg);  // first failure of the process: tag set once, for good
  }
  if (fd < 0) return;
  log.fd = fd;
  // A regular file's position is its size (every write appends); anything
  // else keeps what seeking to its end reports (0 for /dev/null, -1 where
  // there is none). Only a path that is itself the regular file opened may
  // roll: renaming a symbolic link such as /dev/stderr, or a device node,
  // would replace it.
  struct stat link;
  bool regular = S_ISREG(held.st_mode);
  log.rollable = regular && os::statAt(*os_, AT_FDCWD, path, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISREG(link.st_mode) && link.st_dev == held.st_dev &&
                 link.st_ino == held.st_ino;
  if (regular) {
    log.position = static_cast<int64_t>(held.st_size);
  } else {
    off_t end = os::seekEnd(*os_, fd);
    log.position = end < 0 ? -1 : static_cast<int64_t>(end);
  }
  struct stat cwd;
  bool relative = path[0] != '/' && os::statAt(*os_, AT_FDCWD, ".", &cwd) == 0;
  log.openedInDev = relative ? static_cast<uint64_t>(cwd.st_dev) : 0;
  log.openedInIno = relative ? static_cast<uint64_t>(cwd.st_ino) : 0;
  if (strcmp(path, file.szName) != 0) renameToPerProcess(file, path);
}

void LogFiles::close(OpenLog &log) {
  if (log.fd < 0) return;
  // Unlocking before the close is explicit; closing the descriptor would
  // drop the process's lock anyway.
  os::unlock(*os_, log.fd);
  os::closeFd(*os_, log.fd);
  log.fd = -1;
}

int LogFiles::prepare(TraceCfg &cfg, const ModuleCfg &module) {
  LogFile *file = moduleFileSlot(cfg, &module);
  if (file == nullptr) return -1;
  int slot = static_cast<int>(file - cfg.asFiles);
  OpenLog &log = slots_[slot];
  if (log.serial != file->nSerial) sync(cfg);
  if (log.fd < 0) {
    open(cfg, slot);
    if (log.fd < 0) return slot;
  }
  if (log.position < 0) {
    // The file is in error (a failed write, a full disk): reopen it, and
    // take the new position without testing it again.
    close(log);
    open(cfg, slot);
    if (log.fd < 0) return slot;
  }
  if (log.rollable && log.position > module.nMaxFileSize) roll(cfg, slot, module);
  return slot;
}

bool LogFiles::write(int slot, struct iovec *iov, int count) {
  OpenLog &log = slots_[slot];
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  if (log.fd < 0 || total == 0) return true;
  size_t written = os::writeAllv(*os_, log.fd, iov, count);
  if (written == total) {
    if (log.rollable && log.position >= 0) log.position += static_cast<int64_t>(total);
    return true;
  }
  // A write cut short (a full disk) leaves part of a line that the next line
  // would be glued to: take it back while the file still ends with it.
  if (written > 0 && log.rollable && log.position >= 0) {
    struct stat st;
    if (os::statFd(*os_, log.fd, &st) == 0 &&
        static_cast<int64_t>(st.st_size) == log.position + static_cast<int64_t>(written)) {
      os::truncateFd(*os_, log.fd, static_cast<off_t>(log.position));
    }
  }
  // The next message reopens the file, and starts with a banner again: this
  // write may have been the one that carried it.
  log.position = -1;
  log.bannerWritten = false;
  return false;
}

void LogFiles::closeAll() {
  for (OpenLog &log : slots_) close(log);
}

void LogFiles::sync(const TraceCfg &cfg) {
  for (int i = 0; i < kMaxFiles; ++i) {
    OpenLog &log = slots_[i];
    if (log.serial == cfg.asFiles[i].nSerial) continue;
    close(log);
    log = OpenLog();
    log.serial = cfg.asFiles[i].nSerial;
  }
}

void LogFiles::closeReplaced(const TraceCfg &cfg) {
  for (int i = 0; i < kMaxFiles; ++i) {
    OpenLog &log = slots_[i];
    const LogFile &file = cfg.asFiles[i];
    // Only a path that was the regular file itself can be compared: devices,
    // pipes and links are left alone.
    if (file.nUsed != 1 || log.fd < 0 || !log.rollable) continue;
    if (file.szName[0] != '/') {
      // A relative path is looked at only from the directory it was opened in.
      struct stat cwd;
      if (os::statAt(*os_, AT_FDCWD, ".", &cwd) != 0 ||
          static_cast<uint64_t>(cwd.st_dev) != log.openedInDev ||
          static_cast<uint64_t>(cwd.st_ino) != log.openedInIno) {
        continue;
      }
    }
    struct stat held;
    struct stat named;
    if (os::statFd(*os_, log.fd, &held) != 0) continue;
    if (os::statAt(*os_, AT_FDCWD, file.szName, &named) == 0) {
      if (named.st_dev == held.st_dev && named.st_ino == held.st_ino) continue;
    } else if (errno != ENOENT && errno != ENOTDIR) {
      continue;
    }
    close(log);
    log.bannerWritten = false;
  }
}

void LogFiles::forgetInherited(TraceCfg &cfg) {
  size_t tagLen = strlen(cfg.szPid);
  for (int i = 0; i < kMaxFiles; ++i) {
    OpenLog &log = slots_[i];
    LogFile &file = cfg.asFiles[i];
    if (log.fd >= 0) {
      // Not close(): an unlock here would be a no-op at best; the parent
      // owns these locks.
      os::closeFd(*os_, log.fd);
      log.fd = -1;
      log.bannerWritten = false;
    }
    if (file.nUsed == 1 && file.nPidRenamed == 1 && tagLen > 0) {
      char *slash = strrchr(file.szName, '/');
      char *name = slash != nullptr ? slash + 1 : file.szName;
      if (strncmp(name, cfg.szPid, tagLen) == 0 && name[tagLen] == '-') {
        memmove(name, name + tagLen + 1, strlen(name + tagLen + 1) + 1);
      }
      file.nPidRenamed = 0;
    }
  }
  cfg.szPid[0] = '\0';
}

}  // namespace qolog
