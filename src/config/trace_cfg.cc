// The configuration store: module lookup by scan, attaching modules to file
// slots and releasing them, and the module-name text functions.
#include "config/trace_cfg.h"

#include <string.h>

namespace qolog {

ModuleCfg *findUsedModuleByName(TraceCfg &cfg, const char *name) {
  if (name == nullptr) return nullptr;
  for (ModuleCfg &m : cfg.asModules) {
    if (m.nUsed == 1 && strcmp(m.szName, name) == 0) return &m;
  }
  return nullptr;
}

LogFile *moduleFileSlot(TraceCfg &cfg, const ModuleCfg *module) {
  if (module == nullptr) return nullptr;
  uint32_t index = static_cast<uint32_t>(module->nFileIndex);
  if (index >= static_cast<uint32_t>(kMaxFiles)) return nullptr;
  LogFile &slot = cfg.asFiles[index];
  return slot.nUsed == 1 ? &slot : nullptr;
}

void openModuleFile(TraceCfg &cfg, ModuleCfg *module, const char *path) {
  if (module == nullptr || path == nullptr) return;
  size_t len = strnlen(path, kPathSize);
  if (len > static_cast<size_t>(kPathMax)) return;  // never cut to another name
  for (int i = 0; i < kMaxFiles; ++i) {
    LogFile &slot = cfg.asFiles[i];
    if (slot.nUsed == 1 && strcmp(slot.szName, path) == 0) {
      module->nFileIndex = i;
      return;
    }
  }
  if (module->nFileIndex != -1) return;
  for (int i = 0; i < kMaxFiles; ++i) {
    LogFile &slot = cfg.asFiles[i];
    if (slot.nUsed != 0) continue;
    slot.nUsed = 1;
    slot.nRefCount = 0;
    slot.nPidRenamed = 0;
    slot.nSerial++;
    memcpy(slot.szName, path, len + 1);
    module->nFileIndex = i;
    return;
  }
}

const char *getModuleFileName(TraceCfg &cfg, const ModuleCfg *module) {
  LogFile *slot = moduleFileSlot(cfg, module);
  return slot != nullptr ? slot->szName : nullptr;
}

void releaseModuleFile(TraceCfg &cfg, ModuleCfg *module) {
  LogFile *slot = moduleFileSlot(cfg, module);
  if (slot == nullptr) return;
  if (slot->nRefCount == 1) {
    slot->nUsed = 0;
    slot->szName[0] = '\0';
    slot->nRefCount = 0;
    slot->nSerial++;
    // nPidRenamed stays: it is cleared when the slot is taken again.
  } else {
    // A count of 0 or below (the DEFAULT module is never counted) only goes
    // further down; such a slot stays open until the next rebuild.
    slot->nRefCount--;
  }
}

void closeModule(TraceCfg &cfg, ModuleCfg *module) {
  if (module == nullptr) return;
  releaseModuleFile(cfg, module);
  memset(module, 0, sizeof(*module));  // nFileIndex becomes 0, not -1
  cfg.nUsedModules--;
  cfg.nGeneration++;
}

void renameToPerProcess(LogFile &slot, const char *path) {
  size_t len = strnlen(path, kPathSize);
  if (len > static_cast<size_t>(kPathMax)) return;
  memcpy(slot.szName, path, len + 1);
  slot.nPidRenamed = 1;
}

void copyModuleName(char *destination, int limit, const char *source) {
  if (destination == nullptr || limit < 1 || source == nullptr) return;
  // Every destination has room for the limit plus a terminator.
  memset(destination, 0, static_cast<size_t>(limit) + 1);
  size_t len = strnlen(source, static_cast<size_t>(limit) + 1);
  memcpy(destination, source, len > static_cast<size_t>(limit) ? static_cast<size_t>(limit) : len);
  toUpperCase(destination);
}

void toUpperCase(char *text) {
  if (text == nullptr) return;
  for (char *p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
  }
}

}  // namespace qolog
