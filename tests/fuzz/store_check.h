// What both fuzzers check: FUZZ_CHECK ends the run on a broken condition,
// and checkStore the configuration store's invariants.
#ifndef QOLOG_TESTS_FUZZ_STORE_CHECK_H_
#define QOLOG_TESTS_FUZZ_STORE_CHECK_H_

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/trace_cfg.h"

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : (fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond), abort()))

// Flags 0 or 1; names ended within their fields (`current` too, the
// current module's), upper case, empty for a free module; the modules in use
// counted, their settings in range; file paths unique; each file counting
// the modules but DEFAULT that name it (slot 0 also `slot0`, its count
// before the rebuild: it keeps it). `parsed`: right after a rebuild, which
// sets the date format and the outputs, keeps DEFAULT on a file and leaves
// the free modules' defaults. Since then the settings change those, close
// modules (DEFAULT too, never counted) and move them to other files (counted
// in none): a count may only fall below that.
inline void checkStore(const qolog::TraceCfg &cfg, int slot0, bool parsed, const char *current) {
  using namespace qolog;
  FUZZ_CHECK(cfg.nReloadPeriod >= 1 && (cfg.nEnableTraces | 1) == 1 &&
             memchr(current, '\0', kModuleNameMax + 1) != nullptr &&
             (parsed ? cfg.nDateFormat == 1 : cfg.nDateFormat <= QOLOG_DATE_EPOCH));
  int32_t used = 0, counts[kMaxFiles] = {slot0};
  for (int i = 0; i < kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    FUZZ_CHECK((m.nUsed | 1) == 1 && memchr(m.szName, '\0', kModuleNameMax + 1) != nullptr &&
               strpbrk(m.szName, "abcdefghijklmnopqrstuvwxyz") == nullptr && m.nOutput <= 3 &&
               (m.nUsed == 1 || m.szName[0] == '\0') &&
               ((m.nUsed == 0 && !parsed) || (m.nDebugLevel <= 63 && m.nMaxFileSize > 0 &&
                m.nMaxFileBackups >= 0 && m.nFileIndex >= -1 && m.nFileIndex < kMaxFiles)));
    FUZZ_CHECK(!parsed || (m.nOutput == 1 && (i > 0 ? m.nUsed == 1 || m.nFileIndex == -1
                                                    : m.nUsed == 1 && m.nFileIndex >= 0 &&
                                                          strcmp(m.szName, "DEFAULT") == 0)));
    used += m.nUsed;
    if (m.nUsed == 1 && i > 0 && m.nFileIndex >= 0)
      FUZZ_CHECK((!parsed || cfg.asFiles[m.nFileIndex].nUsed == 1) && ++counts[m.nFileIndex] > 0);
  }
  FUZZ_CHECK(used == cfg.nUsedModules);
  for (int i = 0; i < kMaxFiles; ++i) {
    const LogFile &f = cfg.asFiles[i];
    FUZZ_CHECK((f.nUsed | 1) == 1 && memchr(f.szName, '\0', kPathSize) != nullptr &&
               (f.nUsed == 1 ? f.nRefCount <= counts[i] : f.nRefCount == 0) &&
               (!parsed || f.nUsed == 0 || f.nRefCount == counts[i]));
    for (int j = 0; j < i && f.nUsed == 1; ++j)
      FUZZ_CHECK(cfg.asFiles[j].nUsed == 0 || strcmp(cfg.asFiles[j].szName, f.szName) != 0);
  }
}

#endif  // QOLOG_TESTS_FUZZ_STORE_CHECK_H_
