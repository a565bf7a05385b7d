// Interposed wall-clock functions for the tests.
#include "support/fake_clock.h"

#include <dlfcn.h>
#include <sys/time.h>

namespace {

bool g_fake = false;
struct timespec g_now;

using ClockGettime = int (*)(clockid_t, struct timespec *);

int realClockGettime(clockid_t id, struct timespec *ts) {
  static ClockGettime next =
      reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(id, ts);
}

}  // namespace

namespace qtest {

void setFakeClock(time_t seconds, long nanoseconds) {
  g_now.tv_sec = seconds;
  g_now.tv_nsec = nanoseconds;
  g_fake = true;
}

void advanceFakeClock(time_t seconds, long nanoseconds) {
  g_now.tv_sec += seconds;
  g_now.tv_nsec += nanoseconds;
  while (g_now.tv_nsec >= 1000000000L) {
    g_now.tv_nsec -= 1000000000L;
    g_now.tv_sec++;
  }
}

void clearFakeClock() { g_fake = false; }

}  // namespace qtest

extern "C" {

int clock_gettime(clockid_t id, struct timespec *ts) {
  if (g_fake && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
    *ts = g_now;
    return 0;
  }
  return realClockGettime(id, ts);
}

time_t time(time_t *out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}

int gettimeofday(struct timeval *tv, void *) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;  // declared nonnull by the C library
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}

}  // extern "C"
