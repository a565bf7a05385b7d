/* Compiled by check_format.cmake with -Werror=format: CASE 0 uses every
 * printf-style function correctly and must compile; each other CASE passes
 * one function an argument of the wrong type and must be refused. */
#include <stddef.h>

#include "qolog.h"

void use(const char *name, int n, long l);

void use(const char *name, int n, long l) {
  static const unsigned char bytes[] = {1, 2, 3};
#if CASE == 0
  qologTrace(QOLOG_INFO, "%s %d", name, n);
  qologLog("M", QOLOG_ERROR, "%ld", l);
  qologTraceBin(QOLOG_DEBUG, bytes, 3, "%s", name);
  qologLogBin(NULL, QOLOG_INFO, bytes, 3, "%d bytes", n);
#elif CASE == 1
  qologTrace(QOLOG_INFO, "%s", n);
#elif CASE == 2
  qologLog("M", QOLOG_INFO, "%d", name);
#elif CASE == 3
  qologTraceBin(QOLOG_INFO, bytes, 3, "%s", l);
#elif CASE == 4
  qologLogBin("M", QOLOG_INFO, bytes, 3, "%d %d", n);
#endif
  (void)name;
  (void)n;
  (void)l;
  (void)bytes;
}
