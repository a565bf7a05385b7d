// The reload check: locate the configuration file, decide whether it changed,
// read it and rebuild the store from it.
#include "config/cfg_loader.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>

#include "config/cfg_parser.h"
#include "config/trace_cfg.h"
#include "files/posix.h"

namespace qolog {

long ST_lnTimeToReloadInSecondes = -1;
long ST_lnLastModificationTime = -1;
long ST_lnLastModificationNsec = 0;
int ST_nFirst = 0;
const char *ST_szSystemCfgPath = "/etc/qotrace.cfg";

namespace {

const char kCfgName[] = "qotrace.cfg";
// A file that keeps growing while it is read stops being read this far past
// the size it had when examined; the next change reloads it anyway.
const size_t kGrowthAllowance = 65536;

bool isNewer(const struct stat &st) {
  if (ST_lnLastModificationTime == -1) return true;
  long sec = static_cast<long>(st.st_mtim.tv_sec);
  long nsec = static_cast<long>(st.st_mtim.tv_nsec);
  if (sec != ST_lnLastModificationTime) return sec > ST_lnLastModificationTime;
  return nsec > ST_lnLastModificationNsec;
}

}  // namespace

// A privileged process (setuid, setgid, capabilities) reads only the system
// file: whoever picks its working directory must not pick its log files.
int openCfgFile(const char **path) {
  if (getauxval(AT_SECURE) == 0) {
    int fd = openForRead(kCfgName);
    if (fd >= 0) {
      if (path != nullptr) *path = kCfgName;
      return fd;
    }
  }
  if (path != nullptr) *path = ST_szSystemCfgPath;
  return openForRead(ST_szSystemCfgPath);
}

char *readCfgFile(int fd, size_t expected, size_t *len) {
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
    ssize_t n = readSome(fd, buf + used, cap - used);
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

namespace {

void checkCfgFile() {
  int fd = openCfgFile(nullptr);
  if (fd < 0) return;
  struct stat st;
  // fstat of what was opened: an atomic replace in between cannot pair the
  // new modification time with the old text.
  if (fstatFile(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    closeFd(fd);
    return;
  }
  bool changed = isNewer(st);
  ST_lnLastModificationTime = static_cast<long>(st.st_mtim.tv_sec);
  ST_lnLastModificationNsec = static_cast<long>(st.st_mtim.tv_nsec);
  if (!changed) {
    closeFd(fd);
    return;
  }
  size_t len = 0;
  size_t expected = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  char *text = readCfgFile(fd, expected, &len);
  closeFd(fd);
  if (text == nullptr) return;
  char *lines = static_cast<char *>(malloc(cfgLinesCapacity(len)));
  if (lines != nullptr) {
    size_t used = keepCfgLines(text, len, lines);
    if (ST_nFirst == 0) {
      ST_nFirst = 1;
      memset(&ST_sTraceCfg, 0, sizeof(ST_sTraceCfg));
    }
    rebuildTraceCfg(ST_sTraceCfg, lines, used, nullptr);
    free(lines);
  }
  free(text);
}

}  // namespace

long reloadDeadline(time_t now, unsigned long minutes) {
  long base = static_cast<long>(now);
  if (minutes > static_cast<unsigned long>(LONG_MAX / 60)) return LONG_MAX;
  long add = static_cast<long>(minutes) * 60;
  return base > LONG_MAX - add ? LONG_MAX : base + add;
}

void reloadTraceCfg(time_t now) {
  if (ST_lnTimeToReloadInSecondes != -1 &&
      static_cast<long>(now) <= ST_lnTimeToReloadInSecondes) {
    return;
  }
  holdCancellation();
  checkCfgFile();
  // After a rebuild no stream is open and this finds nothing to do.
  closeReplacedFiles(ST_sTraceCfg);
  ST_lnTimeToReloadInSecondes =
      reloadDeadline(now, ST_sTraceCfg.nReloadPeriod);
}

}  // namespace qolog
