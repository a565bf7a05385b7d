/* Compiled with -Werror=format: CASE 0 uses every printf-style function
 * correctly and must compile; each other CASE passes one of them an argument
 * of the wrong type and must be refused on the format check. */
#include <stddef.h>

#include "qolog.h"

void use(const char *s, int n, long l, const unsigned char *bytes);

void use(const char *s, int n, long l, const unsigned char *bytes) {
#if CASE == 0
  qologTrace(QOLOG_INFO, "%s %d", s, n);
  qologLog("M", QOLOG_ERROR, "%ld", l);
  qologTraceBin(QOLOG_DEBUG, bytes, 3, "%s", s);
  qologLogBin(NULL, QOLOG_INFO, bytes, 3, "%d bytes", n);
#elif CASE == 1
  qologTrace(QOLOG_INFO, "%s", n);
#elif CASE == 2
  qologLog("M", QOLOG_INFO, "%d", s);
#elif CASE == 3
  qologTraceBin(QOLOG_INFO, bytes, 3, "%s", l);
#elif CASE == 4
  qologLogBin("M", QOLOG_INFO, bytes, 3, "%d %d", n);
#endif
  (void)s, (void)n, (void)l, (void)bytes;
}
