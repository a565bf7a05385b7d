// libFuzzer target: random sequences of what the exported functions do (the
// pipeline and the setting workers, on a state of the fuzzer's own), decoded
// from the input, against a fixed set of configurations. Module names (null, long,
// non-ASCII), levels, outputs, date formats, log file paths, message texts,
// the directly formatted conversions with real arguments, and dump buffers
// with any length the buffer allows, negative and zero included.
//
// Everything runs in a private scratch directory that holds qotrace.cfg.
// Every path given to qologSetFile stays in it: a '/' in the fuzzed text is
// rewritten, and the only directories named are the fixed ones below. Files
// are small (MAXFILESIZE in KB, few backups) and deleted before each input.
//
// Standard error stays silent unless the fuzzer runs with -close_fd_mask=2
// (or 3), which points the process's fd 2 at /dev/null: only then may the
// input turn on QOLOG_OUT_STDERR.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "support/driver.h"

namespace {

qolog::State *g_state;  // the fuzzer's own

#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                             \
    }                                                                      \
  } while (0)

// Small files that roll often; backups kept few, except MANY whose count
// is past the point where a roll scans the directory. Modules sharing a
// file, an empty-named module, a module without a file and one whose
// directory does not exist.
const char kCfgFull[] =
    "[DEFAULT]\n"
    "ENABLETRACES = ON\n"
    "DebugLevel = ALL\n"
    "LOGFILENAME = default.log\n"
    "MAXFILESIZE = 4KB\n"
    "MAXFILEBACKUPS = 2\n"
    "[NET]\n"
    "LOGFILENAME = net.log\n"
    "MAXFILESIZE = 1KB\n"
    "MAXFILEBACKUPS = 1\n"
    "[SHARED]\n"
    "LOGFILENAME = net.log\n"
    "MAXFILESIZE = 3KB\n"
    "MAXFILEBACKUPS = 3\n"
    "[DB]\n"
    "LOGFILENAME = sub/db.log\n"
    "MAXFILESIZE = 2KB\n"
    "MAXFILEBACKUPS = 0\n"
    "[]\n"
    "LOGFILENAME = empty.log\n"
    "MAXFILESIZE = 1KB\n"
    "[NOFILE]\n"
    "DebugLevel = ERROR\n"
    "[LOST]\n"
    "LOGFILENAME = nodir/lost.log\n"
    "[MANY]\n"
    "LOGFILENAME = many.log\n"
    "MAXFILESIZE = 1KB\n"
    "MAXFILEBACKUPS = 40\n"
    "[ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789]\n"
    "LOGFILENAME = long.log\n"
    "MAXFILESIZE = 1KB\n";

// DEFAULT without a file of its own: it borrows the first one a section
// names. A module sharing that file, and one with a different level mask.
const char kCfgBorrow[] =
    "; DEFAULT borrows\n"
    "[default]\n"
    "ENABLETRACES = NONE\n"
    "MAXFILESIZE = 2KB\n"
    "MAXFILEBACKUPS = 1\n"
    "[net]\n"
    "LOGFILENAME = net.log\n"
    "DEBUGLEVEL = PROCINFO\n"
    "[DB]\n"
    "LOGFILENAME = net.log\n"
    "MAXFILESIZE = 1KB\n"
    "[LOST]\n"
    "LOGFILENAME =\n";

// Traces for unknown names off; DEFAULT in the subdirectory.
const char kCfgStrict[] =
    "[DEFAULT]\n"
    "ENABLETRACES = OFF\n"
    "DebugLevel = ERROR, WARN, DEBUG\n"
    "LOGFILENAME = sub/default.log\n"
    "MAXFILESIZE = 1KB\n"
    "MAXFILEBACKUPS = 3\n"
    "[NET]\n"
    "LOGFILENAME = sub/net.log\n"
    "[DB]\n"
    "LOGFILENAME = db.log\n"
    "MAXFILEBACKUPS = 0\n"
    "MAXFILESIZE = 1KB\n";

