// System calls that fail on demand; see fault_os.h.
#include "fault_os.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace qfault {
namespace {

struct Fault {
  bool armed = false;
  int err = 0, times = 0, seen = 0;
  std::string name;
};
Fault g_faults[kCalls];
void (*g_beforeLock)() = nullptr;
const qolog::os::Os &real = qolog::os::system();

// True, with errno set, when this call on `path` must fail.
bool fails(Call call, const char *path) {
  Fault &f = g_faults[call];
  const char *slash = strrchr(path, '/');
  const char *base = slash != nullptr ? slash + 1 : path;
  if (!f.armed || (f.name.empty() ? strstr(base, ".log") == nullptr : f.name != base)) return false;
  ++f.seen;
  if (f.times == 0) return false;
  if (f.times > 0) --f.times;
  errno = f.err;
  return true;
}

bool failsOnFd(Call call, int fd) {
  char target[4096] = {};
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  if (!g_faults[call].armed || readlink(link.c_str(), target, sizeof(target) - 1) < 0) return false;
  if (char *deleted = strstr(target, " (deleted)")) *deleted = '\0';
  return fails(call, target);
}

qolog::os::Os makeFaulty() {
  qolog::os::Os os = real;
  os.openat = [](int dir, const char *path, int flags, mode_t mode) {
    return fails(kOpen, path) ? -1 : real.openat(dir, path, flags, mode);
  };
  os.fcntlLock = [](int fd, int cmd, struct flock *lock) {
    if (lock->l_type == F_WRLCK && g_beforeLock != nullptr) {
      void (*hook)() = g_beforeLock;
      g_beforeLock = nullptr;
      hook();
    }
    return lock->l_type == F_WRLCK && failsOnFd(kLock, fd) ? -1 : real.fcntlLock(fd, cmd, lock);
  };
  // Error 0: the write is cut short (a slow pipe, a signal), to half of
  // its first piece.
  os.write = [](int fd, const void *buf, size_t n) -> ssize_t {
    if (!failsOnFd(kWrite, fd)) return real.write(fd, buf, n);
    return errno == 0 ? real.write(fd, buf, (n + 1) / 2) : -1;
  };
  os.writev = [](int fd, const struct iovec *iov, int count) -> ssize_t {
    if (!failsOnFd(kWrite, fd)) return real.writev(fd, iov, count);
    return errno == 0 ? real.write(fd, iov[0].iov_base, (iov[0].iov_len + 1) / 2) : -1;
  };
  os.renameat = [](int fromDir, const char *from, int toDir, const char *to) {
    return fails(kRename, from) ? -1 : real.renameat(fromDir, from, toDir, to);
  };
  os.unlinkat = [](int dir, const char *path, int flags) {
    return fails(kUnlink, path) ? -1 : real.unlinkat(dir, path, flags);
  };
  return os;
}

}  // namespace

const qolog::os::Os &faultyOs() {
  static const qolog::os::Os os = makeFaulty();
  return os;
}

void inject(Call call, int err, int times, const char *name) {
  g_faults[call] = Fault{true, err, times, 0, name != nullptr ? name : ""};
}

void clear() {
  for (Fault &f : g_faults) f.armed = false;
}

int attempts(Call call) { return g_faults[call].seen; }

void beforeLock(void (*hook)()) { g_beforeLock = hook; }

}  // namespace qfault
