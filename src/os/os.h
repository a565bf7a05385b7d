// The ground floor: every system call the library makes goes through a table
// of function pointers (Os), so that tests can swap in failing calls, and
// through the helpers below, which retry EINTR (never close) and open every
// descriptor close-on-exec and at 3 or above. None of the calls is a
// cancellation point: a thread is never cancelled inside the library.
#ifndef QOLOG_OS_OS_H_
#define QOLOG_OS_OS_H_

#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>

namespace qolog {
namespace os {

// The system calls, as the kernel interface takes them. A test builds its own
// table (a copy of system() with some entries replaced) and hands it to the
// state it drives; the library's own state uses system().
struct Os {
  int (*openat)(int dirFd, const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void *buf, size_t n);
  ssize_t (*write)(int fd, const void *buf, size_t n);
  ssize_t (*writev)(int fd, const struct iovec *iov, int count);
  int (*fstat)(int fd, struct stat *st);
  int (*fstatat)(int dirFd, const char *path, struct stat *st, int flags);
  // fcntl with a lock description (F_OFD_SETLK, F_SETLK) or an int argument.
  int (*fcntlLock)(int fd, int cmd, struct flock *lock);
  int (*fcntlInt)(int fd, int cmd, int arg);
  int (*ftruncate)(int fd, off_t size);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*renameat)(int fromDir, const char *from, int toDir, const char *to);
  int (*unlinkat)(int dirFd, const char *path, int flags);
  pid_t (*getpid)();
};

const Os &system();

// open(2) relative to `dirFd` (AT_FDCWD for the working directory), with
// O_CLOEXEC added. A descriptor below 3 is moved up: a daemon that closed
// its standard descriptors must not find a log file behind fd 2, where its
// own stderr writes (and a later freopen of stderr) would go.
// Returns the descriptor or -1 with errno set.
int openAt(const Os &os, int dirFd, const char *path, int flags, mode_t mode = 0);
// close is never retried: on Linux the descriptor is gone even after EINTR,
// and a retry could close one another thread just opened.
void closeFd(const Os &os, int fd);
ssize_t readSome(const Os &os, int fd, void *buf, size_t n);
int statFd(const Os &os, int fd, struct stat *st);
// fstatat; `flags` AT_SYMLINK_NOFOLLOW examines a link itself.
int statAt(const Os &os, int dirFd, const char *path, struct stat *st, int flags = 0);
int truncateFd(const Os &os, int fd, off_t size);
off_t seekEnd(const Os &os, int fd);
int renameAt(const Os &os, int dirFd, const char *from, const char *to);
int unlinkAt(const Os &os, int dirFd, const char *path);
// Clears O_NONBLOCK, which a FIFO or a device is opened with.
void setBlocking(const Os &os, int fd);

// Writes all of `n` bytes, retrying EINTR and short writes. Returns the
// bytes written: fewer than `n` after an error (errno tells which).
size_t writeAll(const Os &os, int fd, const void *buf, size_t n);
// The same for a gather list; `iov` is consumed (its entries are advanced).
size_t writeAllv(const Os &os, int fd, struct iovec *iov, int count);

// An exclusive write lock over the whole file, without waiting. Linux's
// open-file-description locks (F_OFD_SETLK) are taken where the kernel has
// them; they conflict with the classic record locks of older processes.
// fcntl traps: a classic lock belongs to the process, so closing ANY
// descriptor of the file drops it (the application reading its own log
// file) and a process never conflicts with itself. An OFD lock belongs to
// the open file description: it survives the close of other descriptors,
// but two descriptions of one file in one process conflict (so the file
// layer keeps one per file), and a child made by fork shares the parent's
// description (so the child closes, never unlocks, what it inherited, and
// the parent unlocks before closing).
bool lockExclusive(const Os &os, int fd);
void unlock(const Os &os, int fd);

// Blocks SIGPIPE for a write to a pipe or socket and consumes the signal the
// write raised, so that a reader going away fails the write (EPIPE) instead
// of killing the caller.
class SigpipeBlock {
 public:
  // Does nothing unless `active`.
  explicit SigpipeBlock(bool active);
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock &) = delete;
  SigpipeBlock &operator=(const SigpipeBlock &) = delete;

 private:
  bool active_;
  bool wasPending_;
  bool restore_;
  int cancelState_;
  sigset_t oldMask_;
};

// Sleeps while `*word` holds `expected` (or until woken, or a signal);
// wakes up to `count` sleepers on `word`. Private to the process; neither
// is a cancellation point.
void futexWait(std::atomic<int> *word, int expected);
void futexWake(std::atomic<int> *word, int count);

// getauxval(AT_SECURE): the process runs with privileges its caller lacks.
bool isPrivileged();

// Tells a child process from its parent without a system call: a page the
// kernel hands to every child zero-filled (MADV_WIPEONFORK, Linux 4.14 and
// later), marked by the process that owns it. Catches children made
// without fork handlers (_Fork, raw clone) too. Where the kernel lacks it,
// isNewProcess() stays false.
// REQUIRES: the library's lock for every member.
class ForkSign {
 public:
  // Maps the page at the first call (later calls do nothing).
  void arm();
  void disarm();
  bool isNewProcess() const { return page_ != nullptr && page_[0] == 0; }
  void mark() {
    if (page_ != nullptr) page_[0] = 1;
  }

 private:
  volatile char *page_ = nullptr;
  bool tried_ = false;
};

}  // namespace os
}  // namespace qolog

#endif  // QOLOG_OS_OS_H_
