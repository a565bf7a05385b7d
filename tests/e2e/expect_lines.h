// Expected log text for the end-to-end scenarios. The text is built in the
// scenario's child, where the logged process and thread ids are known, and
// saved next to the log as NAME.want for the parent to compare.
#ifndef QOLOG_TESTS_E2E_EXPECT_LINES_H_
#define QOLOG_TESTS_E2E_EXPECT_LINES_H_

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/fake_clock.h"
#include "support/scenario.h"

namespace qexp {

constexpr time_t kNow = 1700000000;               // Nov 14 22:13:20 UTC 2023
constexpr char kStamp[] = "Nov 14 22:13:20:000";  // its calendar timestamp
const std::string kSep = std::string(73, '-') + "\n";

inline std::string banner(const std::string &name, const std::string &stamp = kStamp) {
  return kSep + "QOLOG 1.0.13.0: Log file '" + name + ".LOG' start " + stamp + "\n" + kSep;
}

// One message line as written by the calling thread of this process.
inline std::string line(const std::string &name, const char *tag, const std::string &text,
                        const std::string &stamp = kStamp) {
  char ids[96];
  snprintf(ids, sizeof(ids), "|PID=%4ld|TID=%4ld|%4s|", (long)getpid(), (long)pthread_self(), tag);
  return stamp + "|" + name + ids + text + "\n";
}

inline void want(const std::string &name, const std::string &text) {
  qtest::writeFile(name + ".want", text);
}

// Runs `body` in a fresh child in `dir` with the clock fixed at kNow in UTC.
inline int run(const qtest::TempDir &dir, const std::function<void()> &body) {
  return qtest::runInChild(dir.path(), [&] {
    setenv("TZ", "UTC", 1);
    tzset();
    qtest::setFakeClock(kNow);
    body();
  });
}

inline void expectWanted(const qtest::TempDir &dir, const std::string &name) {
  EXPECT_TRUE(dir.exists(name + ".want")) << name;
  EXPECT_EQ(dir.read(name + ".want"), dir.read(name)) << name;
}

}  // namespace qexp

#endif  // QOLOG_TESTS_E2E_EXPECT_LINES_H_
