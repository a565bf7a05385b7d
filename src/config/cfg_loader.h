// Finding "qotrace.cfg" and re-reading it while the process runs.
// REQUIRES: the library mutex is held for every function here.
#ifndef QOLOG_CONFIG_CFG_LOADER_H_
#define QOLOG_CONFIG_CFG_LOADER_H_

#include <stddef.h>
#include <time.h>

namespace qolog {

// Time after which the next message checks the file; -1: never checked.
extern long ST_lnTimeToReloadInSecondes;
// Modification time of the file at the last check that could examine it
// (seconds, -1 for none, and nanoseconds within the second).
extern long ST_lnLastModificationTime;
extern long ST_lnLastModificationNsec;
// 1 once the first rebuild has zeroed the record.
extern int ST_nFirst;
// The configuration file read when the current directory has none (or the
// process is privileged). Only tests, which never write /etc, point it
// elsewhere; the library itself never changes it.
extern const char *ST_szSystemCfgPath;

// The check run first thing by every message, with the current time in whole
// seconds. Rebuilds ST_sTraceCfg when the file's modification time has moved
// forward since the last check.
void reloadTraceCfg(time_t now);

// Opens the configuration file for reading the way every check finds it:
// ./qotrace.cfg, else the system file; *path (when given) tells which was
// tried last. Returns the descriptor, or -1 when neither opens.
int openCfgFile(const char **path);

// Reads the whole file behind `fd` into a heap buffer (free it), allowing
// some growth past `expected` bytes. Null on a read error or without memory.
char *readCfgFile(int fd, size_t expected, size_t *len);

// now + minutes * 60, saturated at the largest time value.
long reloadDeadline(time_t now, unsigned long minutes);

}  // namespace qolog

#endif  // QOLOG_CONFIG_CFG_LOADER_H_
