// Module resolution through a hash index of the module names.
#include "config/module_lookup.h"

#include <string.h>

namespace qolog {

namespace {

// FNV-1a of a name; false for a name too long to be in the table.
bool hashName(const char *name, uint32_t *hash) {
  uint32_t h = 2166136261u;
  int n = 0;
  for (; name[n] != '\0'; ++n) {
    if (n == kModuleNameMax) return false;
    h = (h ^ static_cast<unsigned char>(name[n])) * 16777619u;
  }
  *hash = h;
  return true;
}

}  // namespace

void ModuleIndex::build(TraceCfg &cfg) {
  memset(bucket_, 0, sizeof(bucket_));
  for (int i = 0; i < kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    uint32_t h;
    if (m.nUsed != 1 || !hashName(m.szName, &h)) continue;
    for (unsigned b = h % kBuckets;; b = (b + 1) % kBuckets) {
      if (bucket_[b] == 0) {
        bucket_[b] = static_cast<uint8_t>(i + 1);
        break;
      }
      // A name added again later is shadowed by the first, as in a scan.
      if (strcmp(cfg.asModules[bucket_[b] - 1].szName, m.szName) == 0) break;
    }
  }
  generation_ = cfg.nGeneration;
  lastName_[0] = '\0';
  lastModule_ = findUsedModuleByName(cfg, "");
}

ModuleCfg *ModuleIndex::find(TraceCfg &cfg, const char *name) {
  if (name == nullptr || cfg.nGeneration == 0) return findUsedModuleByName(cfg, name);
  if (generation_ != cfg.nGeneration) build(cfg);
  if (strcmp(lastName_, name) == 0) return lastModule_;
  uint32_t h;
  if (!hashName(name, &h)) return nullptr;
  ModuleCfg *found = nullptr;
  for (unsigned b = h % kBuckets; bucket_[b] != 0; b = (b + 1) % kBuckets) {
    ModuleCfg &m = cfg.asModules[bucket_[b] - 1];
    if (strcmp(m.szName, name) == 0) {
      found = &m;
      break;
    }
  }
  memcpy(lastName_, name, strlen(name) + 1);  // at most 33 characters here
  lastModule_ = found;
  return found;
}

ModuleCfg *resolveModule(TraceCfg &cfg, ModuleIndex &index, const char *current,
                         const char *name, const char **printed) {
  if (name == nullptr) name = current;
  *printed = name;
  ModuleCfg *m = index.find(cfg, name);
  if (m == nullptr && cfg.nEnableTraces == 1) m = index.find(cfg, kDefaultModuleName);
  return m;
}

bool levelPasses(const ModuleCfg &module, uint32_t level) {
  if ((level & module.nDebugLevel) != level) return false;
  if ((module.nOutput & (QOLOG_OUT_FILE | QOLOG_OUT_STDERR)) == 0) return false;
  return (level & QOLOG_ALL) != 0;
}

}  // namespace qolog
