// Expected log text for the end-to-end scenarios, built in the scenario's
// child, where the logged process and thread ids are known; std::function,
// std::string and std::vector come with support/scenario.h.
#ifndef QOLOG_TESTS_E2E_EXPECT_LINES_H_
#define QOLOG_TESTS_E2E_EXPECT_LINES_H_

#include <ctype.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "support/fake_clock.h"
#include "support/scenario.h"

namespace qexp {

using Names = std::vector<std::string>;
using namespace qtest;
constexpr time_t kNow = 1700000000;               // Nov 14 22:13:20 UTC 2023
constexpr char kStamp[] = "Nov 14 22:13:20:000";  // its calendar timestamp

inline std::string banner(const std::string &name, const std::string &stamp = kStamp) {
  const std::string sep(73, '-');
  return sep + "\nQOLOG 1.0.13.0: Log file '" + name + ".LOG' start " + stamp + "\n" + sep + "\n";
}

// One message line as written by the calling thread of this process.
inline std::string line(const std::string &name, const char *tag, const std::string &text,
                        const std::string &stamp = kStamp) {
  char ids[96];
  snprintf(ids, sizeof(ids), "|PID=%4ld|TID=%4ld|%4s|", (long)getpid(), (long)pthread_self(), tag);
  return stamp + "|" + name + ids + text + "\n";
}

// Rows of 20 bytes: "%04d " offset, hexadecimal pairs padded to 50 columns,
// " [", the printable column padded to 20, "]".
inline std::string referenceDump(const std::string &d) {
  std::string s;
  char b[96];
  for (size_t row = 0; row < d.size(); row += 20) {
    std::string hex, chars;
    for (size_t i = row; i < d.size() && i < row + 20; ++i) {
      snprintf(b, sizeof(b), i % 2 ? "%02X " : "%02X", static_cast<unsigned char>(d[i]));
      hex += b;
      chars += isprint(static_cast<unsigned char>(d[i])) ? d[i] : '.';
    }
    snprintf(b, sizeof(b), "%04zu %-50s [%-20s]\n", row, hex.c_str(), chars.c_str());
    s += b;
  }
  return s;
}


inline std::string pid() { return std::to_string(getpid()); }

inline void scenario(const std::string &cfg, const std::function<void()> &body) {
  qtest::scenario(cfg, kNow, body);
}

}  // namespace qexp

#endif  // QOLOG_TESTS_E2E_EXPECT_LINES_H_
