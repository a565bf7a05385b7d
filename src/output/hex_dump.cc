// Hexadecimal dumps: rows of 20 bytes formatted into a buffer and written in
// as few writes as the buffer allows.
#include "output/hex_dump.h"

#include <ctype.h>
#include <string.h>

#include "config/trace_cfg.h"
#include "files/log_file.h"
#include "files/posix.h"
#include "output/digits.h"
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

// The character column of every byte value: the byte itself when the
// current locale's isprint accepts it, else '.'. Rebuilt only when the
// thread's locale data changes (glibc gives each locale its own ctype
// table); elsewhere on every dump. REQUIRES: the library mutex is held.
class Printable {
 public:
  Printable() {
#if defined(__GLIBC__)
    const unsigned short *table = *__ctype_b_loc();
    if (table == ST_pTable) return;
    ST_pTable = table;
#endif
    for (int c = 0; c < 256; ++c) ST_acShown[c] = isprint(c) ? static_cast<char>(c) : '.';
  }
  char operator()(unsigned char c) const { return ST_acShown[c]; }
  const char *table() const { return ST_acShown; }

 private:
  static const unsigned short *ST_pTable;
  static char ST_acShown[256];
};
const unsigned short *Printable::ST_pTable = nullptr;
char Printable::ST_acShown[256];

size_t formatRow(const unsigned char *bytes, int count, int32_t offset,
                 char *out, const Printable &printable) {
  // Built in a local array: its stores can't alias the caller's bytes, so
  // the compiler keeps everything in registers.
  char row[kDumpRowMax];
  char *p = row;
  p = putPadded(p, offset, 4, '0');  // "%04d " of a non-negative offset
  *p++ = ' ';
  // Two bytes per group, a space after each group.
  int i = 0;
  for (; i + 1 < count; i += 2) {
    memcpy(p, kHexPairs.text + 2 * bytes[i], 2);
    memcpy(p + 2, kHexPairs.text + 2 * bytes[i + 1], 2);
    p[4] = ' ';
    p += 5;
  }
  if (i < count) {
    memcpy(p, kHexPairs.text + 2 * bytes[i], 2);
    p += 2;
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
  for (int k = 0; k < count; ++k) {
    unsigned char c = bytes[k];
    p[k] = printable(c);
  }
  p += count;
  if (r < kDumpRowBytes) {
    memset(p, ' ', static_cast<size_t>(kDumpRowBytes - r));
    p += kDumpRowBytes - r;
  }
  *p++ = ']';
  *p++ = '\n';
  size_t n = static_cast<size_t>(p - row);
  memcpy(out, row, n);
  return n;
}

// The "%04d" text of the row offsets, counted up by 20 from one row to the
// next instead of converted afresh.
class OffsetText {
 public:
  OffsetText() : len_(4) { memcpy(text_, "0000", 4); }
  const char *text() const { return text_; }  // 16 readable bytes
  int size() const { return len_; }
  void advance() {
    int carry = 2;  // 20: two in the tens digit
    for (int i = len_ - 2; i >= 0 && carry != 0; --i) {
      int d = text_[i] - '0' + carry;
      text_[i] = static_cast<char>('0' + d % 10);
      carry = d / 10;
    }
    if (carry != 0) {
      memmove(text_ + 1, text_, static_cast<size_t>(len_));
      text_[0] = static_cast<char>('0' + carry);
      ++len_;
    }
  }

 private:
  char text_[16] = {};
  int len_;
};

// A full row of 20 bytes, the common case, with every loop unrolled.
// `__restrict`: the row's stores can't change the bytes or the tables, so
// nothing is reloaded after each store. Writes up to 16 bytes of the offset
// field, which the caller's room for a row covers.
size_t formatFullRow(const unsigned char *__restrict bytes,
                     const OffsetText &offset, char *__restrict out,
                     const char *__restrict shown) {
  memcpy(out, offset.text(), 16);
  char *p = out + offset.size();
  *p++ = ' ';
#pragma GCC unroll 10
  for (int g = 0; g < kDumpRowBytes / 2; ++g) {
    memcpy(p, kHexPairs.text + 2 * bytes[2 * g], 2);
    memcpy(p + 2, kHexPairs.text + 2 * bytes[2 * g + 1], 2);
    p[4] = ' ';
    p += 5;
  }
  p[0] = ' ';
  p[1] = '[';
  p += 2;
#pragma GCC unroll 20
  for (int k = 0; k < kDumpRowBytes; ++k) p[k] = shown[bytes[k]];
  p[kDumpRowBytes] = ']';
  p[kDumpRowBytes + 1] = '\n';
  return static_cast<size_t>(p + kDumpRowBytes + 2 - out);
}

// Formats the rows into the dump buffer and writes them.
// The rows follow `used` bytes already in the dump buffer (the held line).
void writeDump(LogFile *slot, const unsigned char *bytes, int32_t length,
               size_t used) {
  char *buf = ST_acDumpBuf;
  Printable printable;
  OffsetText offset;
  for (int32_t i = 0; i < length; i += kDumpRowBytes, offset.advance()) {
    int count = length - i < kDumpRowBytes ? static_cast<int>(length - i)
                                           : kDumpRowBytes;
    if (sizeof(ST_acDumpBuf) - used < kDumpRowMax) {
      // After a failed write (a full disk) the rest of the dump would only
      // leave rows without their line.
      if (!writeToSlot(slot, buf, used)) return;
      used = 0;
    }
    used += count == kDumpRowBytes
                ? formatFullRow(bytes + i, offset, buf + used, printable.table())
                : formatRow(bytes + i, count, i, buf + used, printable);
    if (i > INT32_MAX - kDumpRowBytes) break;  // last row of a huge buffer
  }
  writeToSlot(slot, buf, used);
}

}  // namespace

void va_trace_module_bin(const char *module, uint32_t level, const void *data,
                         int32_t length, const char *format, va_list args) {
  if (data == nullptr || length == 0) return;
  // The line is held back when it can share the dump's write.
  HeldLine held{ST_acDumpBuf, sizeof(ST_acDumpBuf) / 2, 0, nullptr};
  writeMessage(module, level, format, args, length > 0 ? &held : nullptr);
  if (length < 0) return;  // the line, and nothing of a dump that can't be

  // A held line goes out on its own wherever the dump does not follow it
  // into the same file (not reached while nothing changes between the two
  // steps, but a line is never lost).
  auto writeHeld = [&held] {
    if (held.size != 0) writeToSlot(held.slot, held.data, held.size);
    held.size = 0;
  };
  // The module again, without a second configuration check.
  const char *name;
  ModuleCfg *m = resolveModule(module, &name);
  if (m == nullptr || !levelPasses(m, level)) return writeHeld();
  holdCancellation();
  // A line that took the file over its limit makes the dump start the next.
  LogFile *slot = rollingFiles(ST_sTraceCfg, m);
  if (held.slot != slot) writeHeld();
  if (slot == nullptr || (m->nOutput & 1) == 0 || slot->pStream == nullptr) {
    return writeHeld();
  }
  writeDump(slot, static_cast<const unsigned char *>(data), length, held.size);
}

}  // namespace qolog
