// A privileged process must read only the system configuration file and
// ignore what its caller controls: ./qotrace.cfg, QOTRACE_CFG, QOLOG_DEBUG,
// relative log paths and a symbolic link planted as its log file. An
// ordinary process honours the first three.
//
// Run as root, the driver makes a scratch directory with a copy of this
// program ("probe"), setuid nobody or plain (run as nobody), a working
// directory of nobody's and a "system" qotrace.cfg (the probe's system path;
// tests never touch /etc) naming system.log, a relative rel.log and link.log.
// The probe, as its caller would, writes qotrace.cfg (local.log), named.cfg
// (named.log, named by QOTRACE_CFG) and link.log -> victim.log, then checks
// getauxval(AT_SECURE), where its lines went and the mode of the file it
// created (umask 022).
//
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no such user, a
// nosuid mount, or a kernel that did not grant AT_SECURE): never a pass
// unless the privileged exec really happened.
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/driver.h"
#include "support/scenario.h"

namespace {

constexpr int kFail = 1, kSkip = 77;
constexpr int kNotSecure = 3;  // probe: the kernel did not mark the exec secure

int probe(bool secure) {
  if (secure != (getauxval(AT_SECURE) != 0)) return secure ? kNotSecure : kFail;
  // What its caller controls, then a logger of its own, called as the entry
  // points call theirs. The refused ones first: a refusal must not move
  // DEFAULT to a per-process name.
  qtest::writeFile("qotrace.cfg", "[DEFAULT]\nLOGFILENAME = local.log\n");
  qtest::writeFile("named.cfg", "[DEFAULT]\nLOGFILENAME = named.log\n");
  qtest::writeFile("victim.log", "");
  if (symlink("victim.log", "link.log") != 0) return kFail;
  static qolog::Logger logger;
  logger.change([](qolog::State &s) { s.watch.systemPath = "../sys/qotrace.cfg"; });
  for (const char *m : {"LINK", "REL", "DEFAULT"}) qtest::logVia(logger, m, QOLOG_ERROR, "probe line");
  struct stat st;
  auto exists = [&st](const char *path) { return lstat(path, &st) == 0; };
  bool ok = qtest::readFile(secure ? "system.log" : "named.log").find("|DEFAULT|") != std::string::npos &&
            exists(secure ? "system.log" : "named.log") && (st.st_mode & 07777) == 0644 &&
            !exists("local.log") && !exists(secure ? "named.log" : "system.log");
  // Privileged: no diagnostics, no relative path, no write through the link.
  const std::string err = qtest::readFile("stderr.txt");
  ok = ok && (secure ? err.empty() && !exists("rel.log") && qtest::readFile("victim.log").empty()
                     : err.find("qolog: configuration loaded from named.cfg") != std::string::npos);
  if (!ok) fprintf(stderr, "probe: wrong files, mode or diagnostics\n");
  return ok ? 0 : kFail;
}

int drive(bool setuidCopy) {
  // A directory that can hold a setuid program: the test's working directory
  // (the build tree), else /tmp. Paths stay relative to it, so the
  // directories above need not be open to nobody.
  struct statvfs vfs;
  const char *base = statvfs(".", &vfs) == 0 && (vfs.f_flag & ST_NOSUID) == 0 ? "." : "/tmp";
  std::string dir = std::string(base) + "/qolog-secure.XXXXXX";
  const struct passwd *nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr || statvfs(base, &vfs) != 0 || (vfs.f_flag & ST_NOSUID)) {
    fprintf(stderr, "SKIPPED: needs root, a user nobody and a directory that allows setuid\n");
    return kSkip;
  }
  if (mkdtemp(&dir[0]) == nullptr) return kFail;
  const std::string work = dir + "/work/", sys = dir + "/sys", probe = dir + "/probe";
  qtest::writeFile(probe, qtest::readFile("/proc/self/exe"));
  bool ok = chmod(dir.c_str(), 0755) == 0 && mkdir(work.c_str(), 0755) == 0 &&
            mkdir(sys.c_str(), 0755) == 0 && chown(probe.c_str(), nobody->pw_uid, nobody->pw_gid) == 0 &&
            chmod(probe.c_str(), setuidCopy ? 04755 : 0755) == 0 &&
            chown(work.c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  qtest::writeFile(sys + "/qotrace.cfg",
                   "[DEFAULT]\nLOGFILENAME = /proc/self/cwd/system.log\n"
                   "[REL]\nLOGFILENAME = rel.log\n[LINK]\nLOGFILENAME = /proc/self/cwd/link.log\n");
  pid_t child = ok ? fork() : -1;
  if (child == 0) {
    // The plain copy runs as nobody; the setuid one is run by root.
    const char *env[] = {"QOLOG_DEBUG=1", "QOTRACE_CFG=named.cfg", nullptr};
    umask(022);
    if (chdir(work.c_str()) == 0 && freopen("stderr.txt", "w", stderr) != nullptr &&
        (setuidCopy || (setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
                        setuid(nobody->pw_uid) == 0))) {
      execle("../probe", "probe", setuidCopy ? "secure" : "plain", nullptr, const_cast<char **>(env));
    }
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
  return WEXITSTATUS(status) == 0 ? 0 : kFail;
}

}  // namespace

// In a build with AddressSanitizer: its leak check runs the process under a
// tracer, which an exec that changed privileges forbids. Off for the probe.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return getauxval(AT_SECURE) != 0 ? "detect_leaks=0" : "";
}

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[0], "probe") == 0) return probe(strcmp(argv[1], "secure") == 0);
  bool setuidCopy = argc == 2 && strcmp(argv[1], "setuid") == 0;
  if (setuidCopy || (argc == 2 && strcmp(argv[1], "plain") == 0)) return drive(setuidCopy);
  fprintf(stderr, "usage: %s plain|setuid\n", argv[0]);
  return kFail;
}
