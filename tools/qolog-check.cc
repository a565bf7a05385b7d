// qolog-check: explains a qotrace.cfg exactly as the library reads it — the
// configuration that results and every line that did something surprising or
// nothing — and whether a given call would be written, and where. It runs the
// library's own file finder, reader, parser and store; it has no parser of
// its own.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "config/cfg_loader.h"
#include "config/cfg_parser.h"
#include "config/trace_cfg.h"
#include "config/module_lookup.h"

namespace {

using qolog::CfgEvent;
using qolog::CfgReason;
using qolog::ModuleCfg;
using qolog::TraceCfg;

const char kUsage[] =
    "usage: qolog-check [--json] [--strict] [FILE]\n"
    "       qolog-check [--json] [--strict] --explain MODULE LEVEL [FILE]\n"
    "       qolog-check [--json] [--strict] --explain --current NAME LEVEL [FILE]\n"
    "\n"
    "Reads a qotrace.cfg with libqolog's own parser and prints the configuration\n"
    "it yields (globals, then every module in table order), followed by every\n"
    "line that did something surprising or nothing at all.\n"
    "Without FILE the file is found as the library finds it: ./qotrace.cfg,\n"
    "else /etc/qotrace.cfg (a privileged process reads only the latter).\n"
    "\n"
    "  --explain MODULE LEVEL  tell whether qologLog(MODULE, LEVEL, ...) would be\n"
    "                          written, where, and if not, why\n"
    "  --current NAME          with --explain, in place of MODULE: explain\n"
    "                          qologTrace(LEVEL, ...) after qologSetModuleName(NAME)\n"
    "  LEVEL                   a number (4, 0x3) or level words (DEBUG, ERROR|INFO)\n"
    "  --json                  write the result as one JSON object\n"
    "  --strict                exit with status 1 when there is any warning\n"
    "\n"
    "Exit status: 0 the file loads; 1 it loads with warnings and --strict was\n"
    "given; 2 no configuration would be used, the first header is malformed\n"
    "(nothing is configured), or the command line is wrong.\n";

const struct {
  uint32_t bit;
  const char *name;
} kLevelBits[] = {{1, "ERROR"},    {2, "INFO"},     {4, "DEBUG"},
                  {8, "FUNCBEG"},  {16, "FUNCEND"}, {32, "PROCINFO"}};

std::vector<std::string> levelNames(uint32_t mask) {
  std::vector<std::string> out;
  for (const auto &b : kLevelBits) {
    if (mask & b.bit) out.push_back(b.name);
  }
  return out;
}

std::string join(const std::vector<std::string> &items, const char *sep) {
  std::string out;
  for (const std::string &s : items) out += (out.empty() ? "" : sep) + s;
  return out;
}

std::string levelText(uint32_t mask) {
  std::string words = join(levelNames(mask), " ");
  return std::to_string(mask) + (words.empty() ? " (none)" : " = " + words);
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

// Everything outside printable ASCII is escaped, so the text is valid JSON
// (and valid UTF-8) whatever bytes the configuration holds.
std::string jsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    }
  }
  return out + "\"";
}

std::string jsonStrings(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + jsonString(items[i]);
  return out + "]";
}

struct Diagnostic {
  uint32_t line;  // 0: not tied to one line
  std::string kind;
  std::string message;
  std::string reason;  // for rejected values
};

struct ModuleInfo {
  uint32_t headerLine = 0;
  std::string rawName;
};

// The configuration as the library would build it in a fresh process, with
// what each line did.
class Check {
 public:
  bool load(const char *fileArg);
  void printText() const;
  std::string json() const;
  // The file's line `number` as written (long lines shortened).
  std::string lineText(uint32_t number) const;

