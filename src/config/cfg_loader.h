// Finding "qotrace.cfg", deciding when to look at it again, and re-reading it
// when it changed. The only I/O of the configuration layer: reading that
// file through the OS layer.
#ifndef QOLOG_CONFIG_CFG_LOADER_H_
#define QOLOG_CONFIG_CFG_LOADER_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "config/trace_cfg.h"
#include "os/os.h"

namespace qolog {

constexpr char kCfgFileName[] = "qotrace.cfg";
constexpr char kSystemCfgPath[] = "/etc/qotrace.cfg";

// What the checks of the configuration file remember between calls.
struct CfgWatch {
  // Wall-clock second after which the next message checks the file; -1:
  // never checked.
  int64_t nextCheck = -1;
  // Wall-clock second of the last check: a clock stepped back behind it
  // makes the next message check at once.
  int64_t lastCheck = -1;
  // Modification time of the file at the last check that could examine it
  // (-1: none yet).
  int64_t lastMtimeSec = -1;
  int64_t lastMtimeNsec = 0;
  // The configuration file named by QOTRACE_CFG: when set, the only one
  // looked at.
  const char *namedPath = nullptr;
  char namedPathText[4096] = {};  // namedPath's own copy
  // The configuration file read when the current directory has none (or the
  // process is privileged). Only tests, which never write /etc, point it
  // elsewhere.
  const char *systemPath = kSystemCfgPath;
};

// QOTRACE_CFG from the environment, or null when it is unset or empty. A
// privileged process never honours it (secure_getenv).
const char *cfgPathFromEnvironment();
// Takes QOTRACE_CFG into `watch`, a copy of it: the process may change its
// environment later.
void takeCfgPathFromEnvironment(CfgWatch &watch);

// True when a message at `now` (whole seconds) must check the file: the
// period has passed, or the clock was set back behind the last check.
bool cfgCheckDue(const CfgWatch &watch, time_t now);

// What a look at the configuration file found.
struct CfgOutcome {
  enum Kind { kMissing, kNotRegular, kUnreadable, kUnchanged, kLoaded } kind = kMissing;
  const char *path = nullptr;  // the file looked at, or the last one tried
  int err = 0;                 // errno of a failure
};

// Looks at the file; when its modification time moved forward since the last
// look, reads it and rebuilds `cfg` from it. Returns true after a rebuild.
bool loadChangedCfg(const os::Os &os, CfgWatch &watch, TraceCfg &cfg, CfgOutcome *outcome);

// The next check is due `minutes` after `now`.
void scheduleCfgCheck(CfgWatch &watch, time_t now, uint32_t minutes);

// Opens the configuration file for reading the way every check finds it:
// `namedPath` alone when it is not null, else ./qotrace.cfg, else
// `systemPath`; *path (when given) tells which was tried last. Returns the
// descriptor, or -1 when none opens.
int openCfgFile(const os::Os &os, const char *namedPath, const char *systemPath,
                const char **path);

// Reads the whole file behind `fd` into a heap buffer (free it), allowing
// some growth past `expected` bytes. Null on a read error or without memory.
char *readCfgFile(const os::Os &os, int fd, size_t expected, size_t *len);

}  // namespace qolog

#endif  // QOLOG_CONFIG_CFG_LOADER_H_
