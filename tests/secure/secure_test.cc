// A privileged process (setuid, setgid, file capabilities) must ignore the
// qotrace.cfg of its working directory and read only the system file, while
// an ordinary process prefers the local one.
//
// Run as root, the driver builds a scratch directory with a copy of this
// program made setuid nobody (or setgid nogroup, or given a file capability
// and run as nobody), a working directory holding a qotrace.cfg that names
// local.log, and a "system" qotrace.cfg naming system.log (also a relative
// path and a planted symbolic link, never to be written), which the copy
// reads as its state's system path (tests never touch /etc). The copy
// ("probe") checks getauxval(AT_SECURE) and which file its line went to.
//
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no such user, a
// nosuid mount, or a kernel that did not grant AT_SECURE): never a pass
// unless the privileged exec really happened.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <limits.h>
#include <linux/capability.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdarg.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include <memory>

#include "pipeline/pipeline.h"

namespace {

constexpr int kPass = 0;
constexpr int kFail = 1;
constexpr int kSkip = 77;
constexpr int kNotSecure = 3;  // probe: the kernel did not mark the exec secure

std::string readAll(const std::string &path, bool *exists) {
  std::string text;
  FILE *f = fopen(path.c_str(), "r");
  *exists = f != nullptr;
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

// One message for `module` through the library's pipeline.
void logLine(qolog::State &state, const char *module, const char *format, ...) {
  va_list args;
  va_start(args, format);
  qolog::traceMessage(state, qolog::Message{module, QOLOG_ERROR, format, nullptr, 0}, args);
  va_end(args);
}

// argv: probe secure|plain <system configuration path>. Runs in the working directory
// that holds the local qotrace.cfg.
int probe(bool wantSecure, const char *systemCfg) {
  const unsigned long secure = getauxval(AT_SECURE);
  fprintf(stderr, "probe: AT_SECURE=%lu uid=%d euid=%d gid=%d egid=%d\n", secure,
          static_cast<int>(getuid()), static_cast<int>(geteuid()),
          static_cast<int>(getgid()), static_cast<int>(getegid()));
  if (wantSecure && secure == 0) return kNotSecure;
  if (!wantSecure && secure != 0) {
    fprintf(stderr, "probe: AT_SECURE set for a plain exec\n");
    return kFail;
  }
  auto state = std::make_unique<qolog::State>();
  state->watch.systemPath = systemCfg;
  for (const char *module : {"DEFAULT", "REL", "LINK"}) logLine(*state, module, "probe line");
  // The system file also names a relative path and a symbolic link that
  // someone planted in the working directory: a privileged process writes
  // through neither.
  struct stat st;
  if (wantSecure && (stat("rel.log", &st) == 0 || stat("victim.log", &st) != 0 || st.st_size != 0)) {
    fprintf(stderr, "probe: a relative path or a planted link was written\n");
    return kFail;
  }

  bool sysExists = false, localExists = false;
  const std::string sys = readAll("system.log", &sysExists);
  const std::string local = readAll("local.log", &localExists);
  const std::string &wanted = wantSecure ? sys : local;
  const bool otherExists = wantSecure ? localExists : sysExists;
  if (wanted.find("|DEFAULT|") == std::string::npos ||
      wanted.find("probe line\n") == std::string::npos || otherExists) {
    fprintf(stderr, "probe: the line should be in %s only\n--- system.log%s\n%s--- local.log%s\n%s",
            wantSecure ? "system.log" : "local.log", sysExists ? "" : " (none)", sys.c_str(),
            localExists ? "" : " (none)", local.c_str());
    return kFail;
  }
  return kPass;
}

enum class Kind { kPlain, kSetuid, kSetgid, kCapability };

struct User {
  uid_t uid;
  gid_t gid;
};

bool writeText(const std::string &path, const char *text) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fputs(text, f) >= 0;
  return fclose(f) == 0 && ok;
}

bool copyFile(const char *from, const std::string &to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
  bool ok = out >= 0;
  char buf[65536];
  ssize_t n;
  while (ok && (n = read(in, buf, sizeof buf)) != 0) {
    ok = n > 0 && write(out, buf, static_cast<size_t>(n)) == n;
  }
  close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  return ok;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// The first directory that can hold a setuid program: the test's working
// directory (the build tree), else the usual temporary directories.
std::string scratchBase() {
  static const char *const kBases[] = {".", "/tmp", "/var/tmp"};
  for (const char *base : kBases) {
    struct statvfs vfs;
    if (statvfs(base, &vfs) != 0) continue;
    if ((vfs.f_flag & ST_NOSUID) != 0) {
      fprintf(stderr, "%s: mounted nosuid\n", base);
      continue;
    }
    char real[PATH_MAX];
    if (realpath(base, real) != nullptr) return real;
  }
  return std::string();
}

// Gives `path` the permitted and effective capability CAP_NET_BIND_SERVICE,
// which changes nothing for this program but makes its exec privileged.
bool giveCapability(const std::string &path) {
  struct vfs_cap_data cap;
  memset(&cap, 0, sizeof cap);
  cap.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  cap.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
  if (setxattr(path.c_str(), "security.capability", &cap, XATTR_CAPS_SZ_2, 0) != 0) {
    fprintf(stderr, "setting a file capability: %s\n", strerror(errno));
    return false;
  }
  return true;
}

int drive(Kind kind) {
  if (geteuid() != 0) {
    fprintf(stderr, "SKIPPED: making a privileged program needs root\n");
    return kSkip;
  }
  struct passwd *pw = getpwnam("nobody");
  const User nobody{pw != nullptr ? pw->pw_uid : 65534, pw != nullptr ? pw->pw_gid : 65534};
  const std::string base = scratchBase();
  if (base.empty()) {
    fprintf(stderr, "SKIPPED: no directory on a mount that allows setuid\n");
    return kSkip;
  }
  std::string dir = base + "/qolog-secure.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {
    fprintf(stderr, "mkdtemp in %s: %s\n", base.c_str(), strerror(errno));
    return kFail;
  }
  const std::string bin = dir + "/probe", work = dir + "/work", sys = dir + "/sys";
  // Only paths relative to the working directory reach the probe: the
  // directories above the scratch directory need not be open to nobody.
  bool ok = chmod(dir.c_str(), 0755) == 0 && mkdir(work.c_str(), 0755) == 0 &&
            mkdir(sys.c_str(), 0755) == 0 &&
            writeText(work + "/qotrace.cfg", "[DEFAULT]\nLOGFILENAME = local.log\n") &&
            writeText(sys + "/qotrace.cfg",
                      "[DEFAULT]\nLOGFILENAME = /proc/self/cwd/system.log\n"
                      "[REL]\nLOGFILENAME = rel.log\n[LINK]\nLOGFILENAME = /proc/self/cwd/link.log\n") &&
            writeText(work + "/victim.log", "") &&
            chown((work + "/victim.log").c_str(), nobody.uid, nobody.gid) == 0 &&
            symlink("victim.log", (work + "/link.log").c_str()) == 0 &&
            chown(work.c_str(), nobody.uid, nobody.gid) == 0 && copyFile("/proc/self/exe", bin);
  bool runAsNobody = true;
  switch (kind) {
    case Kind::kPlain:
      ok = ok && chmod(bin.c_str(), 0755) == 0;
      break;
    case Kind::kSetuid:  // run by root, euid nobody
      ok = ok && chown(bin.c_str(), nobody.uid, nobody.gid) == 0 &&
           chmod(bin.c_str(), 04755) == 0;
      runAsNobody = false;
      break;
    case Kind::kSetgid:  // run by root, egid nogroup
      ok = ok && chown(bin.c_str(), 0, nobody.gid) == 0 && chmod(bin.c_str(), 02755) == 0;
      runAsNobody = false;
      break;
    case Kind::kCapability:  // run by nobody, who gains a capability
      ok = ok && chmod(bin.c_str(), 0755) == 0;
      if (ok && !giveCapability(bin)) {
        nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        fprintf(stderr, "SKIPPED: file capabilities not available here\n");
        return kSkip;
      }
      break;
  }
  if (!ok) {
    fprintf(stderr, "setting up %s: %s\n", dir.c_str(), strerror(errno));
    nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return kFail;
  }

  const bool wantSecure = kind != Kind::kPlain;
  pid_t child = fork();
  if (child == 0) {
    if (chdir(work.c_str()) != 0) _exit(kFail);
    if (runAsNobody && (setgroups(0, nullptr) != 0 || setgid(nobody.gid) != 0 ||
                        setuid(nobody.uid) != 0)) {
      _exit(kFail);
    }
    char *const args[] = {const_cast<char *>("probe"),
                          const_cast<char *>(wantSecure ? "secure" : "plain"),
                          const_cast<char *>("../sys/qotrace.cfg"), nullptr};
    char *const env[] = {nullptr};
    // Relative, like every path the probe is given: nobody may not be able
    // to search the directories above the scratch directory.
    execve("../probe", args, env);
    fprintf(stderr, "exec %s: %s\n", bin.c_str(), strerror(errno));
    _exit(kFail);
  }
  int status = 0;
  const bool waited = child > 0 && waitpid(child, &status, 0) == child;
  nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (!waited || !WIFEXITED(status)) {
    fprintf(stderr, "probe did not exit normally (status %#x)\n", status);
    return kFail;
  }
  switch (WEXITSTATUS(status)) {
    case kPass:
      return kPass;
    case kNotSecure:
      fprintf(stderr, "SKIPPED: the privileged exec was not marked AT_SECURE here "
                      "(no_new_privs, or a mount without suid support)\n");
      return kSkip;
    default:
      return kFail;
  }
}

}  // namespace

// In a build with AddressSanitizer: its leak check runs the process under a
// tracer, which an exec that changed privileges forbids (and the environment,
// ASAN_OPTIONS included, can't be read there). Off for the probe only.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return getauxval(AT_SECURE) != 0 ? "detect_leaks=0" : "";
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[0], "probe") == 0) {
    return probe(strcmp(argv[1], "secure") == 0, argv[2]);
  }
  const std::string kind = argc == 2 ? argv[1] : "";
  if (kind == "plain") return drive(Kind::kPlain);
  if (kind == "setuid") return drive(Kind::kSetuid);
  if (kind == "setgid") return drive(Kind::kSetgid);
  if (kind == "capability") return drive(Kind::kCapability);
  fprintf(stderr, "usage: %s plain|setuid|setgid|capability\n", argv[0]);
  return kFail;
}
