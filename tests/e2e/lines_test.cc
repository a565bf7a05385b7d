// Message lines and hex dumps written through the entry points, checked byte
// for byte; the current module, the setters, errno, fork and cancellation.
#include <ctype.h>
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
        {1, "ERR"}, {2, "INFO"}, {3, "ERR"}, {4, "DBG"}, {8, "FBEG"}, {16, "FEND"}, {12, "DBG"}, {48, "FEND"}};
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

TEST(Lines, DateFormatsAndStandardError) {
  scenario(kCfg, [] {
    qologTrace(0, "load");  // the first rebuild sets format 1
    qologSetOutput(QOLOG_OUT_STDERR);  // no module named "": nothing
    qologSetModuleName("default");
    const struct { uint32_t format, output; time_t sec; long nsec; const char *stamp; } cases[] = {
        {0, 1, kNow, 0, ""},
        {1, 7, 1699122168, 48000000, "Nov  4 18:22:48:048"},  // output bits 1 and 2 kept
        {1, 1, kNow, 999999999, "Nov 14 22:13:20:999"},
        {2, 1, kNow, 5000000, "1700000000.5"}};
    std::string w = banner("DEFAULT", ""), err;
    for (const auto &c : cases) {
      qtest::setFakeClock(c.sec, c.nsec);
      qologSetDate(c.format);
      qologSetDate(3);  // out of range: ignored, as is the next
      qologSetDate(static_cast<uint32_t>(-1));
      qologSetOutput(c.output);
      qologTrace(QOLOG_INFO, "text");
      w += line("DEFAULT", "INFO", "text", c.stamp);
      if (c.output & QOLOG_OUT_STDERR) err += line("DEFAULT", "INFO", "text", c.stamp);
    }
    qologSetOutput(QOLOG_OUT_STDERR);
    qologTrace(QOLOG_PROCINFO, "stderr only");
    qologSetOutput(0);
    qologTrace(QOLOG_INFO, "nowhere");
    wantFile("a.log", w);
    wantFile("stderr.txt", err + "stderr only\n");
  });
}

// After a roll the banner is checked with the log files; a rebuild brings
// back date format 1, and file slot 0 keeps its banner flag across it.
TEST(Lines, BannerAfterRebuild) {
  scenario("[DEFAULT]\nLOGFILENAME=d.log\nRELOADPERIOD=1M\n[M]\nLOGFILENAME=m.log\n", [] {
    qologLog("DEFAULT", QOLOG_INFO, "before");
    qologSetDate(0);
    qologLog("M", QOLOG_INFO, "no date");
    CHILD_CHECK(qtest::setMtime("qotrace.cfg", kNow + 3650L * 86400));  // changed; the period passes
    qtest::advanceFakeClock(61);
    const char later[] = "Nov 14 22:14:21:000";
    qologLog("DEFAULT", QOLOG_INFO, "rebuilt");
    qologLog("M", QOLOG_INFO, "rebuilt");
    wantFile("m.log", banner("M", "") + line("M", "INFO", "no date", "") + banner("M", later) +
                          line("M", "INFO", "rebuilt", later));
    wantFile("d.log", banner("DEFAULT") + line("DEFAULT", "INFO", "before") +
                          line("DEFAULT", "INFO", "rebuilt", later));
  });
}

// Rows of 20 bytes: "%04d " offset, hexadecimal pairs padded to 50 columns,
// " [", the printable column padded to 20, "]".
std::string referenceDump(const std::string &d) {
  std::string s;
  char b[24];
  for (size_t row = 0; row < d.size(); row += 20) {
    std::string hex, chars;
    for (size_t i = row; i < d.size() && i < row + 20; ++i) {
      snprintf(b, sizeof(b), i % 2 ? "%02X " : "%02X", static_cast<unsigned char>(d[i]));
      hex += b;
      chars += isprint(static_cast<unsigned char>(d[i])) ? d[i] : '.';
    }
    snprintf(b, sizeof(b), "%04zu ", row);
    hex.resize(50, ' ');
    chars.resize(20, ' ');
    s += b + hex + " [" + chars + "]\n";
  }
  return s;
}

