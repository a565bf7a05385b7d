// The real system calls and the helpers every layer uses to make them.
#include "os/os.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace qolog {
namespace os {

namespace {

// open, close, read, write and writev as raw system calls: unlike the C
// library's wrappers they are no cancellation points, so a thread is never
// cancelled inside the library, with its lock held, and no call has to
// switch cancellation off and on again (two atomic operations).
int sysOpenat(int dirFd, const char *path, int flags, mode_t mode) {
  return static_cast<int>(syscall(SYS_openat, dirFd, path, flags, mode));
}
int sysClose(int fd) { return static_cast<int>(syscall(SYS_close, fd)); }
ssize_t sysRead(int fd, void *buf, size_t n) { return syscall(SYS_read, fd, buf, n); }
ssize_t sysWrite(int fd, const void *buf, size_t n) { return syscall(SYS_write, fd, buf, n); }
ssize_t sysWritev(int fd, const struct iovec *iov, int count) {
  return syscall(SYS_writev, fd, iov, count);
}
int sysFcntlLock(int fd, int cmd, struct flock *lock) { return ::fcntl(fd, cmd, lock); }
int sysFcntlInt(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
pid_t sysGetpid() { return ::getpid(); }

const Os kSystem = {sysOpenat,   sysClose,    sysRead,   sysWrite,   sysWritev,
                    ::fstat,     ::fstatat,   sysFcntlLock, sysFcntlInt, ::ftruncate,
                    ::lseek,     ::renameat,  ::unlinkat, sysGetpid};

// The lowest descriptor the library keeps: 0, 1 and 2 belong to the
// standard streams even while they are closed.
constexpr int kFirstFreeFd = 3;

// Runs `call` until it is not interrupted by a signal.
template <typename Call>
auto retry(Call call) -> decltype(call()) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}

int setLock(const Os &os, int fd, short type) {
  struct flock fl;
  memset(&fl, 0, sizeof(fl));
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end of the file, however long it grows
  fl.l_pid = 0;  // must be 0 for an open-file-description lock
#ifdef F_OFD_SETLK
  int rc = retry([&] { return os.fcntlLock(fd, F_OFD_SETLK, &fl); });
  if (rc == 0 || errno != EINVAL) return rc;
  // A kernel without them (before Linux 3.15): classic record locks.
#endif
  return retry([&] { return os.fcntlLock(fd, F_SETLK, &fl); });
}

}  // namespace

const Os &system() { return kSystem; }

int openAt(const Os &os, int dirFd, const char *path, int flags, mode_t mode) {
  int fd = retry([&] { return os.openat(dirFd, path, flags | O_CLOEXEC, mode); });
  if (fd < 0 || fd >= kFirstFreeFd) return fd;
  int moved = os.fcntlInt(fd, F_DUPFD_CLOEXEC, kFirstFreeFd);
  int err = errno;
  os.close(fd);
  errno = err;
  return moved;
}

void closeFd(const Os &os, int fd) {
  if (fd >= 0) os.close(fd);
}

ssize_t readSome(const Os &os, int fd, void *buf, size_t n) {
  return retry([&] { return os.read(fd, buf, n); });
}

int statFd(const Os &os, int fd, struct stat *st) {
  return retry([&] { return os.fstat(fd, st); });
}

int statAt(const Os &os, int dirFd, const char *path, struct stat *st, int flags) {
  return retry([&] { return os.fstatat(dirFd, path, st, flags); });
}

int truncateFd(const Os &os, int fd, off_t size) {
  return retry([&] { return os.ftruncate(fd, size); });
}

off_t seekEnd(const Os &os, int fd) { return os.lseek(fd, 0, SEEK_END); }

int renameAt(const Os &os, int dirFd, const char *from, const char *to) {
  return retry([&] { return os.renameat(dirFd, from, dirFd, to); });
}

int unlinkAt(const Os &os, int dirFd, const char *path) {
  return retry([&] { return os.unlinkat(dirFd, path, 0); });
}

void setBlocking(const Os &os, int fd) {
  int flags = os.fcntlInt(fd, F_GETFL, 0);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
    os.fcntlInt(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
}

size_t writeAll(const Os &os, int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t rc = os.write(fd, p + done, n - done);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (rc == 0) break;
    done += static_cast<size_t>(rc);
  }
  return done;
}

size_t writeAllv(const Os &os, int fd, struct iovec *iov, int count) {
  size_t done = 0;
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    ssize_t rc = os.writev(fd, iov, count);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (rc == 0) break;
    size_t left = static_cast<size_t>(rc);
    done += left;
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char *>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return done;
}

bool lockExclusive(const Os &os, int fd) { return setLock(os, fd, F_WRLCK) == 0; }

void unlock(const Os &os, int fd) { setLock(os, fd, F_UNLCK); }

SigpipeBlock::SigpipeBlock(bool active)
    : active_(active), wasPending_(false), restore_(false), cancelState_(0) {
  if (!active) return;
  // sigtimedwait is a cancellation point.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState_);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigset_t pending;
  // A SIGPIPE already pending for the thread is the caller's: leave it.
  wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  restore_ = pthread_sigmask(SIG_BLOCK, &pipe, &oldMask_) == 0;
}

SigpipeBlock::~SigpipeBlock() {
  if (!active_) return;
  if (!wasPending_) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  if (restore_) pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  pthread_setcancelstate(cancelState_, nullptr);
}

bool isPrivileged() { return getauxval(AT_SECURE) != 0; }

// std::atomic<int> is an int in memory on every platform the kernel's
// futex supports.
static_assert(sizeof(std::atomic<int>) == sizeof(int), "a futex word is an int");

void futexWait(std::atomic<int> *word, int expected) {
  syscall(SYS_futex, reinterpret_cast<int *>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void futexWake(std::atomic<int> *word, int count) {
  syscall(SYS_futex, reinterpret_cast<int *>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
          0);
}

void ForkSign::arm() {
  if (tried_) return;
  tried_ = true;
  void *page = mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return;
#ifdef MADV_WIPEONFORK
  if (madvise(page, static_cast<size_t>(sysconf(_SC_PAGESIZE)), MADV_WIPEONFORK) == 0) {
    page_ = static_cast<volatile char *>(page);
    page_[0] = 1;
    return;
  }
#endif
  munmap(page, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

void ForkSign::disarm() {
  if (page_ == nullptr) return;
  munmap(const_cast<char *>(page_), static_cast<size_t>(sysconf(_SC_PAGESIZE)));
  page_ = nullptr;
}

}  // namespace os
}  // namespace qolog
