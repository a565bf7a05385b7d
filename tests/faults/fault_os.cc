// System calls that fail on demand; see fault_os.h.
#include "fault_os.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace qfault {
namespace {

struct Fault {
  bool armed;
  int err;
  int times;
  int seen;
  char name[256];
};
Fault g_faults[kCalls];
void (*g_beforeLock)() = nullptr;
void (*g_beforeRename)() = nullptr;
int g_shortWrites = 0;

bool nameMatches(const Fault &f, const char *path) {
  const char *slash = strrchr(path, '/');
  const char *base = slash != nullptr ? slash + 1 : path;
  return f.name[0] != '\0' ? strcmp(base, f.name) == 0 : strstr(base, ".log") != nullptr;
}

// True, with errno set, when this call must fail.
bool fails(Call call, const char *path) {
  Fault &f = g_faults[call];
  if (!f.armed || path == nullptr || !nameMatches(f, path)) return false;
  ++f.seen;
  if (f.times == 0) return false;
  if (f.times > 0) --f.times;
  errno = f.err;
  return true;
}

bool failsOnFd(Call call, int fd) {
  if (!g_faults[call].armed) return false;
  if (fd == 2 && strcmp(g_faults[call].name, "stderr") == 0) return fails(call, "stderr");
  char link[64];
  char target[4096];
  int n = snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(link)) return false;
  ssize_t len = readlink(link, target, sizeof(target) - 1);
  if (len < 0) return false;
  target[len] = '\0';
  char *deleted = strstr(target, " (deleted)");
  if (deleted != nullptr) *deleted = '\0';
  return fails(call, target);
}

// The table's entries: the real call unless a fault hits.
int openat(int dir, const char *path, int flags, mode_t mode) {
  if (fails(kOpen, path)) return -1;
  return qolog::os::system().openat(dir, path, flags, mode);
}

int fcntlLock(int fd, int cmd, struct flock *lock) {
  if (lock->l_type == F_WRLCK && g_beforeLock != nullptr) {
    void (*hook)() = g_beforeLock;
    g_beforeLock = nullptr;
    hook();
  }
  if (lock->l_type == F_WRLCK && failsOnFd(kLock, fd)) return -1;
  return qolog::os::system().fcntlLock(fd, cmd, lock);
}

ssize_t write(int fd, const void *buf, size_t n) {
  if (g_shortWrites > 0 && n > 1 && fd != 2) {
    --g_shortWrites;
    return qolog::os::system().write(fd, buf, n / 2);
  }
  if (failsOnFd(kWrite, fd)) return -1;
  return qolog::os::system().write(fd, buf, n);
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
  if (g_shortWrites > 0 && count > 0 && fd != 2) return write(fd, iov[0].iov_base, iov[0].iov_len);
  if (failsOnFd(kWrite, fd)) return -1;
  return qolog::os::system().writev(fd, iov, count);
}

int renameat(int fromDir, const char *from, int toDir, const char *to) {
  if (g_beforeRename != nullptr) {
    void (*hook)() = g_beforeRename;
    g_beforeRename = nullptr;
    hook();
  }
  if (fails(kRename, from)) return -1;
  return qolog::os::system().renameat(fromDir, from, toDir, to);
}

int unlinkat(int dir, const char *path, int flags) {
  if (fails(kUnlink, path)) return -1;
  return qolog::os::system().unlinkat(dir, path, flags);
}

qolog::os::Os makeFaulty() {
  qolog::os::Os os = qolog::os::system();
  os.openat = openat;
  os.fcntlLock = fcntlLock;
  os.write = write;
  os.writev = writev;
  os.renameat = renameat;
  os.unlinkat = unlinkat;
  return os;
}

}  // namespace

const qolog::os::Os &faultyOs() {
  static const qolog::os::Os os = makeFaulty();
  return os;
}

void inject(Call call, int err, int times, const char *name) {
  Fault &f = g_faults[call];
  f.err = err;
  f.times = times;
  f.seen = 0;
  int n = snprintf(f.name, sizeof(f.name), "%s", name != nullptr ? name : "");
  if (n < 0 || static_cast<size_t>(n) >= sizeof(f.name)) f.name[0] = '\0';
  f.armed = true;
}

void clear() {
  for (Fault &f : g_faults) f.armed = false;
  g_shortWrites = 0;
}

int attempts(Call call) { return g_faults[call].seen; }

void beforeLock(void (*hook)()) { g_beforeLock = hook; }
void beforeRename(void (*hook)()) { g_beforeRename = hook; }
void shortWrites(int times) { g_shortWrites = times; }

}  // namespace qfault
