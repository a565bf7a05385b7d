// Message lines: module resolution, the level tests, the prefix, the banner
// and the writes to the log file and standard error.
// REQUIRES: the library mutex is held for every function here.
#ifndef QOLOG_OUTPUT_LINE_WRITER_H_
#define QOLOG_OUTPUT_LINE_WRITER_H_

#include <stdarg.h>
#include <stdint.h>

#include "config/trace_cfg.h"

namespace qolog {

// The caller's errno, in force while the caller's format is expanded.
extern int ST_nCallerErrno;

constexpr char kVersionText[] = "QOLOG 1.0.13.0";

// The module a message goes to: `name` (or the current module name when it
// is null), else DEFAULT when traces are enabled for unknown names.
// *printed receives the name the line shows.
ModuleCfg *resolveModule(const char *name, const char **printed);

// Every bit of `level` is enabled, the module has an output, and the level
// has one of the six defined bits.
bool levelPasses(const ModuleCfg *module, uint32_t level);

// Writes one message line (and the banner a fresh file needs).
void va_trace_module(const char *module, uint32_t level, const char *format,
                     va_list args);

// A file line handed back to the caller instead of written, so that it can
// go out in one write with what follows it.
struct HeldLine {
  char *data;       // room for `capacity` bytes, provided by the caller
  size_t capacity;
  size_t size;      // 0: nothing held (the line was written, or not at all)
  LogFile *slot;
};

// va_trace_module, except that when `held` is not null and the file line
// leaves the file within the module's size limit, the line is stored in
// `held` rather than written; the caller writes it.
void writeMessage(const char *module, uint32_t level, const char *format,
                  va_list args, HeldLine *held);

}  // namespace qolog

#endif  // QOLOG_OUTPUT_LINE_WRITER_H_
