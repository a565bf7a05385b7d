// Log files end to end: the per-process name, rolling into numbered
// backups, unusable paths, large files, descriptors across exec, errno.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "expect_lines.h"
#include "qolog.h"

using namespace qexp;

namespace {

TEST(LogFiles, FailureOnOneSlotMovesTheOthersToPerProcessNames) {
  // X can't be opened under any name; every file rolls past 1 KB. E names no
  // file; L1 and L2 the longest path there may be, 511 bytes: L1 opens before
  // the tag, L2's per-process name would be longer and is never cut. Each
  // entry point gives back the errno it found (checked at the end), and %m
  // formats it.
  const std::string top(200, 'd'), deep = top + "/" + std::string(200, 'e'), l1(109, 'f'), l2(109, 'g');
  scenario("[DEFAULT]\nLOGFILENAME=c.log\nMAXFILESIZE=1KB\n[X]\nLOGFILENAME=nodir/x.log\n[B]\nLOGFILENAME=b.log\n"
           "[E]\nLOGFILENAME=\n[L1]\nLOGFILENAME=" + deep + "/" + l1 + "\n[L2]\nLOGFILENAME=" + deep + "/" + l2 + "\n", [&] {
    CHILD_CHECK(mkdir(top.c_str(), 0755) == 0 && mkdir(deep.c_str(), 0755) == 0);
    const std::string old(1024, 'o'), text(500, 'b');
    qtest::writeFile("c.log", old);  // exactly at the limit: appended to, rolled next
    errno = EDOM;  // not what a failing call inside would leave
    qologLog("E", QOLOG_ERROR, "nowhere");         // sets no tag
    qologLog("L1", QOLOG_ERROR, "long");
    qologLog("DEFAULT", QOLOG_ERROR, "%m");        // holds c.log
    qologLog("X", QOLOG_ERROR, "lost");            // sets the tag
    qologLog("L2", QOLOG_ERROR, "long");
    qologLog("DEFAULT", QOLOG_ERROR, "c-second");  // rolls, then moves
    // Two lines per file; the new name stays across rolls. The second line
    // takes its file over the limit: its dump starts the next file.
    std::string b[3] = {banner("B"), referenceDump("Hello") + banner("B"), banner("B")};
    for (int i = 1; i <= 5; ++i) {
      qologLogBin("B", QOLOG_ERROR, "Hello", i == 2 ? 5 : -1, "msg%d %s", i, text.c_str());  // -1: no rows
      b[(6 - i) / 2] += line("B", "ERR", "msg" + std::to_string(i) + " " + text);
    }
    qologSetModuleName("x");
    qologTrace(QOLOG_ERROR, "lost");
    qologSetFile("nodir/y.log");
    qologSetOutput(3);
    qologSetDate(1);
    qologClose("X");
    CHILD_CHECK(errno == EDOM);
    wantFile("c.log.1", old + banner("DEFAULT") + line("DEFAULT", "ERR", strerror(EDOM)));
    wantFile(pid() + "-c.log", banner("DEFAULT") + line("DEFAULT", "ERR", "c-second"));
    for (int k : {0, 1, 2}) wantFile(pid() + "-b.log" + (k ? "." + std::to_string(k) : ""), b[k]);
    wantDir(".", {pid() + "-b.log", pid() + "-b.log.1", pid() + "-b.log.2", pid() + "-c.log",
                  "c.log.1", top, "qotrace.cfg", "stderr.txt"});
    wantFile(deep + "/" + l1, banner("L1") + line("L1", "ERR", "long"));
    wantDir(deep, {l1});
    int logs = 0;  // the descriptors, reopened after rolls too, are close-on-exec
    for (const std::string &fd : qtest::listDir("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink("/proc/self/fd/" + fd, ec).extension() != ".log") continue;
      ++logs;
      CHILD_CHECK((fcntl(std::stoi(fd), F_GETFD) & FD_CLOEXEC) != 0);
    }
    CHILD_CHECK(logs == 2);
  });
}

TEST(LogFiles, RollShiftsBackupsUpToTheConfiguredCount) {
  // Backups 1-5 and 7 exist. Each row: backup -> where its text came from (0: the file).
  const std::pair<const char *, std::map<int, int>> cases[] = {
      {"5", {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {7, 7}}},
      {"1", {{1, 0}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {7, 7}}},
      {"0", {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {7, 7}}},
      {"2000000000", {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 7}}},  // never past a gap
  };
  auto text = [](int k) { return k ? "backup " + std::to_string(k) : std::string(1025, 'X'); };
  for (const auto &c : cases) {
    scenario(std::string("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=") + c.first, [&] {
      qtest::writeFile("a.log", text(0));  // one byte over the limit
      for (int k : {1, 2, 3, 4, 5, 7}) qtest::writeFile("a.log." + std::to_string(k), text(k));
      qologLog("DEFAULT", QOLOG_ERROR, "after roll");
      Names names = {"a.log", "qotrace.cfg", "stderr.txt"};
      for (const auto &[k, from] : c.second) {
        names.push_back("a.log." + std::to_string(k));
        wantFile(names.back(), text(from));
      }
      wantDir(".", names);
      wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "ERR", "after roll"));
    });
  }
}

TEST(LogFiles, FilesPastTwoAndFourGigabytesKeepTheirTruePosition) {
  const off_t gib = off_t(1) << 30;
  for (const auto &[size, limit] : {std::pair{2 * gib + 100, "4096MB"}, {4 * gib + 100, "2KB"}}) {
    scenario(std::string("[DEFAULT]\nLOGFILENAME=big.log\nMAXFILESIZE=") + limit, [size = size] {
      const bool rolled = size > 4 * gib;
      qtest::writeFile("big.log", "");
      CHILD_CHECK(truncate("big.log", size) == 0);  // sparse
      qologLog("DEFAULT", QOLOG_ERROR, "one");
      qologLog("DEFAULT", QOLOG_ERROR, "two");
      struct stat st;
      CHILD_CHECK(rolled == (stat("big.log.1", &st) == 0 && st.st_size == size));
      std::ifstream in("big.log");
      in.seekg(rolled ? 0 : size);
      wantSame("big.log", std::string(std::istreambuf_iterator<char>(in), {}),
               banner("DEFAULT") + line("DEFAULT", "ERR", "one") + line("DEFAULT", "ERR", "two"));
    });
  }
}

}  // namespace