  bool found = false;      // a configuration file would be used
  bool malformed = false;  // the first pass met a malformed header
  std::string path;
  std::string where;       // how the file was found, or why none was
  // A record of its own, zero as at process start: the explanation then
  // asks the writer's own lookup and level test.
  TraceCfg *cfg = new TraceCfg();
  std::vector<Diagnostic> diags;
  std::vector<ModuleInfo> modules;  // module sections in table order (slot 1 up)
  uint32_t defaultLine = 0;

 private:
  static void onReport(void *context, const qolog::CfgReport &r) {
    static_cast<Check *>(context)->report(r);
  }
  void report(const qolog::CfgReport &r);
  void parse();
  void afterParse();
  void warn(uint32_t line, const char *kind, const std::string &message,
            const char *reason = "") {
    diags.push_back(Diagnostic{line, kind, message, reason});
  }
  uint32_t lineOf(const char *kept) const;
  void levelWordNotes(uint32_t line, const std::string &text, const std::string &keyPart,
                      bool rejected);
  void sectionNotes(uint32_t line, const qolog::CfgReport &r, bool isModule);

  std::string text_;
  std::vector<char> kept_;
  std::vector<qolog::CfgLineOrigin> origins_;
  std::vector<size_t> starts_;  // offset of each kept line
  std::string section_;
  std::map<std::string, uint32_t> keyLines_;        // first line of each key in the section
  std::map<std::string, uint32_t> sectionLines_;    // first header line of each name
  bool defaultHasFile_ = false;
};

bool Check::load(const char *fileArg) {
  int fd;
  if (fileArg != nullptr) {
    path = fileArg;
    where = "given on the command line";
    fd = qolog::os::openAt(qolog::os::system(), AT_FDCWD, fileArg, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  } else {
    const char *tried = nullptr;
    fd = qolog::openCfgFile(qolog::os::system(), nullptr, qolog::kSystemCfgPath, &tried);
    path = tried;
    where = strcmp(tried, "qotrace.cfg") == 0
                ? "found in the current directory"
                : "found in /etc: ./qotrace.cfg could not be opened";
  }
  if (fd < 0) {
    where = fileArg != nullptr ? std::string("cannot be opened: ") + strerror(errno)
                               : "neither ./qotrace.cfg nor /etc/qotrace.cfg can be opened: "
                                 "the library loads nothing and writes nothing";
    return false;
  }
  struct stat st;
  if (qolog::os::statFd(qolog::os::system(), fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    qolog::os::closeFd(qolog::os::system(), fd);
    where = "is not a regular file: the library reads nothing from it (and does not "
            "look further) and writes nothing";
    return false;
  }
  size_t len = 0;
  char *text = qolog::readCfgFile(qolog::os::system(), fd, static_cast<size_t>(st.st_size), &len);
  qolog::os::closeFd(qolog::os::system(), fd);
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
           "longer than 1023 characters: read as several lines, each taken on its own");
    }
    starts_.push_back(pos);
  }
  qolog::CfgReporter reporter{onReport, this};
  qolog::rebuildTraceCfg(*cfg, kept_.data(), used, &reporter);
}

