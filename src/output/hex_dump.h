// Hexadecimal dumps of byte buffers after a message line.
// REQUIRES: the library mutex is held for va_trace_module_bin.
#ifndef QOLOG_OUTPUT_HEX_DUMP_H_
#define QOLOG_OUTPUT_HEX_DUMP_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

namespace qolog {

constexpr int kDumpRowBytes = 20;
// Longest row: a ten-digit offset row is 85 characters with its line feed.
constexpr size_t kDumpRowMax = 96;

// Formats the row of `count` bytes (1 to 20) that starts at `offset`:
// "%04d " offset, hex groups, " [", printable characters, "]" and a line
// feed, padded so that a short row's brackets align with a full row's.
// Writes at most kDumpRowMax bytes; returns the length.
size_t formatDumpRow(const unsigned char *bytes, int count, int32_t offset,
                     char *out);

// The message line (as va_trace_module), then the dump of `length` bytes to
// the module's log file. Nothing for null data or length 0; only the line
// for a negative length.
void va_trace_module_bin(const char *module, uint32_t level, const void *data,
                         int32_t length, const char *format, va_list args);

}  // namespace qolog

#endif  // QOLOG_OUTPUT_HEX_DUMP_H_
