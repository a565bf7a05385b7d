// qolog-check: whether each log file can be opened by the user who runs the
// command, as the library opens it (write-only, appending, created when
// missing), and what follows when it cannot.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "check/check.h"

namespace check {

namespace {

using qolog::ModuleCfg;

std::string dirOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string error(int e, const std::string &cause) {
  return std::string(strerror(e)) + " (" + cause + ")";
}

// Why no file can be created in `dir`, or "" when one can.
std::string notCreatable(const std::string &dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    int e = errno;
    return error(e, "the directory " + visible(dir) + (e == ENOENT ? " does not exist" : ""));
  }
  if (!S_ISDIR(st.st_mode)) return error(ENOTDIR, visible(dir) + " is not a directory");
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return error(errno, "this user may not create files in " + visible(dir));
  }
  return "";
}

const char *typeName(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string modulesText(const std::vector<std::string> &names) {
  std::vector<std::string> bracketed;
  for (const std::string &n : names) bracketed.push_back("[" + n + "]");
  return join(bracketed, ", ");
}

}  // namespace

Reach reach(const std::string &path) {
  Reach r;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    r.link = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  if (stat(path.c_str(), &st) == 0) {
    r.regular = S_ISREG(st.st_mode);
    if (!r.regular) r.what = typeName(st.st_mode);
    if (S_ISDIR(st.st_mode)) {
      r.why = strerror(EISDIR);
    } else if (S_ISSOCK(st.st_mode)) {
      r.why = strerror(ENXIO);
    } else if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      r.why = error(errno, "this user may not write to it");
    }
  } else if (errno == ENOENT) {
    // Created by the open: in the directory of the path, or of the target
    // of a dangling link.
    std::string target = r.link.empty() || r.link[0] == '/' || dirOf(path) == "."
                             ? r.link
                             : dirOf(path) + "/" + r.link;
    r.why = notCreatable(dirOf(target.empty() ? path : target));
  } else {
    // A part of the path on the way: the directory tells which.
    int e = errno;
    r.why = notCreatable(dirOf(path));
    if (r.why.empty()) r.why = strerror(e);
  }
  r.opens = r.why.empty();
  if (!r.opens && r.regular) {
    size_t slash = path.rfind('/');
    size_t dirLen = slash == std::string::npos ? 0 : slash + 1;
    r.perProcess = path.substr(0, dirLen) + "<pid>-" + path.substr(dirLen);
    r.perProcessWhy = notCreatable(dirOf(path));
    r.perProcessOpens = r.perProcessWhy.empty();
  }
  return r;
}

std::vector<std::string> slotUsers(const qolog::TraceCfg &cfg, int slot, int except) {
  std::vector<std::string> out;
  for (int i = 0; i < qolog::kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    if (i != except && m.nUsed == 1 && m.nFileIndex == slot) out.push_back(m.szName);
  }
  return out;
}

// One warning per file that cannot be opened or is not a plain file, and one
// for the process-wide switch to per-process names that a failed open makes.
void Check::fileNotes() {
  std::vector<int> failing;
  uint32_t firstLine = 0;
  for (int i = 0; i < qolog::kMaxFiles; ++i) {
    const qolog::LogFile &slot = cfg->asFiles[i];
    std::vector<std::string> users = slotUsers(*cfg, i);
    if (slot.nUsed != 1 || slot.szName[0] == '\0' || users.empty()) continue;
    const std::string file = slot.szName;
    const Reach &r = reaches_[i] = reach(file);
    uint32_t line = pathLines_.count(file) ? pathLines_[file] : 0;
    std::string shown = visible(file);
    if (!r.opens) {
      std::string instead =
          !r.regular ? "go to no file (a path that is not a regular file gets no per-process name)"
          : r.perProcessOpens
              ? "go to " + visible(r.perProcess) + " instead (the per-process name)"
              : "go to no file: the per-process name " + visible(r.perProcess) +
                    " cannot be created either";
      warn(line, "file-unreachable",
           shown + (file[0] == '/' ? "" : " (from the current directory)") +
               " cannot be opened: " + r.why + ": the lines of " + modulesText(users) + " " +
               instead);
      if (r.regular) {
        if (failing.empty()) firstLine = line;
        failing.push_back(i);
      }
    } else if (!r.regular) {
      warn(line, "not-regular-file",
           shown + " is " + r.what + ": written without a lock and never rolled" +
               (r.what == "a FIFO" ? "; only while a process reads it (with none the open fails "
                                     "and the lines are dropped)"
                                   : ""));
    }
    if (!r.link.empty()) {
      warn(line, "symbolic-link",
           shown + " is a symbolic link to " + visible(r.link) +
               ": never rolled (a roll would rename the link); a privileged process does not "
               "follow it and writes nothing");
    }
  }
  if (failing.empty()) return;
  std::vector<std::string> names, affected;
  for (int i : failing) tagging.push_back(cfg->asFiles[i].szName);
  for (const std::string &f : tagging) names.push_back(visible(f));
  for (const auto &entry : reaches_) {
    if (!entry.second.regular || std::count(failing.begin(), failing.end(), entry.first)) continue;
    for (const std::string &n : slotUsers(*cfg, entry.first)) affected.push_back(n);
  }
  if (affected.empty()) return;
  warn(firstLine, "per-process-names",
       "once a message tries " + join(names, " or ") +
           ", the process opens every log file under a per-process name (<dir>/<pid>-<file>) "
           "for good: the lines of " + modulesText(affected) +
           " move to such names at the next open of their file (first message, roll or reload)");
}

void Check::afterParse() {
  if (malformed) return;
  const qolog::LogFile &slot0 = cfg->asFiles[0];
  if (!defaultHasFile_) {
    std::string taker;
    for (int i = 1; i < qolog::kMaxModules; ++i) {
      const ModuleCfg &m = cfg->asModules[i];
      if (m.nUsed == 1 && m.nFileIndex == 0) {
        taker = m.szName;
        break;
      }
    }
    std::string head = defaultLine != 0 ? "[DEFAULT] has no LOGFILENAME of its own"
                                        : "there is no [DEFAULT] section";
    if (slot0.nUsed == 1) {
      warn(defaultLine, "default-without-file",
           head + ": DEFAULT writes to the first file a section takes, here " +
               quoted(visible(slot0.szName)) + (taker.empty() ? "" : " of [" + taker + "]") +
               "; a running process keeps the file it had before a reload");
    } else {
      warn(defaultLine, "default-without-file",
           head + " and no section names a file: DEFAULT's messages are dropped");
    }
  }
  size_t n = 0;
  for (int i = 1; i < qolog::kMaxModules && n < modules.size(); ++i) {
    const ModuleCfg &m = cfg->asModules[i];
    if (m.nUsed != 1) continue;
    if (qolog::moduleFileSlot(*cfg, &m) == nullptr) {
      warn(modules[n].headerLine, "module-without-file",
           "[" + std::string(m.szName) + "] has no LOGFILENAME: its messages are dropped");
    }
    ++n;
  }
  fileNotes();
  std::stable_sort(diags.begin(), diags.end(), [](const Diagnostic &a, const Diagnostic &b) {
    return (a.line == 0 ? UINT32_MAX : a.line) < (b.line == 0 ? UINT32_MAX : b.line);
  });
}

}  // namespace check
