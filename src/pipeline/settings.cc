// The workers of the entry points that change settings rather than write.
#include <string.h>

#include "pipeline/pipeline.h"

namespace qolog {

void closeNamedModule(State &state, const char *name) {
  ModuleCfg *module = findUsedModuleByName(state.cfg, name);
  if (module == nullptr) return;
  closeModule(state.cfg, module);
  state.files.sync(state.cfg);
}

void setCurrentFile(State &state, const char *path) {
  if (path == nullptr || strnlen(path, kPathSize) > static_cast<size_t>(kPathMax)) return;
  TraceCfg &cfg = state.cfg;
  ModuleCfg *module = findUsedModuleByName(cfg, state.szModuleName);
  if (module == nullptr) return;
  const char *current = getModuleFileName(cfg, module);
  if (current == nullptr || strcmp(current, path) == 0) return;
  releaseModuleFile(cfg, module);
  module->nFileIndex = -1;  // still in use, with all its other settings
  openModuleFile(cfg, module, path);
  state.files.sync(cfg);
}

void setCurrentOutput(State &state, uint32_t output) {
  ModuleCfg *module = findUsedModuleByName(state.cfg, state.szModuleName);
  if (module != nullptr) module->nOutput = output & (QOLOG_OUT_FILE | QOLOG_OUT_STDERR);
}

void setDateFormat(State &state, uint32_t format) {
  if (format <= QOLOG_DATE_EPOCH) state.cfg.nDateFormat = format;
}

void setCurrentModuleName(State &state, const char *name) {
  copyModuleName(state.szModuleName, kModuleNameMax, name);
}

void leaveParentFiles(State &state) {
  state.files.refreshPid();
  state.files.forgetInherited(state.cfg);
}

}  // namespace qolog
