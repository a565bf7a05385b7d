// Log files end to end: opening under the lock, the per-process fallback
// name, rolling into numbered backups, and descriptors across fork and exec.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qolog.h"
#include "support/scenario.h"

namespace {

using Names = std::vector<std::string>;

std::string banner(const std::string &module) {
  return std::string(73, '-') + "\nQOLOG 1.0.13.0: Log file '" + module +
         ".LOG' start ";
}
bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}
bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

Names listDir(const std::string &path) {
  Names names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// In a child: leaves its process id in the scratch directory.
void notePid() { qtest::writeFile("pid", std::to_string(getpid())); }

// Another process that logs through the library, then keeps its files open,
// and so locked, for as long as the object lives.
struct Holder {
  Holder(const std::string &dir, const std::function<void()> &body) {
    char c = 1;
    if (pipe(ready) != 0 || pipe(hold) != 0) abort();
    if ((pid = fork()) == 0) {
      if (chdir(dir.c_str()) != 0) _exit(2);
      body();
      close(hold[1]);
      if (write(ready[1], &c, 1) == 1 && read(hold[0], &c, 1) < 0) _exit(3);
      _exit(0);
    }
    close(hold[0]);
    close(ready[1]);
    EXPECT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
  }
  ~Holder() {
    close(hold[1]);  // the holder's read ends, and so does the holder
    waitpid(pid, nullptr, 0);
  }
  int ready[2], hold[2];
  pid_t pid;
};

TEST(LogFiles, SecondProcessWritesToItsOwnFilesFromThenOn) {
  qtest::TempDir dir;
  mkdir(dir.file("logs").c_str(), 0755);
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=logs/a.log\n[B]\nLOGFILENAME=b.log\n");
  Holder first(dir.path(), [] { qologLog("DEFAULT", QOLOG_ERROR, "first"); });
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              qologLog("DEFAULT", QOLOG_ERROR, "second");
              qologLog("B", QOLOG_ERROR, "second-b");  // b.log is free
              notePid();
            }));
  std::string pid = dir.read("pid");
  std::string a = dir.read("logs/a.log");
  EXPECT_TRUE(has(a, "|first\n") && !has(a, "second")) << a;
  EXPECT_TRUE(has(dir.read("logs/" + pid + "-a.log"), "|second\n"));
  EXPECT_TRUE(has(dir.read(pid + "-b.log"), "|second-b\n"));
  EXPECT_EQ((Names{pid + "-a.log", "a.log"}), listDir(dir.file("logs")));
  EXPECT_EQ((Names{pid + "-b.log", "logs", "pid", "qotrace.cfg", "stderr.txt"}),
            dir.list());
}

TEST(LogFiles, FailureOnOneSlotMovesTheOthersToPerProcessNames) {
  qtest::TempDir dir;
  // X can't be opened under any name; every file rolls past 1 KB.
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=c.log\nMAXFILESIZE=1KB\n"
            "[X]\nLOGFILENAME=nodir/x.log\n[B]\nLOGFILENAME=b.log\n");
  // Exactly at the limit: appended to, then rolled at the next message.
  const std::string old(1024, 'o');
  dir.write("c.log", old);
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              qologLog("DEFAULT", QOLOG_ERROR, "c-first");  // holds c.log
              qologLog("X", QOLOG_ERROR, "lost");           // sets the tag
              qologLog("DEFAULT", QOLOG_ERROR, "c-second");  // rolls
              std::string text(500, 'b');
              for (int i = 1; i <= 5; ++i) {  // two lines per file
                qologLog("B", QOLOG_ERROR, "msg%d %s", i, text.c_str());
              }
              notePid();
            }));
  std::string pid = dir.read("pid");
  EXPECT_EQ((Names{pid + "-b.log", pid + "-b.log.1", pid + "-b.log.2",
                   pid + "-c.log", "c.log.1", "pid", "qotrace.cfg",
                   "stderr.txt"}),
            dir.list());
  // The held file rolls under its configured name, then moves.
  std::string c1 = dir.read("c.log.1");
  EXPECT_TRUE(startsWith(c1, old + banner("DEFAULT")) &&
              has(c1, "|c-first\n") && !has(c1, "c-second"));
  std::string c0 = dir.read(pid + "-c.log");
  EXPECT_TRUE(startsWith(c0, banner("DEFAULT")) && has(c0, "|c-second\n"));
  // A renamed slot keeps its name across rolls.
  std::string b2 = dir.read(pid + "-b.log.2");
  std::string b1 = dir.read(pid + "-b.log.1");
  std::string b0 = dir.read(pid + "-b.log");
  EXPECT_TRUE(has(b2, "|msg1 ") && has(b2, "|msg2 ") && !has(b2, "|msg3 "));
  EXPECT_TRUE(has(b1, "|msg3 ") && has(b1, "|msg4 ") && !has(b1, "|msg5 "));
  EXPECT_TRUE(startsWith(b0, banner("B")) && has(b0, "|msg5 ")) << b0;
}

