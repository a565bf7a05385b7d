// The queue of pending lines and the passing of the lead.
#include "pipeline/commit.h"

#include <sched.h>
#include <time.h>

#include "os/os.h"

namespace qolog {

namespace {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

long nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000L + ts.tv_nsec;
}

// A waiter spins about this long (a write or two) before it sleeps; a
// leader waits at most this long for the lines of the threads that wrote
// with it last time.
constexpr long kSpinNs = 20000;
constexpr long kGatherNs = 1500;

int queued(const Pending *top) {
  int n = 0;
  for (; top != nullptr && n < 64; top = top->next) ++n;
  return n;
}

}  // namespace

bool CommitQueue::join(Pending &entry) {
  uintptr_t word = word_.load(std::memory_order_relaxed);
  do {
    entry.next = entries(word);
  } while (!word_.compare_exchange_weak(word, reinterpret_cast<uintptr_t>(&entry) | kLeading,
                                        std::memory_order_acq_rel, std::memory_order_relaxed));
  if ((word & kLeading) == 0) return true;  // nobody led: this caller does
  wait(entry);
  return entry.state.load(std::memory_order_acquire) == Pending::kLead;
}

void CommitQueue::wait(Pending &entry) {
  long start = 0;
  for (unsigned spin = 0;; ++spin) {
    int state = entry.state.load(std::memory_order_acquire);
    if (state == Pending::kDone || state == Pending::kLead) return;
    if (spin < 64) {
      cpuRelax();
      continue;
    }
    if (start == 0) start = nowNs();
    if (nowNs() - start < kSpinNs) {
      sched_yield();
      continue;
    }
    int waiting = Pending::kWaiting;
    if (state == Pending::kAsleep ||
        entry.state.compare_exchange_strong(waiting, Pending::kAsleep, std::memory_order_acq_rel)) {
      os::futexWait(&entry.state, Pending::kAsleep);
    }
  }
}

void CommitQueue::gather() const {
  int want = lastBatch_.load(std::memory_order_relaxed);
  if (want <= 1) return;
  long start = nowNs();
  while (queued(entries(word_.load(std::memory_order_acquire))) < want &&
         nowNs() - start < kGatherNs) {
    cpuRelax();
  }
}

Pending *CommitQueue::takeAll() {
  Pending *newest = entries(word_.exchange(kLeading, std::memory_order_acquire));
  Pending *oldest = nullptr;
  int n = 0;
  while (newest != nullptr) {
    Pending *next = newest->next;
    newest->next = oldest;
    oldest = newest;
    newest = next;
    ++n;
  }
  lastBatch_.store(n, std::memory_order_relaxed);
  return oldest;
}

Pending *CommitQueue::pass() {
  uintptr_t word = word_.load(std::memory_order_acquire);
  for (;;) {
    // Something queued meanwhile: its caller leads next (the bit stays).
    if (entries(word) != nullptr) return entries(word);
    if (word_.compare_exchange_weak(word, 0, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return nullptr;
    }
  }
}

void CommitQueue::finish(Pending *batch, const Pending *self) {
  while (batch != nullptr) {
    Pending *next = batch->next;  // read first: a caller woken may return
    if (batch != self && batch->state.exchange(Pending::kDone, std::memory_order_release) ==
                             Pending::kAsleep) {
      os::futexWake(&batch->state, 1);
    }
    batch = next;
  }
}

void CommitQueue::wakeLeader(Pending *entry) {
  if (entry->state.exchange(Pending::kLead, std::memory_order_release) == Pending::kAsleep) {
    os::futexWake(&entry->state, 1);
  }
}

void CommitQueue::reset() {
  word_.store(0, std::memory_order_relaxed);
  lastBatch_.store(1, std::memory_order_relaxed);
}

}  // namespace qolog
