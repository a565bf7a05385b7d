/* Uses the library from C: writes a configuration in a scratch directory,
 * logs with a fixed clock and compares the log file byte for byte. Exits
 * non-zero on any difference. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "qolog.h"

/* The clock the library reads: Nov 14 22:13:20.250 UTC 2023. */
enum { kSeconds = 1700000000, kMicros = 250000 };

int clock_gettime(clockid_t id, struct timespec *ts) {
  (void)id;
  ts->tv_sec = kSeconds;
  ts->tv_nsec = kMicros * 1000L;
  return 0;
}

time_t time(time_t *out) {
  if (out != NULL) *out = kSeconds;
  return kSeconds;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
  (void)tz;
  tv->tv_sec = kSeconds;
  tv->tv_usec = kMicros;
  return 0;
}

/* The prefix of a line written by this thread. */
static void prefix(char *out, size_t size, const char *tag) {
  snprintf(out, size, "Nov 14 22:13:20:250|DEFAULT|PID=%4ld|TID=%4ld|%4s|", (long)getpid(),
           (long)pthread_self(), tag);
}

int main(void) {
  char dir[] = "/tmp/qolog-c-XXXXXX";
  char separator[75], info[128], err[128], expected[4096], actual[4096];
  size_t got, used;
  FILE *f;
  int same;

  if (mkdtemp(dir) == NULL || chdir(dir) != 0) return 2;
  setenv("TZ", "UTC", 1);
  tzset();
  f = fopen("qotrace.cfg", "w");
  if (f == NULL) return 2;
  fputs("[DEFAULT]\nLOGFILENAME=c.log\nDEBUGLEVEL=ALL\n", f);
  fclose(f);

  qologSetModuleName("default");
  qologTrace(QOLOG_INFO, "hello from %s, %d", "C", 99);
  qologLog("DEFAULT", QOLOG_PROCINFO, "procinfo %u", 7u);
  qologTraceBin(QOLOG_ERROR, "Hello, C world!", 15, "bin %d", 15);

  memset(separator, '-', 73);
  separator[73] = '\n';
  separator[74] = '\0';
  prefix(info, sizeof(info), "INFO");
  prefix(err, sizeof(err), "ERR");
  used = (size_t)snprintf(
      expected, sizeof(expected), "%s%s%s%s%s%s%s%s%s", separator,
      "QOLOG 1.0.13.0: Log file 'DEFAULT.LOG' start Nov 14 22:13:20:250\n", separator, info,
      "hello from C, 99\n", "procinfo 7\n", err, "bin 15\n",
      "0000 4865 6C6C 6F2C 2043 2077 6F72 6C64 21              [Hello, C world!     ]\n");

  f = fopen("c.log", "r");
  got = f != NULL ? fread(actual, 1, sizeof(actual) - 1, f) : 0;
  if (f != NULL) fclose(f);
  actual[got] = '\0';
  same = got == used && memcmp(actual, expected, used) == 0;
  if (!same) fprintf(stderr, "c.log differs.\nexpected:\n%s\nactual:\n%s\n", expected, actual);

  remove("c.log");
  remove("qotrace.cfg");
  if (chdir("/") == 0) rmdir(dir);
  return same ? 0 : 1;
}
