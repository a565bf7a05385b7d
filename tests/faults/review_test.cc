// Faults found by outside reviews: each case makes the situation that lost
// lines, hung or touched files that were not ours, in a child process of its
// own, and checks what the files hold afterwards.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "e2e/expect_lines.h"
#include "fault_os.h"
#include "qolog.h"
#include "support/driver.h"

using namespace qexp;

namespace {

std::unique_ptr<qolog::State> fresh() {
  return std::make_unique<qolog::State>(qfault::faultyOs());
}

void log(qolog::State &s, const char *module, const std::string &text) {
  qtest::logTo(s, module, QOLOG_ERROR, "%s", text.c_str());
}

// Runs `body` in a process of its own (it logs with a state of its own) and
// returns its exit status.
int inOtherProcess(const std::function<void()> &body) {
  pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const std::string kBig(1100, 'x');  // takes a file past 1 KB

// 14.1: one file named by two paths is one open file: a roll moves both
// slots to the new file, and closing one slot keeps the lock.
TEST(Review, TwoPathsToOneFileShareItsRollAndLock) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n[B]\nLOGFILENAME=./a.log\n", [] {
    auto s = fresh();
    log(*s, "DEFAULT", "one");
    log(*s, "B", "b1");
    log(*s, "DEFAULT", kBig);
    log(*s, "B", "b2");  // rolls
    log(*s, "DEFAULT", "two");
    qolog::closeNamedModule(*s, "B");
    CHILD_CHECK(inOtherProcess([&] { log(*fresh(), "DEFAULT", "other"); }) == 0);
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "ERR", "one") + banner("B") +
                            line("B", "ERR", "b1") + line("DEFAULT", "ERR", kBig));
    wantFile("a.log", banner("B") + line("B", "ERR", "b2") + banner("DEFAULT") +
                          line("DEFAULT", "ERR", "two"));
  });
}

// 14.2: a FIFO as log file: no reader, a reader that goes away.
TEST(Review, FifoNeverBlocksOrKills) {
  scenario("[DEFAULT]\nLOGFILENAME=fifo.log\n", [] {
    alarm(20);
    CHILD_CHECK(mkfifo("fifo.log", 0600) == 0);
    auto s = fresh();
    log(*s, "DEFAULT", "nobody reads");  // can't be opened: dropped at once
    int reader = open("fifo.log", O_RDONLY | O_NONBLOCK);
    CHILD_CHECK(reader >= 0);
    std::string big(200000, 'y');  // past the pipe's capacity
    std::thread closer([reader] {
      usleep(100000);
      close(reader);
    });
    log(*s, "DEFAULT", big);  // blocks until the reader goes, then fails (EPIPE)
    closer.join();
    log(*s, "DEFAULT", "after");
  });
}

// 14.3: the application's own fork handlers, registered before its first
// message, log.
TEST(Review, ForkHandlersOfTheApplicationMayLog) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    alarm(20);
    auto say = [](const char *where) { qologLog("DEFAULT", QOLOG_ERROR, "%s", where); };
    static void (*sayIt)(const char *) = say;
    pthread_atfork([] { sayIt("prepare"); }, [] { sayIt("parent"); }, [] { sayIt("child"); });
    sayIt("first");
    pid_t child = fork();
    if (child == 0) _exit(0);
    CHILD_CHECK(child > 0 && waitpid(child, nullptr, 0) == child);
    const std::string text = qtest::readFile("a.log");
    CHILD_CHECK(text.find("|prepare\n") != std::string::npos);
    CHILD_CHECK(text.find("|parent\n") != std::string::npos);
  });
}

// 14.4: a relative path rolls in the directory it was opened in, whatever
// the working directory is now; a file replaced from outside is reopened,
// not rolled.
TEST(Review, RollTouchesOnlyTheFileHeld) {
  const char cfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=2\n";
  scenario(cfg, [] {
    auto s = fresh();
    log(*s, "DEFAULT", kBig);
    CHILD_CHECK(mkdir("b", 0755) == 0 && chdir("b") == 0);
    for (const char *f : {"a.log", "a.log.1", "a.log.2"}) qtest::writeFile(f, f);
    log(*s, "DEFAULT", "rolled");
    for (const char *f : {"a.log", "a.log.1", "a.log.2"}) wantFile(f, f);
    CHILD_CHECK(chdir("..") == 0);
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "ERR", kBig));
    wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "ERR", "rolled"));
  });
  scenario(cfg, [] {
    auto s = fresh();
    log(*s, "DEFAULT", kBig);
    qtest::writeFile("new", "replacement\n");
    CHILD_CHECK(rename("new", "a.log") == 0);
    log(*s, "DEFAULT", "after");
    wantDir(".", {"a.log", "qotrace.cfg", "stderr.txt"});
    wantFile("a.log", "replacement\n" + banner("DEFAULT") + line("DEFAULT", "ERR", "after"));
  });
}

