// The decisions a call can take without the library's lock: whether the
// configuration check is due, and whether a module lets a level through.
// The lock holder publishes them after every change; callers read them
// through a sequence lock and take the lock only for a message that will be
// written or a due check.
#ifndef QOLOG_PIPELINE_FILTER_H_
#define QOLOG_PIPELINE_FILTER_H_

#include <stdint.h>
#include <time.h>

#include <atomic>

#include "pipeline/state.h"

namespace qolog {

class Filter {
 public:
  // REQUIRES: the library's lock; `state` as it now stands.
  void publish(State &state);
  // Forgets every decision: the next call takes the lock.
  void clear();

  // True when a call at `now` (whole seconds) must take the lock for the
  // configuration check.
  bool checkDue(time_t now) const {
    int64_t at = static_cast<int64_t>(now);
    int64_t next = nextCheck_.load(std::memory_order_acquire);
    return next == -1 || at > next || at < lastCheck_.load(std::memory_order_relaxed);
  }
  // True when the configuration published drops a message for `module`
  // (null: the current module) at `level`; false when it would be written,
  // or when the answer could not be read at once (the caller then takes
  // the lock and decides there).
  bool drops(const char *module, uint32_t level) const;

 private:
  static constexpr unsigned kBuckets = 256;
  static constexpr int kWords = 5;  // a module name of up to 36 bytes
  // A decision: the level mask, the outputs above it, kKnown when set.
  static constexpr uint64_t kKnown = uint64_t(1) << 40;
  struct Bucket {
    std::atomic<uint64_t> name[kWords];
    std::atomic<uint64_t> decision;
  };
  static uint64_t decisionOf(const ModuleCfg *module);
  static unsigned hashOf(const uint64_t (&words)[kWords]);

  std::atomic<uint32_t> sequence_{0};  // odd while a publish is under way
  std::atomic<int64_t> nextCheck_{-1};
  std::atomic<int64_t> lastCheck_{-1};
  std::atomic<uint64_t> current_{0};  // the current module name's
  std::atomic<uint64_t> unknown_{0};  // a name not in the table
  Bucket buckets_[kBuckets] = {};
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_FILTER_H_
