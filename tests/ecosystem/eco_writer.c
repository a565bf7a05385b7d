/* Writes numbered messages through libqolog's public interface, for the lnav
 * and rsyslog tests: eco_writer W NPROC COUNT DATE BASE
 *
 * Writer W (0 <= W < NPROC) writes COUNT messages for the module NETWORK,
 * run in a directory holding qotrace.cfg. Message n reads "w<W> n<n> ..."
 * and its level is the n-th of ERR, INFO, DBG, FBEG, FEND; every third
 * message has a dump of 1 to 61 bytes repeating "w<W>.n<n>;". The wall clock
 * the library reads is fake: message n of writer W is written at BASE
 * seconds plus (n * NPROC + W) * 8 ms, so all messages have distinct times in
 * a known order, and format 2 shows milliseconds of 0 to 3 digits. DATE is
 * the date format: 1, 2, or 3 for both in turn. Prints "W PID" first. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <qolog.h>

static long long g_now_ms = -1; /* -1: the real clock */

int clock_gettime(clockid_t id, struct timespec *ts) {
  if (g_now_ms >= 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
    ts->tv_sec = (time_t)(g_now_ms / 1000);
    ts->tv_nsec = (long)(g_now_ms % 1000) * 1000000L;
    return 0;
  }
  int (*real)(clockid_t, struct timespec *) =
      (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
  return real(id, ts);
}

time_t time(time_t *out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != NULL) *out = ts.tv_sec;
  return ts.tv_sec;
}

int gettimeofday(struct timeval *tv, void *tz) {
  struct timespec ts;
  (void)tz;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: eco_writer W NPROC COUNT DATE BASE\n");
    return 2;
  }
  int w = atoi(argv[1]), nproc = atoi(argv[2]), count = atoi(argv[3]);
  int date = atoi(argv[4]);
  long long base = atoll(argv[5]);
  static const uint32_t levels[] = {QOLOG_ERROR, QOLOG_INFO, QOLOG_DEBUG,
                                    QOLOG_FUNCBEG, QOLOG_FUNCEND};
  printf("%d %ld\n", w, (long)getpid());
  fflush(stdout);
  for (int n = 0; n < count; ++n) {
    g_now_ms = base * 1000 + (long long)(n * nproc + w) * 8;
    if (n > 0) qologSetDate((uint32_t)(date == 3 ? 1 + n % 2 : date));
    uint32_t level = levels[n % 5];
    if (n % 3 == 0) {
      char token[32], data[64];
      int len = snprintf(token, sizeof token, "w%d.n%d;", w, n);
      int size = 1 + n % 61;
      for (int i = 0; i < size; ++i) data[i] = token[i % len];
      qologLogBin("NETWORK", level, data, size, "w%d n%d dump %d", w, n, size);
    } else {
      qologLog("NETWORK", level, "w%d n%d | text with a bar", w, n);
    }
    usleep(1000);
  }
  return 0;
}
