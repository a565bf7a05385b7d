// The exported functions and the one lock that serialises them. Each entry
// point saves the caller's errno, locks, calls one worker, unlocks and
// restores errno; nothing below it takes a lock. Cancellation is held off
// from the first I/O on (holdCancellation) until the lock is released.
#include "qolog.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "config/trace_cfg.h"
#include "files/log_file.h"
#include "files/posix.h"
#include "output/hex_dump.h"
#include "output/line_writer.h"

namespace qolog {
namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t ST_sAtforkOnce = PTHREAD_ONCE_INIT;
int ST_nForked = 0;  // set in a child after fork, handled at its next call

// While another thread holds the lock it is usually inside one write(2) of
// about a microsecond: waiters spin for a few microseconds before sleeping,
// so that a message does not pay for a futex sleep and wake-up. They poll a
// plain flag, not the mutex, to leave its cache line to the holder. The lock
// keeps its default attributes and guarantees; the flag is only a hint.
std::atomic<int> ST_nLockHeld{0};
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
      if (ST_nLockHeld.load(std::memory_order_relaxed) == 0 &&
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
  ST_nLockHeld.store(1, std::memory_order_relaxed);
}

void unlockLibrary() {
  ST_nLockHeld.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex);
}

void atforkPrepare() { pthread_mutex_lock(&mutex); }
void atforkParent() { pthread_mutex_unlock(&mutex); }
void atforkChild() {
  // Only async-signal-safe work here; the files are put right at the
  // child's next call, under the lock. The forking thread, the child's only
  // one, holds the lock from atforkPrepare.
  pthread_mutex_unlock(&mutex);
  ST_nLockHeld.store(0, std::memory_order_relaxed);
  refreshCachedPid();
  ST_nForked = 1;
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
    pthread_once(&ST_sAtforkOnce, registerAtfork);
    lockLibrary();
    ST_nCallerErrno = savedErrno_;
    if (ST_nForked != 0) {
      ST_nForked = 0;
      holdCancellation();
      forgetInheritedFiles(ST_sTraceCfg);
    }
  }
  ~Section() {
    int cancelState;
    bool held = releaseCancellationHold(&cancelState);
    unlockLibrary();
    if (held) pthread_setcancelstate(cancelState, nullptr);
    errno = savedErrno_;
  }
  Section(const Section &) = delete;
  Section &operator=(const Section &) = delete;

 private:
  int savedErrno_;
};

void setFile(const char *path) {
  if (path == nullptr || strlen(path) > static_cast<size_t>(kPathMax)) return;
  holdCancellation();  // releasing the old slot may close its file
  TraceCfg &cfg = ST_sTraceCfg;
  ModuleCfg *m = findUsedModuleByName(cfg, ST_szModuleName);
  if (m == nullptr) return;
  const char *current = getModuleFileName(cfg, m);
  if (current == nullptr || strcmp(current, path) == 0) return;
  releaseModuleFile(cfg, m);
  m->nFileIndex = -1;  // still in use, with all its other settings
  openModuleFile(cfg, m, path);
}

}  // namespace
}  // namespace qolog

using namespace qolog;

extern "C" {

QOLOG_API void qologTrace(uint32_t level, const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  va_trace_module(nullptr, level, format, args);
  va_end(args);
}

QOLOG_API void qologLog(const char *module, uint32_t level,
                        const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  va_trace_module(module, level, format, args);
  va_end(args);
}

QOLOG_API void qologTraceBin(uint32_t level, const void *data, int32_t length,
                             const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  va_trace_module_bin(nullptr, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologLogBin(const char *module, uint32_t level,
                           const void *data, int32_t length,
                           const char *format, ...) noexcept {
  Section s;
  va_list args;
  va_start(args, format);
  va_trace_module_bin(module, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologClose(const char *module) noexcept {
  Section s;
  ModuleCfg *m = findUsedModuleByName(ST_sTraceCfg, module);
  if (m != nullptr) {
    holdCancellation();  // the module's file may be closed
    closeModule(ST_sTraceCfg, m);
  }
}

QOLOG_API void qologSetDate(uint32_t format) noexcept {
  Section s;
  if (format <= 2) setDate(format);
}

QOLOG_API void qologSetFile(const char *path) noexcept {
  Section s;
  setFile(path);
}

QOLOG_API void qologSetOutput(uint32_t output) noexcept {
  Section s;
  ModuleCfg *m = findUsedModuleByName(ST_sTraceCfg, ST_szModuleName);
  if (m != nullptr) setOutputLevel(m, output & 3);
}

QOLOG_API void qologSetModuleName(const char *name) noexcept {
  Section s;
  setGlobalModuleName(name);
}

}  // extern "C"