TEST(LogFiles, UnusablePathsOpenNothingAndAreNeverCut) {
  const std::string top(200, 'd'), deep = top + "/" + std::string(200, 'e');
  struct Case {
    size_t length;  // of the configured path; 0: nothing after '='
    bool tagFirst;  // the tag is set before the path is opened
    bool created;
  } cases[] = {{0, false, false}, {511, false, true},
               {512, false, false}, {511, true, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.tagFirst ? " tagged" : ""));
    qtest::TempDir dir;
    mkdir(dir.file(top).c_str(), 0755);
    mkdir(dir.file(deep).c_str(), 0755);
    std::string name(c.length > 0 ? c.length - deep.size() - 1 : 0, 'f');
    std::string path = c.length > 0 ? deep + "/" + name : "";
    dir.write("qotrace.cfg", "[DEFAULT]\n[X]\nLOGFILENAME=nodir/x.log\n"
                             "[B]\nLOGFILENAME=b.log\n[L]\nLOGFILENAME=" +
                                 path + "\n");
    bool tagFirst = c.tagFirst;
    ASSERT_EQ(0, qtest::runInChild(dir.path(), [tagFirst] {
                if (tagFirst) qologLog("X", QOLOG_ERROR, "lost");
                qologLog("L", QOLOG_ERROR, "long");
                qologLog("B", QOLOG_ERROR, "b");  // renamed only when tagged
                notePid();
              }));
    EXPECT_EQ(c.created ? Names{name} : Names{}, listDir(dir.file(deep)));
    std::string b = c.tagFirst ? dir.read("pid") + "-b.log" : "b.log";
    Names expected = {b, top, "pid", "qotrace.cfg", "stderr.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, dir.list());
  }
}

TEST(LogFiles, RollShiftsBackupsUpToTheConfiguredCount) {
  struct Case {
    const char *backups;
    std::map<int, int> expected;  // backup -> where it came from (0: the file)
  } cases[] = {
      {"5", {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {7, 7}}},
      {"1", {{1, 0}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {7, 7}}},
      {"0", {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {7, 7}}},
      // Every shift the count asks for, the one across the gap at 6 too.
      {"2000000000", {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {8, 7}}},
  };
  const std::string current(1025, 'X');  // one byte over the limit
  auto content = [&](int from) {
    return from == 0 ? current : "backup " + std::to_string(from) + "\n";
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.backups);
    qtest::TempDir dir;
    dir.write("qotrace.cfg", std::string("[DEFAULT]\nLOGFILENAME=a.log\n") +
                                 "MAXFILESIZE=1KB\nMAXFILEBACKUPS=" +
                                 c.backups + "\n");
    dir.write("a.log", current);
    for (int k : {1, 2, 3, 4, 5, 7}) {
      dir.write("a.log." + std::to_string(k), content(k));
    }
    ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
                qologLog("DEFAULT", QOLOG_ERROR, "after roll");
              }));
    Names names = {"a.log", "qotrace.cfg", "stderr.txt"};
    for (const auto &e : c.expected) {
      names.push_back("a.log." + std::to_string(e.first));
      EXPECT_EQ(content(e.second), dir.read(names.back())) << names.back();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, dir.list());
    std::string fresh = dir.read("a.log");
    EXPECT_TRUE(startsWith(fresh, banner("DEFAULT")) &&
                has(fresh, "|after roll\n") && !has(fresh, "XXXX")) << fresh;
  }
}

