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
pthread_once_t atforkOnce = PTHREAD_ONCE_INIT;
bool forked = false;  // set in a child after fork, handled at its next call
// The process's state. REQUIRES: mutex held.
State state;

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

void atforkPrepare() { pthread_mutex_lock(&mutex); }
void atforkParent() { pthread_mutex_unlock(&mutex); }
void atforkChild() {
  // Only async-signal-safe work here; the files are put right at the
  // child's next call, under the lock. The forking thread, the child's only
  // one, holds the lock from atforkPrepare.
  pthread_mutex_unlock(&mutex);
  lockHeld.store(0, std::memory_order_relaxed);
  forked = true;
}

void registerAtfork() {
  pthread_atfork(atforkPrepare, atforkParent, atforkChild);
}

// Holds the library for the lifetime of an entry point.
class Section {
 public:
  Section() : savedErrno_(errno) {
    // Before the lock: a fork between locking and registering would leave
    // the child a lock that nobody releases.
    pthread_once(&atforkOnce, registerAtfork);
    lockLibrary();
    state.callerErrno = savedErrno_;
    if (forked) {
      forked = false;
      leaveParentFiles(state);
    }
  }
  ~Section() {
    int cancelState;
    bool held = state.cancel.release(&cancelState);
    unlockLibrary();
    if (held) pthread_setcancelstate(cancelState, nullptr);
    errno = savedErrno_;
  }
  Section(const Section &) = delete;
  Section &operator=(const Section &) = delete;

 private:
  int savedErrno_;
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
