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

TEST(Lines, TagsLevelsAndTheDefaultStandIn) {
  scenario(std::string(kCfg) + "ENABLETRACES=ON\n[E]\nLOGFILENAME=e.log\nDebugLevel=ERROR\n", [] {
    const std::string big = std::string(2000, 'x') + "END";  // printed whole
    qologLog(big.c_str(), QOLOG_ERROR, "long");
    std::string w = banner(big) + line(big, "ERR", "long");
    qologSetModuleName("default");
    const struct { uint32_t level; const char *tag; } cases[] = {
        {1, "ERR"}, {2, "INFO"}, {3, "ERR"},  {4, "DBG"},  {8, "FBEG"}, {16, "FEND"},
        {6, "INFO"}, {12, "DBG"}, {24, "FBEG"}, {48, "FEND"}, {33, "ERR"}};
    for (const auto &c : cases) {
      qologTrace(c.level, "level %u", c.level);
      w += line("DEFAULT", c.tag, "level " + std::to_string(c.level));
    }
    qologTrace(QOLOG_PROCINFO, "bare %s", "text");
    for (uint32_t dropped : {64u, 96u, 0u}) qologTrace(dropped, "dropped");
    qologSetModuleName("abcdefghijklmnopqrstuvwxyz0123456789abcd");  // 40: 33 kept
    qologTrace(QOLOG_INFO, "cut");
    wantFile("a.log", w + "bare text\n" + line("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "INFO", "cut"));
    qologLog("E", QOLOG_ERROR | QOLOG_INFO, "needs both bits");
    qologLog("E", QOLOG_ERROR, "error");
    wantFile("e.log", banner("E") + line("E", "ERR", "error"));
  });
}

TEST(Lines, DateFormats) {
  scenario(kCfg, [] {
    qologLog("DEFAULT", 0, "load");  // the first rebuild sets format 1
    const struct { uint32_t format; time_t sec; long nsec; const char *stamp; } cases[] = {
        {0, kNow, 0, ""},
        {1, 1699122168, 48000000, "Nov  4 18:22:48:048"},
        {1, kNow, 999999999, "Nov 14 22:13:20:999"},
        {2, kNow, 5000000, "1700000000.5"}};
    std::string w = banner("DEFAULT", "");
    for (const auto &c : cases) {
      qtest::setFakeClock(c.sec, c.nsec);
      qologSetDate(c.format);
      qologSetDate(3);  // out of range: ignored, as is the next
      qologSetDate(static_cast<uint32_t>(-1));
      qologLog("DEFAULT", QOLOG_INFO, "text");
      w += line("DEFAULT", "INFO", "text", c.stamp);
    }
    wantFile("a.log", w);
  });
}

TEST(Lines, StandardErrorGetsTheSameLines) {
  scenario(kCfg, [] {
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
    wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "file only") + both);
    wantFile("stderr.txt", both + "stderr only\n");
  });
}

// The banner after a roll is checked with the log files; a rebuild also
// brings back date format 1.
TEST(Lines, BannerAfterRebuild) {
  scenario("[DEFAULT]\nLOGFILENAME=d.log\nRELOADPERIOD=1M\n[M]\nLOGFILENAME=m.log\n", [] {
    qologLog("DEFAULT", QOLOG_INFO, "before");
    qologSetDate(0);
    qologLog("M", QOLOG_INFO, "no date");
    struct stat st;  // the file changes and the period passes
    CHILD_CHECK(stat("qotrace.cfg", &st) == 0);
    struct timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec + 10, 0}};
    CHILD_CHECK(utimensat(AT_FDCWD, "qotrace.cfg", times, 0) == 0);
    qtest::advanceFakeClock(61);
    const char later[] = "Nov 14 22:14:21:000";
    qologLog("DEFAULT", QOLOG_INFO, "rebuilt");
    qologLog("M", QOLOG_INFO, "rebuilt");
    wantFile("m.log", banner("M", "") + line("M", "INFO", "no date", "") + banner("M", later) +
                      line("M", "INFO", "rebuilt", later));
    // File slot 0 keeps its banner flag across the rebuild.
    wantFile("d.log", banner("DEFAULT") + line("DEFAULT", "INFO", "before") +
                      line("DEFAULT", "INFO", "rebuilt", later));
  });
}

TEST(Lines, TwoThreadsWriteWholeLines) {
  scenario(kCfg, [] {
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
    size_t whole = 0;  // bytes in whole lines: a broken line is missed
    for (const std::string &e : expected) {
      for (size_t p = log.find(e); p != std::string::npos; p = log.find(e, p + e.size())) {
        whole += e.size();
      }
    }
    CHILD_CHECK(log.compare(0, head.size(), head) == 0 && log.size() == head.size() + whole &&
                whole == 300 * (expected[0].size() + expected[1].size()));
  });
}

TEST(EntryPoints, CurrentNameIsUpperCasedLogNamesAreExact) {
  scenario(std::string(kCfg) + "[myapp]\nLOGFILENAME=m.log\n", [] {
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
    wantFile("m.log", banner("MYAPP") + line("MYAPP", "INFO", "current") +
                      line("MYAPP", "INFO", "null module") + line("MYAPP", "INFO", "") +
                      line("MYAPP", "INFO", "still open"));
  });
}

