// Scratch directories and forked scenarios for the tests.
#include "support/scenario.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/fake_clock.h"

namespace qtest {

namespace {
int g_realStderr = -1;  // the test's own stderr inside a child
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") +
                     "/qolog-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) abort();
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // Leave it; a failed cleanup must not fail the test.
  }
}

void TempDir::write(const std::string &name, const std::string &content) const {
  writeFile(file(name), content);
}

std::string TempDir::read(const std::string &name) const {
  return readFile(file(name));
}

bool TempDir::exists(const std::string &name) const {
  struct stat st;
  return lstat(file(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::list() const { return listDir(path_); }

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

int runInChild(const std::string &dir, const std::function<void()> &body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    g_realStderr = dup(2);
    if (chdir(dir.c_str()) != 0) _exit(2);
    int fd = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 2);
      close(fd);
    }
    body();
    fflush(stderr);
    _exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void childFail(const char *file, int line, const char *what) {
  int fd = g_realStderr >= 0 ? g_realStderr : 2;
  dprintf(fd, "%s:%d: child check failed: %s\n", file, line, what);
  _exit(1);
}

void scenario(const std::string &cfg, time_t now, const std::function<void()> &body) {
  TempDir dir;
  dir.write("qotrace.cfg", cfg);
  EXPECT_EQ(0, runInChild(dir.path(), [&] {
    setenv("TZ", "UTC", 1);
    tzset();
    setFakeClock(now);
    body();
  }));
}

void wantSame(const std::string &what, const std::string &got, const std::string &expected) {
  if (got == expected) return;
  childFail(what.c_str(), 0, ("want:\n" + expected + "\ngot:\n" + got).c_str());
}

void wantFile(const std::string &file, const std::string &text) {
  fflush(stderr);
  wantSame(file, readFile(file), text);
}

void wantDir(const std::string &dir, std::vector<std::string> names) {
  std::string got, expected;
  for (const std::string &n : listDir(dir)) got += n + "\n";
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) expected += n + "\n";
  wantSame(dir, got, expected);
}

}  // namespace qtest
