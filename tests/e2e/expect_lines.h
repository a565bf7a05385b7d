// Expected log text for the end-to-end scenarios. The helpers run in the
// scenario's child, where the process and thread ids are the ones logged.
#ifndef QOLOG_TESTS_E2E_EXPECT_LINES_H_
#define QOLOG_TESTS_E2E_EXPECT_LINES_H_

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "support/fake_clock.h"
#include "support/scenario.h"

namespace qexp {

constexpr time_t kNow = 1700000000;           // Nov 14 22:13:20 UTC 2023
constexpr char kStamp[] = "Nov 14 22:13:20:000";  // its calendar timestamp
const std::string kSep = std::string(73, '-') + "\n";

// Fixes the clock and the time zone before the child's first message.
inline void startClock(time_t seconds = kNow, long nanoseconds = 0) {
  setenv("TZ", "UTC", 1);
  tzset();
  qtest::setFakeClock(seconds, nanoseconds);
}

inline std::string banner(const std::string &name,
                          const std::string &stamp = kStamp) {
  return kSep + "QOLOG 1.0.13.0: Log file '" + name + ".LOG' start " + stamp +
         "\n" + kSep;
}

// One message line as the calling thread of this process writes it.
inline std::string line(const std::string &name, const char *tag,
                        const std::string &text,
                        const std::string &stamp = kStamp) {
  char ids[96];
  snprintf(ids, sizeof(ids), "|PID=%4ld|TID=%4ld|%4s|", (long)getpid(),
           (long)pthread_self(), tag);
  return stamp + "|" + name + ids + text + "\n";
}

// The child records what `name` must hold; the parent compares.
inline void want(const std::string &name, const std::string &text) {
  qtest::writeFile(name + ".want", text);
}

}  // namespace qexp

// Parent side: the file is byte for byte what the child expected.
#define EXPECT_FILE_AS_WANTED(dir, name)                          \
  do {                                                            \
    EXPECT_TRUE((dir).exists(std::string(name) + ".want")) << name; \
    EXPECT_EQ((dir).read(std::string(name) + ".want"), (dir).read(name)) \
        << name;                                                  \
  } while (0)

#endif  // QOLOG_TESTS_E2E_EXPECT_LINES_H_
