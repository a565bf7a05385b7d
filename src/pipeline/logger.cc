// The logger's locking, its writers' queue and its fork handlers.
#include "pipeline/logger.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace qolog {

Logger::Section::Section(Logger &logger)
    : logger_(logger), savedErrno_(errno), reentered_(logger.inForkHandlers()) {
  if (!reentered_) pthread_mutex_lock(&logger_.mutex_);
  if (!logger_.started_) logger_.takeEnvironment();
  // A child whose fork ran no handlers (_Fork): its files are its parent's.
  if (logger_.forkSign_.isNewProcess()) {
    leaveParentFiles(logger_.state_);
    logger_.forkSign_.mark();
  }
}

Logger::Section::~Section() {
  if (!reentered_) pthread_mutex_unlock(&logger_.mutex_);
  errno = savedErrno_;
}

// Both variables through secure_getenv: a privileged process honours
// neither.
void Logger::takeEnvironment() {
  started_ = true;
  forkSign_.arm();
  takeCfgPathFromEnvironment(state_.watch);
  const char *debug = secure_getenv("QOLOG_DEBUG");
  if (debug != nullptr && strcmp(debug, "1") == 0) {
    state_.diag.enable(state_.files.os());
    state_.files.setReporter(state_.diag.fileReporter());
  }
}

bool Logger::inForkHandlers() const {
  pthread_t forking = forkingThread_.load(std::memory_order_relaxed);
  return forking != 0 && pthread_equal(forking, pthread_self());
}

void Logger::write(time_t now, const char *module, uint32_t level, const void *dump,
                   int32_t dumpLength, const char *format, va_list args) {
  int savedErrno = errno;
  if (filter_.checkDue(now)) {
    {
      Section s(*this);
      reloadIfDue(state_, now);
      filter_.publish(state_);
    }
    if (filter_.drops(module, level)) return;
  }
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
    Section s(*this);
    writeBatch(state_, &entry);
  } else if (queue_.join(entry)) {
    lead(entry);
  }
  errno = savedErrno;
}

// Writes the queued lines, `self` among them, then passes the lead on.
void Logger::lead(Pending &self) {
  queue_.gather();
  Pending *batch;
  Pending *next;
  {
    Section s(*this);
    batch = queue_.takeAll();
    writeBatch(state_, batch);
    next = queue_.pass();
  }
  if (next != nullptr) CommitQueue::wakeLeader(next);
  CommitQueue::finish(batch, &self);
}

void Logger::prepareFork() {
  pthread_mutex_lock(&mutex_);
  forkingThread_.store(pthread_self(), std::memory_order_relaxed);
}

void Logger::afterForkInParent() {
  forkingThread_.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex_);
}

// The forking thread, the child's only one, holds the lock from
// prepareFork; the threads that queued lines are not in the child. Closing
// the inherited files at once (close is async-signal-safe) keeps the child
// from holding on to its parent's locks.
void Logger::afterForkInChild() {
  leaveParentFiles(state_);
  forkSign_.mark();
  queue_.reset();
  forkingThread_.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex_);
}

void Logger::unload() {
  pthread_mutex_lock(&mutex_);
  state_.files.closeAll();
  forkSign_.disarm();
  pthread_mutex_unlock(&mutex_);
}

}  // namespace qolog
