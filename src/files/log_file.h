// Log file slots: opening under an exclusive lock with the per-process
// fallback name, and size-based rolling with numbered backups.
// REQUIRES: the library mutex is held for every function here.
#ifndef QOLOG_FILES_LOG_FILE_H_
#define QOLOG_FILES_LOG_FILE_H_

#include <stddef.h>

#include "config/trace_cfg.h"

namespace qolog {

// Gives a slot in use an open, locked stream positioned at the end, trying
// its configured path and then, once the process tag is set, its
// per-process path. Without `fallBack` a failure leaves the slot without a
// stream instead of setting the process tag.
void openFileLock(TraceCfg &cfg, LogFile *slot, bool fallBack = true);

// The module's slot, opened and rolled as needed; null when it has none.
LogFile *rollingFiles(TraceCfg &cfg, const ModuleCfg *module);

// Builds the per-process name of `path` ("dir/" + tag + "-" + file) into
// `out` (outSize bytes). False, with `out` empty, when it would be longer
// than kPathMax.
bool perProcessName(const char *path, const char *tag, char *out,
                    size_t outSize);

// Appends `n` bytes to the slot's stream and advances its position; a failed
// write marks the position bad so that the next message reopens the file.
// Returns false when the write failed.
bool writeToSlot(LogFile *slot, const char *data, size_t n);

// In a child after fork: the parent holds the locks of the inherited files.
// Clears the process tag, puts renamed slots back on their configured path
// and drops every inherited stream (closing the child's descriptor leaves
// the parent's lock alone), so each file is reopened through the lock.
void forgetInheritedFiles(TraceCfg &cfg);

}  // namespace qolog

#endif  // QOLOG_FILES_LOG_FILE_H_