TEST(HexDump, RowsAndWhatIsNotWritten) {
  scenario(kCfg, [] {
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, "abc", 0, "no bytes");
    qologTraceBin(QOLOG_INFO, nullptr, 3, "null data");
    qologLogBin("UNKNOWN", QOLOG_INFO, "abc", 3, "no such module");
    CHILD_CHECK(access("a.log", F_OK) != 0);
    qologTraceBin(QOLOG_INFO, "abc", -1, "negative");  // the line alone
    std::string w = banner("DEFAULT") + line("DEFAULT", "INFO", "negative");
    for (int len : {1, 5, 19, 20, 21, 40, 256, 10001}) {
      std::string data(len, '\0');
      for (int i = 0; i < len; ++i) data[i] = static_cast<char>(len == 256 ? i : i * 37 + 11);
      if (len == 5) data = "Hello";
      qologLogBin("DEFAULT", QOLOG_INFO, data.data(), len, "dump %d", len);
      w += line("DEFAULT", "INFO", "dump " + std::to_string(len)) + referenceDump(data);
    }
    qologSetOutput(QOLOG_OUT_STDERR);
    qologTraceBin(QOLOG_INFO, "abc", 3, "stderr only");
    wantFile("a.log", w);
    wantFile("stderr.txt", line("DEFAULT", "INFO", "stderr only"));
  });
}

// A line that takes the file over its limit makes the dump start the next
// file, ahead of that file's banner.
TEST(HexDump, LineOverTheLimitRollsBeforeTheDump) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n", [] {
    const std::string big(1100, 'b');
    qologLogBin("DEFAULT", QOLOG_INFO, "Hello", 5, "%s", big.c_str());
    qologLog("DEFAULT", QOLOG_INFO, "next");
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "INFO", big));
    wantFile("a.log", referenceDump("Hello") + banner("DEFAULT") + line("DEFAULT", "INFO", "next"));
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
    CHILD_CHECK(qtest::lockAsOther("m.log"));  // its last user closed: file and lock let go
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
    qologSetFile(path512.c_str());  // too long: the module stays where it is
    qologTrace(QOLOG_INFO, "two");
    wantFile("m.log", banner("M") + line("M", "INFO", "one") + line("M", "INFO", "two"));
    qologSetFile(path511.c_str());
    CHILD_CHECK(access(path511.c_str(), F_OK) != 0);  // opened at the next message
    qologTrace(QOLOG_INFO, "three");
    wantFile(path511, banner("M") + line("M", "INFO", "three"));
    qologSetModuleName("nofile");
    qologSetFile("x.log");  // never gives a module its first file
    qologTrace(QOLOG_INFO, "dropped");
    CHILD_CHECK(access("x.log", F_OK) != 0 && access(path512.c_str(), F_OK) != 0);
  });
}

TEST(EntryPoints, LeaveErrnoAloneAndFormatPercentMWithIt) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n[BAD]\nLOGFILENAME=nodir/x.log\n", [] {
    const std::string big(1100, 'b');
    errno = ENOENT;  // each call gives back the errno it found: checked once at the end
    qologLog("DEFAULT", QOLOG_INFO, "%m");  // also the first load
    qologSetModuleName("bad");
    qologTrace(QOLOG_INFO, "unopenable");
    qologLog("DEFAULT", QOLOG_INFO, "%s", big.c_str());
    qologLogBin("DEFAULT", QOLOG_INFO, "ab", 2, "rolls the file");
    qologSetFile("nodir/y.log");
    qologSetOutput(3);
    qologSetDate(1);
    qologClose("BAD");
    CHILD_CHECK(errno == ENOENT);
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "INFO", strerror(ENOENT)) +
                            line("DEFAULT", "INFO", big));
  });
}

// A forked child never writes to the file its parent holds, whatever lines
// of other threads were queued when it was made.
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
      CHILD_CHECK(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                  WEXITSTATUS(status) == 0);
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