// 14.6: a symbolic link to a regular file: the reload check follows the
// link to a rotated target, and a short write is taken back.
TEST(Review, SymbolicLinkToARegularFile) {
  const char cfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n";
  const std::string later = "Nov 14 22:14:21:000";
  scenario(cfg, [&] {
    CHILD_CHECK(symlink("target", "a.log") == 0);
    auto s = fresh();
    log(*s, "DEFAULT", "one");
    CHILD_CHECK(rename("target", "target.1") == 0);
    qtest::writeFile("target", "");
    qtest::advanceFakeClock(61);
    log(*s, "DEFAULT", "two");
    wantFile("target.1", banner("DEFAULT") + line("DEFAULT", "ERR", "one"));
    wantFile("target", banner("DEFAULT", later) + line("DEFAULT", "ERR", "two", later));
  });
  scenario(cfg, [] {
    CHILD_CHECK(symlink("target", "a.log") == 0);
    auto s = fresh();
    log(*s, "DEFAULT", "one");
    qfault::shortWrites(1);
    qfault::inject(qfault::kWrite, ENOSPC, 1, "target");
    log(*s, "DEFAULT", "torn");
    qfault::clear();
    log(*s, "DEFAULT", "two");
    wantFile("target", banner("DEFAULT") + line("DEFAULT", "ERR", "one") + banner("DEFAULT") +
                           line("DEFAULT", "ERR", "two"));
  });
}

// 14.7: standard error is a slow pipe and a signal handler without
// SA_RESTART interrupts the writes: every copy still arrives whole.
TEST(Review, StderrCopiesSurviveSignals) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    int pipeFds[2];
    CHILD_CHECK(pipe(pipeFds) == 0);
    pid_t reader = fork();
    if (reader == 0) {  // reads slowly into got.txt
      close(pipeFds[1]);
      int out = open("got.txt", O_WRONLY | O_CREAT, 0644);
      char buf[4096];
      for (ssize_t n; (n = read(pipeFds[0], buf, sizeof(buf))) > 0; usleep(1000)) {
        if (write(out, buf, static_cast<size_t>(n)) != n) _exit(1);
      }
      _exit(0);
    }
    dup2(pipeFds[1], 2);
    close(pipeFds[0]);
    close(pipeFds[1]);
    struct sigaction tick = {};
    tick.sa_handler = [](int) {};
    sigaction(SIGALRM, &tick, nullptr);  // no SA_RESTART
    struct itimerval every = {{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &every, nullptr);
    auto s = fresh();
    log(*s, "DEFAULT", "loads the configuration");
    qolog::setCurrentModuleName(*s, "DEFAULT");
    qolog::setCurrentOutput(*s, QOLOG_OUT_STDERR);
    std::string want;
    for (int i = 0; i < 400; ++i) {
      const std::string text = std::to_string(i) + std::string(500, '.');
      log(*s, "DEFAULT", text);
      want += line("DEFAULT", "ERR", text);
    }
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    close(2);
    CHILD_CHECK(waitpid(reader, nullptr, 0) == reader);
    wantFile("got.txt", want);
  });
}

// 14.8: a plugin host loading and unloading the library leaves no
// descriptor and no lock behind.
TEST(Review, UnloadClosesFilesAndLocks) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    auto fds = [] { return qtest::listDir("/proc/self/fd").size(); };
    size_t before = 0;
    for (int i = 0; i < 20; ++i) {
      void *lib = dlopen(QOLOG_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
      CHILD_CHECK(lib != nullptr);
      auto logFn = reinterpret_cast<void (*)(const char *, uint32_t, const char *, ...)>(
          dlsym(lib, "qologLog"));
      logFn("DEFAULT", QOLOG_ERROR, "loaded %d", i);
      CHILD_CHECK(dlclose(lib) == 0);
      if (i == 0) before = fds();
    }
    CHILD_CHECK(fds() == before);
    int fd = open("a.log", O_WRONLY);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    CHILD_CHECK(fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0);
  });
}

