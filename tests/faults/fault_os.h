// An OS layer that fails on demand: the system calls of the library, each
// passing through to the real one unless a fault armed for it matches the
// file.
#ifndef QOLOG_TESTS_FAULTS_FAULT_OS_H_
#define QOLOG_TESTS_FAULTS_FAULT_OS_H_

#include "os/os.h"

namespace qfault {

enum Call { kOpen, kLock, kWrite, kRename, kUnlink, kCalls };

// The table to give a test's state.
const qolog::os::Os &faultyOs();

// The next `times` calls of `call` on a matching file fail with `err`
// (times < 0: until clear()); a write with `err` 0 writes only part. A file matches when its base name equals
// `name`, or, with `name` null, when its base name contains ".log": the
// test's own files (configuration, stderr.txt) are never hit. rename
// matches on its source, the lock only for a write lock.
void inject(Call call, int err, int times, const char *name = nullptr);
void clear();
// Calls of `call` on matching files since its inject(), failed or not.
int attempts(Call call);

// Runs `hook` once, right before the next write-lock request: what another
// process could do between the library's open and its lock.
void beforeLock(void (*hook)());

}  // namespace qfault

#endif  // QOLOG_TESTS_FAULTS_FAULT_OS_H_
