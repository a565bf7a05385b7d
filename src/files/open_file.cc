// Opening a slot's file: its configured path, else its per-process name;
// one OpenFile per file, locked for as long as it is open.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "files/log_files.h"

namespace qolog {

namespace {

// The directory part of `path` ("." for none, "/" for the root) into `dir`;
// returns the file name part.
const char *splitPath(const char *path, char *dir) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    memcpy(dir, ".", 2);
    return path;
  }
  size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
  memcpy(dir, path, len);
  dir[len] = '\0';
  return slash + 1;
}

// A path directly in /dev (/dev/null, /dev/stderr, /dev/tty, ...) names a
// device or one of the process's own streams, whatever it leads to (standard
// error redirected into a file is still the process's standard error): no
// lock, no per-process name, never a file created there.
bool isDevicePath(const char *path) {
  return strncmp(path, "/dev/", 5) == 0 && strchr(path + 5, '/') == nullptr;
}

bool sameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

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
  int n = snprintf(out, outSize, "%.*s%s-%s", static_cast<int>(dirLen), path, tag, path + dirLen);
  if (n < 0 || static_cast<size_t>(n) >= outSize ||
      static_cast<size_t>(n) > static_cast<size_t>(kPathMax)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

int LogFiles::adopt(const OpenFile &opened) {
  for (int i = 0; i < kMaxFiles; ++i) {
    if (files_[i].fd >= 0) continue;
    files_[i] = opened;
    return i;
  }
  OpenFile spare = opened;  // not reached: a file per slot at most
  closeFile(spare, true);
  errno = EMFILE;
  return -1;
}

int LogFiles::openPath(const char *path, bool exclusive, bool *regular) {
  *regular = true;
  // A privileged process names its files by absolute paths only: whoever
  // picks its working directory must not pick the files it writes.
  if (os::isPrivileged() && path[0] != '/') {
    *regular = false;  // refused: no per-process name either
    errno = EACCES;
    return -1;
  }
  char dir[kPathSize];
  const char *name = splitPath(path, dir);
  failedStep_ = "open";
  int dirFd = os::openAt(*os_, AT_FDCWD, dir, O_PATH | O_DIRECTORY);
  if (dirFd < 0) return -1;
  int index = openIn(dirFd, name, path, exclusive, regular);
  if (isDevicePath(path)) *regular = false;
  return index;
}

int LogFiles::openIn(int dirFd, const char *name, const char *path, bool exclusive,
                     bool *regular) {
  *regular = true;
  // Write-only: a FIFO must not have this process as its own reader, or a
  // full pipe would block for good. Non-blocking for the open only: a FIFO
  // without a reader fails at once (ENXIO) instead of waiting for one. A
  // privileged process does not follow a symbolic link planted in place of
  // its file.
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY;
  if (exclusive) flags |= O_EXCL;
  if (os::isPrivileged()) flags |= O_NOFOLLOW;
  for (int tries = 0; tries < 2; ++tries) {
    failedStep_ = "open";
    int fd = os::openAt(*os_, dirFd, name, flags, 0666);
    struct stat held;
    if (fd < 0 || os::statFd(*os_, fd, &held) != 0) {
      int err = errno;
      struct stat st;
      int follow = os::isPrivileged() ? AT_SYMLINK_NOFOLLOW : 0;
      if (os::statAt(*os_, dirFd, name, &st, follow) == 0 && !S_ISREG(st.st_mode)) {
        *regular = false;  // a device, a FIFO without a reader, a refused link
      }
      os::closeFd(*os_, fd);
      os::closeFd(*os_, dirFd);
      errno = err;
      return -1;
    }
    OpenFile opened;
    memcpy(opened.path, path, strnlen(path, kPathMax) + 1);
    opened.dev = static_cast<uint64_t>(held.st_dev);
    opened.ino = static_cast<uint64_t>(held.st_ino);
    // One OpenFile per file: a second path to a file already open shares
    // it. (Closing the second descriptor drops a classic fcntl lock, which
    // is therefore taken again.)
    for (int i = 0; i < kMaxFiles; ++i) {
      OpenFile &f = files_[i];
      if (f.fd < 0 || f.dev != opened.dev || f.ino != opened.ino) continue;
      os::closeFd(*os_, fd);
      os::closeFd(*os_, dirFd);
      if (f.regular) os::lockExclusive(*os_, f.fd);
      return i;
    }
    if (!S_ISREG(held.st_mode) || isDevicePath(path)) {
      // A device, a pipe, a socket or a terminal: shared by nature, never
      // locked or renamed, written with blocking writes.
      *regular = false;
      os::closeFd(*os_, dirFd);
      os::setBlocking(*os_, fd);
      off_t end = os::seekEnd(*os_, fd);
      opened.fd = fd;
      opened.position = end < 0 ? -1 : static_cast<int64_t>(end);
      return adopt(opened);
    }
    // The lock lives as long as the file is open. fcntl trap: a file opened
    // just before another process rolled it away is locked only once that
    // process has let go of it, and by then the name leads to the new file
    // (held by its roller): look again.
    struct stat named;
    bool renamedMeanwhile = false;
    failedStep_ = "lock";
    bool link = false;
    if (os::lockExclusive(*os_, fd)) {
      if (os::statAt(*os_, dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          (sameFile(named, held) ||
           ((link = S_ISLNK(named.st_mode)) && os::statAt(*os_, dirFd, name, &named) == 0 &&
            sameFile(named, held)))) {
        opened.fd = fd;
        opened.dirFd = dirFd;
        memcpy(opened.name, name, strnlen(name, kPathMax) + 1);
        opened.position = static_cast<int64_t>(held.st_size);
        opened.regular = true;
        opened.rollable = !link;
        return adopt(opened);
      }
      renamedMeanwhile = true;
    }
    int err = errno;
    os::closeFd(*os_, fd);
    if (tries == 1 || !renamedMeanwhile) {
      os::closeFd(*os_, dirFd);
      errno = err;
      return -1;
    }
  }
  return -1;
}

int LogFiles::openUnique(const char *path, const char *tag, char *out) {
  char unique[kPathSize + 32];
  for (int n = 1; n <= 16; ++n) {
    char numbered[kPidSize + 16];
    int len = snprintf(numbered, sizeof(numbered), "%s.%d", tag, n);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(numbered)) return -1;
    if (!perProcessName(path, numbered, unique, sizeof(unique))) return -1;
    bool regular;
    int index = openPath(unique, true, &regular);
    if (index >= 0) {
      memcpy(out, unique, strlen(unique) + 1);
      return index;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool LogFiles::isStream(const char *path) const {
  struct stat st;
  return isDevicePath(path) || (os::statAt(*os_, AT_FDCWD, path, &st) == 0 && !S_ISREG(st.st_mode));
}

void LogFiles::open(TraceCfg &cfg, int slot, bool fallBack) {
  LogFile &file = cfg.asFiles[slot];
  // An empty path never gets a file, creates none and sets no tag.
  if (file.szName[0] == '\0') return;
  char path[kPathSize];
  int index = -1;
  for (int attempt = 0; attempt < 2 && index < 0; ++attempt) {
    path[0] = '\0';
    bool perProcess = cfg.szPid[0] != '\0' && file.nPidRenamed == 0 && !isStream(file.szName);
    if (perProcess) {
      perProcessName(file.szName, cfg.szPid, path, sizeof(path));
    } else if (strlen(file.szName) <= static_cast<size_t>(kPathMax)) {
      memcpy(path, file.szName, strlen(file.szName) + 1);
    }
    if (path[0] == '\0') return;
    bool regular;
    index = openPath(path, false, &regular);
    if (index >= 0) break;
    int err = errno;
    // Not a regular file (a device, a FIFO without a reader): no
    // per-process name, and the process keeps its configured names.
    const char *step = failedStep_;
    if (!regular) {
      report(FileEvent::kOpenFailed, path, step, err);
      return;
    }
    struct stat st;
    if (perProcess && os::statAt(*os_, AT_FDCWD, path, &st) == 0) {
      // Another user's file left under this name by an earlier process with
      // the same id: a name of our own.
      index = openUnique(file.szName, cfg.szPid, path);
      if (index >= 0) break;
    }
    report(FileEvent::kOpenFailed, path, step, err);
    if (cfg.szPid[0] != '\0' || !fallBack) break;
    setProcessTag(cfg);  // first failure of the process: tag set once, for good
  }
  if (index < 0) return;
  attach(slot, index);
  report(FileEvent::kOpened, path, "", 0);
  if (strcmp(path, file.szName) != 0) {
    report(FileEvent::kFallback, file.szName, path, 0);
    renameToPerProcess(file, path);
  }
}

}  // namespace qolog
