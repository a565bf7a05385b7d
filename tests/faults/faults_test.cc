// Faults under the library: failing system calls (through an OS layer that
// fails on demand), a full file system, the log directory or the log file
// taken away while logging. In each case the
// caller goes on, descriptors and heap stay bounded, and logging comes back
// by itself once the fault clears; each row states what is lost meanwhile.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "e2e/expect_lines.h"
#include "fault_os.h"
#include "support/driver.h"

using namespace qexp;

namespace {

const std::string kBig(1100, 'x');  // one such line takes a file past 1 KB
constexpr int kSkip = 77;           // a child's exit status: the fault can't be made here

// Expected text: "B" a banner, "=word" the raw line "word", "@" the clock a
// reload period later from there on, "one" the first message, padded by
// `pad` bytes, and any other word the line of that message.
std::string text(const std::string &tokens, size_t pad = kBig.size()) {
  std::string out, word, stamp = kStamp;
  std::istringstream in(tokens);
  while (in >> word) {
    if (word == "B") out += banner("DEFAULT", stamp);
    else if (word == "@") stamp = "Nov 14 22:14:21:000";
    else if (word[0] == '=') out += word.substr(1) + "\n";
    else out += line("DEFAULT", "ERR", word == "one" ? "one " + std::string(pad, 'x') : word, stamp);
  }
  return out;
}

// The child's state, on the failing OS layer.
qolog::State &state() {
  static qolog::State *s = new qolog::State(qfault::faultyOs());
  return *s;
}

void log(const std::string &word, size_t pad = kBig.size()) {
  if (word == "one") qtest::logTo(state(), "DEFAULT", QOLOG_ERROR, "one %s", std::string(pad, 'x').c_str());
  else qtest::logTo(state(), "DEFAULT", QOLOG_ERROR, "%s", word.c_str());
}

std::string withPid(std::string name) {
  size_t at = name.find('#');
  return at == std::string::npos ? name : name.replace(at, 1, pid());
}

// Files expected in `dir`, by name ('#' stands for the process id), and their tokens.
using Files = std::vector<std::pair<std::string, std::string>>;

void wantFiles(const std::string &dir, const Files &files, size_t pad = kBig.size()) {
  Names names;
  if (dir == ".") names = {"qotrace.cfg", "stderr.txt"};
  for (const auto &[name, tokens] : files) {
    names.push_back(withPid(name));
    wantFile(dir + "/" + names.back(), text(tokens, pad));
  }
  wantDir(dir, names);
}

int openFds() { return static_cast<int>(qtest::listDir("/proc/self/fd").size()); }

// A scenario whose child may find the fault impossible to make: it writes
// the reason to "skip" and exits with kSkip.
int run(const std::string &cfg, const std::function<void()> &body, std::string *skipReason) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", cfg);
  int rc = qtest::runInChild(dir.path(), [&] {
    setenv("TZ", "UTC", 1);
    tzset();
    qtest::setFakeClock(kNow);
    alarm(120);  // a hang fails the test instead of stalling it
    body();
  });
  *skipReason = dir.read("skip");
  return rc;
}

[[noreturn]] void skipChild(const std::string &why) {
  qtest::writeFile("skip", why + ": " + strerror(errno));
  _exit(kSkip);
}

constexpr char kCfg[] =
    "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\nRELOADPERIOD=1M\nMAXFILEBACKUPS=";

