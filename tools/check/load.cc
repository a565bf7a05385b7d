// qolog-check: finding the configuration file as the library finds it,
// reading it and running the library's parser over it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "check/check.h"
#include "config/cfg_loader.h"

namespace check {

namespace {

std::string currentDirectory() {
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof(buf)) != nullptr) return buf;
  return std::string("unknown: ") + strerror(errno);
}

}  // namespace

bool Check::load(const char *fileArg) {
  const qolog::os::Os &os = qolog::os::system();
  const char *named = nullptr;
  int fd;
  if (fileArg != nullptr) {
    path = fileArg;
    where = "given on the command line";
    fd = qolog::os::openAt(os, AT_FDCWD, fileArg, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  } else {
    // Exactly the library's choice: QOTRACE_CFG alone when set, else
    // ./qotrace.cfg, else the system file.
    named = qolog::cfgPathFromEnvironment();
    const char *tried = nullptr;
    fd = qolog::openCfgFile(os, named, qolog::kSystemCfgPath, &tried);
    path = tried;
    where = named != nullptr                             ? "named by QOTRACE_CFG"
            : strcmp(tried, qolog::kCfgFileName) == 0 ? "found in the current directory"
                                                      : std::string("found in ") +
                                                            qolog::kSystemCfgPath + ": ./" +
                                                            qolog::kCfgFileName +
                                                            " could not be opened";
  }
  const std::string nothing = ": the library loads nothing and writes nothing";
  if (fd < 0) {
    std::string error = strerror(errno);
    std::string cwd = currentDirectory();
    if (fileArg != nullptr) {
      where = "cannot be opened: " + error;
    } else if (named != nullptr) {
      where = "named by QOTRACE_CFG, cannot be opened: " + error +
              (path[0] != '/' ? " (current directory " + cwd + ")" : "") + nothing + " (it does not look at ./" +
              qolog::kCfgFileName + " or " + qolog::kSystemCfgPath + ")";
    } else {
      where = std::string("neither ") + qolog::kCfgFileName + " in " + cwd + " nor " +
              qolog::kSystemCfgPath + " can be opened" + nothing;
    }
    return false;
  }
  struct stat st;
  if (qolog::os::statFd(os, fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    qolog::os::closeFd(os, fd);
    where = (named != nullptr ? "named by QOTRACE_CFG, " : "") +
            std::string("is not a regular file: the library reads nothing from it (and does "
                        "not look further) and writes nothing");
    return false;
  }
  size_t len = 0;
  char *text = qolog::readCfgFile(os, fd, static_cast<size_t>(st.st_size), &len);
  qolog::os::closeFd(os, fd);
  if (text == nullptr) {
    where = "cannot be read";
    return false;
  }
  text_.assign(text, len);
  free(text);
  found = true;
  parse();
  afterParse();
  return true;
}

void Check::parse() {
  kept_.resize(qolog::cfgLinesCapacity(text_.size()));
  origins_.resize(kept_.size() / 2 + 1);
  size_t used = qolog::keepCfgLines(text_.data(), text_.size(), kept_.data(), origins_.data());
  uint32_t lastLong = 0;
  for (size_t pos = 0; pos < used; pos += strlen(&kept_[pos]) + 1) {
    const qolog::CfgLineOrigin &o = origins_[starts_.size()];
    if (o.continuation && o.number != lastLong) {
      lastLong = o.number;
      warn(o.number, "long-line",
           "longer than " + std::to_string(qolog::kCfgLineMax) +
               " characters: read as several lines, each taken on its own");
    }
    starts_.push_back(pos);
  }
  qolog::CfgReporter reporter{onReport, this};
  qolog::rebuildTraceCfg(*cfg, kept_.data(), used, &reporter);
}

std::string Check::lineText(uint32_t number, bool full) const {
  size_t pos = 0;
  for (uint32_t n = 1; n < number && pos != std::string::npos; ++n) {
    pos = text_.find('\n', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos || pos > text_.size()) return "";
  std::string line = text_.substr(pos, text_.find('\n', pos) - pos);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.size() > 120 && !full ? line.substr(0, 117) + "..." : line;
}

uint32_t Check::lineOf(const char *keptLine) const {
  size_t off = static_cast<size_t>(keptLine - kept_.data());
  auto it = std::upper_bound(starts_.begin(), starts_.end(), off);
  size_t index = static_cast<size_t>(it - starts_.begin()) - 1;
  return origins_[index].number;
}

}  // namespace check