std::string Check::lineText(uint32_t number) const {
  size_t pos = 0;
  for (uint32_t n = 1; n < number && pos != std::string::npos; ++n) {
    pos = text_.find('\n', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos || pos > text_.size()) return "";
  std::string line = text_.substr(pos, text_.find('\n', pos) - pos);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.size() > 120 ? line.substr(0, 117) + "..." : line;
}

uint32_t Check::lineOf(const char *keptLine) const {
  size_t off = static_cast<size_t>(keptLine - kept_.data());
  auto it = std::upper_bound(starts_.begin(), starts_.end(), off);
  size_t index = static_cast<size_t>(it - starts_.begin()) - 1;
  return origins_[index].number;
}

std::string reasonText(CfgReason reason, const char *key) {
  bool period = strcmp(key, "RELOADPERIOD") == 0;
  switch (reason) {
    case CfgReason::kNone: return "";
    case CfgReason::kNoDigit: return "no digit in the line";
    case CfgReason::kZero: return "the number is 0";
    case CfgReason::kUnitLowerCase:
      return period ? "unit in lower case: only H and M count"
                    : "unit in lower case: only MB and KB count";
    case CfgReason::kNoUnit:
      return period ? "no H or M after the number" : "no MB or KB after the number";
    case CfgReason::kNoLevelWord: return "no level word (they are case-sensitive)";
    case CfgReason::kNoOnOff: return "neither ON nor OFF in the line (case-sensitive)";
    case CfgReason::kNoEquals: return "no '=' before the path";
    case CfgReason::kPathTooLong: return "the path is longer than 511 characters";
    case CfgReason::kNoFileSlot: return "all 128 file slots are taken";
  }
  return "";
}

const char *reasonId(CfgReason reason) {
  switch (reason) {
    case CfgReason::kNone: return "";
    case CfgReason::kNoDigit: return "no-digit";
    case CfgReason::kZero: return "zero";
    case CfgReason::kUnitLowerCase: return "unit-lower-case";
    case CfgReason::kNoUnit: return "missing-unit";
    case CfgReason::kNoLevelWord: return "no-level-word";
    case CfgReason::kNoOnOff: return "no-on-off";
    case CfgReason::kNoEquals: return "no-equals";
    case CfgReason::kPathTooLong: return "path-too-long";
    case CfgReason::kNoFileSlot: return "no-file-slot";
  }
  return "";
}

// Words of a line: runs of letters, digits and underscores.
std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s + " ") {
    if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
      cur += c;
    } else if (!cur.empty()) {
      out.push_back(cur);
      cur.clear();
    }
  }
  return out;
}

// A level word counts wherever it occurs, so tell where it was found when it
// is not a word of its own, and which words were skipped for their case.
void Check::levelWordNotes(uint32_t line, const std::string &text, const std::string &keyPart,
                           bool rejected) {
  std::vector<std::string> ws = words(text);
  bool none = text.find("NONE") != std::string::npos;
  int matches = 0;
  for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
    const std::string word = qolog::kCfgLevelWords[i].word;
    size_t at = text.find(word);
    if (at == std::string::npos) continue;
    ++matches;
    // With NONE present, where the other words were found makes no difference.
    bool isNone = qolog::kCfgLevelWords[i].bits == 0;
    if (none && !isNone) continue;
    if (std::find(ws.begin(), ws.end(), word) != ws.end()) continue;
    std::string inside;
    for (const std::string &w : ws) {
      if (w.find(word) != std::string::npos) {
        inside = w;
        break;
      }
    }
    bool inKey = at < keyPart.size() && keyPart.find(word) != std::string::npos;
    std::string effect = qolog::kCfgLevelWords[i].bits == 0
                             ? "empties the mask"
                             : "adds " + join(levelNames(qolog::kCfgLevelWords[i].bits), " ");
    warn(line, "level-word-inside-word",
         word + " is found inside " + (inKey ? "the key " : "") + quoted(inside) +
             " and " + effect + (inKey && word == "DEBUG"
                                     ? " (write the key as DebugLevel to avoid it)"
                                     : ""));
  }
  if (none && matches > 1) {
    warn(line, "none-empties-mask", "NONE empties the mask: the other level words have no effect");
  }
  for (const std::string &w : ws) {
    if (w == upper(w)) continue;
    for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
      if (upper(w) == qolog::kCfgLevelWords[i].word) {
        warn(line, "level-word-case",
             quoted(w) + " is not a level word: level words are written in capitals" +
                 (rejected ? "" : "; it was skipped"));
      }
    }
  }
}