const char *const kConfigs[] = {kCfgFull, kCfgBorrow, kCfgStrict};
constexpr int kConfigCount = sizeof(kConfigs) / sizeof(kConfigs[0]);

const char *const kKnownNames[] = {
    "DEFAULT", "NET", "SHARED", "DB", "", "NOFILE", "LOST", "MANY",
    "net", "default", "Db", "UNKNOWN",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456",     // 33: the stored form of the long section
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234567",    // 34
    "abcdefghijklmnopqrstuvwxyz0123456789",  // 36, lower case
};
constexpr int kKnownCount = sizeof(kKnownNames) / sizeof(kKnownNames[0]);

std::string g_dir;          // the scratch directory, absolute
int g_home = -1;            // the directory libFuzzer started in
bool g_stderrOk = false;    // fd 2 goes to /dev/null
int g_config = -1;          // which configuration qotrace.cfg holds

void writeText(const char *path, const char *text) {
  FILE *f = fopen(path, "w");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(fputs(text, f) >= 0);
  FUZZ_CHECK(fclose(f) == 0);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void removeScratch() {
  if (!g_dir.empty()) nftw(g_dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Deletes every file the library wrote: all of the scratch directory but the
// configuration and the subdirectory, and all of the subdirectory.
void clearDir(const std::string &dir, bool top) {
  DIR *d = opendir(dir.c_str());
  FUZZ_CHECK(d != nullptr);
  std::vector<std::string> doomed;
  while (struct dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (top && (name == "sub" || name == "qotrace.cfg")) continue;
    doomed.push_back(dir + "/" + name);
  }
  closedir(d);
  for (const std::string &p : doomed) FUZZ_CHECK(unlink(p.c_str()) == 0);
}

// No descriptor of this process may still point into the scratch directory
// once every stream has been dropped.
void checkNoFileOpen() {
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return;
  const int self = dirfd(d);
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9' || atoi(e->d_name) == self) continue;
    char target[PATH_MAX];
    ssize_t n = readlinkat(self, e->d_name, target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (strncmp(target, g_dir.c_str(), g_dir.size()) == 0 && target[g_dir.size()] == '/') {
      fprintf(stderr, "descriptor %s still open on %s\n", e->d_name, target);
      abort();
    }
  }
  closedir(d);
}

// The record stays consistent whatever the calls did.
void checkStore() {
  const qolog::TraceCfg &cfg = g_state->cfg;
  int used = 0;
  for (const qolog::ModuleCfg &m : cfg.asModules) {
    FUZZ_CHECK(m.nUsed == 0 || m.nUsed == 1);
    FUZZ_CHECK(memchr(m.szName, '\0', qolog::kModuleNameMax + 1) != nullptr);
    FUZZ_CHECK(m.nOutput <= 3);
    used += m.nUsed;
  }
  FUZZ_CHECK(used == cfg.nUsedModules);
  FUZZ_CHECK(cfg.nDateFormat <= 2);
  for (const qolog::LogFile &f : cfg.asFiles) {
    FUZZ_CHECK(memchr(f.szName, '\0', sizeof f.szName) != nullptr);
  }
  for (int i = 0; i < qolog::kMaxFiles; ++i) {
    FUZZ_CHECK(cfg.asFiles[i].nUsed == 1 || g_state->files.at(i).fd < 0);
  }
  FUZZ_CHECK(memchr(g_state->szModuleName, '\0', qolog::kModuleNameMax + 1) != nullptr);
}

// After each input: every stream dropped and the per-process naming
// forgotten (as in a child after fork), then the files deleted.
void dropFiles() {
  g_state->files.forgetInherited(g_state->cfg);
  checkNoFileOpen();
  clearDir(g_dir, true);
  clearDir(g_dir + "/sub", false);
}

// Before each input: the chosen configuration on disk, loaded afresh by a
// message that writes nothing (level 0 passes no module).
void loadConfig(int config) {
  if (config != g_config) {
    writeText("qotrace.cfg", kConfigs[config]);
    g_config = config;
  }
  qolog::setCurrentModuleName(*g_state, "");
  g_state->watch.nextCheck = -1;
  g_state->watch.lastMtimeSec = -1;
  qtest::logTo(*g_state, nullptr, 0, "%s", "");
}

class Driver {
 public:
  Driver(const uint8_t *data, size_t size) : in_(data, size) {}

  void run() {
    loadConfig(in_.ConsumeIntegralInRange<int>(0, kConfigCount - 1));
    while (in_.remaining_bytes() > 0) {
      step(in_.ConsumeIntegralInRange<int>(0, 13));
      checkStore();
    }
    dropFiles();
  }

 private:
  // The caller's errno as the entry points pass it on (for %m).
  struct ErrnoGuard {
    explicit ErrnoGuard(int value) { errno = value; }
  };

  void step(int op) {
    switch (op) {
      case 0: {
        const char *name = moduleName(&s1_);
        ErrnoGuard g(EINTR);
        qolog::setCurrentModuleName(*g_state, name);
        break;
      }
      case 1: {
        const char *module = moduleName(&s1_);
        uint32_t level = pickLevel();
        text(&s2_);
        ErrnoGuard g(ENOENT);
        qtest::logTo(*g_state, module, level, "%s", s2_.c_str());
        break;
      }
      case 2: {
        uint32_t level = pickLevel();
        escaped(&s2_);
        ErrnoGuard g(EAGAIN);
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-security"
        qtest::logTo(*g_state, nullptr, level, s2_.c_str());  // no conversion left: every '%' doubled
#pragma clang diagnostic pop
        break;
      }
      case 3:
        converted();
        break;
      case 4:
      case 5:
        dump(op == 4);
        break;
      case 6: {
        uint32_t format = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 3)
                                            : in_.ConsumeIntegral<uint32_t>();
        ErrnoGuard g(EBADF);
        qolog::setDateFormat(*g_state, format);
        break;
      }
      case 7: {
        uint32_t out = in_.ConsumeIntegral<uint32_t>();
        if (!g_stderrOk) out &= ~QOLOG_OUT_STDERR;
        ErrnoGuard g(EPERM);
        qolog::setCurrentOutput(*g_state, out);
        break;
      }
      case 8: {
        const char *path = filePath(&s1_);
        ErrnoGuard g(ENOSPC);
        qolog::setCurrentFile(*g_state, path);
        break;
      }
      case 9: {
        const char *module = moduleName(&s1_);
        ErrnoGuard g(EIO);
        qolog::closeNamedModule(*g_state, module);
        break;
      }
      case 10: {
        // Another configuration, loaded at the next message with files open.
        int config = in_.ConsumeIntegralInRange<int>(0, kConfigCount - 1);
        if (config != g_config) {
          writeText("qotrace.cfg", kConfigs[config]);
          g_config = config;
        }
        g_state->watch.nextCheck = -1;
        g_state->watch.lastMtimeSec = -1;
        break;
      }
      case 11:
        // The reload period is over but the file is unchanged: no rebuild.
        g_state->watch.nextCheck = -1;
        break;
      case 12: {
        // A message for the current module with a text much longer than a
        // line kept on the stack.
        uint32_t level = pickLevel();
        size_t n = in_.ConsumeIntegralInRange<size_t>(1, 20000);
        s2_.assign(n, static_cast<char>(in_.ConsumeIntegralInRange<int>(1, 255)));
        ErrnoGuard g(ERANGE);
        qtest::logTo(*g_state, nullptr, level, "%s", s2_.c_str());
        break;
      }
      default: {
        // Many lines in a row: the files roll.
        const char *module = moduleName(&s1_);
        int count = in_.ConsumeIntegralInRange<int>(1, 64);
        ErrnoGuard g(EEXIST);
        for (int i = 0; i < count; ++i) {
          qtest::logTo(*g_state, module, QOLOG_ERROR, "line %d of %d, padded to roll the file sooner "
                   "...........................................", i, count);
        }
        break;
      }
    }
  }

  uint32_t pickLevel() {
    static const uint32_t kLevels[] = {QOLOG_ERROR, QOLOG_INFO, QOLOG_DEBUG, QOLOG_FUNCBEG,
                                       QOLOG_FUNCEND, QOLOG_PROCINFO, QOLOG_ALL, 0, 3,
                                       64, 0x80000001u, QOLOG_PROCINFO | QOLOG_INFO};
    if (in_.ConsumeBool()) return in_.PickValueInArray(kLevels);
    return in_.ConsumeIntegral<uint32_t>();
  }

  // Null, a known name in its stored or another case, a long or cut name,
  // or raw bytes.
  const char *moduleName(std::string *s) {
    switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        return nullptr;
      case 1: {
        // Thousands of one byte.
        size_t n = in_.ConsumeIntegralInRange<size_t>(1, 8192);
        s->assign(n, static_cast<char>(in_.ConsumeIntegralInRange<int>(1, 255)));
        return s->c_str();
      }
      case 2:
        // A known name followed by more.
        *s = kKnownNames[in_.ConsumeIntegralInRange<int>(0, kKnownCount - 1)];
        s->append(in_.ConsumeIntegralInRange<size_t>(1, 3000), 'X');
        return s->c_str();
      case 3:
        *s = in_.ConsumeRandomLengthString(80);
        return s->c_str();
      default:
        return kKnownNames[in_.ConsumeIntegralInRange<int>(0, kKnownCount - 1)];
    }
  }

  void text(std::string *s) { *s = in_.ConsumeRandomLengthString(600); }

  // Fuzzed text as a format without conversions.
  void escaped(std::string *s) {
    const std::string raw = in_.ConsumeRandomLengthString(600);
    s->clear();
    for (char c : raw) {
      if (c == '%') s->push_back('%');
      s->push_back(c);
    }
  }

  // A log file path that stays inside the scratch directory: the fuzzed
  // name without '/', after one of the fixed prefixes. Never qotrace.cfg
  // itself, which the lines would overwrite.
  const char *filePath(std::string *s) {
    static const char *const kPrefixes[] = {"", "", "sub/", "nodir/", "./"};
    switch (in_.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
        return nullptr;
      case 1:
        *s = "";
        return s->c_str();
      case 2: {
        // Around the 511-character limit and the 255-byte name limit.
        static const size_t kLengths[] = {254, 255, 256, 505, 506, 507, 511, 512, 600, 5000};
        *s = in_.PickValueInArray(kPrefixes);
        s->append(in_.PickValueInArray(kLengths) - s->size(), 'p');
        return s->c_str();
      }
      case 3: {
        // The files of the configurations, and names that are directories.
        static const char *const kNames[] = {"default.log", "net.log", "sub/db.log",
                                             "db.log", "sub/default.log", "sub",
                                             ".", "..", "sub/.", "many.log"};
        return in_.PickValueInArray(kNames);
      }
      default: {
        std::string name = in_.ConsumeRandomLengthString(64);
        for (char &c : name) {
          if (c == '/') c = '_';
        }
        *s = in_.PickValueInArray(kPrefixes) + name;
        if (*s == "qotrace.cfg" || *s == "./qotrace.cfg") *s = "qotrace.cfg.log";
        return s->c_str();
      }
    }
  }

  // The conversions formatted without vsnprintf, alone and together, a few
  // that vsnprintf formats, and %m; each with real arguments.
  void converted() {
    const char *m = moduleName(&s1_);
    const uint32_t lv = pickLevel();
    const int64_t v = in_.ConsumeIntegral<int64_t>();
    const int32_t i = static_cast<int32_t>(v);
    const uint32_t u = static_cast<uint32_t>(v);
    const long l = static_cast<long>(v);
    const unsigned long ul = static_cast<unsigned long>(v);
    const long long ll = static_cast<long long>(v);
    const unsigned long long ull = static_cast<unsigned long long>(v);
    const size_t z = static_cast<size_t>(v);
    const ssize_t sz = static_cast<ssize_t>(v);
    const int c = static_cast<int>(static_cast<unsigned char>(v));
    text(&s2_);
    const char *s = in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? nullptr : s2_.c_str();
    const int op = in_.ConsumeIntegralInRange<int>(0, 29);
    const int err = in_.ConsumeIntegralInRange<int>(0, 140);
    ErrnoGuard g(err);
    switch (op) {
      case 0: qtest::logTo(*g_state, m, lv, "%d", i); break;
      case 1: qtest::logTo(*g_state, m, lv, "%i", i); break;
      case 2: qtest::logTo(*g_state, m, lv, "%u", u); break;
      case 3: qtest::logTo(*g_state, m, lv, "%x", u); break;
      case 4: qtest::logTo(*g_state, m, lv, "%X", u); break;
      case 5: qtest::logTo(*g_state, m, lv, "%s", s); break;
      case 6: qtest::logTo(*g_state, m, lv, "%c", c); break;
      case 7: qtest::logTo(*g_state, m, lv, "100%% %%%%"); break;
      case 8: qtest::logTo(*g_state, m, lv, "%ld", l); break;
      case 9: qtest::logTo(*g_state, m, lv, "%li", l); break;
      case 10: qtest::logTo(*g_state, m, lv, "%lu", ul); break;
      case 11: qtest::logTo(*g_state, m, lv, "%lx|%lX", ul, ul); break;
      case 12: qtest::logTo(*g_state, m, lv, "%lld", ll); break;
      case 13: qtest::logTo(*g_state, m, lv, "%lli", ll); break;
      case 14: qtest::logTo(*g_state, m, lv, "%llu", ull); break;
      case 15: qtest::logTo(*g_state, m, lv, "%llx|%llX", ull, ull); break;
      case 16: qtest::logTo(*g_state, m, lv, "%zu", z); break;
      case 17: qtest::logTo(*g_state, m, lv, "%zd|%zi", sz, sz); break;
      case 18: qtest::logTo(*g_state, m, lv, "%zx|%zX", z, z); break;
      case 19:
        qtest::logTo(*g_state, m, lv, "a%db%sc%cd%%e%lluf%zxg%Xh%lii%s", i, s, c, ull, z, u, l, s);
        break;
      case 20: qtest::logTo(*g_state, nullptr, lv, "[%s] %d%%", s, i); break;
      case 21:
        // vsnprintf's share: flags, widths, precisions.
        qtest::logTo(*g_state, m, lv, "%5d|%-8s|%.3s|%08x|%+lld|%#x", i, s2_.c_str(), s2_.c_str(), u, ll, u);
        break;
      case 22: qtest::logTo(*g_state, m, lv, "%*d", static_cast<int>(v % 100000), i); break;
      case 23: qtest::logTo(*g_state, m, lv, "%.*s", static_cast<int>(v % 2000), s2_.c_str()); break;
      case 24: qtest::logTo(*g_state, m, lv, "[%m] %s", s); break;
      case 25: qtest::logTo(*g_state, nullptr, lv, "%m"); break;
      case 26: qtest::logTo(*g_state, m, lv, "%s%s%s%s%s%s%s%s", s, s, s, s, s, s, s, s); break;
      case 27: qtest::logTo(*g_state, m, lv, "%hd %hhu %ju %td", static_cast<short>(i),
                         static_cast<unsigned char>(i), static_cast<uintmax_t>(v),
                         static_cast<ptrdiff_t>(sz));
        break;
      case 28: qtest::logTo(*g_state, m, lv, "%e %g", static_cast<double>(v), static_cast<double>(i) / 7); break;
      default: qtest::logTo(*g_state, nullptr, lv, "%c%c%c%s", c, c + 1, 0, s); break;
    }
  }

  // A message and a dump: a buffer of input bytes (or none) and any length
  // that stays within it, zero and negative ones included.
  void dump(bool named) {
    const char *m = named ? moduleName(&s1_) : nullptr;
    const uint32_t lv = pickLevel();
    std::vector<uint8_t> bytes;
    if (in_.ConsumeBool()) {
      bytes = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 3000));
    } else {
      // Long buffers of one byte: the dump spans many rows and rolls.
      bytes.assign(in_.ConsumeIntegralInRange<size_t>(0, 20000),
                   in_.ConsumeIntegral<uint8_t>());
    }
    const int32_t size = static_cast<int32_t>(bytes.size());
    int32_t length = 0;
    switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: length = size; break;
      case 1: length = in_.ConsumeIntegralInRange<int32_t>(0, size); break;
      case 2: length = -in_.ConsumeIntegralInRange<int32_t>(1, INT32_MAX); break;
      case 3: length = INT32_MIN; break;
      case 4: length = 0; break;
      default: length = size > 0 ? 1 : 0; break;
    }
    const void *data = bytes.empty() || in_.ConsumeIntegralInRange<int>(0, 7) == 0
                           ? nullptr : bytes.data();
    if (data == nullptr && length > 0 && in_.ConsumeBool()) length = -length;
    text(&s2_);
    ErrnoGuard g(EDOM);
    if (named) {
      qtest::dumpTo(*g_state, m, lv, data, length, "dump of %d bytes: %s", length, s2_.c_str());
    } else {
      qtest::dumpTo(*g_state, nullptr, lv, data, length, "%s", s2_.c_str());
    }
  }

  FuzzedDataProvider in_;
  std::string s1_;
  std::string s2_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  bool prefixed = false;
  for (int i = 1; i < *argc; ++i) {
    const char *a = (*argv)[i];
    if (strncmp(a, "-close_fd_mask=", 15) == 0 && (atoi(a + 15) & 2) != 0) g_stderrOk = true;
    if (strncmp(a, "-artifact_prefix=", 17) == 0) prefixed = true;
  }
  char cwd[PATH_MAX];
  FUZZ_CHECK(getcwd(cwd, sizeof cwd) != nullptr);
  g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FUZZ_CHECK(g_home >= 0);
  if (!prefixed) {
    // A crash is saved while the input runs in the scratch directory, which
    // a relative artifact path would name.
    static std::string prefix = std::string("-artifact_prefix=") + cwd + "/";
    static std::vector<char *> args((*argv), (*argv) + *argc);
    args.push_back(&prefix[0]);
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
  }
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                      "/qolog-api-fuzz.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
  char real[PATH_MAX];
  FUZZ_CHECK(realpath(buf.data(), real) != nullptr);
  g_dir = real;
  FUZZ_CHECK(mkdir((g_dir + "/sub").c_str(), 0700) == 0);
  // Never /etc/qotrace.cfg, whatever happens to the local file.
  static std::string system = g_dir + "/no-system.cfg";
  g_state = new qolog::State();
  g_state->watch.systemPath = system.c_str();
  atexit(removeScratch);
  fprintf(stderr, "api fuzzer: scratch directory %s, standard error output %s\n",
          g_dir.c_str(), g_stderrOk ? "on (fd 2 is /dev/null)" : "off");
  return 0;
}

// The library reads ./qotrace.cfg and opens relative paths: each input runs
// in the scratch directory, and libFuzzer's own files (corpus, artifacts)
// are written from the directory it was started in.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FUZZ_CHECK(chdir(g_dir.c_str()) == 0);
  Driver(data, size).run();
  FUZZ_CHECK(fchdir(g_home) == 0);
  return 0;
}