// 14.9: a child made with _Fork, which runs no fork handlers, writes with
// its own process id into its own file.
TEST(Review, ChildMadeWithoutForkHandlers) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    qologLog("DEFAULT", QOLOG_ERROR, "parent");
    pid_t child = _Fork();
    if (child == 0) {
      qologLog("DEFAULT", QOLOG_ERROR, "child");
      _exit(0);
    }
    CHILD_CHECK(child > 0 && waitpid(child, nullptr, 0) == child);
    const std::string mine = qtest::readFile(std::to_string(child) + "-a.log");
    char ids[32];
    snprintf(ids, sizeof(ids), "|PID=%4d|", static_cast<int>(child));
    CHILD_CHECK(mine.find(ids) != std::string::npos);
    CHILD_CHECK(qtest::readFile("a.log").find("|child") == std::string::npos);
  });
}

// 20.1: with standard error closed, a log file never takes fd 2,
// where the module's stderr copies (and a later freopen) would go.
TEST(Review, ClosedStandardDescriptorsStayFree) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    auto s = fresh();
    close(2);
    log(*s, "DEFAULT", "once");
    qolog::setCurrentModuleName(*s, "DEFAULT");
    qolog::setCurrentOutput(*s, QOLOG_OUT_FILE | QOLOG_OUT_STDERR);
    log(*s, "DEFAULT", "twice");
    CHILD_CHECK(fcntl(2, F_GETFD) == -1);
    wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "ERR", "once") +
                          line("DEFAULT", "ERR", "twice"));
  });
}

// 20.2: a device (here behind a link) is written without a lock by every
// process, and never makes a process take per-process names.
TEST(Review, DevicesAreNeitherLockedNorRenamed) {
  scenario("[DEFAULT]\nLOGFILENAME=null.log\n[M]\nLOGFILENAME=m.log\n", [] {
    CHILD_CHECK(symlink("/dev/null", "null.log") == 0);
    auto first = fresh();
    log(*first, "DEFAULT", "first");
    CHILD_CHECK(inOtherProcess([] {
                  auto second = fresh();
                  log(*second, "DEFAULT", "second");
                  log(*second, "M", "m");
                }) == 0);
    wantDir(".", {"m.log", "null.log", "qotrace.cfg", "stderr.txt"});
  });
}

// 20.3: the wall clock set back a year after the first load: the next
// message checks the configuration at once.
TEST(Review, ClockSetBackChecksAtOnce) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n", [] {
    auto s = fresh();
    qtest::setFakeClock(kNow + 365 * 86400);
    log(*s, "DEFAULT", "ahead");
    qtest::setFakeClock(kNow);
    qtest::writeFile("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=b.log\n");
    const struct timespec later[2] = {{kNow + 3650L * 86400, 0}, {kNow + 3650L * 86400, 0}};
    CHILD_CHECK(utimensat(AT_FDCWD, "qotrace.cfg", later, 0) == 0);
    log(*s, "DEFAULT", "back");
    wantFile("b.log", banner("DEFAULT") + line("DEFAULT", "ERR", "back"));
  });
}

// 20.4: the configured file is taken, and so is the per-process name (left
// by an earlier process with the same id): a name of its own is made.
TEST(Review, ReusedPidFindsAFreshName) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    const std::string mine = pid() + "-a.log";
    int ready[2];
    CHILD_CHECK(pipe(ready) == 0);
    pid_t holder = fork();
    if (holder == 0) {  // holds both names locked
      for (const std::string &f : {std::string("a.log"), mine}) {
        int fd = open(f.c_str(), O_WRONLY | O_CREAT, 0644);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) _exit(1);
      }
      if (write(ready[1], "r", 1) != 1) _exit(1);
      pause();
    }
    char c;
    CHILD_CHECK(read(ready[0], &c, 1) == 1);
    log(*fresh(), "DEFAULT", "kept");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    wantFile(pid() + ".1-a.log", banner("DEFAULT") + line("DEFAULT", "ERR", "kept"));
  });
}

// 20.6: the application reading its own log file keeps the library's lock.
TEST(Review, ReadingTheLogFileKeepsTheLock) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    auto s = fresh();
    log(*s, "DEFAULT", "mine");
    fclose(fopen("a.log", "r"));
    CHILD_CHECK(inOtherProcess([] { log(*fresh(), "DEFAULT", "other"); }) == 0);
    wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "ERR", "mine"));
  });
}

}  // namespace
