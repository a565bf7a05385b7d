// The configuration store: module lookup, attaching modules to file slots and
// releasing them, and the module-name text functions.
#include "config/trace_cfg.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "files/posix.h"

namespace qolog {

TraceCfg ST_sTraceCfg;
char ST_szModuleName[kModuleNameSize];

ModuleCfg *findUsedModuleByName(TraceCfg &cfg, const char *name) {
  if (name == nullptr) return nullptr;
  for (ModuleCfg &m : cfg.asModules) {
    if (m.nUsed == 1 && strcmp(m.szName, name) == 0) return &m;
  }
  return nullptr;
}

namespace {

constexpr unsigned kIndexBuckets = 256;  // twice the module slots

struct ModuleIndex {
  uint32_t generation;  // of ST_sTraceCfg when built; 0: never built
  uint8_t bucket[kIndexBuckets];  // module slot + 1, 0 for empty
  // The last name looked up and its result: most calls repeat it.
  char lastName[kModuleNameSize];
  ModuleCfg *lastModule;
};
ModuleIndex ST_sModuleIndex;

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

void buildModuleIndex(ModuleIndex &index, TraceCfg &cfg) {
  memset(index.bucket, 0, sizeof(index.bucket));
  for (int i = 0; i < kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    uint32_t h;
    if (m.nUsed != 1 || !hashName(m.szName, &h)) continue;
    for (unsigned b = h % kIndexBuckets;; b = (b + 1) % kIndexBuckets) {
      if (index.bucket[b] == 0) {
        index.bucket[b] = static_cast<uint8_t>(i + 1);
        break;
      }
      // A name added again later is shadowed by the first, as in a scan.
      if (strcmp(cfg.asModules[index.bucket[b] - 1].szName, m.szName) == 0) break;
    }
  }
  index.generation = cfg.nGeneration;
  index.lastName[0] = '\0';
  index.lastModule = findUsedModuleByName(cfg, "");
}

}  // namespace

ModuleCfg *lookupModule(const char *name) {
  TraceCfg &cfg = ST_sTraceCfg;
  if (name == nullptr || cfg.nGeneration == 0) {
    return findUsedModuleByName(cfg, name);
  }
  ModuleIndex &index = ST_sModuleIndex;
  if (index.generation != cfg.nGeneration) buildModuleIndex(index, cfg);
  if (strcmp(index.lastName, name) == 0) return index.lastModule;
  uint32_t h;
  if (!hashName(name, &h)) return nullptr;
  ModuleCfg *found = nullptr;
  for (unsigned b = h % kIndexBuckets; index.bucket[b] != 0;
       b = (b + 1) % kIndexBuckets) {
    ModuleCfg &m = cfg.asModules[index.bucket[b] - 1];
    if (strcmp(m.szName, name) == 0) {
      found = &m;
      break;
    }
  }
  memcpy(index.lastName, name, strlen(name) + 1);  // at most 33 characters here
  index.lastModule = found;
  return found;
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
    slot.nHeaderWritten = 0;
    slot.pStream = nullptr;
    slot.lnPosition = 0;
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
    if (slot->pStream != nullptr) closeFile(&slot->pStream);
    slot->nUsed = 0;
    slot->szName[0] = '\0';
    slot->nRefCount = 0;
    slot->nHeaderWritten = 0;
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

void closeFile(FILE **stream) {
  if (stream == nullptr || *stream == nullptr) return;
  // Unlocking before the close is explicit; closing the descriptor would drop
  // the process's lock anyway.
  unlockFile(fileno(*stream));
  fclose(*stream);
  *stream = nullptr;
}

void closeReplacedFiles(TraceCfg &cfg) {
  for (LogFile &f : cfg.asFiles) {
    // Only a path that was the regular file itself can be compared: devices,
    // pipes and links are left alone.
    if (f.nUsed != 1 || f.pStream == nullptr || f.nRollable == 0) continue;
    struct stat held;
    struct stat named;
    if (f.szName[0] != '/') {
      // A relative path is looked at only from the directory it was opened in.
      struct stat cwd;
      if (statPath(".", &cwd) != 0 ||
          static_cast<uint64_t>(cwd.st_dev) != f.ulOpenedInDev ||
          static_cast<uint64_t>(cwd.st_ino) != f.ulOpenedInIno) {
        continue;
      }
    }
    if (fstatFile(fileno(f.pStream), &held) != 0) continue;
    if (statPath(f.szName, &named) == 0) {
      if (named.st_dev == held.st_dev && named.st_ino == held.st_ino) continue;
    } else if (errno != ENOENT && errno != ENOTDIR) {
      continue;
    }
    closeFile(&f.pStream);
    f.nHeaderWritten = 0;
  }
}

void setOutputLevel(ModuleCfg *module, uint32_t output) {
  if (module != nullptr) module->nOutput = output;
}

void setDate(uint32_t format) { ST_sTraceCfg.nDateFormat = format; }

void setGlobalModuleName(const char *name) {
  copyModuleName(ST_szModuleName, kModuleNameMax, name);
}

const char *getGlobalModuleName() { return ST_szModuleName; }

void copyModuleName(char *destination, int limit, const char *source) {
  if (destination == nullptr || limit < 1 || source == nullptr) return;
  // Every destination has room for the limit plus a terminator.
  memset(destination, 0, static_cast<size_t>(limit) + 1);
  size_t len = strnlen(source, static_cast<size_t>(limit) + 1);
  if (len > static_cast<size_t>(limit)) {
    memcpy(destination, source, static_cast<size_t>(limit));
  } else {
    memcpy(destination, source, len + 1);
  }
  toUpperCase(destination);
}

void toUpperCase(char *text) {
  if (text == nullptr) return;
  for (char *p = text; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 32);
  }
}

}  // namespace qolog
