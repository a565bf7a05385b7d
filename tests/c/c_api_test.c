/* Uses the library from C with a fixed clock and compares the log file byte
 * for byte. Exits non-zero on any difference. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "qolog.h"

/* The clock the library reads: Nov 14 22:13:20.250 UTC 2023. */
int clock_gettime(clockid_t id, struct timespec *ts) {
  (void)id;
  ts->tv_sec = 1700000000;
  ts->tv_nsec = 250000000L;
  return 0;
}

int main(void) {
  static const char sep[] =
      "-------------------------------------------------------------------------\n";
  char dir[] = "/tmp/qolog-c-XXXXXX", prefix[128], expected[4096], actual[4096];
  size_t got, used;
  int same;
  FILE *f;

  if (mkdtemp(dir) == NULL || chdir(dir) != 0 || (f = fopen("qotrace.cfg", "w")) == NULL) return 2;
  setenv("TZ", "UTC", 1);
  tzset();
  fputs("[DEFAULT]\nLOGFILENAME=c.log\nDEBUGLEVEL=ALL\n", f);
  fclose(f);

  qologSetModuleName("default");
  qologTrace(QOLOG_INFO, "hello from %s, %d", "C", 99);
  qologLog("DEFAULT", QOLOG_PROCINFO, "procinfo %u", 7u);
  qologTraceBin(QOLOG_ERROR, "Hello, C world!", 15, "bin %d", 15);

  snprintf(prefix, sizeof(prefix), "Nov 14 22:13:20:250|DEFAULT|PID=%4ld|TID=%4ld|",
           (long)getpid(), (long)pthread_self());
  used = (size_t)snprintf(
      expected, sizeof(expected), "%s%s%s%s%s%s%s%s", sep,
      "QOLOG 1.0.13.0: Log file 'DEFAULT.LOG' start Nov 14 22:13:20:250\n", sep, prefix,
      "INFO|hello from C, 99\nprocinfo 7\n", prefix, " ERR|bin 15\n",
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