// One failing call per row, `times` times (-1: until cleared). The file is
// past its limit, so the next message rolls it (rename, unlink, open, lock),
// then writes. Messages f1 to f3 meet the fault; "after" comes once it cleared.
TEST(Faults, FailingFileCallsLoseOnlyTheMessagesTheyHit) {
  struct Row {
    const char *what;
    qfault::Call call;
    int err, times;
    const char *name;  // null: any log file
    int backups;
    Files files;
  };
  const Row rows[] = {
      // The roll opens the new file while the old one is held, then again
      // after closing it, then the per-process name: nothing is lost.
      {"open fails twice", qfault::kOpen, EMFILE, 2, nullptr, 2,
       {{"a.log.1", "B one"}, {"#-a.log", "B f1 f2 f3 after"}}},
      {"configured name can't be opened", qfault::kOpen, EACCES, -1, "a.log", 2,
       {{"a.log.1", "B one"}, {"#-a.log", "B f1 f2 f3 after"}}},
      {"open fails once", qfault::kOpen, EMFILE, 1, nullptr, 2,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      {"lock refused once", qfault::kLock, ENOLCK, 1, nullptr, 2,
       {{"a.log.1", "B one"}, {"a.log", "B f1 f2 f3 after"}}},
      // The failing lines are lost; the next message reopens and writes the
      // banner again.
      {"disk full twice", qfault::kWrite, ENOSPC, 2, nullptr, 2,
       {{"a.log.1", "B one"}, {"a.log", "B f3 after"}}},
      {"I/O error once", qfault::kWrite, EIO, 1, nullptr, 2,
       {{"a.log.1", "B one"}, {"a.log", "B f2 f3 after"}}},
      // The roll is retried at every message; the file grows meanwhile.
      {"rename fails", qfault::kRename, EXDEV, -1, nullptr, 2,
       {{"a.log.1", "B one B f1 B f2 B f3"}, {"a.log", "B after"}}},
      {"unlink fails, no backups", qfault::kUnlink, EBUSY, -1, nullptr, 0,
       {{"a.log", "B after"}}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    scenario(kCfg + std::to_string(r.backups) + "\n", [&] {
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

// Only the file itself can't be renamed (an append-only file, say): the roll
// retried at each message keeps the backups instead of shifting them out.
TEST(Faults, RetriedRollsKeepTheBackups) {
  scenario(kCfg + std::string("2\n"), [] {
    qtest::writeFile("a.log.1", "old1\n");
    qtest::writeFile("a.log.2", "old2\n");
    log("one");
    qfault::inject(qfault::kRename, EPERM, -1, "a.log");
    for (const char *w : {"f1", "f2", "f3"}) log(w);
    qfault::clear();
    log("after");
    wantFiles(".", {{"a.log.2", "=old1"}, {"a.log.1", "B one B f1 B f2 B f3"}, {"a.log", "B after"}});
  });
}

// A file rolled away by another process between our open and our lock is
// not written: the path is opened again and names the new file.
TEST(Faults, FileRolledAwayBeforeItsLockIsOpenedAgain) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    qtest::writeFile("a.log", "old\n");
    qfault::beforeLock([] {  // the roller's rename, and its new file
      CHILD_CHECK(rename("a.log", "a.log.1") == 0);
      qtest::writeFile("a.log", "");
    });
    log("first");
    wantFiles(".", {{"a.log.1", "=old"}, {"a.log", "B first"}});
  });
}

// A dump whose first write fails leaves no rows without their line.
TEST(Faults, FailedDumpLeavesNoStrayRows) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\n", [] {
    log("first");
    const std::vector<unsigned char> big(40000, 'A');  // several writes of rows
    qfault::inject(qfault::kWrite, ENOSPC, 1);
    qtest::dumpTo(state(), "DEFAULT", QOLOG_ERROR, big.data(), static_cast<int>(big.size()), "dump");
    qfault::clear();
    log("after");
    wantFiles(".", {{"a.log", "B first B after"}});
  });
}

// After a chdir a relative path names another file: the open one is kept,
// not taken for deleted at the reload check.
TEST(Faults, ChangedDirectoryIsNotADeletedFile) {
  scenario(kCfg + std::string("2\n"), [] {
    log("first");
    // The same configuration file (not a newer one) is found from there.
    CHILD_CHECK(mkdir("sub", 0755) == 0 && link("qotrace.cfg", "sub/qotrace.cfg") == 0);
    CHILD_CHECK(chdir("sub") == 0);
    qtest::setFakeClock(kNow + 61);  // the reload check is due
    log("second");
    CHILD_CHECK(chdir("..") == 0 && unlink("sub/qotrace.cfg") == 0 && rmdir("sub") == 0);
    wantFiles(".", {{"a.log", "B first @ second"}});
  });
}

