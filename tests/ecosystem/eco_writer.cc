// Writes numbered messages through libqolog's public interface, for the lnav
// and rsyslog tests: eco_writer NPROC COUNT BASE
//
// Starts NPROC writer processes, prints "W PID" for each and waits for them;
// run in a directory holding qotrace.cfg. Writer W writes COUNT messages for
// the module NETWORK in date format W % 3 + 1 (3: formats 1 and 2 in turn).
// Message n reads "w<W> n<n> ..." and its level is the n-th of ERR, INFO, DBG,
// FBEG, FEND; every third message has a dump of 1 to 61 bytes repeating
// "w<W>.n<n>;", the others a tab in their text. The clock the library stamps
// lines with is fake: message n of writer W is written at BASE seconds plus
// (n * NPROC + W) * 8 ms, so all messages have distinct times in a known
// order, and format 2 shows milliseconds of 0 to 3 digits. 10 ms pass between
// two messages of a writer, so that a file lasts long enough for rsyslog to
// see it.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "qolog.h"
#include "support/fake_clock.h"

int main(int argc, char **argv) {
  if (argc != 4) return fprintf(stderr, "usage: eco_writer NPROC COUNT BASE\n"), 2;
  const uint32_t kLevels[] = {QOLOG_ERROR, QOLOG_INFO, QOLOG_DEBUG, QOLOG_FUNCBEG, QOLOG_FUNCEND};
  int nproc = atoi(argv[1]), count = atoi(argv[2]), failed = 0;
  for (int w = 0, pid; w < nproc; ++w) {
    if ((pid = fork()) != 0) {
      if (pid < 0) return 1;
      printf("%d %d\n", w, pid);
      continue;
    }
    for (int n = 0; n < count; ++n, usleep(10000)) {
      long long ms = atoll(argv[3]) * 1000 + (n * nproc + w) * 8LL;
      qtest::setFakeClock(ms / 1000, ms % 1000 * 1000000);
      if (n > 0) qologSetDate(w % 3 == 2 ? 1 + n % 2 : w % 3 + 1);
      if (n % 3 != 0) {
        qologLog("NETWORK", kLevels[n % 5], "w%d n%d | a bar\ta tab", w, n);
        continue;
      }
      std::string token = "w" + std::to_string(w) + ".n" + std::to_string(n) + ";", data;
      while (data.size() < 61) data += token;
      qologLogBin("NETWORK", kLevels[n % 5], data.data(), 1 + n % 61, "w%d n%d dump %d", w, n, 1 + n % 61);
    }
    _exit(0);
  }
  for (int status; wait(&status) > 0;) failed |= !WIFEXITED(status) || WEXITSTATUS(status);
  return failed;
}
