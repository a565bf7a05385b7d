// Scratch directories and forked scenarios for the tests.
#include "support/scenario.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fake_clock.h"

namespace qtest {

namespace {
int g_realStderr = -1;  // the test's own stderr inside a child
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/qolog-test-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;  // a failed cleanup must not fail the test
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string &name, const std::string &content) const { writeFile(file(name), content); }

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(path, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

int runInChild(const std::string &dir, const std::function<void()> &body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    g_realStderr = dup(2);
    if (chdir(dir.c_str()) != 0) _exit(2);
    int fd = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && dup2(fd, 2) == 2) close(fd);  // kept when it can't be made
    body();
    _exit(0);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0) {
  }
  return pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void childFail(const char *file, int line, const char *what) {
  dprintf(g_realStderr >= 0 ? g_realStderr : 2, "%s:%d: child check failed: %s\n", file, line, what);
  _exit(1);
}

void skipChild(const std::string &why) {
  writeFile("skip", why + ": " + strerror(errno));
  _exit(kSkipped);
}

void scenario(const std::string &cfg, time_t now, const std::function<void()> &body) {
  TempDir dir;
  dir.write("qotrace.cfg", cfg);
  const int rc = runInChild(dir.path(), [&] {
    setenv("TZ", "UTC", 1);
    tzset();
    setFakeClock(now);
    alarm(120);  // a hang fails the test instead of stalling it
    body();
  });
  if (rc == kSkipped) GTEST_SKIP() << readFile(dir.file("skip"));
  EXPECT_EQ(0, rc);
}

void wantSame(const std::string &what, const std::string &got, const std::string &expected) {
  if (got != expected) childFail(what.c_str(), 0, ("want:\n" + expected + "\ngot:\n" + got).c_str());
}

void wantFile(const std::string &file, const std::string &text) { wantSame(file, readFile(file), text); }

void wantDir(const std::string &dir, std::vector<std::string> names) {
  std::string got, expected;
  for (const std::string &n : listDir(dir)) got += n + "\n";
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) expected += n + "\n";
  wantSame(dir, got, expected);
}

bool lockAsOther(const std::string &path) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  return fcntl(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), F_OFD_SETLK, &lock) == 0;
}

bool dropRoot() {
  return geteuid() != 0 || (chown(".", 65534, 65534) == 0 && setgroups(0, nullptr) == 0 &&
                            setgid(65534) == 0 && setuid(65534) == 0);
}

bool setMtime(const std::string &path, time_t seconds) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace qtest