TEST(LogFiles, FilesPastTwoAndFourGigabytesKeepTheirTruePosition) {
  const off_t gib = off_t(1) << 30;
  struct Case {
    off_t size;  // of a sparse file
    const char *limit;
    bool rolled;
  } cases[] = {{2 * gib + 100, "4096MB", false}, {4 * gib + 100, "2KB", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limit);
    qtest::TempDir dir;
    dir.write("qotrace.cfg", std::string("[DEFAULT]\nLOGFILENAME=big.log\n") +
                                 "MAXFILESIZE=" + c.limit + "\n");
    dir.write("big.log", "");
    ASSERT_EQ(0, truncate(dir.file("big.log").c_str(), c.size));
    ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
                qologLog("DEFAULT", QOLOG_ERROR, "one");
                qologLog("DEFAULT", QOLOG_ERROR, "two");
              }));
    struct stat st;
    EXPECT_EQ(c.rolled, stat(dir.file("big.log.1").c_str(), &st) == 0 &&
                            st.st_size == c.size);
    std::string tail(4096, '\0');
    int fd = open(dir.file("big.log").c_str(), O_RDONLY);
    ssize_t n = pread(fd, &tail[0], tail.size(), c.rolled ? 0 : c.size);
    tail.resize(std::max<ssize_t>(n, 0));
    close(fd);
    EXPECT_TRUE(startsWith(tail, banner("DEFAULT")) && has(tail, "|one\n") &&
                has(tail, "|two\n")) << tail;
  }
}

TEST(LogFiles, DescriptorsAreCloseOnExec) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=a.log\n[B]\nLOGFILENAME=b.log\n");
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              qologLog("DEFAULT", QOLOG_ERROR, "a");
              qologLog("B", QOLOG_ERROR, "b");
              int logs = 0;
              for (const std::string &fd : listDir("/proc/self/fd")) {
                std::error_code ec;
                auto target =
                    std::filesystem::read_symlink("/proc/self/fd/" + fd, ec);
                if (target.extension() != ".log") continue;
                ++logs;
                CHILD_CHECK((fcntl(std::stoi(fd), F_GETFD) & FD_CLOEXEC) != 0);
              }
              CHILD_CHECK(logs == 2);
            }));
}

TEST(LogFiles, ForkedChildWritesToItsOwnFileWhileTheParentKeepsTheLock) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\n");
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              qologLog("DEFAULT", QOLOG_ERROR, "parent-1");
              pid_t child = fork();
              if (child == 0) {
                alarm(60);  // a deadlock fails the test instead of hanging it
                qologLog("DEFAULT", QOLOG_ERROR, "child-1");
                _exit(0);
              }
              int status = 0;
              CHILD_CHECK(waitpid(child, &status, 0) == child);
              CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
              qologLog("DEFAULT", QOLOG_ERROR, "parent-2");
              qtest::writeFile("pid", std::to_string(child));
            }));
  std::string a = dir.read("a.log");
  EXPECT_TRUE(has(a, "|parent-1\n") && has(a, "|parent-2\n")) << a;
  EXPECT_FALSE(has(a, "child-1"));
  std::string mine = dir.read(dir.read("pid") + "-a.log");
  EXPECT_TRUE(has(mine, "|child-1\n") && !has(mine, "parent")) << mine;
}

}  // namespace

// A log path naming something that is not a regular file (a device such as
// /dev/null, reached here through a symbolic link) is written but never
// rolled: its byte count is not a file size, and rolling would replace it.
TEST(LogFiles, DevicesAreNeverRolled) {
  qtest::TempDir dir;
  ASSERT_EQ(0, symlink("/dev/null", dir.file("null.log").c_str()));
  dir.write("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME=null.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=2\n");
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              for (int i = 0; i < 40; ++i) {
                qologLog("DEFAULT", QOLOG_ERROR, "line %d, long enough to pass 1 KB", i);
              }
            }));
  struct stat st;
  ASSERT_EQ(0, lstat(dir.file("null.log").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ((Names{"null.log", "qotrace.cfg", "stderr.txt"}), listDir(dir.path()));
}