TEST(EntryPoints, SetFile) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n[M]\nLOGFILENAME=m.log\n[NOFILE]\n", [] {
    const std::string sub = std::string(200, 'd') + "/" + std::string(200, 'e');
    CHILD_CHECK(mkdir(sub.substr(0, 200).c_str(), 0755) == 0 && mkdir(sub.c_str(), 0755) == 0);
    const std::string path511 = sub + "/" + std::string(109, 'f'), path512 = path511 + "g";
    qologSetModuleName("m");
    qologTrace(QOLOG_INFO, "one");
    qologSetFile("m.log");  // unchanged: not even reopened
    qologSetFile(nullptr);
    qologTrace(QOLOG_INFO, "two");
    qologSetFile(path512.c_str());  // too long: the module stays where it is
    qologTrace(QOLOG_INFO, "three");
    wantFile("m.log", banner("M") + line("M", "INFO", "one") + line("M", "INFO", "two") +
                      line("M", "INFO", "three"));
    qologSetFile(path511.c_str());
    CHILD_CHECK(access(path511.c_str(), F_OK) != 0);  // opened at the next message
    qologTrace(QOLOG_INFO, "four");
    wantFile(path511, banner("M") + line("M", "INFO", "four"));
    qologSetFile("b.log");
    CHILD_CHECK(access("b.log", F_OK) != 0);
    qologTrace(QOLOG_INFO, "five");
    wantFile("b.log", banner("M") + line("M", "INFO", "five"));
    qologSetModuleName("nofile");
    qologSetFile("x.log");  // never gives a module its first file
    qologTrace(QOLOG_INFO, "dropped");
    CHILD_CHECK(access("x.log", F_OK) != 0 && access(path512.c_str(), F_OK) != 0);
  });
}

TEST(EntryPoints, LeaveErrnoAloneAndFormatPercentMWithIt) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n[BAD]\nLOGFILENAME=nodir/x.log\n", [] {
    const std::string big(1100, 'b');
    errno = ENOENT;
    qologLog("DEFAULT", QOLOG_INFO, "%m");  // also the first load
    CHILD_CHECK(errno == ENOENT);
    const std::function<void()> calls[] = {
        [] { qologSetModuleName("bad"); }, [] { qologTrace(QOLOG_INFO, "unopenable"); },
        [&] { qologLog("DEFAULT", QOLOG_INFO, "%s", big.c_str()); },
        [] { qologLogBin("DEFAULT", QOLOG_INFO, "ab", 2, "rolls the file"); },
        [] { qologTraceBin(QOLOG_INFO, "ab", 2, "bin"); }, [] { qologSetFile("nodir/y.log"); },
        [] { qologSetOutput(3); }, [] { qologSetDate(1); }, [] { qologClose("BAD"); }};
    for (const auto &call : calls) {
      errno = EDOM;
      call();
      CHILD_CHECK(errno == EDOM);
    }
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "INFO", strerror(ENOENT)) +
                        line("DEFAULT", "INFO", big));
    // This roll fails to remove a missing backup (ENOENT) before the text is
    // formatted. The failure on BAD moved DEFAULT to its per-process name.
    qologLog("DEFAULT", QOLOG_INFO, "%s", big.c_str());
    errno = EACCES;
    qologLog("DEFAULT", QOLOG_INFO, "[%m]");
    CHILD_CHECK(errno == EACCES);
    const std::string text = "[" + std::string(strerror(EACCES)) + "]";
    wantFile(pid() + "-a.log", banner("DEFAULT") + line("DEFAULT", "INFO", text));
  });
}

// Also: a forked child never writes to the file its parent holds, whatever
// lines of other threads were queued when it was made.
TEST(Concurrency, ForkWhileOtherThreadsLog) {
  scenario(kCfg, [] {
    qologLog("DEFAULT", QOLOG_INFO, "parent");
    std::atomic<bool> stop{false};
    auto busy = [&] {
      while (!stop) qologLog("DEFAULT", QOLOG_INFO, "busy");
    };
    std::thread busy1(busy), busy2(busy), busy3(busy);
    for (int i = 0; i < 20; ++i) {
      pid_t child = fork();
      if (child == 0) {
        alarm(10);  // a deadlock ends the child with SIGALRM
        qologLog("DEFAULT", QOLOG_INFO, "child");
        wantFile(pid() + "-a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "child"));
        _exit(0);
      }
      int status = 0;
      CHILD_CHECK(child > 0 && waitpid(child, &status, 0) == child);
      CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    busy1.join();
    busy2.join();
    busy3.join();
    qologLog("DEFAULT", QOLOG_INFO, "parent again");
    const std::string a = qtest::readFile("a.log"), last = line("DEFAULT", "INFO", "parent again");
    CHILD_CHECK(a.find("child") == std::string::npos && a.rfind(last) == a.size() - last.size());
  });
}

TEST(Concurrency, CancelledThreadNeverKeepsTheLock) {
  scenario(kCfg, [] {
    alarm(30);  // a lock left held ends the child with SIGALRM
    static std::atomic<int> calls{0};
    for (int i = 0; i < 50; ++i) {
      pthread_t t;
      const int start = calls;
      CHILD_CHECK(pthread_create(&t, nullptr, [](void *) -> void * {
        for (;;) {
          qologLog("DEFAULT", QOLOG_INFO, "until cancelled");
          ++calls;
          pthread_testcancel();
        }
      }, nullptr) == 0);
      while (calls < start + 3) sched_yield();  // now mostly inside a call
      pthread_cancel(t);
      CHILD_CHECK(pthread_join(t, nullptr) == 0);
      qologLog("DEFAULT", QOLOG_INFO, "after %d", i);
    }
  });
}

}  // namespace