void Check::sectionNotes(uint32_t line, const qolog::CfgReport &r, bool isModule) {
  std::string raw(r.rawName, r.rawNameLen);
  if (r.extraText) {
    warn(line, "header-extra-text", "text outside the brackets of the header is ignored");
  }
  if (r.rawNameLen > static_cast<size_t>(qolog::kModuleNameMax)) {
    warn(line, "name-cut",
         "the section name has " + std::to_string(r.rawNameLen) +
             " characters: only the first 33 are kept, stored as " + quoted(r.section));
  }
  if (!isModule) return;
  if (raw.substr(0, qolog::kModuleNameMax) != r.section) {
    warn(line, "name-case",
         "[" + raw + "] is stored as " + quoted(r.section) + ": qologLog(" + quoted(raw) +
             ", ...) does not reach it (names are compared exactly); qologLog(" +
             quoted(r.section) + ", ...) and qologTrace after qologSetModuleName(" +
             quoted(raw) + ") do");
  }
  auto seen = sectionLines_.find(r.section);
  if (seen != sectionLines_.end()) {
    warn(line, "duplicate-section",
         "[" + std::string(r.section) + "] repeats the section of line " +
             std::to_string(seen->second) +
             ": only the first is reachable (this one still takes a module slot)");
  } else {
    sectionLines_[r.section] = line;
  }
}

void Check::report(const qolog::CfgReport &r) {
  uint32_t line = lineOf(r.line);
  std::string text = r.line;
  std::string key = r.key != nullptr ? r.key : "";
  switch (r.event) {
    case CfgEvent::kSectionDefault:
      section_ = "DEFAULT";
      keyLines_.clear();
      defaultLine = line;
      sectionNotes(line, r, false);
      return;
    case CfgEvent::kSectionModule:
      section_ = r.section;
      keyLines_.clear();
      modules.push_back(ModuleInfo{line, std::string(r.rawName, r.rawNameLen)});
      sectionNotes(line, r, true);
      return;
    case CfgEvent::kSectionSkipped:
      warn(line, "section-dropped",
           "a second [DEFAULT] is ignored with all its lines: only the first counts");
      return;
    case CfgEvent::kSectionDropped:
      section_ = r.section;
      keyLines_.clear();
      warn(line, "section-dropped",
           "[" + std::string(r.section) +
               "] is dropped: the module table holds DEFAULT and 127 modules");
      return;
    case CfgEvent::kHeaderMalformed:
      malformed = true;
      warn(line, "malformed-header",
           "a malformed header (a file must start with [NAME], and every line starting with '[' "
           "is a header): nothing is configured, DEFAULT has no file and no module section "
           "is read, so nothing is written");
      return;
    case CfgEvent::kHeaderMalformedLater:
      warn(line, "malformed-header",
           "a line starting with '[' without ']' after it: this and every later section "
           "are dropped");
      return;
    case CfgEvent::kKeyRepeated:
      warn(line, "key-repeated",
           key + " was already given at line " + std::to_string(keyLines_[key]) +
               " of this section: only the first occurrence counts, this line is ignored");
      return;
    case CfgEvent::kKeyWrongSection:
      warn(line, "key-not-in-section", key + " is read only in [DEFAULT]: ignored here");
      return;
    case CfgEvent::kLineIgnored:
      warn(line, "no-key", "no key word of this section: the line is ignored");
      return;
    case CfgEvent::kKeyTaken:
    case CfgEvent::kKeyRejected:
      break;
  }
  keyLines_[key] = line;
  std::string keyPart = upper(text.substr(0, text.find('=')));
  if (keyPart != key) {
    warn(line, "key-inside-word",
         "read as " + key + ", found inside " + quoted(text.substr(0, text.find('='))) +
             " (key words are found anywhere before '=')");
  }
  bool rejected = r.event == CfgEvent::kKeyRejected;
  if (rejected) {
    warn(line, "value-rejected",
         key + " value not taken, " + reasonText(r.reason, r.key) + ": the value stays " +
             (section_ == "DEFAULT" ? "at its default" : "as [DEFAULT] set it"),
         reasonId(r.reason));
  }
  if (key == "DEBUGLEVEL") levelWordNotes(line, text, text.substr(0, text.find('=')), rejected);
  if (key == "ENABLETRACES" && !rejected) {
    std::vector<std::string> ws = words(text);
    if (text.find("ON") != std::string::npos &&
        std::find(ws.begin(), ws.end(), "ON") == ws.end()) {
      warn(line, "on-inside-word", "ON is found inside another word: traces are turned on");
    }
  }
  if (key == "LOGFILENAME" && !rejected) {
    if (section_ == "DEFAULT") defaultHasFile_ = true;
    if (text.find('=') + 1 == text.size()) {
      warn(line, "empty-path", "the path is empty: no file is opened, nothing is written");
    }
  }
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
               quoted(slot0.szName) + (taker.empty() ? "" : " of [" + taker + "]") +
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
  std::stable_sort(diags.begin(), diags.end(), [](const Diagnostic &a, const Diagnostic &b) {
    return (a.line == 0 ? UINT32_MAX : a.line) < (b.line == 0 ? UINT32_MAX : b.line);
  });
}

