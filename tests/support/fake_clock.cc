// Interposed wall-clock functions for the tests.
#include "support/fake_clock.h"

#include <dlfcn.h>
#include <sched.h>
#include <stdint.h>
#include <sys/time.h>

#include <atomic>

namespace {

// Nanoseconds since the epoch, -1 while the real clock is in force. Atomic:
// the stress tests move the clock while other threads log.
std::atomic<int64_t> g_nowNs{-1};
std::atomic<int64_t> g_stepNs{0};
constexpr int64_t kNsPerSecond = 1000000000;

int realClockGettime(clockid_t id, struct timespec *ts) {
  static auto next =
      reinterpret_cast<int (*)(clockid_t, struct timespec *)>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(id, ts);
}

}  // namespace

namespace qtest {

void setFakeClock(time_t seconds, long nanoseconds) {
  g_nowNs.store(static_cast<int64_t>(seconds) * kNsPerSecond + nanoseconds);
}

void advanceFakeClock(time_t seconds, long nanoseconds) {
  g_nowNs.fetch_add(static_cast<int64_t>(seconds) * kNsPerSecond + nanoseconds);
}

void setFakeClockStep(long nanoseconds) { g_stepNs.store(nanoseconds); }

}  // namespace qtest

extern "C" {

int clock_gettime(clockid_t id, struct timespec *ts) {
  int64_t step = g_stepNs.load(), now = g_nowNs.fetch_add(step);  // step 0: a plain read
  // A stepping clock's reader is put back in the run queue right after its
  // reading: a time read before the lock then shows out of order.
  if (step != 0) sched_yield();
  if (now >= 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
    ts->tv_sec = static_cast<time_t>(now / kNsPerSecond);
    ts->tv_nsec = static_cast<long>(now % kNsPerSecond);
    return 0;
  }
  return realClockGettime(id, ts);
}

time_t time(time_t *out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return out != nullptr ? *out = ts.tv_sec : ts.tv_sec;
}

int gettimeofday(struct timeval *tv, void *) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  *tv = {ts.tv_sec, ts.tv_nsec / 1000};  // declared nonnull by the C library
  return 0;
}

}  // extern "C"
