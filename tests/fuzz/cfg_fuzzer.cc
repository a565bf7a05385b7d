// libFuzzer target: arbitrary bytes as configuration text, parsed twice into
// one record as two reloads of one file would be. After each parse the record
// holds its invariants; what the parser reports (qolog-check prints it)
// points inside the line it reports; each kept line knows the file line it
// came from, in file order.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "config/cfg_parser.h"

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : (fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond), abort()))

namespace {

using namespace qolog;

TraceCfg g_cfg;

// `slot0Before`: the modules file slot 0 counted before the parse, which
// keeps its path and count across a rebuild.
void checkRecord(const TraceCfg &cfg, int32_t slot0Before) {
  const ModuleCfg &def = cfg.asModules[0];
  FUZZ_CHECK(cfg.nDateFormat == 1 && cfg.nReloadPeriod >= 1 && (cfg.nEnableTraces | 1) == 1);
  FUZZ_CHECK(def.nUsed == 1 && strcmp(def.szName, "DEFAULT") == 0 && def.nFileIndex >= 0);
  int32_t used = 0, counts[kMaxFiles] = {slot0Before};
  for (int i = 0; i < kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    FUZZ_CHECK((m.nUsed | 1) == 1 && memchr(m.szName, '\0', kModuleNameMax + 1) != nullptr &&
               m.nDebugLevel <= 63 && m.nMaxFileSize > 0 && m.nMaxFileBackups >= 0 &&
               (m.nUsed == 1 || (m.nFileIndex == -1 && m.szName[0] == '\0')) &&
               m.nOutput == 1 && m.nFileIndex >= -1 && m.nFileIndex < kMaxFiles);
    for (const char *p = m.szName; *p != '\0'; ++p) FUZZ_CHECK(*p < 'a' || *p > 'z');
    used += m.nUsed;
    // Each module but DEFAULT counted in the file it names.
    if (m.nUsed == 1 && i > 0 && m.nFileIndex >= 0)
      FUZZ_CHECK(cfg.asFiles[m.nFileIndex].nUsed == 1 && ++counts[m.nFileIndex] > 0);
  }
  FUZZ_CHECK(used == cfg.nUsedModules);
  for (int i = 0; i < kMaxFiles; ++i) {
    const LogFile &f = cfg.asFiles[i];
    FUZZ_CHECK((f.nUsed | 1) == 1 && memchr(f.szName, '\0', kPathSize) != nullptr &&
               f.nRefCount == (f.nUsed == 1 ? counts[i] : 0));
    for (int j = 0; j < i && f.nUsed == 1; ++j)
      FUZZ_CHECK(cfg.asFiles[j].nUsed == 0 || strcmp(cfg.asFiles[j].szName, f.szName) != 0);
  }
}

void checkReport(void *, const CfgReport &r) {
  const size_t len = r.line != nullptr ? strlen(r.line) : 0;
  FUZZ_CHECK(r.section != nullptr && len > 0 && len <= kCfgLineMax &&
             (!r.rawName || (r.rawName > r.line && r.rawName + r.rawNameLen < r.line + len)) &&
             (r.event == CfgEvent::kKeyRejected) == (r.reason != CfgReason::kNone));
}

void checkOrigins(const char *text, size_t size) {
  const size_t cap = cfgLinesCapacity(size);
  std::vector<char> lines(cap);  // exactly: AddressSanitizer sees a write past it
  std::vector<CfgLineOrigin> origins(cap / 2 + 1);
  const size_t used = keepCfgLines(text, size, lines.data(), origins.data());
  const uint32_t n = uint32_t(std::count(text, text + size, '\n')) + 1;  // the last line
  for (size_t pos = 0, i = 0; pos < used; pos += strlen(&lines[pos]) + 1, ++i)
    FUZZ_CHECK((i == 0 || origins[i].number >= origins[i - 1].number) && origins[i].number <= n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  memset(&g_cfg, 0, sizeof g_cfg);
  const char *text = reinterpret_cast<const char *>(data);
  CfgReporter reporter{checkReport, nullptr};
  for (int round = 0; round < 2; ++round) {
    const int32_t slot0 = g_cfg.asFiles[0].nUsed == 1 ? g_cfg.asFiles[0].nRefCount : 0;
    if (!parseTraceCfgText(g_cfg, text, size, round == 0 ? &reporter : nullptr)) return 0;
    checkRecord(g_cfg, slot0);
  }
  return checkOrigins(text, size), 0;
}
