// Message lines written through the entry points, checked byte for byte.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "expect_lines.h"
#include "qolog.h"

using namespace qexp;

namespace {

const char kCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nDEBUGLEVEL=ALL\n";

TEST(Lines, TagsFollowTheFirstLevelBit) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", std::string(kCfg) + "[E]\nLOGFILENAME=e.log\nDebugLevel=ERROR\n");
  ASSERT_EQ(0, run(dir, [] {
    qologSetModuleName("default");
    qologTrace(0, "level 0");  // loads the configuration, writes nothing
    std::string w = banner("DEFAULT");
    const struct { uint32_t level; const char *tag; } cases[] = {
        {1, "ERR"}, {2, "INFO"}, {3, "ERR"},  {4, "DBG"},  {8, "FBEG"}, {16, "FEND"},
        {6, "INFO"}, {12, "DBG"}, {24, "FBEG"}, {48, "FEND"}, {33, "ERR"}};
    for (const auto &c : cases) {
      qologTrace(c.level, "level %u", c.level);
      w += line("DEFAULT", c.tag, "level " + std::to_string(c.level));
    }
    qologTrace(QOLOG_PROCINFO, "bare %s", "text");
    for (uint32_t dropped : {64u, 96u, 0u}) qologTrace(dropped, "dropped");
    want("a.log", w + "bare text\n");
    qologLog("E", QOLOG_ERROR | QOLOG_INFO, "needs both bits");
    qologLog("E", QOLOG_ERROR, "error");
    want("e.log", banner("E") + line("E", "ERR", "error"));
  }));
  expectWanted(dir, "a.log");
  expectWanted(dir, "e.log");
}

TEST(Lines, DateFormats) {
  const struct { uint32_t format; time_t sec; long nsec; const char *stamp; } cases[] = {
      {0, kNow, 0, ""},
      {1, 1699122168, 48000000, "Nov  4 18:22:48:048"},
      {1, kNow, 999999999, "Nov 14 22:13:20:999"},
      {2, kNow, 5000000, "1700000000.5"},
      {2, kNow, 250000000, "1700000000.250"}};
  for (const auto &c : cases) {
    qtest::TempDir dir;
    dir.write("qotrace.cfg", kCfg);
    ASSERT_EQ(0, run(dir, [&] {
      qtest::setFakeClock(c.sec, c.nsec);
      qologLog("DEFAULT", 0, "load");
      qologSetDate(c.format);
      qologSetDate(3);  // out of range: ignored, as is the next
      qologSetDate(static_cast<uint32_t>(-1));
      qologLog("DEFAULT", QOLOG_INFO, "text");
      want("a.log", banner("DEFAULT", c.stamp) + line("DEFAULT", "INFO", "text", c.stamp));
    })) << c.stamp;
    expectWanted(dir, "a.log");
  }
}

TEST(Lines, DefaultStandsInUnderTheCallersName) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", "[DEFAULT]\nENABLETRACES=ON\nLOGFILENAME=a.log\n");
  ASSERT_EQ(0, run(dir, [] {
    const std::string big = std::string(2000, 'x') + "END";
    qologLog(big.c_str(), QOLOG_ERROR, "long");
    qologSetModuleName("abcdefghijklmnopqrstuvwxyz0123456789abcd");  // 40: 33 kept
    qologTrace(QOLOG_INFO, "cut");
    want("a.log", banner(big) + line(big, "ERR", "long") +
                      line("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "INFO", "cut"));
  }));
  expectWanted(dir, "a.log");
}

TEST(Lines, StandardErrorGetsTheSameLines) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    qologTrace(0, "load");
    qologSetOutput(QOLOG_OUT_STDERR);  // no module named "": nothing
    qologSetModuleName("default");
    qologTrace(QOLOG_INFO, "file only");
    qologSetOutput(7);  // bits 1 and 2 kept
    qologTrace(QOLOG_INFO, "both %d", 2);
    qologSetOutput(QOLOG_OUT_STDERR);
    qologTrace(QOLOG_PROCINFO, "stderr only");
    qologSetOutput(0);
    qologTrace(QOLOG_INFO, "nowhere");
    const std::string both = line("DEFAULT", "INFO", "both 2");
    want("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "file only") + both);
    want("stderr.txt", both + "stderr only\n");
  }));
  expectWanted(dir, "a.log");
  expectWanted(dir, "stderr.txt");
}

