// Parsing of configuration text: line normalisation and the two passes that
// rebuild a TraceCfg (the DEFAULT section first, then the module sections).
#include "config/cfg_parser.h"

#include <stdlib.h>
#include <string.h>

#include "config/cfg_values.h"

namespace qolog {

namespace {

enum Key {
  kDebugLevel,
  kLogFileName,
  kMaxFileSize,
  kMaxFileBackups,
  kReloadPeriod,
  kEnableTraces,
};

const char *const kKeyWords[] = {"DEBUGLEVEL",     "LOGFILENAME",
                                 "MAXFILESIZE",    "MAXFILEBACKUPS",
                                 "RELOADPERIOD",   "ENABLETRACES"};

// The first key found in a line decides, so the order matters: in the
// DEFAULT section the level comes first, in module sections the size.
const Key kDefaultOrder[] = {kDebugLevel,     kLogFileName, kMaxFileSize,
                             kMaxFileBackups, kReloadPeriod, kEnableTraces};
const Key kModuleOrder[] = {kMaxFileSize, kMaxFileBackups, kLogFileName,
                            kDebugLevel};


void report(const CfgReporter *reporter, CfgEvent event, const char *line,
            const char *section, const char *key,
            CfgReason reason = CfgReason::kNone) {
  if (reporter == nullptr || reporter->report == nullptr) return;
  CfgReport r{event, line, section, key, reason, nullptr, 0, false};
  reporter->report(reporter->context, r);
}

// A header's name as written, for the reporter.
struct HeaderText {
  const char *rawName = nullptr;
  size_t rawNameLen = 0;
  bool extraText = false;
};

void reportSection(const CfgReporter *reporter, CfgEvent event,
                   const char *line, const char *section,
                   const HeaderText &header) {
  if (reporter == nullptr || reporter->report == nullptr) return;
  CfgReport r{event,          line,
              section,        nullptr,
              CfgReason::kNone, header.rawName,
              header.rawNameLen, header.extraText};
  reporter->report(reporter->context, r);
}

// Section name of a header: the text between the first '[' and the first
// ']' after it, upper-cased and cut to 33 characters. Text before '[' or
// after ']' is ignored.
bool parseHeader(const char *line, char name[kModuleNameSize],
                 HeaderText *text = nullptr) {
  const char *open = strchr(line, '[');
  if (open == nullptr) return false;
  const char *close = strchr(open + 1, ']');
  if (close == nullptr) return false;
  size_t len = static_cast<size_t>(close - open - 1);
  if (text != nullptr) {
    text->rawName = open + 1;
    text->rawNameLen = len;
    text->extraText = open != line || close[1] != '\0';
  }
  char raw[kModuleNameMax + 2] = {};
  memcpy(raw, open + 1, len < sizeof(raw) - 1 ? len : sizeof(raw) - 1);
  memset(name, 0, kModuleNameSize);
  copyModuleName(name, kModuleNameMax, raw);
  return true;
}

// Walks the kept lines: each is a zero-terminated string.
struct LineCursor {
  const char *text;
  size_t len;
  size_t pos;

