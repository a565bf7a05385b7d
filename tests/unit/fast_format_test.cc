// The direct formatter must write exactly what vsnprintf writes, and decline
// every format it does not handle so that vsnprintf does; so must the line
// prefix's ids.
#include "format/fast_format.h"
#include "format/line_text.h"
#include "qolog.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <climits>
#include <string>

namespace {

// Returns the formatter's text, or "<declined>".
std::string fast(const char *format, ...) {
  qolog::LineBuffer buf;
  buf.append("x", 1);  // a declined format must leave earlier text alone
  va_list args;
  va_start(args, format);
  bool ok = qolog::fastFormat(buf, format, args);
  va_end(args);
  std::string out(buf.data(), buf.size());
  if (out.empty() || out[0] != 'x') return "<buffer damaged>";
  return ok ? out.substr(1) : (out.size() == 1 ? "<declined>" : "<partial>");
}

// The formatter's text must equal snprintf's. The spare 0 keeps a format
// without conversions from being snprintf's only argument; it is never read.
template <typename... Args>
void same(const char *format, Args... args) {
  char text[512];
  int n = snprintf(text, sizeof(text), format, args..., 0);
  EXPECT_EQ(std::string(text, static_cast<size_t>(n)), fast(format, args...)) << format;
}

TEST(FastFormat, WritesWhatPrintfWrites) {
  same("plain text, no conversions");
  same("");
  same("%d|%i|%d|%d %u %x %X", 0, -1, INT_MIN, INT_MAX, UINT_MAX, 0xdeadbeefu, 0xdeadbeefu);
  same("%ld %lu %lx", LONG_MIN, ULONG_MAX, ULONG_MAX);
  same("%lld %llu %llX", LLONG_MIN, ULLONG_MAX, 0x0123456789ABCDEFULL);
  same("%zu %zd %zx", static_cast<size_t>(-1), static_cast<ssize_t>(-5), static_cast<size_t>(255));
  same("%s and %s%c%c%c, 100%% done, %s%%", "text", "", 'a', 0xE9, ' ', "50");
  EXPECT_EQ("(null)", fast("%s", static_cast<const char *>(nullptr)));
}

// Flags, width, precision, other lengths and letters, a bare '%' at the
// end: declined, also after a conversion already written. Only that one
// reads an argument: two integers serve every row.
TEST(FastFormat, DeclinesWhatItDoesNotHandle) {
  for (const char *format : {"%5d", "%-d", "%08x", "%.3s", "%*d", "%hd", "%f", "%p", "%m", "%o",
                             "%ls", "text then %d then %5d", "trailing %"}) {
    EXPECT_EQ("<declined>", fast(format, 1, 2)) << format;
  }
}

// The ids padded as "PID=%4ld|TID=%4ld|", from one digit to past the
// padding (the end-to-end tests see only their own process's id).
TEST(LineText, PrefixPadsIdsAsPrintfDoes) {
  qolog::ThreadIdText ids;
  for (long id : {0L, 7L, 42L, 999L, 1000L, 12345L, 1L << 40}) {
    char got[128], want[128];
    char *end = qolog::putPrefix(got, "T", 1, "M", 1, ids.get(id, pthread_t(id + 1)), QOLOG_INFO);
    snprintf(want, sizeof want, "T|M|PID=%4ld|TID=%4ld|INFO|", id, id + 1);
    EXPECT_EQ(std::string(got, end), want);
  }
}

}  // namespace
