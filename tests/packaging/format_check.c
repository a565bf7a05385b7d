/* Compiled with -Werror=format: every printf-style function used correctly
 * must compile; with WRONG defined, each of the four calls passes an argument
 * of the wrong type and must be refused on the format check. */
#include "qolog.h"

void use(const char *s, int n, long l, const unsigned char *bytes) {
#ifndef WRONG
  qologTrace(QOLOG_INFO, "%s %d", s, n);
  qologLog("M", QOLOG_ERROR, "%ld", l);
  qologTraceBin(QOLOG_DEBUG, bytes, 3, "%s", s);
  qologLogBin("M", QOLOG_INFO, bytes, 3, "%d bytes", n);
#else
  qologTrace(QOLOG_INFO, "%s", n);
  qologLog("M", QOLOG_INFO, "%d", s);
  qologTraceBin(QOLOG_INFO, bytes, 3, "%s", l);
  qologLogBin("M", QOLOG_INFO, bytes, 3, "%d %d", n);
#endif
}
