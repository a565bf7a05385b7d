// Hexadecimal dumps of byte buffers after a message line.
// REQUIRES: the library mutex is held for va_trace_module_bin.
#ifndef QOLOG_OUTPUT_HEX_DUMP_H_
#define QOLOG_OUTPUT_HEX_DUMP_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

namespace qolog {

constexpr int kDumpRowBytes = 20;
// Room a row needs in the buffer: at most 85 characters (a ten-digit offset),
// and at least the 16 bytes its offset field is copied with.
constexpr size_t kDumpRowMax = 96;

// The message line (as va_trace_module), then the dump of `length` bytes to
// the module's log file. Nothing for null data or length 0; only the line
// for a negative length.
void va_trace_module_bin(const char *module, uint32_t level, const void *data,
                         int32_t length, const char *format, va_list args);

}  // namespace qolog

#endif  // QOLOG_OUTPUT_HEX_DUMP_H_