std::string sizeText(int64_t bytes) {
  std::string out = std::to_string(bytes) + " bytes";
  if (bytes > 0 && bytes % 1048576 == 0) return out + " (" + std::to_string(bytes / 1048576) + " MB)";
  if (bytes > 0 && bytes % 1024 == 0) return out + " (" + std::to_string(bytes / 1024) + " KB)";
  return out;
}

// Names of the other modules on the same file slot.
std::vector<std::string> sharers(const TraceCfg &cfg, int self) {
  std::vector<std::string> out;
  int index = cfg.asModules[self].nFileIndex;
  for (int i = 0; i < qolog::kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    if (i != self && m.nUsed == 1 && m.nFileIndex == index) out.push_back(m.szName);
  }
  return out;
}

std::string outputsOf(uint32_t output) {
  std::vector<std::string> out;
  if (output & 1) out.push_back("log file");
  if (output & 2) out.push_back("standard error");
  return out.empty() ? "none" : join(out, ", ");
}

void Check::printText() const {
  printf("configuration: %s (%s)\n", path.c_str(), where.c_str());
  if (!found) return;
  printf("reload period: %u minutes\n", cfg->nReloadPeriod);
  printf("unconfigured module names: %s\n",
         cfg->nEnableTraces == 1 ? "written under DEFAULT (ENABLETRACES is on)"
                                 : "dropped (ENABLETRACES is off)");
  printf("\nmodules, in table order:\n");
  for (int i = 0; i < qolog::kMaxModules; ++i) {
    const ModuleCfg &m = cfg->asModules[i];
    if (m.nUsed != 1) continue;
    const char *file = qolog::getModuleFileName(*cfg, &m);
    std::vector<std::string> shared = sharers(*cfg, i);
    printf("  [%d] %s\n", i, m.szName[0] != '\0' ? quoted(m.szName).c_str() : "\"\" (empty name)");
    printf("      levels   %s\n", levelText(m.nDebugLevel).c_str());
    if (file == nullptr) {
      printf("      file     none: messages are dropped\n");
    } else {
      printf("      file     %s%s\n", file[0] != '\0' ? file : "(empty path: nothing is written)",
             shared.empty() ? "" : (" (shared with " + join(shared, ", ") + ")").c_str());
    }
    printf("      rolls at %s, keeps %d backups\n", sizeText(m.nMaxFileSize).c_str(),
           m.nMaxFileBackups);
    printf("      outputs  %s\n", outputsOf(m.nOutput).c_str());
  }
  if (diags.empty()) {
    printf("\nno warnings\n");
    return;
  }
  printf("\n%zu warning%s:\n", diags.size(), diags.size() == 1 ? "" : "s");
  uint32_t shown = 0;
  for (const Diagnostic &d : diags) {
    if (d.line != 0 && d.line != shown) {
      printf("  line %u: %s\n", d.line, lineText(d.line).c_str());
      shown = d.line;
    }
    printf(d.line != 0 ? "      %s\n" : "  %s\n", d.message.c_str());
  }
}


