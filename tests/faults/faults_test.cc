// Faults under the library and around it: failing system calls (through an
// OS layer that fails on demand), a full file system, the log directory or
// file changed from outside, and the situations outside reviews found to
// lose lines, hang or touch files that were not ours. Each case runs in a
// child process of its own and checks what the files hold afterwards.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "e2e/expect_lines.h"
#include "fault_os.h"
#include "qolog.h"
#include "support/driver.h"

using namespace qexp;

namespace {

const std::string kBig(1100, 'x');  // one such line takes a file past 1 KB
const std::string kLater = "Nov 14 22:14:21:000";

// The child's state, on the failing OS layer (another process gets its own).
qolog::State *g_state;
qolog::State &state() {
  if (g_state == nullptr) g_state = new qolog::State(qfault::faultyOs());
  return *g_state;
}

// Logs `word` for `module`; "one" is padded by `pad` bytes.
void log(const std::string &word, size_t pad = kBig.size(), const char *module = "DEFAULT") {
  qtest::logTo(state(), module, QOLOG_ERROR, "%s", (word == "one" ? "one " + std::string(pad, 'x') : word).c_str());
}

// Expected text: "B" a banner, "B:M" module M's, "@" the clock a reload
// period later from there on, "=word" the raw line "word", "M:word" a line
// of module M, any other word a line of DEFAULT ("one" padded by `pad`).
std::string text(const std::string &tokens, size_t pad = kBig.size()) {
  std::string out, word, stamp = kStamp;
  std::istringstream in(tokens);
  while (in >> word) {
    size_t colon = word.find(':');
    std::string module = colon == std::string::npos ? "DEFAULT" : word.substr(0, colon);
    if (colon != std::string::npos) word = word.substr(colon + 1);
    if (word == "B") {
      out += banner(module, stamp);
    } else if (word == "@") {
      stamp = kLater;
    } else if (word[0] == '=') {
      out += word.substr(1) + "\n";
    } else {
      out += line(module, "ERR", word == "one" ? "one " + std::string(pad, 'x') : word, stamp);
    }
  }
  return out;
}

// Files expected in `dir`, by name ('#' stands for the process id), and their tokens.
using Files = std::vector<std::pair<std::string, std::string>>;

void wantFiles(const std::string &dir, const Files &files, size_t pad = kBig.size()) {
  Names names;
  if (dir == ".") names = {"qotrace.cfg", "stderr.txt"};
  for (auto [name, tokens] : files) {
    if (name[0] == '#') name.replace(0, 1, pid());
    names.push_back(name);
    wantFile(dir + "/" + name, text(tokens, pad));
  }
  wantDir(dir, names);
}

int openFds() { return static_cast<int>(qtest::listDir("/proc/self/fd").size()); }

// Runs `body` in another process (logging with a state of its own).
int inOther(const std::function<void()> &body) {
  pid_t child = fork();
  if (child == 0) {
    g_state = nullptr;
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr char kCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\nRELOADPERIOD=1M\nMAXFILEBACKUPS=";

// One failing call per row, `times` times (-1: until cleared). The file is
// past its limit, so the next message rolls it (rename, unlink, open, lock),
// then writes. f1 to f3 meet the fault; "after" comes once it cleared.
TEST(Faults, FailingCallsLoseOnlyTheMessagesTheyHit) {
  const struct {
    const char *what;
    qfault::Call call;
    int err, times;
    const char *name;  // null: any log file
    int backups;
    bool oldBackups;  // a.log.1 and .2 exist before
    Files files;
  } rows[] = {
      // The roll opens the new file while the old one is held, then again
      // after closing it, then the per-process name: nothing is lost.
      {"open fails twice", qfault::kOpen, EMFILE, 2, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"#-a.log", "B f1 f2 f3 after"}}},
      {"configured name can't be opened", qfault::kOpen, EACCES, -1, "a.log", 2, false,
       {{"a.log.1", "B one"}, {"#-a.log", "B f1 f2 f3 after"}}},
      {"open fails once", qfault::kOpen, EMFILE, 1, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      {"lock refused once", qfault::kLock, ENOLCK, 1, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      // The failing lines are lost; the next message reopens, banner first.
      {"disk full twice", qfault::kWrite, ENOSPC, 2, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f3 after"}}},
      {"I/O error once", qfault::kWrite, EIO, 1, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f2 f3 after"}}},
      {"interrupted writes are retried", qfault::kWrite, EINTR, 2, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      {"writes cut short go on", qfault::kWrite, 0, 4, nullptr, 2, false,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      // The roll is retried at every message; the file grows meanwhile.
      {"rename fails", qfault::kRename, EXDEV, -1, nullptr, 2, false,
       {{"a.log.1", "B one B f1 B f2 B f3"}, {"a.log", "B after"}}},
      {"unlink fails, no backups", qfault::kUnlink, EBUSY, -1, nullptr, 0, false, {{"a.log", "B after"}}},
      // Only the file itself can't be renamed (append-only): the retries
      // keep the backups instead of shifting them out one by one.
      {"the file can't be renamed", qfault::kRename, EPERM, -1, "a.log", 2, true,
       {{"a.log.2", "=old1"}, {"a.log.1", "B one B f1 B f2 B f3"}, {"a.log", "B after"}}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    scenario(kCfg + std::to_string(r.backups) + "\n", [&] {
      if (r.oldBackups) {
        qtest::writeFile("a.log.1", "old1\n");
        qtest::writeFile("a.log.2", "old2\n");
      }
      log("one");
      const int fds = openFds();
      qfault::inject(r.call, r.err, r.times, r.name);
      for (const char *w : {"f1", "f2", "f3"}) log(w);
      CHILD_CHECK(qfault::attempts(r.call) > 0);
      qfault::clear();
      log("after");
      CHILD_CHECK(openFds() == fds);
      wantFiles(".", r.files);
    });
  }
}

// A fault that lasts: every message tries again, boundedly, and neither
// descriptors nor heap grow; the first message after it is written.
TEST(Faults, LastingFaultsCostBoundedWorkPerMessage) {
  for (auto [call, backups] : {std::pair{qfault::kOpen, 2}, {qfault::kLock, 2}, {qfault::kWrite, 2},
                               {qfault::kRename, 2}, {qfault::kUnlink, 0}}) {
    SCOPED_TRACE(call);
    scenario(kCfg + std::to_string(backups) + "\n", [call = call] {
      log("one");
      qfault::inject(call, EIO, -1);
      log("warm");
      const int fds = openFds();
      const size_t heap = mallinfo2().uordblks;
      for (int i = 0; i < 300; ++i) log("storm");
      CHILD_CHECK(openFds() == fds && mallinfo2().uordblks <= heap + 4096);
      // At least one try per message, and no retry loop inside one.
      CHILD_CHECK(qfault::attempts(call) > 300 && qfault::attempts(call) <= 3 * 301);
    });
  }
}

// A real full file system: a 64 KiB tmpfs in a mount namespace of the
// child's own. f1 and f2 meet it; no part of f1 stays to tear "after", also
// when the log path is a symbolic link to the file.
TEST(Faults, FullFileSystemLosesTheLinesThatDidNotFit) {
  for (auto [room, path] : {std::pair<size_t, const char *>{0, "logs/a.log"}, {20, "logs/a.log"}, {20, "link.log"}}) {
    SCOPED_TRACE(room);  // left in the file's last page: none, or part of f1
    scenario(std::string("[DEFAULT]\nLOGFILENAME=") + path + "\n", [room = room] {
      CHILD_CHECK(mkdir("logs", 0755) == 0 && symlink("logs/a.log", "link.log") == 0);
      if (unshare(CLONE_NEWNS) != 0) qtest::skipChild("unshare(CLONE_NEWNS)");
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) qtest::skipChild("private mounts");
      if (mount("tmpfs", "logs", "tmpfs", 0, "size=64k") != 0) qtest::skipChild("mounting a tmpfs");
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      const size_t pad = page - text("B one", 0).size() - room;
      log("one", pad);
      int filler = open("logs/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      const std::string block(page, 'f');
      while (write(filler, block.data(), block.size()) > 0) {
      }
      while (write(filler, "f", 1) > 0) {
      }
      close(filler);
      log("f1");
      log("f2");
      CHILD_CHECK(unlink("logs/filler") == 0);
      log("after");
      wantFile("logs/a.log", text("B one", pad) + text("B after"));
    });
  }
}

// Something done to the log file or its directory from outside after "one";
// the reload check runs first thing in "three"; undone before "four".
TEST(Faults, ChangesFromOutside) {
  const auto makeDir = [] { CHILD_CHECK(mkdir("logs", 0755) == 0); };
  const auto lockDir = [] { CHILD_CHECK(chmod("logs", 0555) == 0); };
  const auto unlockDir = [] { CHILD_CHECK(chmod("logs", 0755) == 0); };
  // Root writes anyway: the child drops to another user.
  const auto unprivileged = [makeDir] {
    if (!qtest::dropRoot()) qtest::skipChild("dropping root privileges to uid 65534");
    makeDir();
  };
  const auto tagged = [] { log("lost", 0, "X"); };  // X can't be opened: per-process names
  const char dirCfg[] = "[DEFAULT]\nLOGFILENAME=logs/a.log\nMAXFILESIZE=1KB\nRELOADPERIOD=1M\nMAXFILEBACKUPS=2\n";
  const char fileCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n[X]\nLOGFILENAME=nodir/x.log\n";
  const struct {
    const char *what, *cfg, *dir;
    size_t pad;  // of "one"; past 1 KB the next message rolls
    std::function<void()> setup, on, off;
    Files files;
  } rows[] = {
      // While the directory is gone lines go nowhere; once it is back, to the
      // per-process file (the failed open tagged the process).
      {"directory removed", dirCfg, "logs", 10, makeDir, [] { std::filesystem::remove_all("logs"); },
       makeDir, {{"#-a.log", "@ B four"}}},
      // Rolls fail and the file is appended to meanwhile.
      {"directory unwritable while rolling", dirCfg, "logs", kBig.size(), unprivileged, lockDir,
       unlockDir, {{"a.log.1", "B one B two @ B three"}, {"a.log", "@ B four"}}},
      {"file deleted, directory unwritable", dirCfg, "logs", 10, unprivileged,
       [lockDir] { CHILD_CHECK(unlink("logs/a.log") == 0); lockDir(); }, unlockDir, {{"#-a.log", "@ B four"}}},
      {"untouched", fileCfg, ".", 10, {}, {}, {}, {{"a.log", "B one two @ three four"}}},
      {"deleted", fileCfg, ".", 10, {}, [] { CHILD_CHECK(unlink("a.log") == 0); }, {}, {{"a.log", "@ B three four"}}},
      {"renamed away", fileCfg, ".", 10, {}, [] { CHILD_CHECK(rename("a.log", "moved.log") == 0); }, {},
       {{"moved.log", "B one two"}, {"a.log", "@ B three four"}}},
      {"replaced", fileCfg, ".", 10, {}, [] { qtest::writeFile("new.tmp", "new\n"); rename("new.tmp", "a.log"); },
       {}, {{"a.log", "=new @ B three four"}}},
      {"per-process file deleted", fileCfg, ".", 10, tagged,
       [] { CHILD_CHECK(unlink((pid() + "-a.log").c_str()) == 0); }, {}, {{"#-a.log", "@ B three four"}}},
      // A link's target rotated away is followed; the link is never renamed.
      {"link's target rotated", fileCfg, ".", 10, [] { CHILD_CHECK(symlink("t.log", "a.log") == 0); },
       [] { CHILD_CHECK(rename("t.log", "t.log.1") == 0); }, {},
       {{"a.log", "@ B three four"}, {"t.log.1", "B one two"}, {"t.log", "@ B three four"}}},
      {"link untouched", fileCfg, ".", 10, [] { CHILD_CHECK(symlink("t.log", "a.log") == 0); }, {}, {},
       {{"a.log", "B one two @ three four"}, {"t.log", "B one two @ three four"}}},
      // After a chdir the relative path names another file: the open one is
      // kept (not taken for deleted), and rolls in its own directory.
      {"working directory changed", "[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\nMAXFILESIZE=1KB\n", ".",
       kBig.size(),
       [] { CHILD_CHECK(mkdir("sub", 0755) == 0 && link("qotrace.cfg", "sub/qotrace.cfg") == 0); },
       [] { CHILD_CHECK(chdir("sub") == 0); qtest::writeFile("a.log.1", "theirs\n"); },
       [] {
         CHILD_CHECK(chdir("..") == 0);
         wantFile("sub/a.log.1", "theirs\n");
         wantDir("sub", {"a.log.1", "qotrace.cfg"});
         std::filesystem::remove_all("sub");
       },
       {{"a.log.1", "B one"}, {"a.log", "B two @ three four"}}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    scenario(r.cfg, [&] {
      if (r.setup) r.setup();
      log("one", r.pad);
      const int fds = openFds();
      if (r.on) r.on();
      log("two");
      qtest::advanceFakeClock(61);
      log("three");
      if (r.off) r.off();
      log("four");
      CHILD_CHECK(openFds() <= fds);
      wantFiles(r.dir, r.files, r.pad);
    });
  }
}

// Between our open and our lock another process rolled the file away: the
// path is opened again. And a dump whose first write fails leaves no rows
// without their line.
TEST(Faults, RolledAwayBeforeTheLockAndFailedDump) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    qtest::writeFile("a.log", "old\n");
    qfault::beforeLock([] {
      CHILD_CHECK(rename("a.log", "a.log.1") == 0);
      qtest::writeFile("a.log", "");
    });
    log("first");
    const std::string big(40000, 'A');  // several writes of rows
    qfault::inject(qfault::kWrite, ENOSPC, 1);
    qtest::dumpTo(state(), "DEFAULT", QOLOG_ERROR, big.data(), static_cast<int>(big.size()), "dump");
    qfault::clear();
    log("after");
    wantFiles(".", {{"a.log.1", "=old"}, {"a.log", "B first B after"}});
  });
}

// 14.1: one file named by two paths is one open file: a roll moves both
// modules to the new file, and closing one keeps the lock.
TEST(Review, TwoPathsToOneFileShareItsRollAndLock) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n[B]\nLOGFILENAME=./a.log\n", [] {
    log("one", 10);
    log("b1", 0, "B");
    log("one");
    log("b2", 0, "B");  // rolls
    log("two");
    qolog::closeNamedModule(state(), "B");
    CHILD_CHECK(inOther([] { log("other"); }) == 0);
    wantFile("a.log.1", text("B one", 10) + text("B:B B:b1 one"));
    wantFile("a.log", text("B:B B:b2 B two"));
  });
}

// 14.2: a FIFO as log file: no reader, then a reader that goes away while a
// line longer than the pipe is written.
TEST(Review, FifoNeverBlocksOrKills) {
  scenario("[DEFAULT]\nLOGFILENAME=fifo.log\n", [] {
    CHILD_CHECK(mkfifo("fifo.log", 0600) == 0);
    log("nobody reads");
    int reader = open("fifo.log", O_RDONLY | O_NONBLOCK);
    std::thread closer([reader] {
      usleep(100000);
      close(reader);
    });
    log(std::string(200000, 'y'));  // blocks until the reader goes, then EPIPE
    closer.join();
    log("after");
  });
}

// 14.8: a plugin host loading and unloading the library leaves no
// descriptor and no lock behind.
TEST(Review, UnloadClosesFilesAndLocks) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    size_t before = 0;
    for (int i = 0; i < 20; ++i) {
      void *lib = dlopen(QOLOG_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
      CHILD_CHECK(lib != nullptr);
      auto logFn = reinterpret_cast<void (*)(const char *, uint32_t, const char *, ...)>(dlsym(lib, "qologLog"));
      logFn("DEFAULT", QOLOG_ERROR, "loaded %d", i);
      CHILD_CHECK(dlclose(lib) == 0);
      if (i == 0) before = static_cast<size_t>(openFds());
    }
    CHILD_CHECK(static_cast<size_t>(openFds()) == before && qtest::lockAsOther("a.log"));
  });
}

// 20.1, 14.7: with standard error closed a log file never takes fd 2, where
// the module's stderr copies (and a later freopen) would go; copies whose
// writes a signal interrupts or a slow pipe cuts short still arrive whole.
TEST(Review, StandardErrorStaysFreeAndGetsWholeLines) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    close(2);
    log("once");
    qolog::setCurrentModuleName(state(), "DEFAULT");
    qolog::setCurrentOutput(state(), QOLOG_OUT_FILE | QOLOG_OUT_STDERR);
    log("twice");  // its copy goes nowhere
    CHILD_CHECK(open("stderr.txt", O_WRONLY | O_TRUNC | O_CLOEXEC) == 2);
    for (int err : {EINTR, 0}) {
      qfault::inject(qfault::kWrite, err, 3, "stderr.txt");
      log("whole");
    }
    wantFile("a.log", text("B once twice whole whole"));
    wantFile("stderr.txt", text("whole whole"));
  });
}

