// A logger: the state, the lock that serialises the work on it, the
// decisions published for calls that don't take the lock, and the queue of
// lines waiting to be written. The process holds one behind the exported
// functions; tests build their own on an OS layer of their own.
#ifndef QOLOG_PIPELINE_LOGGER_H_
#define QOLOG_PIPELINE_LOGGER_H_

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "pipeline/commit.h"
#include "pipeline/filter.h"
#include "pipeline/pipeline.h"
#include "pipeline/state.h"

namespace qolog {

class Logger {
 public:
  explicit Logger(const os::Os &os = os::system()) : state_(os) {}
  Logger(const Logger &) = delete;
  Logger &operator=(const Logger &) = delete;

  // Whether a message is dropped, decided without the lock: the path of
  // most calls. Whole seconds are all the configuration check needs.
  bool dropped(time_t now, const char *module, uint32_t level) const {
    return !filter_.checkDue(now) && filter_.drops(module, level);
  }
  // Writes a message that dropped() did not drop (a dump of `dumpLength`
  // bytes after it when that is above 0): the configuration check when due,
  // the caller's text formatted, queued, and written by this caller or
  // another before it returns. Keeps errno.
  void write(time_t now, const char *module, uint32_t level, const void *dump,
             int32_t dumpLength, const char *format, va_list args);

  // Runs `work` on the state under the lock, then publishes what it changed.
  // Keeps errno.
  template <typename Work>
  void change(Work work) {
    Section s(*this);
    work(state_);
    filter_.publish(state_);
  }

  // fork's handlers, and the last thing done when the library is unloaded:
  // the files are closed and their locks released.
  void prepareFork();
  void afterForkInParent();
  void afterForkInChild();
  void unload();

 private:
  // Holds the lock (unless this thread holds it for fork) and errno for
  // the lifetime of a worker.
  class Section {
   public:
    explicit Section(Logger &logger);
    ~Section();
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

   private:
    Logger &logger_;
    int savedErrno_;
    bool reentered_;
  };
  bool inForkHandlers() const;
  void lead(Pending &self);

  // Reads the environment (QOTRACE_CFG, QOLOG_DEBUG) at the first use.
  void takeEnvironment();

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  bool started_ = false;  // REQUIRES: mutex_ held
  State state_;  // REQUIRES: mutex_ held
  // Tells a child from its parent. REQUIRES: mutex_ held.
  os::ForkSign forkSign_;
  Filter filter_;  // published under mutex_, read by every call
  CommitQueue queue_;
  // The thread that runs fork's handlers, from the prepare handler (which
  // takes the lock) to the parent or child handler (which releases it): an
  // application's own fork handler that logs meanwhile works in the lock
  // that thread already holds instead of waiting for it for good.
  std::atomic<pthread_t> forkingThread_{0};
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_LOGGER_H_
