// Thin wrappers over the POSIX calls the library makes: each retries EINTR
// where the call can be interrupted (never close) and reports plainly.
#ifndef QOLOG_FILES_POSIX_H_
#define QOLOG_FILES_POSIX_H_

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace qolog {

// Opens `path` read-only and close-on-exec, without blocking on a FIFO.
// Returns the descriptor or -1.
int openForRead(const char *path);
int fstatFile(int fd, struct stat *st);
// stat(2) of `path`, following symbolic links.
int statPath(const char *path, struct stat *st);
// Reads up to `n` bytes; returns the count, 0 at end of file, -1 on error.
ssize_t readSome(int fd, void *buf, size_t n);
void closeFd(int fd);

// Opens `path` for appending with reading ("a+"), close-on-exec. Null on error.
FILE *openAppendStream(const char *path);

// Exclusive write lock over the whole file, without waiting. fcntl record
// locks belong to the process, not the descriptor: closing ANY descriptor of
// the file drops the lock, and a process never conflicts with its own lock
// (two slots naming one file by different paths both get it).
bool lockFileExclusive(int fd);
void unlockFile(int fd);

// Writes all of `n` bytes with one write(2) in the normal case; retries
// short writes and EINTR. Returns the bytes written: fewer than `n` after an
// error.
size_t writeAll(int fd, const void *buf, size_t n);

// ftruncate, retried on EINTR.
int truncateFd(int fd, off_t size);

int removeFile(const char *path);
int renameFile(const char *from, const char *to);

// Holds off thread cancellation for the rest of the current entry point.
// Called before any work that can reach a cancellation point (open, read,
// write, close): a thread cancelled there would leave the library's lock
// held for good. Messages that are filtered out never reach I/O and so never
// pay for it. REQUIRES: the library mutex is held.
void holdCancellation();
// Ends the hold; returns true with the state to restore once the mutex is
// released. REQUIRES: the library mutex is held.
bool releaseCancellationHold(int *oldState);

// The process id, cached; refreshed in a child after fork.
long cachedPid();
void refreshCachedPid();

}  // namespace qolog

#endif  // QOLOG_FILES_POSIX_H_
