// Interposed file calls that fail on demand; see fault_shim.h.
#include "fault_shim.h"

#include <dlfcn.h>
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

template <typename F>
F next(const char *symbol) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

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

}  // namespace

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
}

int attempts(Call call) { return g_faults[call].seen; }

void beforeLock(void (*hook)()) { g_beforeLock = hook; }

}  // namespace qfault

using qfault::fails;
using qfault::failsOnFd;

extern "C" {

FILE *fopen64(const char *path, const char *mode) {
  static auto real = qfault::next<FILE *(*)(const char *, const char *)>("fopen64");
  if (fails(qfault::kOpen, path)) return nullptr;
  return real(path, mode);
}

int fcntl64(int fd, int cmd, ...) {
  static auto real = qfault::next<int (*)(int, int, ...)>("fcntl64");
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);  // as the C library's own wrapper reads it
  va_end(ap);
  if (cmd == F_SETLK || cmd == F_SETLKW) {
    const struct flock *lock = static_cast<const struct flock *>(arg);
    if (lock->l_type == F_WRLCK && qfault::g_beforeLock != nullptr) {
      void (*hook)() = qfault::g_beforeLock;
      qfault::g_beforeLock = nullptr;
      hook();
    }
    if (lock->l_type == F_WRLCK && failsOnFd(qfault::kLock, fd)) return -1;
  }
  return real(fd, cmd, arg);
}

ssize_t write(int fd, const void *buf, size_t n) {
  static auto real = qfault::next<ssize_t (*)(int, const void *, size_t)>("write");
  if (failsOnFd(qfault::kWrite, fd)) return -1;
  return real(fd, buf, n);
}

int rename(const char *from, const char *to) noexcept {
  static auto real = qfault::next<int (*)(const char *, const char *)>("rename");
  if (fails(qfault::kRename, from)) return -1;
  return real(from, to);
}

int unlink(const char *path) noexcept {
  static auto real = qfault::next<int (*)(const char *)>("unlink");
  if (fails(qfault::kUnlink, path)) return -1;
  return real(path);
}

}  // extern "C"
