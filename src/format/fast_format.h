// Direct formatting of the printf conversions that log messages use most.
#ifndef QOLOG_FORMAT_FAST_FORMAT_H_
#define QOLOG_FORMAT_FAST_FORMAT_H_

#include <stdarg.h>

#include "format/line_buffer.h"

namespace qolog {

// Appends `format` expanded with `args` when it uses only %d %i %u %x %X %s
// %c and %% (with no flags, width or precision, and the length modifiers l,
// ll and z): the same text vsnprintf would write, at a fraction of its cost.
// Returns false, with the buffer as it was, for any other format: the caller
// then uses vsnprintf. `args` itself is not consumed.
bool fastFormat(LineBuffer &buf, const char *format, va_list args);

}  // namespace qolog

#endif  // QOLOG_FORMAT_FAST_FORMAT_H_
