// Message lines and hex dumps written through the entry points, checked byte
// for byte; the current module, the setters, fork and cancellation.
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "expect_lines.h"
#include "qolog.h"

using namespace qexp;

namespace {

const char kCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nDEBUGLEVEL=ALL\n";

// Tags by level, unknown names written as DEFAULT, then a rebuild: it brings
// back date format 1, file slot 0 keeps its banner flag, E's file starts anew.
TEST(Lines, TagsLevelsTheDefaultStandInAndBannersAfterARebuild) {
  scenario(std::string(kCfg) + "ENABLETRACES=ON\nRELOADPERIOD=1M\n[E]\nLOGFILENAME=e.log\nDebugLevel=ERROR\n", [] {
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
    qologSetDate(0);
    qologLog("E", QOLOG_ERROR | QOLOG_INFO, "needs both bits");
    qologLog("E", QOLOG_ERROR, "no date");
    CHILD_CHECK(qtest::setMtime("qotrace.cfg", kNow + 3650L * 86400));  // changed; the period passes
    qtest::advanceFakeClock(61);
    const char later[] = "Nov 14 22:14:21:000";
    qologLog("DEFAULT", QOLOG_INFO, "rebuilt");
    qologLog("E", QOLOG_ERROR, "rebuilt");
    wantFile("a.log", w + "bare text\n" + line("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "INFO", "cut") +
                          line("DEFAULT", "INFO", "rebuilt", later));
    wantFile("e.log", banner("E", "") + line("E", "ERR", "no date", "") + banner("E", later) +
                          line("E", "ERR", "rebuilt", later));
  });
}

// Dumps, then lines in each date format, from DEFAULT as the current module;
// the copies on standard error are checked at the end.
TEST(Lines, DumpsDateFormatsAndStandardError) {
  scenario(kCfg, [] {
    qologTrace(0, "load");  // the first rebuild sets format 1
    qologSetOutput(QOLOG_OUT_STDERR);  // no module named "": nothing
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, "abc", 0, "no bytes");
    qologTraceBin(QOLOG_INFO, nullptr, 3, "null data");
    qologLogBin("UNKNOWN", QOLOG_INFO, "abc", 3, "no such module");
    CHILD_CHECK(access("a.log", F_OK) != 0);
    qologTraceBin(QOLOG_INFO, "abc", -1, "negative");  // the line alone
    std::string w = banner("DEFAULT") + line("DEFAULT", "INFO", "negative"), err;
    for (int len : {1, 5, 19, 20, 21, 40, 256, 10001}) {
      std::string data(len, '\0');
      for (int i = 0; i < len; ++i) data[i] = static_cast<char>(len == 256 ? i : i * 37 + 11);
      if (len == 5) data = "Hello";
      qologLogBin("DEFAULT", QOLOG_INFO, data.data(), len, "dump %d", len);
      w += line("DEFAULT", "INFO", "dump " + std::to_string(len)) + referenceDump(data);
    }
    const struct { uint32_t format, output; time_t sec; long nsec; const char *stamp; } cases[] = {
        {0, 1, kNow, 0, ""},
        {1, 7, 1699122168, 48000000, "Nov  4 18:22:48:048"},  // output bits 1 and 2 kept
        {1, 1, kNow, 999999999, "Nov 14 22:13:20:999"},
        {2, 1, kNow, 5000000, "1700000000.5"}};
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
    qologTraceBin(QOLOG_INFO, "abc", 3, "no rows");  // the line alone
    qologSetOutput(0);
    qologTrace(QOLOG_INFO, "nowhere");
    wantFile("a.log", w);
    wantFile("stderr.txt", err + "stderr only\n" + line("DEFAULT", "INFO", "no rows", "1700000000.5"));
  });
}

// The current module by its upper-cased name, exact names elsewhere, null
// arguments; then S's file changed by name.
TEST(EntryPoints, CurrentModuleAndItsFile) {
  scenario(std::string(kCfg) + "[myapp]\nLOGFILENAME=m.log\n[S]\nLOGFILENAME=s.log\n[NOFILE]\n", [] {
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
    const std::string sub = std::string(200, 'd') + "/" + std::string(200, 'e');
    CHILD_CHECK(mkdir(sub.substr(0, 200).c_str(), 0755) == 0 && mkdir(sub.c_str(), 0755) == 0);
    const std::string path511 = sub + "/" + std::string(109, 'f'), path512 = path511 + "g";
    qologSetModuleName("s");
    qologTrace(QOLOG_INFO, "one");
    qologSetFile("s.log");  // unchanged: not even reopened
    qologSetFile(nullptr);
    qologSetFile(path512.c_str());  // too long: the module stays where it is
    qologTrace(QOLOG_INFO, "two");
    wantFile("s.log", banner("S") + line("S", "INFO", "one") + line("S", "INFO", "two"));
    qologSetFile(path511.c_str());
    CHILD_CHECK(access(path511.c_str(), F_OK) != 0);  // opened at the next message
    qologTrace(QOLOG_INFO, "three");
    wantFile(path511, banner("S") + line("S", "INFO", "three"));
    qologSetModuleName("nofile");
    qologSetFile("x.log");  // never gives a module its first file
    qologTrace(QOLOG_INFO, "dropped");
    CHILD_CHECK(access("x.log", F_OK) != 0 && access(path512.c_str(), F_OK) != 0);
  });
}

// A forked child never writes to the file its parent holds, whatever lines
// of other threads were queued when it was made, and its per-process names
// carry its own id, not its parent's too. The application's fork handlers,
// registered before its first message, log. A child made with _Fork,
// which runs no handlers, writes with its own id, to its own file.
// a.log never rolls here: a roll would free its name for the next child.
TEST(Concurrency, ForkWhileOtherThreadsLog) {
  scenario(std::string(kCfg) + "MAXFILESIZE=2000MB\n[M]\nLOGFILENAME=m.log\n[X]\nLOGFILENAME=nodir/x\n", [] {
    static void (*say)(const char *) = [](const char *w) { qologLog("DEFAULT", QOLOG_INFO, "%s", w); };
    pthread_atfork([] { say("prepare"); }, [] { say("parent"); }, [] { say("child"); });
    say("first");
    qologLog("X", QOLOG_INFO, "tags the process");
    qologLog("M", QOLOG_INFO, "to #-m.log");
    std::atomic<int> stop{0}, running{0};
    auto spin = [&] { for (++running; !stop;) say("busy"); };
    std::thread busy[] = {std::thread(spin), std::thread(spin), std::thread(spin)};
    // Forked only once the threads run: a thread still starting may hold a
    // lock of the sanitizers' allocator, which no fork handler releases.
    while (running < 3) sched_yield();
    for (int i = 0; i < 20; ++i) {
      pid_t child = fork();
      if (child == 0) {
        alarm(10);  // a deadlock ends the child with SIGALRM
        qologLog("M", QOLOG_INFO, "mine");
        wantFile(pid() + "-a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "child"));
        wantFile(pid() + "-m.log", banner("M") + line("M", "INFO", "mine"));
        _exit(0);
      }
      int status = -1;
      CHILD_CHECK(child > 0 && waitpid(child, &status, 0) == child && status == 0);
    }
    stop = true;
    for (std::thread &t : busy) t.join();
    pid_t child = _Fork();
    if (child == 0) {
      say("forked");
      _exit(0);
    }
    CHILD_CHECK(child > 0 && waitpid(child, nullptr, 0) == child);
    say("last");
    const std::string a = qtest::readFile("a.log"), last = line("DEFAULT", "INFO", "last");
    CHILD_CHECK(a.find("|prepare\n") != std::string::npos && a.find("|parent\n") != std::string::npos);
    CHILD_CHECK(a.find("|child") == std::string::npos && a.find("|forked") == std::string::npos &&
                a.rfind(last) == a.size() - last.size());
    char ids[32];
    snprintf(ids, sizeof(ids), "|PID=%4d|", static_cast<int>(child));
    CHILD_CHECK(qtest::readFile(std::to_string(child) + "-a.log").find(ids) != std::string::npos);
  });
}

TEST(Concurrency, CancelledThreadNeverKeepsTheLock) {
  scenario(kCfg, [] {
    static std::atomic<int> calls{0};
    for (int i = 0; i < 50; ++i) {
      pthread_t t;
      const int start = calls;
      CHILD_CHECK(pthread_create(&t, nullptr, [](void *) -> void * {
        for (;; ++calls) {
          qologLog("DEFAULT", QOLOG_INFO, "until cancelled");
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
