// The value parsers of the configuration keys and the level-word table.
#include "config/cfg_values.h"

#include <string.h>

namespace qolog {

// Searched case-sensitively in the whole line, key included.
const CfgLevelWord kCfgLevelWords[] = {
    {"INFO", QOLOG_INFO},
    {"WARN", QOLOG_INFO},
    {"FUNCBEG", QOLOG_FUNCBEG},
    {"FUNCEND", QOLOG_FUNCEND},
    {"BEGINEND", QOLOG_FUNCBEG | QOLOG_FUNCEND},
    {"PROCINFO", QOLOG_PROCINFO},
    {"DEBUG", QOLOG_DEBUG},
    {"ERROR", QOLOG_ERROR},
    {"VERBOSE", QOLOG_INFO},
    {"ALL", QOLOG_ALL},
    {"NONE", 0},
};
const size_t kCfgLevelWordCount =
    sizeof(kCfgLevelWords) / sizeof(kCfgLevelWords[0]);

CfgReason setDebugLevel(const char *line, uint32_t *mask) {
  if (line == nullptr || mask == nullptr) return CfgReason::kNoLevelWord;
  bool found = false;
  bool none = false;
  uint32_t bits = 0;
  for (const CfgLevelWord &w : kCfgLevelWords) {
    if (strstr(line, w.word) != nullptr) {
      bits |= w.bits;
      found = true;
      none = none || w.bits == 0;
    }
  }
  if (!found) return CfgReason::kNoLevelWord;
  *mask = none ? 0 : bits;
  return CfgReason::kNone;
}

CfgReason setLogFileName(TraceCfg &cfg, const char *line, ModuleCfg *module) {
  const char *eq = strchr(line, '=');
  if (eq == nullptr) return CfgReason::kNoEquals;
  const char *path = eq + 1;
  // Refused rather than cut: a cut path would name a different file.
  if (strlen(path) > static_cast<size_t>(kPathMax)) {
    return CfgReason::kPathTooLong;
  }
  openModuleFile(cfg, module, path);
  const char *attached = getModuleFileName(cfg, module);
  return attached != nullptr && strcmp(attached, path) == 0
             ? CfgReason::kNone
             : CfgReason::kNoFileSlot;
}

namespace {

// Reads the decimal number that starts at the line's first digit, saturating
// at INT64_MAX. Returns false when the line has no digit.
bool firstNumber(const char *line, int64_t *value, const char **digit) {
  const char *p = line;
  while (*p != '\0' && (*p < '0' || *p > '9')) ++p;
  if (*p == '\0') return false;
  *digit = p;
  int64_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    int d = *p - '0';
    n = (n > (INT64_MAX - d) / 10) ? INT64_MAX : n * 10 + d;
  }
  *value = n;
  return true;
}

int64_t saturatingMul(int64_t a, int64_t b) {
  return (a > INT64_MAX / b) ? INT64_MAX : a * b;
}

// Why a number with a unit was not taken: no unit at all, or one written in
// the wrong case.
CfgReason missingUnit(const char *digit, const char *const *lowerUnits) {
  for (; *lowerUnits != nullptr; ++lowerUnits) {
    if (strcasestr(digit, *lowerUnits) != nullptr) {
      return CfgReason::kUnitLowerCase;
    }
  }
  return CfgReason::kNoUnit;
}

}  // namespace

CfgReason setMaxFileSize(const char *line, int64_t *size) {
  int64_t n;
  const char *digit;
  if (!firstNumber(line, &n, &digit)) return CfgReason::kNoDigit;
  if (n == 0) return CfgReason::kZero;
  if (strstr(digit, "MB") != nullptr) {
    *size = saturatingMul(n, 1048576);
  } else if (strstr(digit, "KB") != nullptr) {
    *size = saturatingMul(n, 1024);
  } else {
    static const char *const kUnits[] = {"mb", "kb", nullptr};
    return missingUnit(digit, kUnits);
  }
  return CfgReason::kNone;
}

CfgReason setMaxFileBackups(const char *line, int32_t *count) {
  int64_t n;
  const char *digit;
  if (!firstNumber(line, &n, &digit)) return CfgReason::kNoDigit;
  *count = n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
  return CfgReason::kNone;
}

CfgReason setReloadPeriod(const char *line, uint32_t *minutes) {
  int64_t n;
  const char *digit;
  if (!firstNumber(line, &n, &digit)) return CfgReason::kNoDigit;
  if (n == 0) return CfgReason::kZero;
  if (strchr(digit, 'H') != nullptr) {
    n = saturatingMul(n, 60);
  } else if (strchr(digit, 'M') == nullptr) {
    static const char *const kUnits[] = {"h", "m", nullptr};
    return missingUnit(digit, kUnits);
  }
  *minutes = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
  return CfgReason::kNone;
}

CfgReason setEnableTraces(const char *line, int32_t *flag) {
  if (strstr(line, "ON") != nullptr) {
    *flag = 1;  // also inside "NONE"
  } else if (strstr(line, "OFF") != nullptr) {
    *flag = 0;
  } else {
    return CfgReason::kNoOnOff;
  }
  return CfgReason::kNone;
}

}  // namespace qolog
