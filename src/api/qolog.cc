// The exported functions and the one lock that serialises them. Each entry
// point saves the caller's errno, locks, calls one worker, unlocks and
// restores errno; nothing below it takes a lock. Cancellation is held off
// from the first I/O on (State::cancel) until the lock is released.
#include "qolog.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "pipeline/pipeline.h"

namespace qolog {
namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
// The process's state and the sign that tells a child from its parent.
// REQUIRES: mutex held.
State state;
os::ForkSign forkSign;
// True in the thread that runs fork's handlers, from the prepare handler
// (which takes the lock) to the parent or child handler (which releases
// it): an application's own fork handler that logs meanwhile runs in the
// lock that thread already holds instead of waiting for it for good.
thread_local bool inForkHandlers = false;

// While another thread holds the lock it is usually inside one write(2) of
// about a microsecond: waiters spin for a few microseconds before sleeping,
// so that a message does not pay for a futex sleep and wake-up. They poll a
// plain flag, not the mutex, to leave its cache line to the holder. The lock
// keeps its default attributes and guarantees; the flag is only a hint.
std::atomic<int> lockHeld{0};
constexpr long kSpinNanoseconds = 4000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

long elapsedNs(const struct timespec &from) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - from.tv_sec) * 1000000000L + (now.tv_nsec - from.tv_nsec);
}

void lockLibrary() {
  if (pthread_mutex_trylock(&mutex) != 0) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool got = false;
    for (unsigned spin = 1; !got; ++spin) {
      if (lockHeld.load(std::memory_order_relaxed) == 0 &&
          pthread_mutex_trylock(&mutex) == 0) {
        got = true;
      } else if (spin % 32 == 0 && elapsedNs(start) > kSpinNanoseconds) {
        break;
      } else {
        cpuRelax();
      }
    }
    if (!got) pthread_mutex_lock(&mutex);
  }
  lockHeld.store(1, std::memory_order_relaxed);
}

void unlockLibrary() {
  lockHeld.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex);
}

void atforkPrepare() {
  pthread_mutex_lock(&mutex);
  inForkHandlers = true;
}

void atforkParent() {
  inForkHandlers = false;
  pthread_mutex_unlock(&mutex);
}

// The forking thread, the child's only one, holds the lock from
// atforkPrepare. Closing the inherited files at once (close is
// async-signal-safe) keeps the child from holding on to its parent's locks.
void atforkChild() {
  leaveParentFiles(state);
  forkSign.mark();
  inForkHandlers = false;
  lockHeld.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex);
}

// At load, before the application registers fork handlers of its own that
// may log: prepare handlers run in the reverse order of registration, so
// theirs run while the lock is still free.
__attribute__((constructor)) void onLoad() {
  pthread_atfork(atforkPrepare, atforkParent, atforkChild);
  pthread_mutex_lock(&mutex);
  forkSign.arm();
  pthread_mutex_unlock(&mutex);
}

// At unload (dlclose, or the end of the process): the files are closed and
// their locks released. A later call (another thread at exit) opens them
// again, without a new banner.
__attribute__((destructor)) void onUnload() {
  pthread_mutex_lock(&mutex);
  state.files.closeAll();
  forkSign.disarm();
  pthread_mutex_unlock(&mutex);
}

// Holds the library for the lifetime of an entry point.
class Section {
 public:
  Section() : savedErrno_(errno), reentered_(inForkHandlers) {
    if (!reentered_) lockLibrary();
    state.callerErrno = savedErrno_;
    // A child whose fork ran no handlers (_Fork): its files are its parent's.
    if (forkSign.isNewProcess()) {
      leaveParentFiles(state);
      forkSign.mark();
    }
  }
  ~Section() {
    int cancelState;
    bool held = state.cancel.release(&cancelState);
    if (!reentered_) unlockLibrary();
    if (held) pthread_setcancelstate(cancelState, nullptr);
    errno = savedErrno_;
  }
  Section(const Section &) = delete;
  Section &operator=(const Section &) = delete;

 private:
  int savedErrno_;
  bool reentered_;
};

}  // namespace
}  // namespace qolog

using namespace qolog;

extern "C" {

QOLOG_API void qologTrace(uint32_t level, const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  traceMessage(state, Message{nullptr, level, format, nullptr, 0}, args);
  va_end(args);
}

QOLOG_API void qologLog(const char *module, uint32_t level,
                        const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  traceMessage(state, Message{module, level, format, nullptr, 0}, args);
  va_end(args);
}

QOLOG_API void qologTraceBin(uint32_t level, const void *data, int32_t length,
                             const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  Section s;
  va_list args;
  va_start(args, format);
  traceMessage(state, Message{nullptr, level, format, data, length}, args);
  va_end(args);
}

QOLOG_API void qologLogBin(const char *module, uint32_t level,
                           const void *data, int32_t length,
                           const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  Section s;
  va_list args;
  va_start(args, format);
  traceMessage(state, Message{module, level, format, data, length}, args);
  va_end(args);
}

QOLOG_API void qologClose(const char *module) noexcept {
  Section s;
  closeNamedModule(state, module);
}

QOLOG_API void qologSetDate(uint32_t format) noexcept {
  Section s;
  setDateFormat(state, format);
}

QOLOG_API void qologSetFile(const char *path) noexcept {
  Section s;
  setCurrentFile(state, path);
}

QOLOG_API void qologSetOutput(uint32_t output) noexcept {
  Section s;
  setCurrentOutput(state, output);
}

QOLOG_API void qologSetModuleName(const char *name) noexcept {
  Section s;
  setCurrentModuleName(state, name);
}

}  // extern "C"