std::string Check::json() const {
  std::string out = "{\"file\":" + jsonString(path) + ",\"found\":" + (found ? "true" : "false") +
                    ",\"where\":" + jsonString(where);
  std::string status = !found ? "none" : malformed ? "malformed" : diags.empty() ? "ok" : "warnings";
  out += ",\"status\":" + jsonString(status);
  if (found) {
    out += ",\"reload_period_minutes\":" + std::to_string(cfg->nReloadPeriod);
    out += std::string(",\"default_fallback\":") + (cfg->nEnableTraces == 1 ? "true" : "false");
    out += ",\"modules\":[";
    bool first = true;
    for (int i = 0; i < qolog::kMaxModules; ++i) {
      const ModuleCfg &m = cfg->asModules[i];
      if (m.nUsed != 1) continue;
      const char *file = qolog::getModuleFileName(*cfg, &m);
      out += std::string(first ? "" : ",") + "{\"slot\":" + std::to_string(i) +
             ",\"name\":" + jsonString(m.szName) +
             ",\"level_mask\":" + std::to_string(m.nDebugLevel) +
             ",\"levels\":" + jsonStrings(levelNames(m.nDebugLevel)) +
             ",\"file\":" + (file != nullptr ? jsonString(file) : "null") +
             ",\"file_slot\":" + (file != nullptr ? std::to_string(m.nFileIndex) : "null") +
             ",\"shared_with\":" + jsonStrings(file != nullptr ? sharers(*cfg, i)
                                                                : std::vector<std::string>()) +
             ",\"max_file_size\":" + std::to_string(m.nMaxFileSize) +
             ",\"max_file_backups\":" + std::to_string(m.nMaxFileBackups) +
             ",\"outputs\":" + jsonStrings(m.nOutput & 1 ? std::vector<std::string>{"file"}
                                                          : std::vector<std::string>()) +
             "}";
      first = false;
    }
    out += "],\"warnings\":[";
    for (size_t i = 0; i < diags.size(); ++i) {
      const Diagnostic &d = diags[i];
      out += std::string(i ? "," : "") + "{\"line\":" +
             (d.line ? std::to_string(d.line) : "null") +
             ",\"text\":" + (d.line ? jsonString(lineText(d.line)) : "null") +
             ",\"kind\":" + jsonString(d.kind) +
             (d.reason.empty() ? "" : ",\"reason\":" + jsonString(d.reason)) +
             ",\"message\":" + jsonString(d.message) + "}";
    }
    out += "]";
  }
  return out + "}";
}

// Parses a level given on the command line: a number, or level words (any
// case, optional QOLOG_ prefix) joined by ',', '|', '+' or spaces.
bool parseLevel(const char *arg, uint32_t *level) {
  char *end = nullptr;
  errno = 0;
  unsigned long n = strtoul(arg, &end, 0);
  if (end != arg && *end == '\0' && errno == 0 && n <= UINT32_MAX && arg[0] != '-') {
    *level = static_cast<uint32_t>(n);
    return true;
  }
  std::vector<std::string> ws = words(arg);
  if (ws.empty()) return false;
  uint32_t bits = 0;
  for (std::string w : ws) {
    w = upper(w);
    if (w.compare(0, 6, "QOLOG_") == 0) w = w.substr(6);
    bool known = false;
    for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
      if (w == qolog::kCfgLevelWords[i].word) {
        bits |= qolog::kCfgLevelWords[i].bits;
        known = true;
      }
    }
    if (!known) return false;
  }
  *level = bits;
  return true;
}

struct Step {
  const char *check;
  bool passed;
  std::string text;
};

struct Explanation {
  std::string call;
  bool written = false;
  std::string module;  // the module that decides, empty when none
  bool fallback = false;
  std::string file;
  std::vector<Step> steps;
};

