// The exported functions and the one lock that serialises the work on the
// process's state. A message that the configuration drops is decided
// without the lock (Filter). One that is written is formatted by its
// caller, then queued; one caller at a time, the leader, takes the lock and
// writes every queued line (CommitQueue). The other entry points lock, call
// one worker, publish what changed and unlock. Every entry point keeps the
// caller's errno; none is a cancellation point (the OS layer's calls are
// not).
#include "qolog.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <time.h>

#include <atomic>

#include "pipeline/commit.h"
#include "pipeline/filter.h"
#include "pipeline/pipeline.h"

namespace qolog {
namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
// The process's state and the sign that tells a child from its parent.
// REQUIRES: mutex held.
State state;
os::ForkSign forkSign;
// Published under the mutex, read by every call.
Filter filter;
CommitQueue queue;
// The thread that runs fork's handlers, from the prepare handler (which
// takes the lock) to the parent or child handler (which releases it): an
// application's own fork handler that logs meanwhile works in the lock that
// thread already holds instead of waiting for it for good. Zero otherwise.
std::atomic<pthread_t> forkingThread{0};

bool inForkHandlers() {
  pthread_t forking = forkingThread.load(std::memory_order_relaxed);
  return forking != 0 && pthread_equal(forking, pthread_self());
}

// Holds the lock (unless the thread holds it for fork) and the caller's
// errno for the lifetime of an entry point's worker.
class Section {
 public:
  Section() : savedErrno_(errno), reentered_(inForkHandlers()) {
    if (!reentered_) pthread_mutex_lock(&mutex);
    // A child whose fork ran no handlers (_Fork): its files are its parent's.
    if (forkSign.isNewProcess()) {
      leaveParentFiles(state);
      forkSign.mark();
    }
  }
  ~Section() {
    if (!reentered_) pthread_mutex_unlock(&mutex);
    errno = savedErrno_;
  }
  Section(const Section &) = delete;
  Section &operator=(const Section &) = delete;

 private:
  int savedErrno_;
  bool reentered_;
};

void atforkPrepare() {
  pthread_mutex_lock(&mutex);
  forkingThread.store(pthread_self(), std::memory_order_relaxed);
}

void atforkParent() {
  forkingThread.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex);
}

// The forking thread, the child's only one, holds the lock from
// atforkPrepare; the threads that queued lines are not in the child.
// Closing the inherited files at once (close is async-signal-safe) keeps
// the child from holding on to its parent's locks.
void atforkChild() {
  leaveParentFiles(state);
  forkSign.mark();
  queue.reset();
  forkingThread.store(0, std::memory_order_relaxed);
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

// Writes the queued lines, `self` among them, then passes the lead on.
void lead(Pending &self) {
  queue.gather();
  Pending *batch;
  Pending *next;
  {
    Section s;
    batch = queue.takeAll();
    writeBatch(state, batch);
    next = queue.pass();
  }
  if (next != nullptr) CommitQueue::wakeLeader(next);
  CommitQueue::finish(batch, &self);
}

// Whether a message is dropped, decided without the lock: the path of most
// calls. Whole seconds are all the configuration check needs, and time() is
// the cheapest clock read.
inline bool dropped(time_t now, const char *module, uint32_t level) {
  return !filter.checkDue(now) && filter.drops(module, level);
}

// What every writing entry point does with a message that is not dropped
// (or whose configuration check is due).
__attribute__((noinline)) void writeMessage(time_t now, const char *module, uint32_t level,
                                            const void *dump, int32_t dumpLength,
                                            const char *format, va_list args) {
  bool due = filter.checkDue(now);
  int savedErrno = errno;
  if (due) {
    Section s;
    reloadIfDue(state, now);
    filter.publish(state);
  }
  if (!due || !filter.drops(module, level)) {
    LineBuffer text;
    formatText(text, format, args);  // with the caller's errno, for %m
    Pending entry;
    entry.module = module;
    entry.level = level;
    entry.thread = pthread_self();
    entry.text = text.data();
    entry.textLen = text.size();
    entry.dump = dump;
    entry.dumpLength = dumpLength;
    if (inForkHandlers()) {
      // This thread holds the lock for fork: no leader can run meanwhile.
      Section s;
      writeBatch(state, &entry);
    } else if (queue.join(entry)) {
      lead(entry);
    }
  }
  errno = savedErrno;
}

}  // namespace
}  // namespace qolog

using namespace qolog;

extern "C" {

QOLOG_API void qologTrace(uint32_t level, const char *format, ...) noexcept {
  time_t now = time(nullptr);
  if (dropped(now, nullptr, level)) return;
  va_list args;
  va_start(args, format);
  writeMessage(now, nullptr, level, nullptr, 0, format, args);
  va_end(args);
}

QOLOG_API void qologLog(const char *module, uint32_t level, const char *format, ...) noexcept {
  time_t now = time(nullptr);
  if (dropped(now, module, level)) return;
  va_list args;
  va_start(args, format);
  writeMessage(now, module, level, nullptr, 0, format, args);
  va_end(args);
}

QOLOG_API void qologTraceBin(uint32_t level, const void *data, int32_t length,
                             const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  time_t now = time(nullptr);
  if (dropped(now, nullptr, level)) return;
  va_list args;
  va_start(args, format);
  writeMessage(now, nullptr, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologLogBin(const char *module, uint32_t level, const void *data, int32_t length,
                           const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  time_t now = time(nullptr);
  if (dropped(now, module, level)) return;
  va_list args;
  va_start(args, format);
  writeMessage(now, module, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologClose(const char *module) noexcept {
  Section s;
  closeNamedModule(state, module);
  filter.publish(state);
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
  filter.publish(state);
}

QOLOG_API void qologSetModuleName(const char *name) noexcept {
  Section s;
  setCurrentModuleName(state, name);
  filter.publish(state);
}

}  // extern "C"