// 20.2: a device (here behind a link) is written without a lock by every
// process and never gets a per-process name, also once another file's
// failure has set the process tag. Only a path that is itself a regular
// file rolls: a device, or a link (/dev/stderr; here one to a regular
// file), would be renamed away and replaced.
TEST(Review, DevicesAndLinksAreNeitherLockedNorRenamed) {
  scenario("[DEFAULT]\nLOGFILENAME=null.log\nMAXFILESIZE=1KB\n[L]\nLOGFILENAME=link.log\n"
           "MAXFILESIZE=1KB\n[M]\nLOGFILENAME=m.log\n[X]\nLOGFILENAME=nodir/x\n", [] {
    CHILD_CHECK(symlink("/dev/null", "null.log") == 0 && symlink("real.txt", "link.log") == 0);
    for (int i = 0; i < 20; ++i) {
      log("one", 100);
      log("one", 100, "L");
    }
    CHILD_CHECK(inOther([] {
                  log("second");
                  log("m", 0, "M");
                }) == 0);
    CHILD_CHECK(inOther([] {
                  log("tagged", 0, "X");
                  log("third");
                }) == 0);
    struct stat st;
    CHILD_CHECK(stat("real.txt", &st) == 0 && st.st_size > 2048);
    wantDir(".", {"link.log", "m.log", "null.log", "qotrace.cfg", "real.txt", "stderr.txt"});
  });
}

