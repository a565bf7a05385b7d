// Group commit: callers queue their formatted lines; one of them, the
// leader, writes every line queued so far in as few writes as the files
// allow, then wakes the others. Each call returns once its own line has been
// handed to the kernel.
#ifndef QOLOG_PIPELINE_COMMIT_H_
#define QOLOG_PIPELINE_COMMIT_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

namespace qolog {

// One call's message, on its caller's stack until the call returns.
struct Pending {
  enum : int { kWaiting, kAsleep, kDone, kLead };
  const char *module;  // null: the current module
  uint32_t level;
  pthread_t thread;    // the caller, for the line's TID
  const char *text;    // the formatted text with its line feed
  size_t textLen;
  const void *dump;    // dumped after the line when dumpLength > 0
  int32_t dumpLength;
  Pending *next = nullptr;
  std::atomic<int> state{kWaiting};
};

class CommitQueue {
 public:
  // Queues `entry`. Returns true when the caller is to lead; false once
  // another thread has written the entry.
  bool join(Pending &entry);
  // The leader, before taking the lock: while other threads have been
  // writing lately, waits a moment for their next lines to join the batch.
  void gather() const;
  // The leader: every queued entry, oldest first.
  Pending *takeAll();
  // The leader, after a batch: hands the lead to a queued entry (returned,
  // to be woken with wakeLeader once the lock is released), or gives it up
  // when none is queued (null).
  Pending *pass();
  // Marks every entry of `batch` but `self` written, and wakes its caller.
  static void finish(Pending *batch, const Pending *self);
  static void wakeLeader(Pending *entry);
  // In a child after fork: the threads that queued are not there.
  void reset();

 private:
  static void wait(Pending &entry);

  // The newest queued entry (the others follow through `next`), and in its
  // lowest bit whether a caller leads: one word, so that queuing an entry
  // and learning whether to lead are one step. (Were they two, a caller
  // preempted between them could find the lead free after another leader
  // had already written its entry.)
  static constexpr uintptr_t kLeading = 1;
  static Pending *entries(uintptr_t word) {
    return reinterpret_cast<Pending *>(word & ~kLeading);
  }
  std::atomic<uintptr_t> word_{0};
  // Entries in the last batch: more than one means other threads write too.
  std::atomic<int> lastBatch_{1};
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_COMMIT_H_
