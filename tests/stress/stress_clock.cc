// A wall clock that one thread moves while others read it. The program
// defines clock_gettime, time and gettimeofday, which the library then calls;
// realtime reads return whole fake seconds once set, other clocks pass
// through. Atomic, unlike the single-threaded fake clock of the other tests.
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

#include "stress_util.h"

namespace {
std::atomic<long> g_seconds{-1};
}

namespace stress {
void setClock(long seconds) { g_seconds.store(seconds); }
void advanceClock(long seconds) { g_seconds.fetch_add(seconds); }
}  // namespace stress

extern "C" {

int clock_gettime(clockid_t id, struct timespec *ts) {
  long now = g_seconds.load();
  if (now >= 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
    ts->tv_sec = now;
    ts->tv_nsec = 0;
    return 0;
  }
  using Fn = int (*)(clockid_t, struct timespec *);
  static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(id, ts);
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
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}

}  // extern "C"
