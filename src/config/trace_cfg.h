// The configuration store: the record of global settings, the module table
// and the file table, and the small operations on them. Pure data: nothing
// here opens, writes or closes a file; the file layer keeps the open files
// of the slots and follows the slots' serial numbers.
// REQUIRES for every function here: the caller owns the record (the library
// holds its lock).
#ifndef QOLOG_CONFIG_TRACE_CFG_H_
#define QOLOG_CONFIG_TRACE_CFG_H_

#include <stdint.h>

#include "qolog.h"

namespace qolog {

constexpr int kMaxModules = 128;
constexpr int kMaxFiles = 128;
constexpr int kModuleNameMax = 33;   // characters of a module name
constexpr int kModuleNameSize = 36;  // bytes of a module name field
constexpr int kPathMax = 511;        // characters of a log file path
constexpr int kPathSize = 512;       // bytes of a log file path field
constexpr int kPidSize = 128;

constexpr uint32_t kDefaultLevel = QOLOG_ALL & ~QOLOG_DEBUG;
constexpr int64_t kDefaultMaxFileSize = 10485760;
constexpr int32_t kDefaultMaxFileBackups = 5;
constexpr uint32_t kDefaultReloadPeriod = 60;  // minutes
constexpr char kDefaultModuleName[] = "DEFAULT";

struct ModuleCfg {
  int32_t nUsed;
  char szName[kModuleNameSize];
  uint32_t nDebugLevel;
  int32_t nFileIndex;      // -1 (or anything above 127 as unsigned): no file
  int64_t nMaxFileSize;    // bytes, signed comparison
  int32_t nMaxFileBackups;
  uint32_t nOutput;        // QOLOG_OUT_FILE, QOLOG_OUT_STDERR
};

struct LogFile {
  int32_t nUsed;
  char szName[kPathSize];  // the per-process path once nPidRenamed is 1
  int32_t nRefCount;
  int32_t nPidRenamed;
  // Changes whenever the slot is taken, freed or reset: the file layer drops
  // what it kept for the slot (open file, banner written) when it differs.
  uint32_t nSerial;
};

struct TraceCfg {
  uint32_t nReloadPeriod;  // minutes
  int32_t nEnableTraces;
  int32_t nUsedModules;
  uint32_t nDateFormat;
  char szPid[kPidSize];    // the process tag, set at the first failed open
  ModuleCfg asModules[kMaxModules];
  LogFile asFiles[kMaxFiles];
  // Raised whenever modules are added, removed or renamed, so that a
  // memoised lookup knows it is stale.
  uint32_t nGeneration;
};

// First module in use whose name equals `name` exactly, or null.
ModuleCfg *findUsedModuleByName(TraceCfg &cfg, const char *name);

// The module's file slot when its index is valid and the slot in use.
LogFile *moduleFileSlot(TraceCfg &cfg, const ModuleCfg *module);

// Attaches `module` to the slot holding `path` (shared), else to the first
// free slot. A path longer than kPathMax is refused: the module is unchanged.
void openModuleFile(TraceCfg &cfg, ModuleCfg *module, const char *path);

// The path of the module's slot, or null.
const char *getModuleFileName(TraceCfg &cfg, const ModuleCfg *module);

// Releases the module's file slot: the count drops by one, or, for the last
// counted user (count exactly 1), the slot is freed.
void releaseModuleFile(TraceCfg &cfg, ModuleCfg *module);

// Releases the module's file, clears the record and counts one module less.
void closeModule(TraceCfg &cfg, ModuleCfg *module);

// The slot now names its per-process file `path`.
void renameToPerProcess(LogFile &slot, const char *path);

// Copies at most `limit` characters of `source`, upper-cased, into
// `destination`, which has room for limit + 1 bytes.
void copyModuleName(char *destination, int limit, const char *source);
void toUpperCase(char *text);

}  // namespace qolog

#endif  // QOLOG_CONFIG_TRACE_CFG_H_