// A fault that lasts: every message tries again, boundedly, and neither
// descriptors nor heap grow; the first message after it is written.
TEST(Faults, LastingFaultsCostBoundedWorkPerMessage) {
  struct Row {
    qfault::Call call;
    int err, backups;  // with rolls failing, every message rolls again
  };
  const Row rows[] = {{qfault::kOpen, ENFILE, 2}, {qfault::kLock, ENOLCK, 2},
                      {qfault::kWrite, ENOSPC, 2}, {qfault::kRename, EROFS, 2},
                      {qfault::kUnlink, EROFS, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.call);
    scenario(kCfg + std::to_string(r.backups) + "\n", [call = r.call, err = r.err] {
      log("one");
      qfault::inject(call, err, -1);
      log("warm");
      const int fds = openFds();
      const size_t heap = mallinfo2().uordblks;
      constexpr int kMessages = 300;
      for (int i = 0; i < kMessages; ++i) log("storm");
      CHILD_CHECK(openFds() == fds);
      CHILD_CHECK(mallinfo2().uordblks <= heap + 4096);
      // At least one try per message, and no retry loop inside one.
      CHILD_CHECK(qfault::attempts(call) > kMessages);
      CHILD_CHECK(qfault::attempts(call) <= 3 * (kMessages + 1));
      qfault::clear();
      log("after");
      const std::string last = line("DEFAULT", "ERR", "after");
      auto endsWithLast = [&last](const std::string &got) {
        return got.size() >= last.size() && got.compare(got.size() - last.size(), last.size(), last) == 0;
      };
      CHILD_CHECK(endsWithLast(qtest::readFile("a.log")) ||
                  endsWithLast(qtest::readFile(pid() + "-a.log")));
    });
  }
}

// A real full file system: a 64 KiB tmpfs mounted on the log directory in a
// mount namespace of the child's own. f1 and f2 meet the full disk.
TEST(Faults, FullFileSystemLosesTheLinesThatDidNotFit) {
  // Room left in the file's last page: none, or part of f1.
  for (size_t room : {0, 20}) {
    SCOPED_TRACE(room);
    std::string skip;
    int rc = run("[DEFAULT]\nLOGFILENAME=logs/a.log\n", [&] {
      CHILD_CHECK(mkdir("logs", 0755) == 0);
      if (unshare(CLONE_NEWNS) != 0) skipChild("unshare(CLONE_NEWNS)");
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) skipChild("private mounts");
      if (mount("tmpfs", "logs", "tmpfs", 0, "size=64k") != 0) skipChild("mounting a tmpfs");
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      const size_t pad = page - text("B one", 0).size() - room;
      log("one", pad);
      const int fds = openFds();
      int filler = open("logs/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      CHILD_CHECK(filler >= 0);
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
      CHILD_CHECK(openFds() == fds);
      // Lost: f1 and f2, and no part of f1 stays behind to tear "after".
      wantFile("logs/a.log", text("B one", pad) + text("B after"));
    }, &skip);
    if (rc == kSkip) GTEST_SKIP() << skip;
    EXPECT_EQ(0, rc);
  }
}

// Something done to the log file or its directory from outside between the
// messages "one" and "two"; the reload check runs first thing in "three";
// the fault is undone before "four".
struct Outside {
  const char *what;
  size_t pad;  // of "one"; past 1 KB the next message rolls
  std::function<void()> setup, on, off;
  Files files;
};

int runOutside(const std::string &cfg, const std::string &dir, const Outside &r,
               std::string *skip) {
  return run(cfg, [&] {
    r.setup();
    log("one", r.pad);
    const int fds = openFds();
    r.on();
    log("two");
    qtest::advanceFakeClock(61);
    log("three");
    r.off();
    log("four");
    CHILD_CHECK(openFds() <= fds);
    wantFiles(dir, r.files, r.pad);
  }, skip);
}

void runRows(const std::string &cfg, const std::string &dir, const std::vector<Outside> &rows) {
  for (const Outside &r : rows) {
    SCOPED_TRACE(r.what);
    std::string skip;
    int rc = runOutside(cfg, dir, r, &skip);
    if (rc == kSkip) GTEST_SKIP() << skip;
    EXPECT_EQ(0, rc);
  }
}

