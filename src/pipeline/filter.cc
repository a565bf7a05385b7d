// Publishing and reading the lock-free decisions.
#include "pipeline/filter.h"

#include <string.h>

namespace qolog {

namespace {

// The name as zero-padded words; false for a name too long to be stored.
bool nameWords(const char *name, uint64_t (&words)[5]) {
  for (uint64_t &w : words) w = 0;
  for (int i = 0; i <= kModuleNameMax; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == 0) return true;
    words[i >> 3] |= static_cast<uint64_t>(c) << (8 * (i & 7));
  }
  return false;
}

}  // namespace

uint64_t Filter::decisionOf(const ModuleCfg *module) {
  if (module == nullptr) return kKnown;  // no outputs: dropped
  return kKnown | module->nDebugLevel |
         static_cast<uint64_t>(module->nOutput & (QOLOG_OUT_FILE | QOLOG_OUT_STDERR)) << 32;
}

// A short name's hash is hashOfShort of its one word.
unsigned Filter::hashOf(const uint64_t (&words)[kWords]) {
  return hashOfShort(words[0] ^ (words[1] * 3) ^ (words[2] * 5) ^ (words[3] * 7) ^ (words[4] * 11));
}

bool Filter::isLong(const uint64_t (&words)[kWords]) {
  return (words[1] | words[2] | words[3] | words[4]) != 0;
}

void Filter::clear() {
  uint32_t seq = sequence_.load(std::memory_order_relaxed);
  sequence_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  nextCheck_.store(-1, std::memory_order_relaxed);
  current_.store(0, std::memory_order_relaxed);
  unknown_.store(0, std::memory_order_relaxed);
  sequence_.store(seq + 2, std::memory_order_release);
}

void Filter::publish(State &state) {
  TraceCfg &cfg = state.cfg;
  uint32_t seq = sequence_.load(std::memory_order_relaxed);
  sequence_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (Bucket &b : buckets_) b.decision.store(0, std::memory_order_relaxed);
  // Module slots in table order: a name added again later is shadowed by
  // the first, as in a lookup.
  for (const ModuleCfg &m : cfg.asModules) {
    uint64_t words[kWords];
    if (m.nUsed != 1 || !nameWords(m.szName, words)) continue;
    for (unsigned i = hashOf(words);; i = (i + 1) % kBuckets) {
      Bucket &b = buckets_[i];
      if (b.decision.load(std::memory_order_relaxed) == 0) {
        for (int w = 0; w < kWords; ++w) b.name[w].store(words[w], std::memory_order_relaxed);
        b.decision.store(decisionOf(&m) | (isLong(words) ? kLong : 0), std::memory_order_relaxed);
        break;
      }
      bool same = true;
      for (int w = 0; w < kWords; ++w) same = same && b.name[w].load(std::memory_order_relaxed) == words[w];
      if (same) break;
    }
  }
  const char *printed;
  current_.store(decisionOf(resolveModule(cfg, state.modules, state.szModuleName, nullptr, &printed)),
                 std::memory_order_relaxed);
  unknown_.store(decisionOf(cfg.nEnableTraces == 1 ? state.modules.find(cfg, kDefaultModuleName)
                                                   : nullptr),
                 std::memory_order_relaxed);
  lastCheck_.store(state.watch.lastCheck, std::memory_order_relaxed);
  nextCheck_.store(state.watch.nextCheck, std::memory_order_relaxed);
  sequence_.store(seq + 2, std::memory_order_release);
}

bool Filter::dropsSlow(const char *module, uint32_t level) const {
  uint64_t words[kWords];
  bool storable = module == nullptr || nameWords(module, words);
  bool isShort = module != nullptr && storable && !isLong(words);
  unsigned start = module != nullptr && storable ? hashOf(words) : 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t seq = sequence_.load(std::memory_order_acquire);
    uint64_t decision;
    if (module == nullptr) {
      decision = current_.load(std::memory_order_relaxed);
    } else {
      decision = unknown_.load(std::memory_order_relaxed);  // also for a name too long
      // Bounded: a read that overlaps a publish may see more entries than
      // either table has, and is then thrown away.
      unsigned i = start;
      for (unsigned n = 0; storable && n < kBuckets; ++n, i = (i + 1) % kBuckets) {
        const Bucket &b = buckets_[i];
        uint64_t d = b.decision.load(std::memory_order_relaxed);
        if (d == 0) break;
        if (b.name[0].load(std::memory_order_relaxed) != words[0]) continue;
        if (isShort ? (d & kLong) == 0
                    : (b.name[1].load(std::memory_order_relaxed) == words[1] &&
                       b.name[2].load(std::memory_order_relaxed) == words[2] &&
                       b.name[3].load(std::memory_order_relaxed) == words[3] &&
                       b.name[4].load(std::memory_order_relaxed) == words[4])) {
          decision = d;
          break;
        }
      }
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((seq & 1) != 0 || sequence_.load(std::memory_order_relaxed) != seq ||
        (decision & kKnown) == 0) {
      continue;
    }
    return dropped(decision, level);
  }
  return false;
}

}  // namespace qolog
