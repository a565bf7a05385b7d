/* Writes numbered messages through libqolog's public interface, for the lnav
 * and rsyslog tests: eco_writer NPROC COUNT BASE
 *
 * Starts NPROC writer processes, prints "W PID" for each and waits for them;
 * run in a directory holding qotrace.cfg. Writer W writes COUNT messages for
 * the module NETWORK in date format W % 3 + 1 (3: formats 1 and 2 in turn).
 * Message n reads "w<W> n<n> ..." and its level is the n-th of ERR, INFO, DBG,
 * FBEG, FEND; every third message has a dump of 1 to 61 bytes repeating
 * "w<W>.n<n>;", the others a tab in their text. The clock the library stamps lines with is fake: message n of
 * writer W is written at BASE seconds plus (n * NPROC + W) * 8 ms, so all
 * messages have distinct times in a known order, and format 2 shows
 * milliseconds of 0 to 3 digits. 10 ms pass between two messages of a
 * writer, so that a file lasts long enough for rsyslog to see it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
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

static void write_messages(int w, int nproc, int count, long long base) {
  static const uint32_t levels[] = {QOLOG_ERROR, QOLOG_INFO, QOLOG_DEBUG,
                                    QOLOG_FUNCBEG, QOLOG_FUNCEND};
  int date = w % 3 + 1;
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
      qologLog("NETWORK", level, "w%d n%d | a bar\ta tab", w, n);
    }
    usleep(10000);
  }
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: eco_writer NPROC COUNT BASE\n");
    return 2;
  }
  int nproc = atoi(argv[1]), count = atoi(argv[2]), failed = 0;
  for (int w = 0; w < nproc; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      write_messages(w, nproc, count, atoll(argv[3]));
      _exit(0);
    }
    if (pid < 0) return 1;
    printf("%d %ld\n", w, (long)pid);
  }
  for (int status; wait(&status) > 0;) failed |= !WIFEXITED(status) || WEXITSTATUS(status);
  return failed;
}