// Follows a message the way the writer does: module lookup (exact), the
// DEFAULT stand-in, the level and output tests, then the module's file slot.
Explanation explain(const Check &c, const std::string &name, bool current, uint32_t level) {
  TraceCfg &cfg = *c.cfg;
  Explanation e;
  std::string levelWords = join(levelNames(level), "|");
  std::string levelArg = std::to_string(level) + (levelWords.empty() ? "" : " = " + levelWords);
  e.call = current ? "qologTrace(" + levelArg + ", ...) with current module " + quoted(name)
                   : "qologLog(" + quoted(name) + ", " + levelArg + ", ...)";
  auto fail = [&](const char *check, const std::string &text) {
    e.steps.push_back(Step{check, false, text});
    return e;
  };
  if (!c.found) return fail("configuration", "no configuration is loaded: nothing is written");
  // The verdicts are the writer's (resolveModule, levelPasses); the steps
  // only tell which of their conditions decided.
  const char *printed = nullptr;
  qolog::ModuleIndex index;
  ModuleCfg *m = qolog::resolveModule(cfg, index, name.c_str(), nullptr, &printed);
  e.fallback = m != nullptr && m != qolog::findUsedModuleByName(cfg, name.c_str());
  if (m != nullptr && !e.fallback) {
    e.steps.push_back(Step{"module", true, quoted(name) + " is a configured module"});
  } else {
    std::string why = quoted(name) + " is not a module";
    char stored[qolog::kModuleNameSize] = {};
    qolog::copyModuleName(stored, qolog::kModuleNameMax, name.c_str());
    const ModuleCfg *same = qolog::findUsedModuleByName(cfg, stored);
    if (!current && same != nullptr) {
      // Module sections fill the table from slot 1 in file order.
      size_t n = static_cast<size_t>(same - cfg.asModules) - 1;
      std::string section = n < c.modules.size() ? "the section [" + c.modules[n].rawName +
                                                       "] (line " +
                                                       std::to_string(c.modules[n].headerLine) + ")"
                                                 : "the section";
      why += ": names are compared exactly and " + section + " is stored as " + quoted(stored);
    } else {
      why += ": no module of that name is in the table";
    }
    if (m == nullptr) {
      return fail("module", why + "; the DEFAULT fallback is off (ENABLETRACES), so the "
                                  "message is dropped");
    }
    e.steps.push_back(Step{"module", true,
                           why + "; ENABLETRACES is on, so DEFAULT stands in (the line shows " +
                               quoted(name) + ")"});
  }
  e.module = m->szName;
  bool passes = qolog::levelPasses(*m, level);
  uint32_t missing = level & ~m->nDebugLevel;
  if (!passes && missing != 0) {
    std::string lacks = join(levelNames(missing), " ");
    if (missing & ~63u) lacks += (lacks.empty() ? "" : " and ") + std::string("bits above PROCINFO (32), which no mask has");
    return fail("level", quoted(e.module) + "'s mask " + levelText(m->nDebugLevel) + " lacks " +
                             lacks + ": dropped");
  }
  if (!passes && (level & 63u) == 0) {
    return fail("level", "the level has none of the six level bits: dropped");
  }
  e.steps.push_back(Step{"level", true,
                         "every bit of the level is in " + quoted(e.module) + "'s mask " +
                             levelText(m->nDebugLevel)});
  if (!passes) return fail("output", "the module has no output: dropped");
  e.steps.push_back(Step{"output", true, "outputs: " + outputsOf(m->nOutput) +
                                             " (qologSetOutput can add standard error)"});
  const qolog::LogFile *slot = qolog::moduleFileSlot(cfg, m);
  if (slot == nullptr) {
    return fail("file", e.fallback || e.module == "DEFAULT"
                            ? "DEFAULT's file slot 0 is not taken by any path: dropped"
                            : quoted(e.module) + " has no LOGFILENAME: dropped (not even "
                                                 "standard error is written)");
  }
  if (slot->szName[0] == '\0') {
    return fail("file", "the log file path is empty: no file is opened, nothing is written");
  }
  e.file = slot->szName;
  std::string note = "written to " + e.file +
                     " (or to the same name prefixed with this process's id and '-' when "
                     "another process holds the file's lock)";
  if (level == 32) note += "; PROCINFO alone: the line is the text without a prefix";
  std::string dir = e.file.find('/') == std::string::npos ? "." : e.file.substr(0, e.file.rfind('/'));
  struct stat st;
  if (!dir.empty() && stat(dir.c_str(), &st) != 0) note += "; note: the directory " + dir + " does not exist here";
  e.steps.push_back(Step{"file", true, note});
  e.written = true;
  return e;
}