TEST(Lines, BannerAfterRollAndRebuild) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=d.log\nRELOADPERIOD=1M\n[M]\nLOGFILENAME=m.log\nMAXFILESIZE=1KB\n");
  ASSERT_EQ(0, run(dir, [] {
    const std::string big(1100, 'b');
    qologLog("DEFAULT", QOLOG_INFO, "before");
    qologLog("M", QOLOG_INFO, "%s", big.c_str());
    qologLog("M", QOLOG_INFO, "after roll");
    qologSetDate(0);
    qologLog("M", QOLOG_INFO, "no date");
    // The file changes and the reload period passes: a rebuild, which also
    // brings back date format 1.
    struct stat st;
    CHILD_CHECK(stat("qotrace.cfg", &st) == 0);
    struct timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec + 10, 0}};
    CHILD_CHECK(utimensat(AT_FDCWD, "qotrace.cfg", times, 0) == 0);
    qtest::advanceFakeClock(61);
    const char later[] = "Nov 14 22:14:21:000";
    qologLog("DEFAULT", QOLOG_INFO, "rebuilt");
    qologLog("M", QOLOG_INFO, "rebuilt");
    want("m.log.1", banner("M") + line("M", "INFO", big));
    want("m.log", banner("M") + line("M", "INFO", "after roll") + line("M", "INFO", "no date", "") +
                      banner("M", later) + line("M", "INFO", "rebuilt", later));
    // File slot 0 keeps its banner flag across the rebuild.
    want("d.log", banner("DEFAULT") + line("DEFAULT", "INFO", "before") +
                      line("DEFAULT", "INFO", "rebuilt", later));
  }));
  for (const char *f : {"m.log.1", "m.log", "d.log"}) expectWanted(dir, f);
}

TEST(Lines, TwoThreadsWriteWholeLines) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    std::string expected[2];
    auto body = [&](int k) {
      const std::string text(150, static_cast<char>('a' + k));
      expected[k] = line("DEFAULT", "INFO", text);
      for (int i = 0; i < 300; ++i) qologLog("DEFAULT", QOLOG_INFO, "%s", text.c_str());
    };
    std::thread t0(body, 0), t1(body, 1);
    t0.join();
    t1.join();
    const std::string log = qtest::readFile("a.log"), head = banner("DEFAULT");
    CHILD_CHECK(log.compare(0, head.size(), head) == 0);
    int count[2] = {0, 0};
    for (size_t pos = head.size(); pos < log.size();) {
      int k = log.compare(pos, expected[0].size(), expected[0]) == 0 ? 0 : 1;
      CHILD_CHECK(log.compare(pos, expected[k].size(), expected[k]) == 0);
      ++count[k];
      pos += expected[k].size();
    }
    CHILD_CHECK(count[0] == 300 && count[1] == 300);
  }));
}

TEST(EntryPoints, CurrentNameIsUpperCasedLogNamesAreExact) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", std::string(kCfg) + "[myapp]\nLOGFILENAME=m.log\n");
  ASSERT_EQ(0, run(dir, [] {
    auto trace = &qologTrace;  // a null format, out of the format checks' sight
    qologSetModuleName("myapp");
    qologTrace(QOLOG_INFO, "current");
    qologLog("myapp", QOLOG_INFO, "exact name");  // no such module
    qologLog(nullptr, QOLOG_INFO, "null module");
    trace(QOLOG_INFO, nullptr);
    qologClose("myapp");  // finds nothing
    qologClose(nullptr);
    qologSetModuleName(nullptr);
    qologTrace(QOLOG_INFO, "still open");
    qologClose("MYAPP");
    qologTrace(QOLOG_INFO, "closed");
    want("m.log", banner("MYAPP") + line("MYAPP", "INFO", "current") +
                      line("MYAPP", "INFO", "null module") + line("MYAPP", "INFO", "") +
                      line("MYAPP", "INFO", "still open"));
  }));
  expectWanted(dir, "m.log");
}

TEST(EntryPoints, SetFile) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\n[M]\nLOGFILENAME=m.log\n[NOFILE]\n");
  const std::string sub = std::string(200, 'd') + "/" + std::string(200, 'e');
  ASSERT_EQ(0, mkdir(dir.file(sub.substr(0, 200)).c_str(), 0755));
  ASSERT_EQ(0, mkdir(dir.file(sub).c_str(), 0755));
  const std::string path511 = sub + "/" + std::string(109, 'f'), path512 = path511 + "g";
  ASSERT_EQ(0, run(dir, [&] {
    qologSetModuleName("m");
    qologTrace(QOLOG_INFO, "one");
    qologSetFile("m.log");  // unchanged: not even reopened
    qologSetFile(nullptr);
    qologTrace(QOLOG_INFO, "two");
    qologSetFile(path512.c_str());  // too long: the module stays where it is
    qologTrace(QOLOG_INFO, "three");
    want("m.log", banner("M") + line("M", "INFO", "one") + line("M", "INFO", "two") +
                      line("M", "INFO", "three"));
    qologSetFile(path511.c_str());
    CHILD_CHECK(access(path511.c_str(), F_OK) != 0);  // opened at the next message
    qologTrace(QOLOG_INFO, "four");
    want(path511, banner("M") + line("M", "INFO", "four"));
    qologSetFile("b.log");
    CHILD_CHECK(access("b.log", F_OK) != 0);
    qologTrace(QOLOG_INFO, "five");
    want("b.log", banner("M") + line("M", "INFO", "five"));
    qologSetModuleName("nofile");
    qologSetFile("x.log");  // never gives a module its first file
    qologTrace(QOLOG_INFO, "dropped");
    CHILD_CHECK(access("x.log", F_OK) != 0);
  }));
  for (const std::string &f : {std::string("m.log"), path511, std::string("b.log")}) {
    expectWanted(dir, f);
  }
  EXPECT_FALSE(dir.exists(path512));
}