const auto nothing = [] {};
const auto makeDir = [] { CHILD_CHECK(mkdir("logs", 0755) == 0); };
const auto lockDir = [] { CHILD_CHECK(chmod("logs", 0555) == 0); };
const auto unlockDir = [] { CHILD_CHECK(chmod("logs", 0755) == 0); };
constexpr char kDirCfg[] =
    "[DEFAULT]\nLOGFILENAME=logs/a.log\nMAXFILESIZE=1KB\nRELOADPERIOD=1M\nMAXFILEBACKUPS=2\n";

// While the directory is gone lines go nowhere; once it is back they go to
// the per-process file (the failed open tagged the process for good).
TEST(Faults, RemovedLogDirectoryIsWrittenAgainOnceBack) {
  const auto removeDir = [] { std::filesystem::remove_all("logs"); };
  runRows(kDirCfg, "logs", {
      {"below the limit", 10, makeDir, removeDir, makeDir, {{"#-a.log", "@ B four"}}},
      {"while rolling", kBig.size(), makeDir, removeDir, makeDir, {{"#-a.log", "@ B four"}}},
  });
}

// Rolls fail and the file is appended to meanwhile; a file that is gone
// can't be created. Root writes anyway: the child drops to another user.
TEST(Faults, UnwritableLogDirectoryKeepsTheFileUntilWritable) {
  const auto unprivileged = [] {
    if (geteuid() == 0 && (chown(".", 65534, 65534) != 0 || setgroups(0, nullptr) != 0 ||
                           setgid(65534) != 0 || setuid(65534) != 0)) {
      skipChild("dropping root privileges to uid 65534");
    }
    CHILD_CHECK(mkdir("logs", 0755) == 0);
  };
  runRows(kDirCfg, "logs", {
      {"while rolling", kBig.size(), unprivileged, lockDir, unlockDir,
       {{"a.log.1", "B one B two @ B three"}, {"a.log", "@ B four"}}},
      {"file deleted", 10, unprivileged,
       [] { CHILD_CHECK(unlink("logs/a.log") == 0); lockDir(); }, unlockDir,
       {{"#-a.log", "@ B four"}}},
  });
}

// The reload check finds the path naming another file, or none, and the
// next message reopens it; lines written before the check went to the old file.
TEST(Faults, DeletedOrReplacedLogFileIsReopenedAtTheReloadCheck) {
  const auto tagged = [] { qtest::logTo(state(), "X", QOLOG_ERROR, "lost"); };  // can't open: per-process names
  const auto linked = [] { CHILD_CHECK(symlink("target.log", "a.log") == 0); };
  const auto replace = [] {
    qtest::writeFile("new.tmp", "replacement\n");
    CHILD_CHECK(rename("new.tmp", "a.log") == 0);
  };
  runRows("[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n[X]\nLOGFILENAME=nodir/x.log\n", ".", {
      {"untouched", 10, nothing, nothing, nothing, {{"a.log", "B one two @ three four"}}},
      {"deleted", 10, nothing, [] { CHILD_CHECK(unlink("a.log") == 0); }, nothing,
       {{"a.log", "@ B three four"}}},
      {"renamed away", 10, nothing, [] { CHILD_CHECK(rename("a.log", "moved.log") == 0); }, nothing,
       {{"moved.log", "B one two"}, {"a.log", "@ B three four"}}},
      {"replaced", 10, nothing, replace, nothing, {{"a.log", "=replacement @ B three four"}}},
      {"per-process file untouched", 10, tagged, nothing, nothing,
       {{"#-a.log", "B one two @ three four"}}},
      {"per-process file deleted", 10, tagged, [] { CHILD_CHECK(unlink((pid() + "-a.log").c_str()) == 0); },
       nothing, {{"#-a.log", "@ B three four"}}},
      // Not a regular file itself: never reopened by the check.
      {"symbolic link untouched", 10, linked, nothing, nothing,
       {{"a.log", "B one two @ three four"}, {"target.log", "B one two @ three four"}}},
  });
}

}  // namespace
