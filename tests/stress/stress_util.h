// Helpers shared by the stress programs: scratch directory, whole-file I/O,
// a capped list of problems, and the shape of timestamps and banners.
#ifndef QOLOG_TESTS_STRESS_STRESS_UTIL_H_
#define QOLOG_TESTS_STRESS_STRESS_UTIL_H_

#include <dirent.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace stress {

inline std::string makeScratchDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/qolog-stress-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) {
    perror("mkdtemp");
    exit(2);
  }
  return tmpl;
}

inline std::vector<std::string> listDir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void writeFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// "name.N" -> ("name", N); any other name -> (name, 0).
inline std::pair<std::string, long> splitBackup(const std::string &name) {
  size_t dot = name.rfind('.');
  const char *digits = name.c_str() + dot + 1;
  char *end = nullptr;
  long n =
      dot == std::string::npos || *digits < '1' || *digits > '9' ? 0 : strtol(digits, &end, 10);
  return n > 0 && *end == '\0' ? std::make_pair(name.substr(0, dot), n) : std::make_pair(name, 0L);
}

// Reads "-x N" into the number named for x and "-K" into *keep; false for
// anything else.
inline bool parseOptions(int argc, char **argv,
                         std::initializer_list<std::pair<char, long *>> numbers, bool *keep) {
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "-K") == 0) {
      *keep = true;
      continue;
    }
    auto it = std::find_if(numbers.begin(), numbers.end(), [a](const std::pair<char, long *> &n) {
      return a[0] == '-' && a[1] == n.first && a[2] == '\0';
    });
    if (it == numbers.end() || i + 1 == argc) return false;
    *it->second = atol(argv[++i]);
  }
  return true;
}

inline std::vector<std::string_view> splitLines(std::string_view all) {
  std::vector<std::string_view> lines;
  for (size_t at = 0, nl; at < all.size(); at = nl + 1) {
    nl = std::min(all.find('\n', at), all.size());
    lines.push_back(all.substr(at, nl - at));
  }
  return lines;
}

// Collects failures; prints the first few, counts all.
struct Problems {
  long count = 0;
  void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (++count > 20) return;
    va_list ap;
    va_start(ap, fmt);
    fputs("FAIL: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
  }
};

// Keeps the files after a failure or when asked, else removes them; returns
// the exit status.
inline int finish(const std::string &dir, bool keep, const Problems &bad) {
  if (keep || bad.count != 0) {
    printf("files kept in %s\n", dir.c_str());
  } else if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
    // a scratch directory left behind fails nothing
  }
  return bad.count == 0 ? 0 : 1;
}

// Calendar timestamp "Nov  4 18:22:48:048".
inline bool isStamp(std::string_view s) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() != 19 || s[3] != ' ' || s[6] != ' ' || s[9] != ':' || s[12] != ':' || s[15] != ':') {
    return false;
  }
  size_t month = std::string_view(kMonths).find(s.substr(0, 3));
  if (month == std::string_view::npos || month % 3 != 0) return false;
  for (int i : {5, 7, 8, 10, 11, 13, 14, 16, 17, 18}) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return s[4] == ' ' || (s[4] >= '0' && s[4] <= '3');
}

inline const std::string &separator() {
  static const std::string sep(73, '-');
  return sep;
}

// "QOLOG <version>: Log file 'NAME.LOG' start STAMP": returns NAME, or
// nothing when the line has another shape.
inline bool bannerName(std::string_view line, std::string *name) {
  size_t open = line.find(": Log file '");
  size_t close = line.rfind(".LOG' start ");
  if (line.compare(0, 6, "QOLOG ") != 0 || open == std::string_view::npos ||
      close == std::string_view::npos || close < open + 12 || !isStamp(line.substr(close + 12))) {
    return false;
  }
  *name = std::string(line.substr(open + 12, close - open - 12));
  return true;
}

// Splits a prefixed line on its first five bars: stamp, module, PID=, TID=,
// tag, text. False when it has fewer bars or a bad stamp.
inline bool splitLine(std::string_view line, std::string_view f[6]) {
  for (int i = 0; i < 5; ++i) {
    size_t bar = line.find('|');
    if (bar == std::string_view::npos) return false;
    f[i] = line.substr(0, bar);
    line.remove_prefix(bar + 1);
  }
  f[5] = line;
  return isStamp(f[0]);
}

}  // namespace stress

#endif  // QOLOG_TESTS_STRESS_STRESS_UTIL_H_