TEST(EntryPoints, LeaveErrnoAloneAndFormatPercentMWithIt) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n[BAD]\nLOGFILENAME=nodir/x.log\n");
  ASSERT_EQ(0, run(dir, [] {
    const std::string big(1100, 'b');
    errno = ENOENT;
    qologLog("DEFAULT", QOLOG_INFO, "%m");  // also the first load
    CHILD_CHECK(errno == ENOENT);
    const std::function<void()> calls[] = {
        [] { qologSetModuleName("bad"); },
        [] { qologTrace(QOLOG_INFO, "unopenable"); },
        [&] { qologLog("DEFAULT", QOLOG_INFO, "%s", big.c_str()); },
        [] { qologLogBin("DEFAULT", QOLOG_INFO, "ab", 2, "rolls the file"); },
        [] { qologTraceBin(QOLOG_INFO, "ab", 2, "bin"); },
        [] { qologSetFile("nodir/y.log"); },
        [] { qologSetOutput(3); },
        [] { qologSetDate(1); },
        [] { qologClose("BAD"); }};
    for (const auto &call : calls) {
      errno = EDOM;
      call();
      CHILD_CHECK(errno == EDOM);
    }
    const std::string first = banner("DEFAULT") + line("DEFAULT", "INFO", strerror(ENOENT));
    CHILD_CHECK(qtest::readFile("a.log.1").compare(0, first.size(), first) == 0);
    // This roll fails to remove a missing backup (ENOENT) before the text is
    // formatted. The failure on BAD moved DEFAULT to its per-process name.
    qologLog("DEFAULT", QOLOG_INFO, "%s", big.c_str());
    errno = EACCES;
    qologLog("DEFAULT", QOLOG_INFO, "[%m]");
    CHILD_CHECK(errno == EACCES);
    CHILD_CHECK(qtest::readFile(std::to_string(getpid()) + "-a.log") ==
                banner("DEFAULT") + line("DEFAULT", "INFO", std::string("[") + strerror(EACCES) + "]"));
  }));
}

TEST(Concurrency, ForkWhileAnotherThreadLogs) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    qologLog("DEFAULT", QOLOG_INFO, "parent");
    std::atomic<bool> stop{false};
    std::thread busy([&] {
      while (!stop) qologLog("DEFAULT", QOLOG_INFO, "busy");
    });
    for (int i = 0; i < 20; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        alarm(10);  // a deadlock ends the child with SIGALRM
        qologLog("DEFAULT", QOLOG_INFO, "child");
        // The parent holds a.log locked: the child writes its own file.
        std::string own = qtest::readFile(std::to_string(getpid()) + "-a.log");
        _exit(own == banner("DEFAULT") + line("DEFAULT", "INFO", "child") ? 0 : 3);
      }
      int status = 0;
      CHILD_CHECK(pid > 0 && waitpid(pid, &status, 0) == pid);
      CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    busy.join();
  }));
}

std::atomic<int> g_calls{0};

void *logUntilCancelled(void *) {
  for (;;) {
    qologLog("DEFAULT", QOLOG_INFO, "until cancelled");
    ++g_calls;
    pthread_testcancel();
  }
  return nullptr;
}

TEST(Concurrency, CancelledThreadNeverKeepsTheLock) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    alarm(30);  // a lock left held ends the child with SIGALRM
    for (int i = 0; i < 50; ++i) {
      pthread_t t;
      int start = g_calls;
      CHILD_CHECK(pthread_create(&t, nullptr, logUntilCancelled, nullptr) == 0);
      while (g_calls < start + 3) sched_yield();  // now mostly inside a call
      pthread_cancel(t);
      CHILD_CHECK(pthread_join(t, nullptr) == 0);
      qologLog("DEFAULT", QOLOG_INFO, "after %d", i);
    }
  }));
}

}  // namespace