  bool atEnd() const { return pos >= len; }
  const char *line() const { return text + pos; }
  void next() { pos += strlen(text + pos) + 1; }
  bool atHeader() const { return !atEnd() && text[pos] == '['; }
  void nextHeader() {
    next();
    while (!atEnd() && !atHeader()) next();
  }
};

struct SectionState {
  const char *name;
  unsigned seen;  // bit per key: only a key's first occurrence counts
};

void applyKeyLine(TraceCfg &cfg, const char *line, ModuleCfg *module,
                  bool isDefault, SectionState &section,
                  const CfgReporter *reporter) {
  // Keys are searched only in the text before the first '=', so a value such
  // as a path containing "debuglevel" is never taken for a key.
  char keyPart[kCfgLineMax + 1];
  size_t keyLen = strcspn(line, "=");
  if (keyLen > kCfgLineMax) keyLen = kCfgLineMax;
  memcpy(keyPart, line, keyLen);
  keyPart[keyLen] = '\0';
  toUpperCase(keyPart);

  const Key *order = isDefault ? kDefaultOrder : kModuleOrder;
  size_t count = isDefault ? sizeof(kDefaultOrder) / sizeof(Key)
                           : sizeof(kModuleOrder) / sizeof(Key);
  for (size_t i = 0; i < count; ++i) {
    Key key = order[i];
    const char *word = kKeyWords[key];
    if (strstr(keyPart, word) == nullptr) continue;
    unsigned bit = 1u << key;
    if (section.seen & bit) {
      report(reporter, CfgEvent::kKeyRepeated, line, section.name, word);
      return;
    }
    section.seen |= bit;
    CfgReason taken = CfgReason::kNone;
    switch (key) {
      case kDebugLevel:
        taken = setDebugLevel(line, &module->nDebugLevel);
        break;
      case kLogFileName:
        taken = setLogFileName(cfg, line, module);
        break;
      case kMaxFileSize:
        taken = setMaxFileSize(line, &module->nMaxFileSize);
        break;
      case kMaxFileBackups:
        taken = setMaxFileBackups(line, &module->nMaxFileBackups);
        break;
      case kReloadPeriod:
        taken = setReloadPeriod(line, &cfg.nReloadPeriod);
        break;
      case kEnableTraces:
        taken = setEnableTraces(line, &cfg.nEnableTraces);
        break;
    }
    report(reporter,
           taken == CfgReason::kNone ? CfgEvent::kKeyTaken
                                     : CfgEvent::kKeyRejected,
           line, section.name, word, taken);
    return;
  }
  if (!isDefault) {
    static const Key kDefaultOnly[] = {kReloadPeriod, kEnableTraces};
    for (Key key : kDefaultOnly) {
      if (strstr(keyPart, kKeyWords[key]) != nullptr) {
        report(reporter, CfgEvent::kKeyWrongSection, line, section.name,
               kKeyWords[key]);
        return;
      }
    }
  }
  report(reporter, CfgEvent::kLineIgnored, line, section.name, nullptr);
}

// Reads the first DEFAULT section into the DEFAULT module and the globals.
// Returns false when a malformed header is met before it.
bool passDefault(TraceCfg &cfg, LineCursor &cur, ModuleCfg *def,
                 size_t *defaultPos, const CfgReporter *reporter) {
  char name[kModuleNameSize];
  while (!cur.atEnd()) {
    HeaderText header;
    if (!parseHeader(cur.line(), name, &header)) {
      report(reporter, CfgEvent::kHeaderMalformed, cur.line(), "", nullptr);
      return false;
    }
    if (strcmp(name, kDefaultModuleName) != 0) {
      cur.nextHeader();
      continue;
    }
    *defaultPos = cur.pos;
    reportSection(reporter, CfgEvent::kSectionDefault, cur.line(),
                  kDefaultModuleName, header);
    SectionState section{kDefaultModuleName, 0};
    for (cur.next(); !cur.atEnd() && !cur.atHeader(); cur.next()) {
      if (def != nullptr) {
        applyKeyLine(cfg, cur.line(), def, true, section, reporter);
      }
    }
    return true;
  }
  return true;
}

ModuleCfg *firstFreeModule(TraceCfg &cfg) {
  for (ModuleCfg &m : cfg.asModules) {
    if (m.nUsed == 0) return &m;
  }
  return nullptr;
}

// Adds one module per section other than DEFAULT, in file order.
void passModules(TraceCfg &cfg, LineCursor &cur, const ModuleCfg &def,
                 size_t defaultPos, const CfgReporter *reporter) {
  while (!cur.atEnd()) {
    ModuleCfg cand;
    memset(&cand, 0, sizeof(cand));
    cand.nUsed = 0;
    cand.nFileIndex = -1;
    cand.nDebugLevel = def.nDebugLevel;
    cand.nMaxFileSize = def.nMaxFileSize;
    cand.nMaxFileBackups = def.nMaxFileBackups;
    cand.nOutput = def.nOutput;

    const char *header = cur.line();
    HeaderText text;
    if (!parseHeader(header, cand.szName, &text)) {
      report(reporter, CfgEvent::kHeaderMalformedLater, header, "", nullptr);
      return;
    }
    bool isDefault = strcmp(cand.szName, kDefaultModuleName) == 0;
    // The table's room is known at the header; the section's lines are read
    // (and its file attached) even when it is then dropped.
    bool full = cfg.nUsedModules > kMaxModules - 1;
    if (isDefault) {
      if (cur.pos != defaultPos) {
        reportSection(reporter, CfgEvent::kSectionSkipped, header,
                      kDefaultModuleName, text);
      }
    } else {
      reportSection(reporter,
                    full ? CfgEvent::kSectionDropped : CfgEvent::kSectionModule,
                    header, cand.szName, text);
    }
    SectionState section{cand.szName, 0};
    for (cur.next(); !cur.atEnd() && !cur.atHeader(); cur.next()) {
      if (!isDefault) {
        applyKeyLine(cfg, cur.line(), &cand, false, section, reporter);
      }
    }
    if (isDefault) continue;

    ModuleCfg *slot = full ? nullptr : firstFreeModule(cfg);
    if (slot == nullptr) {
      // This and every later section are dropped.
      while (!cur.atEnd()) {
        char name[kModuleNameSize];
        HeaderText dropped;
        if (!parseHeader(cur.line(), name, &dropped)) {
          report(reporter, CfgEvent::kHeaderMalformedLater, cur.line(), "",
                 nullptr);
          return;
        }
        if (strcmp(name, kDefaultModuleName) != 0) {
          reportSection(reporter, CfgEvent::kSectionDropped, cur.line(), name,
                        dropped);
        } else if (cur.pos != defaultPos) {
          reportSection(reporter, CfgEvent::kSectionSkipped, cur.line(),
                        kDefaultModuleName, dropped);
        }
        cur.nextHeader();
      }
      return;
    }
    *slot = cand;
    slot->nUsed = 1;
    if (LogFile *file = moduleFileSlot(cfg, slot)) file->nRefCount++;
    cfg.nUsedModules++;
  }
}

void removeChar(char *text, char c) {
  if (text == nullptr) return;
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    if (*in != c) *out++ = *in;
  }
  *out = '\0';
}

size_t normalizeCfgLine(char *line) {
  char *comment = strchr(line, ';');
  if (comment != nullptr) *comment = '\0';
  if (line[0] == '\0') return 0;
  removeChar(line, ' ');
  removeChar(line, '\n');
  removeChar(line, '\r');
  removeChar(line, '"');
  return strlen(line);
}

// The reset before a rebuild: the defaults of the globals and of module
// slots 0..127; file slots 1..127 are freed, slot 0 keeps its path, count
// and flags.
void resetTraceCfg(TraceCfg &cfg) {
  cfg.nDateFormat = QOLOG_DATE_CALENDAR;
  cfg.nUsedModules = 1;
  cfg.nReloadPeriod = kDefaultReloadPeriod;
  cfg.nEnableTraces = 0;

  ModuleCfg &def = cfg.asModules[0];
  memset(&def, 0, sizeof(def));
  def.nUsed = 1;
  memcpy(def.szName, kDefaultModuleName, sizeof(kDefaultModuleName));
  def.nDebugLevel = kDefaultLevel;
  def.nFileIndex = -1;
  def.nMaxFileSize = kDefaultMaxFileSize;
  def.nMaxFileBackups = kDefaultMaxFileBackups;
  def.nOutput = QOLOG_OUT_FILE;
  for (int i = 1; i < kMaxModules; ++i) {
    ModuleCfg &m = cfg.asModules[i];
    memset(&m, 0, sizeof(m));
    m.nDebugLevel = def.nDebugLevel;
    m.nFileIndex = -1;
    m.nMaxFileSize = def.nMaxFileSize;
    m.nMaxFileBackups = def.nMaxFileBackups;
    m.nOutput = QOLOG_OUT_FILE;
  }
  // File slot 0 survives every rebuild with its path, count and flags.
  for (int i = 1; i < kMaxFiles; ++i) {
    LogFile &f = cfg.asFiles[i];
    f.nUsed = 0;
    f.szName[0] = '\0';
    f.nRefCount = 0;
    f.nPidRenamed = 0;
    f.nSerial++;
  }
}

}  // namespace

