// Which module a message goes to, and whether its level passes: the one
// decision the writer, the drop filter and qolog-check all take.
#ifndef QOLOG_CONFIG_MODULE_LOOKUP_H_
#define QOLOG_CONFIG_MODULE_LOOKUP_H_

#include <stdint.h>

#include "config/trace_cfg.h"

namespace qolog {

// findUsedModuleByName through a hash index of the names, rebuilt when the
// record's nGeneration changes: the cost does not grow with the number of
// modules or with which of them a message names.
class ModuleIndex {
 public:
  ModuleCfg *find(TraceCfg &cfg, const char *name);

 private:
  static constexpr unsigned kBuckets = 256;  // twice the module slots
  void build(TraceCfg &cfg);

  uint32_t generation_ = 0;  // of the record when built; 0: never built
  uint8_t bucket_[kBuckets] = {};  // module slot + 1, 0 for empty
  // The last name looked up and its result: most calls repeat it.
  char lastName_[kModuleNameSize] = {};
  ModuleCfg *lastModule_ = nullptr;
};

// The module a message for `name` goes to (`current`, the current module
// name, when `name` is null), else DEFAULT when ENABLETRACES is on, else
// null. *printed receives the name the line shows.
ModuleCfg *resolveModule(TraceCfg &cfg, ModuleIndex &index, const char *current,
                         const char *name, const char **printed);

// Every bit of `level` is enabled, the module has an output, and the level
// has one of the six defined bits.
bool levelPasses(const ModuleCfg &module, uint32_t level);

}  // namespace qolog

#endif  // QOLOG_CONFIG_MODULE_LOOKUP_H_
