// Hexadecimal dumps: rows of 20 bytes formatted into a buffer and written in
// as few writes as the buffer allows.
#include "output/hex_dump.h"

#include <ctype.h>
#include <string.h>

#include "config/trace_cfg.h"
#include "files/log_file.h"
#include "files/posix.h"
#include "output/line_writer.h"

namespace qolog {

namespace {

// "%02X" of every byte value, two characters each.
struct HexPairs {
  char text[512];
  constexpr HexPairs() : text() {
    const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
      text[2 * i] = digits[i >> 4];
      text[2 * i + 1] = digits[i & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

// The rows are formatted here and go out in one write up to its size, in
// pieces beyond. REQUIRES: the library mutex is held.
char ST_acDumpBuf[65536];

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
    memcpy(p, kHexPairs.text + 2 * bytes[i], 2);
    p += 2;
    if (i & 1) *p++ = ' ';  // a space after every second byte
  }
  // " [" right-aligned in (20 - r) * 2 + (21 - r) / 2 + 2 columns, "]\n"
  // in 22 - r: a short row's brackets stand where a full row's do.
  int r = count;
  if (r < kDumpRowBytes) {
    int pad = (kDumpRowBytes - r) * 2 + (kDumpRowBytes + 1 - r) / 2;
    memset(p, ' ', static_cast<size_t>(pad));
    p += pad;
  }
  *p++ = ' ';
  *p++ = '[';
  for (int i = 0; i < count; ++i) {
    *p++ = printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  }
  if (r < kDumpRowBytes) {
    memset(p, ' ', static_cast<size_t>(kDumpRowBytes - r));
    p += kDumpRowBytes - r;
  }
  *p++ = ']';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

// Formats the rows into the dump buffer and writes them.
void writeDump(LogFile *slot, const unsigned char *bytes, int32_t length) {
  char *buf = ST_acDumpBuf;
  Printable printable;
  size_t used = 0;
  for (int32_t i = 0; i < length; i += kDumpRowBytes) {
    int count = length - i < kDumpRowBytes ? static_cast<int>(length - i)
                                           : kDumpRowBytes;
    if (sizeof(ST_acDumpBuf) - used < kDumpRowMax) {
      writeToSlot(slot, buf, used);
      used = 0;
    }
    used += formatRow(bytes + i, count, i, buf + used, printable);
    if (i > INT32_MAX - kDumpRowBytes) break;  // last row of a huge buffer
  }
  writeToSlot(slot, buf, used);
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
  ModuleCfg *m = resolveModule(module, &name);
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