size_t cfgLinesCapacity(size_t len) {
  // A piece without its line feed (a cut long line, or the last line) gains
  // a terminator it did not bring: at most one per 1023 bytes, plus one.
  return len + len / kCfgLineMax + 2;
}

size_t keepCfgLines(const char *text, size_t len, char *out,
                    CfgLineOrigin *origins) {
  size_t used = 0;
  size_t pos = 0;
  size_t kept = 0;
  uint32_t number = 1;
  bool continuation = false;
  while (pos < len) {
    // One read: up to and including a line feed, at most 1023 bytes.
    size_t room = len - pos < kCfgLineMax ? len - pos : kCfgLineMax;
    const char *nl = static_cast<const char *>(memchr(text + pos, '\n', room));
    size_t piece = nl != nullptr ? static_cast<size_t>(nl - (text + pos)) + 1 : room;
    // A zero byte inside the piece ends the line as text.
    size_t textLen = strnlen(text + pos, piece);
    memcpy(out + used, text + pos, textLen);
    out[used + textLen] = '\0';
    size_t keptLen = normalizeCfgLine(out + used);
    if (keptLen > 0) {
      used += keptLen + 1;
      if (origins != nullptr) origins[kept] = CfgLineOrigin{number, continuation};
      ++kept;
    }
    pos += piece;
    continuation = nl == nullptr;
    if (nl != nullptr) ++number;
  }
  return used;
}

void rebuildTraceCfg(TraceCfg &cfg, const char *lines, size_t len,
                     const CfgReporter *reporter) {
  resetTraceCfg(cfg);
  cfg.nGeneration++;
  ModuleCfg *def = findUsedModuleByName(cfg, kDefaultModuleName);
  LineCursor cur{lines, len, 0};
  size_t defaultPos = len;  // none
  bool ok = passDefault(cfg, cur, def, &defaultPos, reporter);
  if (def != nullptr && def->nFileIndex == -1) def->nFileIndex = 0;
  if (!ok || def == nullptr) return;
  LineCursor cur2{lines, len, 0};
  passModules(cfg, cur2, *def, defaultPos, reporter);
}

bool parseTraceCfgText(TraceCfg &cfg, const char *text, size_t len,
                       const CfgReporter *reporter) {
  char *lines = static_cast<char *>(malloc(cfgLinesCapacity(len)));
  if (lines == nullptr) return false;
  size_t used = keepCfgLines(text, len, lines);
  rebuildTraceCfg(cfg, lines, used, reporter);
  free(lines);
  return true;
}

}  // namespace qolog
