// The reload check: locate the configuration file, decide whether it changed,
// read it and rebuild the store from it.
#include "config/cfg_loader.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "config/cfg_parser.h"

namespace qolog {

namespace {

// A file that keeps growing while it is read stops being read this far past
// the size it had when examined; the next change reloads it anyway.
const size_t kGrowthAllowance = 65536;

bool isNewer(const CfgWatch &watch, const struct stat &st) {
  if (watch.lastMtimeSec == -1) return true;
  int64_t sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  int64_t nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  if (sec != watch.lastMtimeSec) return sec > watch.lastMtimeSec;
  return nsec > watch.lastMtimeNsec;
}

int openForRead(const os::Os &os, const char *path) {
  // Non-blocking: a FIFO in place of the file must not hang the check.
  return os::openAt(os, AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

}  // namespace

bool cfgCheckDue(const CfgWatch &watch, time_t now) {
  int64_t at = static_cast<int64_t>(now);
  return watch.nextCheck == -1 || at > watch.nextCheck || at < watch.lastCheck;
}

const char *cfgPathFromEnvironment() {
  const char *named = secure_getenv("QOTRACE_CFG");
  return named != nullptr && named[0] != '\0' ? named : nullptr;
}

void takeCfgPathFromEnvironment(CfgWatch &watch) {
  const char *named = cfgPathFromEnvironment();
  watch.namedPath = nullptr;
  if (named == nullptr) return;
  size_t len = strnlen(named, sizeof(watch.namedPathText));
  // A name too long to keep names no file this process could open.
  if (len == sizeof(watch.namedPathText)) len = 0;
  memcpy(watch.namedPathText, named, len);
  watch.namedPathText[len] = '\0';
  watch.namedPath = watch.namedPathText;
}

// A privileged process (setuid, setgid, capabilities) reads only the system
// file: whoever picks its working directory must not pick its log files.
int openCfgFile(const os::Os &os, const char *namedPath, const char *systemPath,
                const char **path) {
  if (namedPath != nullptr) {
    if (path != nullptr) *path = namedPath;
    return openForRead(os, namedPath);
  }
  if (!os::isPrivileged()) {
    int fd = openForRead(os, kCfgFileName);
    if (fd >= 0) {
      if (path != nullptr) *path = kCfgFileName;
      return fd;
    }
  }
  if (path != nullptr) *path = systemPath;
  return openForRead(os, systemPath);
}

char *readCfgFile(const os::Os &os, int fd, size_t expected, size_t *len) {
  size_t limit = expected + kGrowthAllowance;
  size_t cap = expected + 1;
  char *buf = static_cast<char *>(malloc(cap));
  if (buf == nullptr) return nullptr;
  size_t used = 0;
  for (;;) {
    if (used == cap) {
      if (cap >= limit) break;
      size_t grown = cap * 2 < limit ? cap * 2 : limit;
      char *bigger = static_cast<char *>(realloc(buf, grown));
      if (bigger == nullptr) {
        free(buf);
        return nullptr;
      }
      buf = bigger;
      cap = grown;
    }
    ssize_t n = os::readSome(os, fd, buf + used, cap - used);
    if (n < 0) {
      free(buf);
      return nullptr;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  *len = used;
  return buf;
}

bool loadChangedCfg(const os::Os &os, CfgWatch &watch, TraceCfg &cfg, CfgOutcome *outcome) {
  CfgOutcome found;
  int fd = openCfgFile(os, watch.namedPath, watch.systemPath, &found.path);
  found.err = errno;
  bool rebuilt = false;
  struct stat st;
  // fstat of what was opened: an atomic replace in between cannot pair the
  // new modification time with the old text.
  if (fd < 0) {
    found.kind = CfgOutcome::kMissing;
  } else if (os::statFd(os, fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    found.kind = CfgOutcome::kNotRegular;
  } else {
    bool changed = isNewer(watch, st);
    watch.lastMtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    watch.lastMtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    found.kind = changed ? CfgOutcome::kUnreadable : CfgOutcome::kUnchanged;
    size_t len = 0;
    size_t expected = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    char *text = changed ? readCfgFile(os, fd, expected, &len) : nullptr;
    found.err = errno;
    if (text != nullptr) {
      rebuilt = parseTraceCfgText(cfg, text, len, nullptr);
      if (rebuilt) found.kind = CfgOutcome::kLoaded;
      free(text);
    }
  }
  os::closeFd(os, fd);
  if (outcome != nullptr) *outcome = found;
  return rebuilt;
}

void scheduleCfgCheck(CfgWatch &watch, time_t now, uint32_t minutes) {
  // now + minutes * 60, saturated at the largest value.
  int64_t base = static_cast<int64_t>(now);
  watch.lastCheck = base;
  int64_t add = static_cast<int64_t>(minutes) * 60;  // fits: minutes < 2^32
  watch.nextCheck = base > INT64_MAX - add ? INT64_MAX : base + add;
}

}  // namespace qolog
