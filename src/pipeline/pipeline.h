// The road of every message, line or dump: the configuration check, the
// module and level decision, the file made ready (opened, rolled), the line
// formatted and written to the log file and standard error, then the dump's
// rows. Also the workers of the entry points that change settings.
// REQUIRES for every function here: the caller owns `state` (the library
// holds its lock).
#ifndef QOLOG_PIPELINE_PIPELINE_H_
#define QOLOG_PIPELINE_PIPELINE_H_

#include <stdarg.h>
#include <stdint.h>
#include <time.h>

#include "pipeline/state.h"

namespace qolog {

struct Message {
  const char *module;  // null: the current module
  uint32_t level;
  const char *format;  // null: an empty text
  // A dump of `dumpLength` bytes follows the line in the log file. Null
  // (or a negative length): the line alone.
  const void *dump;
  int32_t dumpLength;
};

// Writes one message; `args` are the format's arguments.
void traceMessage(State &state, const Message &message, va_list args);

// The configuration check at `now` (whole seconds), when it is due: reloads
// a changed file, and closes log files replaced or deleted from outside.
void reloadIfDue(State &state, time_t now);

// The workers of qologClose, qologSetFile, qologSetOutput, qologSetDate and
// qologSetModuleName.
void closeNamedModule(State &state, const char *name);
void setCurrentFile(State &state, const char *path);
void setCurrentOutput(State &state, uint32_t output);
void setDateFormat(State &state, uint32_t format);
void setCurrentModuleName(State &state, const char *name);

// In a child after fork: the files it inherited belong to its parent.
// Async-signal-safe (closes descriptors, edits the state).
void leaveParentFiles(State &state);

}  // namespace qolog

#endif  // QOLOG_PIPELINE_PIPELINE_H_
