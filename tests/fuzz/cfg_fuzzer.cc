// libFuzzer target: arbitrary bytes as configuration text. Each input is
// parsed twice into the same record, as two reloads of one file would be, and
// the record's invariants are checked after each parse.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/cfg_parser.h"

namespace {

qolog::TraceCfg g_cfg;

#define FUZZ_CHECK(cond)                                                 \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
              #cond);                                                    \
      abort();                                                           \
    }                                                                    \
  } while (0)

bool terminated(const char *field, size_t size) {
  return memchr(field, '\0', size) != nullptr;
}

void checkRecord(const qolog::TraceCfg &cfg, int32_t slot0Before) {
  using namespace qolog;
  FUZZ_CHECK(cfg.nDateFormat == 1);
  FUZZ_CHECK(cfg.nReloadPeriod >= 1);
  FUZZ_CHECK(cfg.nEnableTraces == 0 || cfg.nEnableTraces == 1);
  const ModuleCfg &def = cfg.asModules[0];
  FUZZ_CHECK(def.nUsed == 1 && strcmp(def.szName, "DEFAULT") == 0);
  FUZZ_CHECK(def.nFileIndex >= 0 && def.nFileIndex < kMaxFiles);

  int32_t used = 0;
  int32_t counts[kMaxFiles] = {};
  for (int i = 0; i < kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    FUZZ_CHECK(m.nUsed == 0 || m.nUsed == 1);
    FUZZ_CHECK(terminated(m.szName, kModuleNameMax + 1));
    for (const char *p = m.szName; *p != '\0'; ++p) FUZZ_CHECK(*p < 'a' || *p > 'z');
    FUZZ_CHECK(m.nDebugLevel <= 63);
    FUZZ_CHECK(m.nMaxFileSize > 0);
    FUZZ_CHECK(m.nMaxFileBackups >= 0);
    FUZZ_CHECK(m.nOutput == 1);
    if (m.nUsed == 0) {
      FUZZ_CHECK(m.nFileIndex == -1 && m.szName[0] == '\0');
      continue;
    }
    ++used;
    if (i == 0) continue;
    FUZZ_CHECK(m.nFileIndex >= -1 && m.nFileIndex < kMaxFiles);
    if (m.nFileIndex >= 0) {
      FUZZ_CHECK(cfg.asFiles[m.nFileIndex].nUsed == 1);
      ++counts[m.nFileIndex];
    }
  }
  FUZZ_CHECK(used == cfg.nUsedModules);

  counts[0] += slot0Before;
  for (int i = 0; i < kMaxFiles; ++i) {
    const LogFile &f = cfg.asFiles[i];
    FUZZ_CHECK(f.nUsed == 0 || f.nUsed == 1);
    FUZZ_CHECK(terminated(f.szName, kPathSize));
    FUZZ_CHECK(f.nRefCount == (f.nUsed == 1 ? counts[i] : 0));
    if (f.nUsed == 0) continue;
    for (int j = 0; j < i; ++j) {
      FUZZ_CHECK(cfg.asFiles[j].nUsed == 0 || strcmp(cfg.asFiles[j].szName, f.szName) != 0);
    }
  }
}

// What the parser tells a reporter (qolog-check prints it) points inside
// the line it reports.
void checkReport(void *, const qolog::CfgReport &r) {
  FUZZ_CHECK(r.line != nullptr && r.section != nullptr);
  size_t len = strlen(r.line);
  FUZZ_CHECK(len > 0 && len <= qolog::kCfgLineMax);
  if (r.rawName != nullptr) {
    FUZZ_CHECK(r.rawName > r.line && r.rawName + r.rawNameLen < r.line + len);
  }
  FUZZ_CHECK((r.event == qolog::CfgEvent::kKeyRejected) == (r.reason != qolog::CfgReason::kNone));
}

// Each kept line knows the file line it came from, in file order.
void checkOrigins(const char *text, size_t size) {
  size_t cap = qolog::cfgLinesCapacity(size);
  char *lines = static_cast<char *>(malloc(cap));
  auto *origins = static_cast<qolog::CfgLineOrigin *>(
      malloc((cap / 2 + 1) * sizeof(qolog::CfgLineOrigin)));
  FUZZ_CHECK(lines != nullptr && origins != nullptr);
  size_t used = qolog::keepCfgLines(text, size, lines, origins);
  size_t newlines = 0;
  for (size_t i = 0; i < size; ++i) newlines += text[i] == '\n';
  uint32_t last = 0;
  size_t i = 0;
  for (size_t pos = 0; pos < used; pos += strlen(lines + pos) + 1, ++i) {
    FUZZ_CHECK(origins[i].number >= last && origins[i].number <= newlines + 1);
    last = origins[i].number;
  }
  free(origins);
  free(lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  memset(&g_cfg, 0, sizeof g_cfg);
  const char *text = reinterpret_cast<const char *>(data);
  for (int round = 0; round < 2; ++round) {
    int32_t slot0Before = g_cfg.asFiles[0].nUsed == 1 ? g_cfg.asFiles[0].nRefCount : 0;
    qolog::CfgReporter reporter{checkReport, nullptr};
    if (!qolog::parseTraceCfgText(g_cfg, text, size, round == 0 ? &reporter : nullptr)) {
      return 0;
    }
    checkRecord(g_cfg, slot0Before);
  }
  checkOrigins(text, size);
  return 0;
}
