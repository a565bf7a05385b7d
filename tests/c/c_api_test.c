/* The public header compiled as C99 and every exported function called from
 * C, with -Werror in force, so each printf-style call passes the header's
 * format attribute. What the calls write is checked by the other tests: here
 * they only have to compile, link and run. */
#include "qolog.h"

int main(void) {
  qologSetModuleName("c");
  qologSetOutput(QOLOG_OUT_FILE | QOLOG_OUT_STDERR);
  qologSetDate(QOLOG_DATE_EPOCH);
  qologSetFile("c.log");
  qologTrace(QOLOG_INFO, "hello from %s, %d", "C", 99);
  qologLog("C", QOLOG_PROCINFO, "procinfo %u", 7u);
  qologTraceBin(QOLOG_ERROR, "C99", 3, "bin %lu", (unsigned long)sizeof(int32_t));
  qologLogBin(0, QOLOG_DEBUG, "C99", 3, "%s", "dump");
  qologClose("C");
  return 0;
}
