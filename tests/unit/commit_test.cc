// Group commit: eight threads write through one logger into a file that
// rolls often. Every call must return only once its line reached the
// kernel; afterwards every line is in the files exactly once and whole, in
// each thread's order, with timestamps that never go back, and no line
// starts past the size limit (a batch is split where the file rolls).
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/driver.h"
#include "support/fake_clock.h"
#include "support/scenario.h"

namespace {

constexpr int kThreads = 8;
constexpr int kCalls = 300;
constexpr long kLimit = 8192;
std::atomic<long> g_lines{0};

// The OS layer's write, counting the threads' lines "|@" it handed over. A
// slow disk: the other threads queue meanwhile, so batches are large.
ssize_t countWrite(int fd, const void *buf, size_t n) {
  usleep(200);
  ssize_t done = qolog::os::system().write(fd, buf, n);
  const char *p = static_cast<const char *>(buf), *end = p + (done > 0 ? done : 0);
  for (; (p = static_cast<const char *>(memmem(p, end - p, "|@", 2))) != nullptr; p += 2) ++g_lines;
  return done;
}

TEST(GroupCommit, EightThreadsOneRollingFile) {
  qtest::scenario("[DEFAULT]\nMAXFILEBACKUPS=999\n[GC]\nLOGFILENAME=gc.log\nMAXFILESIZE=8KB\n", 1700000000, [] {
    qtest::setFakeClockStep(1000000);  // each reading a millisecond later: any reordering shows
    qolog::os::Os os = qolog::os::system();
    os.write = countWrite;
    auto logger = std::make_unique<qolog::Logger>(os);
    qtest::logVia(*logger, "GC", QOLOG_INFO, "loads the configuration");
    logger->change([](qolog::State &s) { qolog::setDateFormat(s, QOLOG_DATE_EPOCH); });
    // Every call that returned has its line written: the lines handed over
    // never fall behind the calls returned.
    std::atomic<long> early{0}, returned{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int k = 0; k < kCalls; ++k) {
          qtest::logVia(*logger, "GC", QOLOG_INFO, "@%d:%d %s", t, k, std::string(20 + (t * 7 + k) % 60, 'x').c_str());
          if (++returned > g_lines) ++early;
        }
      });
    }
    for (std::thread &t : threads) t.join();
    CHILD_CHECK(early == 0);
    int backups = 0;  // read oldest first: gc.log.N ... gc.log.1, gc.log
    while (!qtest::readFile("gc.log." + std::to_string(backups + 1)).empty()) ++backups;
    CHILD_CHECK(backups > 10);
    int next[kThreads] = {};
    long lastMs = 0;
    for (int n = backups; n >= 0; --n) {
      const std::string text = qtest::readFile(n > 0 ? "gc.log." + std::to_string(n) : "gc.log");
      for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        CHILD_CHECK(end != std::string::npos && static_cast<long>(at) <= kLimit);
        const std::string line = text.substr(at, end - at);
        const size_t tag = line.find("|@");
        if (tag == std::string::npos) continue;  // banner
        long sec, ms;
        int t, k, pad;
        CHILD_CHECK(sscanf(line.c_str(), "%ld.%ld|", &sec, &ms) == 2 &&
                    sscanf(line.c_str() + tag, "|@%d:%d %n", &t, &k, &pad) == 2);
        CHILD_CHECK(t >= 0 && t < kThreads && k == next[t]++);  // once, in order
        CHILD_CHECK(line.size() - tag - pad == 20 + size_t(t * 7 + k) % 60);  // whole
        CHILD_CHECK(sec * 1000 + ms >= lastMs);
        lastMs = sec * 1000 + ms;
      }
    }
    for (int t = 0; t < kThreads; ++t) CHILD_CHECK(next[t] == kCalls);
  });
}

}  // namespace