// 20.3: the wall clock set back a year after the first load: the next
// message checks the configuration at once.
TEST(Review, ClockSetBackChecksAtOnce) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n", [] {
    qtest::setFakeClock(kNow + 365 * 86400);
    log("ahead");
    qtest::setFakeClock(kNow);
    qtest::writeFile("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=b.log\n");
    CHILD_CHECK(qtest::setMtime("qotrace.cfg", kNow + 3650L * 86400));
    log("back");
    wantFile("b.log", text("B back"));
  });
}

// 20.4 and 20.6: the configured file is taken, and so is the per-process
// name (left by an earlier process with the same id): a name of its own is
// made. The application reading its own log file keeps the library's lock.
TEST(Review, LocksHeldElsewhereAndKept) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n[M]\nLOGFILENAME=m.log\n", [] {
    auto take = qtest::lockAsOther;
    CHILD_CHECK(take("a.log") && take(pid() + "-a.log"));
    log("kept");
    log("mine", 0, "M");
    const std::string mine = pid() + "-m.log";
    fclose(fopen(mine.c_str(), "r"));
    CHILD_CHECK(!take(mine));  // still held
    wantFile(pid() + ".1-a.log", text("B kept"));
    wantFile(mine, text("M:B M:mine"));
  });
}

// 19: with diagnostics on, each problem is told once until it clears; off,
// nothing is told. '#' stands for the process id.
TEST(Diagnostics, EachProblemOncePerEpisode) {
  const char loaded[] = "qolog: configuration loaded from qotrace.cfg: 1 module\n";
  const struct {
    const char *cfg;  // qotrace.cfg; "": none at first
    std::function<void()> steps;
    std::string told;
  } rows[] = {
      {"", [] {
         for (int i = 0; i < 3; ++i, qtest::advanceFakeClock(1)) log("lost");
         qtest::writeFile("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\n");
         log("written");
       },
       "qolog: no configuration file: ./qotrace.cfg and /none/qotrace.cfg cannot be opened (No such "
       "file or directory): nothing is written\n" + std::string(loaded)},
      {"[DEFAULT]\nLOGFILENAME=d/a.log\n", [] {
         for (int i = 0; i < 3; ++i) log("lost");
         CHILD_CHECK(mkdir("d", 0755) == 0);
         log("written");
         log("written");
       },
       std::string(loaded) + "qolog: cannot open d/a.log: No such file or directory\n"
           "qolog: cannot open d/#-a.log: No such file or directory\n"
           "qolog: d/a.log is written as d/#-a.log (this process's own file)\n"},
      {"[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\nRELOADPERIOD=1M\n", [] {
         log("one");  // past the limit
         qfault::inject(qfault::kRename, EXDEV, 2);
         for (int i = 0; i < 3; ++i) log("rolls");
         qfault::inject(qfault::kWrite, ENOSPC, 3);
         for (int i = 0; i < 4; ++i) log("mostly lost");
         qfault::inject(qfault::kWrite, EIO, 1);
         log("lost");
         CHILD_CHECK(unlink("a.log") == 0);
         qtest::advanceFakeClock(61);
         log("reopened");
         log("written");
       },
       std::string(loaded) + "qolog: cannot roll a.log: rename failed: Invalid cross-device link\n"
           "qolog: write to a.log failed: No space left on device\n"
           "qolog: write to a.log failed: Input/output error\n"
           "qolog: a.log was replaced or deleted: opened again\n"},
  };
  for (bool on : {true, false}) {
    for (const auto &r : rows) {
      SCOPED_TRACE(r.cfg);
      scenario(r.cfg, [&] {
        if (r.cfg[0] == '\0') CHILD_CHECK(unlink("qotrace.cfg") == 0);
        state().watch.systemPath = "/none/qotrace.cfg";
        if (on) state().diag.enable(state().files.os());
        state().files.setReporter(state().diag.fileReporter());
        r.steps();
        qfault::clear();
        std::string told = on ? r.told : "";
        for (size_t at; (at = told.find('#')) != std::string::npos;) told.replace(at, 1, pid());
        wantFile("stderr.txt", told);
      });
    }
  }
}

}  // namespace
