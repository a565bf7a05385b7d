// A privileged process must read only the system configuration file and
// ignore what its caller controls: ./qotrace.cfg, QOTRACE_CFG, QOLOG_DEBUG,
// relative log paths and a symbolic link planted as its log file. An
// ordinary process honours the first three.
//
// Run as root, the driver makes a scratch directory with a copy of this
// program ("probe"), setuid nobody or plain (run as nobody), a working
// directory with qotrace.cfg (local.log), named.cfg (named.log, named by
// QOTRACE_CFG) and link.log -> victim.log, and a "system" qotrace.cfg (the
// probe's system path; tests never touch /etc) naming system.log, a relative
// rel.log and link.log. The probe checks getauxval(AT_SECURE) and where its
// lines went.
//
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no such user, a
// nosuid mount, or a kernel that did not grant AT_SECURE): never a pass
// unless the privileged exec really happened.
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/driver.h"
#include "support/scenario.h"

namespace {

constexpr int kPass = 0;
constexpr int kFail = 1;
constexpr int kSkip = 77;
constexpr int kNotSecure = 3;  // probe: the kernel did not mark the exec secure

int probe(bool wantSecure) {
  if (wantSecure != (getauxval(AT_SECURE) != 0)) return wantSecure ? kNotSecure : kFail;
  // A logger of its own, called as the entry points call theirs. The refused
  // ones first: a refusal must not move DEFAULT to a per-process name.
  static qolog::Logger logger;
  logger.change([](qolog::State &s) { s.watch.systemPath = "../sys/qotrace.cfg"; });
  for (const char *m : {"LINK", "REL", "DEFAULT"}) qtest::logVia(logger, m, QOLOG_ERROR, "probe line");
  auto exists = [](const char *path) { struct stat st; return lstat(path, &st) == 0; };
  const std::string err = qtest::readFile("stderr.txt");
  const std::string wanted = qtest::readFile(wantSecure ? "system.log" : "named.log");
  bool ok = wanted.find("|DEFAULT|") != std::string::npos && !exists("local.log") &&
            exists("system.log") == wantSecure && exists("named.log") != wantSecure;
  // Privileged: no diagnostics, no relative path, no write through the link.
  if (wantSecure) {
    ok = ok && err.empty() && !exists("rel.log") && qtest::readFile("victim.log").empty();
  } else {
    ok = ok && err.find("qolog: configuration loaded from named.cfg") != std::string::npos;
  }
  if (!ok) fprintf(stderr, "probe: wrong files or diagnostics\n");
  return ok ? kPass : kFail;
}

int drive(bool setuidCopy) {
  // The first directory that can hold a setuid program: the test's working
  // directory (the build tree), else the usual temporary directories.
  std::string dir;
  for (const char *base : {".", "/tmp", "/var/tmp"}) {
    struct statvfs vfs;
    char real[PATH_MAX];
    if (dir.empty() && statvfs(base, &vfs) == 0 && (vfs.f_flag & ST_NOSUID) == 0 &&
        realpath(base, real) != nullptr) {
      dir = std::string(real) + "/qolog-secure.XXXXXX";
    }
  }
  const struct passwd *nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr || dir.empty()) {
    fprintf(stderr, "SKIPPED: needs root, a user nobody and a directory that allows setuid\n");
    return kSkip;
  }
  if (mkdtemp(&dir[0]) == nullptr) return kFail;
  const std::string work = dir + "/work", sys = dir + "/sys", probe = dir + "/probe";
  // Only paths relative to the working directory reach the probe: the
  // directories above the scratch directory need not be open to nobody.
  qtest::writeFile(probe, qtest::readFile("/proc/self/exe"));
  bool ok = chmod(dir.c_str(), 0755) == 0 && mkdir(work.c_str(), 0755) == 0 &&
            mkdir(sys.c_str(), 0755) == 0 &&
            chown(probe.c_str(), nobody->pw_uid, nobody->pw_gid) == 0 &&
            chmod(probe.c_str(), setuidCopy ? 04755 : 0755) == 0 &&
            symlink("victim.log", (work + "/link.log").c_str()) == 0;
  qtest::writeFile(work + "/qotrace.cfg", "[DEFAULT]\nLOGFILENAME = local.log\n");
  qtest::writeFile(work + "/named.cfg", "[DEFAULT]\nLOGFILENAME = named.log\n");
  qtest::writeFile(work + "/victim.log", "");
  qtest::writeFile(sys + "/qotrace.cfg",
                   "[DEFAULT]\nLOGFILENAME = /proc/self/cwd/system.log\n"
                   "[REL]\nLOGFILENAME = rel.log\n[LINK]\nLOGFILENAME = /proc/self/cwd/link.log\n");
  ok = ok && chown(work.c_str(), nobody->pw_uid, nobody->pw_gid) == 0 &&
       chown((work + "/victim.log").c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  pid_t child = ok ? fork() : -1;
  if (child == 0) {
    int err = open((work + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) != 2 || chdir(work.c_str()) != 0) _exit(kFail);
    // The plain copy runs as nobody; the setuid one is run by root.
    if (!setuidCopy && (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                        setuid(nobody->pw_uid) != 0)) {
      _exit(kFail);
    }
    char *const args[] = {const_cast<char *>("probe"),
                          const_cast<char *>(setuidCopy ? "secure" : "plain"), nullptr};
    char *const env[] = {const_cast<char *>("QOLOG_DEBUG=1"),
                         const_cast<char *>("QOTRACE_CFG=named.cfg"), nullptr};
    execve("../probe", args, env);
    _exit(kFail);
  }
  int status = 0;
  bool waited = child > 0 && waitpid(child, &status, 0) == child;
  // A setuid copy left behind must not go unnoticed.
  if (system(("rm -rf '" + dir + "'").c_str()) != 0 || !waited || !WIFEXITED(status)) return kFail;
  if (WEXITSTATUS(status) == kNotSecure) {
    fprintf(stderr, "SKIPPED: the privileged exec was not marked AT_SECURE here "
                    "(no_new_privs, or a mount without suid support)\n");
    return kSkip;
  }
  return WEXITSTATUS(status) == kPass ? kPass : kFail;
}

}  // namespace

// In a build with AddressSanitizer: its leak check runs the process under a
// tracer, which an exec that changed privileges forbids. Off for the probe.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return getauxval(AT_SECURE) != 0 ? "detect_leaks=0" : "";
}

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[0], "probe") == 0) return probe(strcmp(argv[1], "secure") == 0);
  if (argc == 2 && strcmp(argv[1], "setuid") == 0) return drive(true);
  if (argc == 2 && strcmp(argv[1], "plain") == 0) return drive(false);
  fprintf(stderr, "usage: %s plain|setuid\n", argv[0]);
  return kFail;
}
