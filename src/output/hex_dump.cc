// Hexadecimal dumps: rows of 20 bytes formatted into a buffer and written in
// as few writes as the buffer allows.
#include "output/hex_dump.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "config/trace_cfg.h"
#include "files/log_file.h"
#include "files/posix.h"
#include "output/line_writer.h"

namespace qolog {

namespace {

const char kHex[] = "0123456789ABCDEF";
// The rows go out in one write up to this size; larger dumps in pieces.
constexpr size_t kDumpHeapMax = 65536;
constexpr size_t kDumpStackSize = 1024;

// The locale's printable test with the table lookup hoisted out of the
// per-byte loop: in C, glibc's isprint macro is this very lookup.
struct Printable {
#if defined(__GLIBC__)
  const unsigned short *table = *__ctype_b_loc();
  bool operator()(unsigned char c) const { return (table[c] & _ISprint) != 0; }
#else
  bool operator()(unsigned char c) const { return isprint(c) != 0; }
#endif
};

size_t formatRow(const unsigned char *bytes, int count, int32_t offset,
                 char *out, const Printable &printable) {
  char *p = out;
  // "%04d ": at least four digits.
  char digits[12];
  int nd = 0;
  uint32_t v = static_cast<uint32_t>(offset);
  do {
    digits[nd++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = nd; i < 4; ++i) *p++ = '0';
  while (nd > 0) *p++ = digits[--nd];
  *p++ = ' ';
  for (int i = 0; i < count; ++i) {
    *p++ = kHex[bytes[i] >> 4];
    *p++ = kHex[bytes[i] & 15];
    if (i & 1) *p++ = ' ';  // a space after every second byte
  }
  // " [" right-aligned in (20 - r) * 2 + (21 - r) / 2 + 2 columns.
  int r = count;
  int pad = (kDumpRowBytes - r) * 2 + (kDumpRowBytes + 1 - r) / 2;
  memset(p, ' ', static_cast<size_t>(pad));
  p += pad;
  *p++ = ' ';
  *p++ = '[';
  for (int i = 0; i < count; ++i) {
    *p++ = printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  }
  // "]\n" right-aligned in 22 - r columns (2 for a full row).
  int tail = kDumpRowBytes - r;
  memset(p, ' ', static_cast<size_t>(tail));
  p += tail;
  *p++ = ']';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

// Formats and writes the rows. Kept out of line, with its buffer on the heap,
// so that a dump adds little to the stack of the caller's thread.
__attribute__((noinline)) void writeDump(LogFile *slot,
                                         const unsigned char *bytes,
                                         int32_t length) {
  size_t rows = static_cast<size_t>(length) / kDumpRowBytes + 1;
  size_t want = rows * kDumpRowMax < kDumpHeapMax ? rows * kDumpRowMax : kDumpHeapMax;
  char stackBuf[kDumpStackSize];
  char *heap = static_cast<char *>(malloc(want));
  char *buf = heap != nullptr ? heap : stackBuf;
  size_t cap = heap != nullptr ? want : sizeof(stackBuf);
  Printable printable;
  size_t used = 0;
  for (int32_t i = 0; i < length; i += kDumpRowBytes) {
    int count = length - i < kDumpRowBytes ? static_cast<int>(length - i)
                                           : kDumpRowBytes;
    if (cap - used < kDumpRowMax) {
      writeToSlot(slot, buf, used);
      used = 0;
    }
    used += formatRow(bytes + i, count, i, buf + used, printable);
    if (i > INT32_MAX - kDumpRowBytes) break;  // last row of a huge buffer
  }
  writeToSlot(slot, buf, used);
  free(heap);
}

}  // namespace

size_t formatDumpRow(const unsigned char *bytes, int count, int32_t offset,
                     char *out) {
  if (count < 1 || count > kDumpRowBytes) return 0;
  return formatRow(bytes, count, offset, out, Printable());
}

void va_trace_module_bin(const char *module, uint32_t level, const void *data,
                         int32_t length, const char *format, va_list args) {
  if (data == nullptr || length == 0) return;
  va_trace_module(module, level, format, args);
  if (length < 0) return;  // the line, and nothing of a dump that can't be

  // The module again, without a second configuration check.
  TraceCfg &cfg = ST_sTraceCfg;
  const char *name;
  ModuleCfg *m = resolveModule(cfg, module, &name);
  if (m == nullptr || !levelPasses(m, level)) return;
  holdCancellation();
  // A line that took the file over its limit makes the dump start the next.
  LogFile *slot = rollingFiles(cfg, m);
  if (slot == nullptr || (m->nOutput & 1) == 0 || slot->pStream == nullptr) {
    return;
  }

  writeDump(slot, static_cast<const unsigned char *>(data), length);
}

}  // namespace qolog
