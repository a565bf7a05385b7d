// The road of every message, line or dump: the configuration check, the
// module and level decision, the file made ready (opened, rolled), the line
// written to the log file and standard error, then the dump's rows. Lines
// of several callers go out together (group commit): each caller formats
// its own text; the writer adds banners and prefixes and writes every line
// bound for one file in one write.
// REQUIRES for every function taking a State: the caller owns it (the
// library holds its lock).
#ifndef QOLOG_PIPELINE_PIPELINE_H_
#define QOLOG_PIPELINE_PIPELINE_H_

#include <stdarg.h>
#include <stdint.h>
#include <time.h>

#include "format/line_buffer.h"
#include "pipeline/commit.h"
#include "pipeline/state.h"

namespace qolog {

// The configuration check at `now` (whole seconds), when it is due: reloads
// a changed file, and lets go of log files replaced or deleted from outside.
void reloadIfDue(State &state, time_t now);

// The caller's text: `format` expanded with `args`, and a line feed. Needs
// no state: callers format outside the lock.
void formatText(LineBuffer &buf, const char *format, va_list args);

// Writes the lines of `batch` (oldest first) in order: each one's module
// resolved and its level tested now, its file prepared (a line that would
// take a file past its limit rolls it first, so a batch is split at rolls),
// its banner and prefix added; then, per file, as few writes as possible.
void writeBatch(State &state, Pending *batch);

struct Message {
  const char *module;  // null: the current module
  uint32_t level;
  const char *format;  // null: an empty text
  // A dump of `dumpLength` bytes follows the line in the log file. Null
  // (or a negative length): the line alone.
  const void *dump;
  int32_t dumpLength;
};

// The whole road for one message on a state of its own (tests, tools).
void traceMessage(State &state, const Message &message, va_list args);

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
