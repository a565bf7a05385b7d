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
  // the lock and decides there). Inline: the path of a dropped message.
  bool drops(const char *module, uint32_t level) const {
    uint64_t key = 0;
    if (module != nullptr && !shortKey(module, &key)) return dropsSlow(module, level);
    uint32_t seq = sequence_.load(std::memory_order_acquire);
    uint64_t decision;
    if (module == nullptr) {
      decision = current_.load(std::memory_order_relaxed);
    } else {
      decision = unknown_.load(std::memory_order_relaxed);
      unsigned i = hashOfShort(key);
      for (unsigned n = 0; n < kBuckets; ++n, i = (i + 1) % kBuckets) {
        uint64_t d = buckets_[i].decision.load(std::memory_order_relaxed);
        if (d == 0) break;
        if (buckets_[i].name[0].load(std::memory_order_relaxed) == key && (d & kLong) == 0) {
          decision = d;
          break;
        }
      }
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq != sequence_.load(std::memory_order_relaxed) || (seq & 1) != 0 ||
        (decision & kKnown) == 0) {
      return dropsSlow(module, level);
    }
    return dropped(decision, level);
  }

 private:
  static constexpr unsigned kBuckets = 256;
  static constexpr int kWords = 5;  // a module name of up to 40 bytes
  // A decision: the level mask, the outputs above it, kKnown when set.
  static constexpr uint64_t kKnown = uint64_t(1) << 40;
  static constexpr uint64_t kLong = uint64_t(1) << 41;  // the name needs more than a word
  struct Bucket {
    std::atomic<uint64_t> name[kWords];
    std::atomic<uint64_t> decision;
  };
  static uint64_t decisionOf(const ModuleCfg *module);
  static bool dropped(uint64_t decision, uint32_t level) {
    uint32_t mask = static_cast<uint32_t>(decision);
    bool hasOutput = ((decision >> 32) & (QOLOG_OUT_FILE | QOLOG_OUT_STDERR)) != 0;
    return (level & mask) != level || !hasOutput || (level & QOLOG_ALL) == 0;
  }
  // A name of up to seven characters as one zero-padded word, read at once
  // when those eight bytes stay within the name's memory page: the bytes
  // past its terminator are read but dropped, and a read within a page
  // can't fault. False for any other name.
  __attribute__((no_sanitize("address", "thread"))) static bool shortKey(const char *name,
                                                                         uint64_t *key) {
    if ((reinterpret_cast<uintptr_t>(name) & 4095) > 4096 - 8) return false;
    __asm__("" : "+r"(name));  // whatever the compiler knows of its size
    uint64_t w;
    __builtin_memcpy(&w, name, 8);
    uint64_t zero = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
    if (zero == 0) return false;
    int len = __builtin_ctzll(zero) / 8;  // bytes before the first zero
    *key = len == 0 ? 0 : w & (~uint64_t(0) >> (64 - 8 * len));
    return true;
  }
  static unsigned hashOfShort(uint64_t key) {
    return static_cast<unsigned>((key * 0x9E3779B97F4A7C15ull) >> 56) % kBuckets;
  }
  bool dropsSlow(const char *module, uint32_t level) const;
  static unsigned hashOf(const uint64_t (&words)[kWords]);
  static bool isLong(const uint64_t (&words)[kWords]);

  std::atomic<uint32_t> sequence_{0};  // odd while a publish is under way
  std::atomic<int64_t> nextCheck_{-1};
  std::atomic<int64_t> lastCheck_{-1};
  std::atomic<uint64_t> current_{0};  // the current module name's
  std::atomic<uint64_t> unknown_{0};  // a name not in the table
  Bucket buckets_[kBuckets] = {};
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_FILTER_H_