void printExplanation(const Check &c, const Explanation &e) {
  printf("%s\nconfiguration: %s (%s)\n", e.call.c_str(), c.path.c_str(), c.where.c_str());
  for (const Step &s : e.steps) printf("  %-8s %s\n", s.check, s.text.c_str());
  printf("result: %s\n", e.written ? ("written to " + e.file).c_str() : "not written");
}

std::string explanationJson(const Check &c, const Explanation &e, const std::string &name,
                            bool current, uint32_t level) {
  std::string out = "{\"call\":{\"function\":" +
                    jsonString(current ? "qologTrace" : "qologLog") +
                    ",\"" + (current ? "current_module" : "module") + "\":" + jsonString(name) +
                    ",\"level\":" + std::to_string(level) + "}";
  out += ",\"configuration\":" + c.json();
  out += std::string(",\"written\":") + (e.written ? "true" : "false");
  out += ",\"module\":" + (e.module.empty() ? "null" : jsonString(e.module));
  out += std::string(",\"default_stands_in\":") + (e.fallback ? "true" : "false");
  out += ",\"file\":" + (e.written ? jsonString(e.file) : "null");
  out += ",\"steps\":[";
  for (size_t i = 0; i < e.steps.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"check\":" + jsonString(e.steps[i].check) +
           ",\"passed\":" + (e.steps[i].passed ? "true" : "false") +
           ",\"text\":" + jsonString(e.steps[i].text) + "}";
  }
  return out + "]}";
}

int usage(const char *message) {
  if (message != nullptr) fprintf(stderr, "qolog-check: %s\n", message);
  fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  bool json = false, strict = false, explainMode = false, current = false;
  std::string currentName;
  std::vector<const char *> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--strict") {
      strict = true;
    } else if (a == "--explain") {
      explainMode = true;
    } else if (a == "--current") {
      if (++i == argc) return usage("--current needs a NAME");
      current = true;
      currentName = argv[i];
    } else if (a == "--") {
      for (++i; i < argc; ++i) args.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      return usage(("unknown option " + a).c_str());
    } else {
      args.push_back(argv[i]);
    }
  }
  if (current && !explainMode) return usage("--current goes with --explain");
  size_t need = explainMode ? (current ? 1 : 2) : 0;
  if (args.size() < need || args.size() > need + 1) return usage(nullptr);

  Check check;
  check.load(args.size() > need ? args[need] : nullptr);
  int status = !check.found || check.malformed ? 2 : strict && !check.diags.empty() ? 1 : 0;

  if (!explainMode) {
    if (json) {
      printf("%s\n", check.json().c_str());
    } else {
      check.printText();
    }
    return status;
  }
  uint32_t level = 0;
  if (!parseLevel(args[need - 1], &level)) return usage("LEVEL is a number or level words");
  std::string name = current ? currentName : args[0];
  if (current) {
    // qologSetModuleName stores the name upper-cased and cut at 33 characters.
    char stored[qolog::kModuleNameSize] = {};
    qolog::copyModuleName(stored, qolog::kModuleNameMax, name.c_str());
    name = stored;
  }
  Explanation e = explain(check, name, current, level);
  if (json) {
    printf("%s\n", explanationJson(check, e, name, current, level).c_str());
  } else {
    printExplanation(check, e);
  }
  return status;
}
