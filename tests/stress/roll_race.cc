// A process that opens a log file for the first time while another one rolls
// it. Process A holds f.log and rolls it; this program holds A back right
// before its first rename (A's OS layer pauses in renameat) until
// process B has sent its first message. A still holds f.log's lock there, so
// B takes its own per-process file and every line is kept. Were the file
// unlocked before the rename, B would lock it, find it over the limit and
// roll it itself, and A's rename would move B's new file over the backup
// that holds A's lines.
//
// Prints what each file holds and exits 1 when a line is missing.
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>

#include "stress_util.h"
#include "support/driver.h"

namespace {
int g_paused = -1, g_resume = -1;  // in A: pipes to B, until its first rename
}

int pausingRenameat(int fromDir, const char *from, int toDir, const char *to) {
  if (g_paused >= 0) {
    char c = 0;
    if (write(g_paused, &c, 1) != 1 || read(g_resume, &c, 1) != 1) _exit(3);
    g_paused = -1;
  }
  return renameat(fromDir, from, toDir, to);
}

int main() {
  using namespace stress;
  const std::string dir = makeScratchDir();
  if (chdir(dir.c_str()) != 0) return 2;
  writeFile("qotrace.cfg",
            "[DEFAULT]\nLOGFILENAME = f.log\nMAXFILESIZE = 1KB\nMAXFILEBACKUPS = 5\n");
  const std::string pad(100, '.');
  const int kLines = 15;
  int paused[2], resume[2];
  if (pipe(paused) != 0 || pipe(resume) != 0) return 2;
  pid_t a = fork();
  if (a == 0) {
    g_paused = paused[1];
    g_resume = resume[0];
    qolog::os::Os os = qolog::os::system();
    os.renameat = pausingRenameat;
    auto *state = new qolog::State(os);
    for (int i = 1; i <= kLines; ++i) qtest::logTo(*state, "DEFAULT", QOLOG_ERROR, "A%d %s", i, pad.c_str());
    _exit(0);
  }
  char c = 0;
  if (read(paused[0], &c, 1) != 1) return 2;  // A has unlocked f.log and is about to rename it
  auto *state = new qolog::State();
  qtest::logTo(*state, "DEFAULT", QOLOG_ERROR, "B1");  // B's first message
  if (write(resume[1], &c, 1) != 1 || waitpid(a, nullptr, 0) != a) return 2;
  qtest::logTo(*state, "DEFAULT", QOLOG_ERROR, "B2");

  // Each file with the messages it holds, then the missing ones.
  std::string all;
  for (const std::string &name : listDir(".")) {
    if (name == "qotrace.cfg") continue;
    const std::string text = readFile(name);
    std::string held;
    for (std::string_view line : splitLines(text)) {
      size_t bar = line.rfind('|');
      if (bar != std::string_view::npos)
        held += " " + std::string(line.substr(bar + 1, line.find(' ', bar) - bar - 1));
    }
    printf("%-10s%s\n", name.c_str(), held.c_str());
    all += text;
  }
  Problems bad;
  for (int i = 1; i <= kLines; ++i) {
    if (all.find("|A" + std::to_string(i) + " ") == std::string::npos) bad.add("A%d is gone", i);
  }
  for (const char *b : {"B1", "B2"}) {
    if (all.find(std::string("|") + b + "\n") == std::string::npos) bad.add("%s is gone", b);
  }
  printf("roll race: %ld of %d lines missing\n", bad.count, kLines + 2);
  return finish(dir, false, bad);
}
