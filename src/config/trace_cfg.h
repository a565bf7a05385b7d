// The configuration store: the process-wide record of global settings, the
// module table and the file table, the current module name, and the small
// operations on them. REQUIRES for every function here: the library mutex is
// held (or the record is private to the caller, as in the parser's tests).
#ifndef QOLOG_CONFIG_TRACE_CFG_H_
#define QOLOG_CONFIG_TRACE_CFG_H_

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace qolog {

constexpr int kMaxModules = 128;
constexpr int kMaxFiles = 128;
constexpr int kModuleNameMax = 33;   // characters of a module name
constexpr int kModuleNameSize = 36;  // bytes of a module name field
constexpr int kPathMax = 511;        // characters of a log file path
constexpr int kPathSize = 512;       // bytes of a log file path field
constexpr int kPidSize = 128;

constexpr uint32_t kDefaultLevel = 59;  // everything but DEBUG
constexpr int64_t kDefaultMaxFileSize = 10485760;
constexpr int32_t kDefaultMaxFileBackups = 5;
constexpr uint32_t kDefaultReloadPeriod = 60;  // minutes

struct ModuleCfg {
  int32_t nUsed;
  char szName[kModuleNameSize];
  uint32_t nDebugLevel;
  int32_t nFileIndex;      // -1 (or anything above 127 as unsigned): no file
  int64_t nMaxFileSize;    // bytes, signed comparison
  int32_t nMaxFileBackups;
  uint32_t nOutput;        // bit 1: log file, bit 2: standard error
};

struct LogFile {
  int32_t nUsed;
  char szName[kPathSize];
  int32_t nRefCount;
  int32_t nPidRenamed;
  int32_t nHeaderWritten;
  FILE *pStream;
  // Position of the stream: its size when opened plus every byte written
  // since. Kept here because ftello on an append stream costs a system call.
  int64_t lnPosition;
  // 1 when the path names the regular file itself: lnPosition then counts
  // the bytes written and the file rolls. A device, a pipe or a symbolic
  // link keeps the position it had when opened (0 for /dev/null, -1 where
  // there is none) and never rolls.
  int32_t nRollable;
  // For a relative path, the working directory it was opened in (device and
  // inode of "."): after a chdir the path names another file, which does not
  // mean that this one was deleted.
  uint64_t ulOpenedInDev;
  uint64_t ulOpenedInIno;
};

struct TraceCfg {
  uint32_t nReloadPeriod;  // minutes
  int32_t nEnableTraces;
  int32_t nUsedModules;
  uint32_t nDateFormat;
  char szPid[kPidSize];
  ModuleCfg asModules[kMaxModules];
  LogFile asFiles[kMaxFiles];
  // Raised whenever modules are added, removed or renamed, so that a
  // memoised lookup knows it is stale.
  uint32_t nGeneration;
};

extern TraceCfg ST_sTraceCfg;
extern char ST_szModuleName[kModuleNameSize];

// First module in use whose name equals `name` exactly, or null.
ModuleCfg *findUsedModuleByName(TraceCfg &cfg, const char *name);
inline ModuleCfg *findUsedModuleByName(const char *name) {
  return findUsedModuleByName(ST_sTraceCfg, name);
}

// Same result as findUsedModuleByName on ST_sTraceCfg, through a hash index
// of the names that is rebuilt when nGeneration changes: the cost does not
// grow with the number of modules or with which of them a message names.
ModuleCfg *lookupModule(const char *name);

// The module's file slot when its index is valid and the slot in use.
LogFile *moduleFileSlot(TraceCfg &cfg, const ModuleCfg *module);

// Attaches `module` to the slot holding `path` (shared), else to the first
// free slot. A path longer than kPathMax is refused: the module is unchanged.
void openModuleFile(TraceCfg &cfg, ModuleCfg *module, const char *path);

// The path of the module's slot, or null.
const char *getModuleFileName(TraceCfg &cfg, const ModuleCfg *module);

// Releases the module's file slot: the count drops by one, or, for the last
// counted user (count exactly 1), the stream is closed and the slot freed.
void releaseModuleFile(TraceCfg &cfg, ModuleCfg *module);

// Releases the module's file, clears the record and counts one module less.
void closeModule(TraceCfg &cfg, ModuleCfg *module);

// Unlocks and closes the stream held in a slot's pStream, then clears it.
void closeFile(FILE **stream);

// Closes the stream of every rollable slot whose path no longer names the
// file the stream holds (deleted, or renamed away or over from outside), so
// that the next message reopens the path, banner first. A path that can't be
// examined for another reason than being absent keeps its stream.
void closeReplacedFiles(TraceCfg &cfg);

void setOutputLevel(ModuleCfg *module, uint32_t output);
void setDate(uint32_t format);
void setGlobalModuleName(const char *name);
const char *getGlobalModuleName();

// Copies at most `limit` characters of `source`, upper-cased, into
// `destination`, which has room for limit + 1 bytes.
void copyModuleName(char *destination, int limit, const char *source);
void toUpperCase(char *text);

}  // namespace qolog

#endif  // QOLOG_CONFIG_TRACE_CFG_H_
