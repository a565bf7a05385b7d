// POSIX call wrappers with EINTR handling and the cached process id.
#include "files/posix.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace qolog {

int openForRead(const char *path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int fstatFile(int fd, struct stat *st) {
  int rc;
  do {
    rc = fstat(fd, st);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int statPath(const char *path, struct stat *st) {
  int rc;
  do {
    rc = stat(path, st);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

ssize_t readSome(int fd, void *buf, size_t n) {
  ssize_t rc;
  do {
    rc = read(fd, buf, n);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// close is never retried: on Linux the descriptor is gone even after EINTR,
// and a retry could close a descriptor another thread just opened.
void closeFd(int fd) { close(fd); }

FILE *openAppendStream(const char *path) {
  FILE *f;
  do {
    f = fopen(path, "a+e");  // 'e': O_CLOEXEC, so exec'd programs never inherit it
  } while (f == nullptr && errno == EINTR);
  return f;
}

static int setLock(int fd, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end of the file, however long it grows
  fl.l_pid = 0;
  int rc;
  do {
    rc = fcntl(fd, F_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool lockFileExclusive(int fd) { return setLock(fd, F_WRLCK) == 0; }

void unlockFile(int fd) { setLock(fd, F_UNLCK); }

size_t writeAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t rc = write(fd, p + done, n - done);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (rc == 0) break;
    done += static_cast<size_t>(rc);
  }
  return done;
}

int truncateFd(int fd, off_t size) {
  int rc;
  do {
    rc = ftruncate(fd, size);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int removeFile(const char *path) {
  int rc;
  do {
    rc = unlink(path);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int renameFile(const char *from, const char *to) {
  int rc;
  do {
    rc = rename(from, to);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

static int ST_nCancelHeld = 0;
static int ST_nCancelOldState = 0;

void holdCancellation() {
  if (ST_nCancelHeld != 0) return;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ST_nCancelOldState);
  ST_nCancelHeld = 1;
}

bool releaseCancellationHold(int *oldState) {
  if (ST_nCancelHeld == 0) return false;
  ST_nCancelHeld = 0;
  *oldState = ST_nCancelOldState;
  return true;
}

static long ST_lnPid = -1;

long cachedPid() {
  if (ST_lnPid < 0) ST_lnPid = static_cast<long>(getpid());
  return ST_lnPid;
}

void refreshCachedPid() { ST_lnPid = static_cast<long>(getpid()); }

}  // namespace qolog
