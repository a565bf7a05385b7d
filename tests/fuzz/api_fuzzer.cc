// libFuzzer target: random sequences of what the entry points do (the
// pipeline and the setting workers, on a state of the fuzzer's own), decoded
// from the input: messages with any module name (null, long, lower case, raw
// bytes), level and text (long ones too), conversions with real arguments,
// dumps of any length the buffer allows (zero and negative too), the current
// module, output, date format and file, closing a module, reloads of
// configurations made from the input, and runs of lines that roll the small
// files. After each step the store holds its invariants; after each input,
// once every stream is dropped, as many descriptors are open as before it.
//
// Each input runs in a scratch directory laid anew, and every path it names
// stays there (a fuzzed name ends before any '/'). Standard error is
// written only when fd 2 is /dev/null (-close_fd_mask=2). Give
// -artifact_prefix an absolute path: the inputs run in the scratch directory.
#include <errno.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <fuzzer/FuzzedDataProvider.h>

#include "store_check.h"
#include "support/driver.h"

using namespace std;
using namespace qolog;

namespace {

namespace fs = filesystem;

State *g_state;  // the fuzzer's own
fs::path g_dir, g_home;  // the scratch directory, absolute; the one libFuzzer works in
bool g_err = false;      // fd 2 is /dev/null: standard error may be written

const char *const kNames[] = {"DEFAULT", "NET", "SHARED", "DB", "", "MANY", "net", "default", "Db",
                              "UNKNOWN", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456",  // 33: the most kept
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234567", "abcdefghijklmnopqrstuvwxyz0"};
// Files here, in a directory below, in one that is missing; none; directories.
const char *const kPaths[] = {"default.log", "net.log", "sub/db.log", "nodir/lost.log", "many.log",
                              "./net.log",   "",        "sub",        ".",              ".."};

struct Input : FuzzedDataProvider {
  using FuzzedDataProvider::FuzzedDataProvider;
  string a, b;  // room for the texts of one step

  int pick(int lo, int hi) { return ConsumeIntegralInRange(lo, hi); }
  const char *run(string &s, int n) { return s.assign(pick(1, n), char(pick(1, 255))).c_str(); }
  const char *str(string &s, int n) { return (s = ConsumeRandomLengthString(n)).c_str(); }
  // Null, a known name, thousands of one byte, raw bytes, or a known name followed by more.
  const char *name() {
    const int k = pick(0, 4);
    if (k < 3) return k == 0 ? nullptr : k == 1 ? PickValueInArray(kNames) : run(a, 8192);
    return k == 3 ? str(a, 80) : (a = PickValueInArray(kNames)).append(pick(1, 3000), 'X').c_str();
  }
  // Any, or any mix of the six level bits (or of the outputs), or the bit past them.
  uint32_t level() { return ConsumeBool() ? ConsumeIntegral<uint32_t>() : pick(0, 64); }
  // Fuzzed text, or a run of one byte longer than a line kept on the stack.
  const char *text() { return ConsumeBool() ? str(b, 600) : run(b, 20000); }
  // Null, a known path, or in one of the directories a fuzzed name (never the
  // configuration's) or one around the 511-byte path and 255-byte name limits.
  const char *path() {
    if (ConsumeBool()) return ConsumeBool() ? nullptr : PickValueInArray(kPaths);
    b.resize(ConsumeBool() ? 0 : strcspn(str(b, 64), "/"));  // up to a '/', if any
    a = PickValueInArray({"", "sub/", "nodir/", "./"}) + (b == "qotrace.cfg" ? "x.log" : b);
    if (b.empty()) a.resize(PickValueInArray<size_t>({254, 255, 256, 507, 511, 512, 5000}), 'p');
    return a.c_str();
  }
  // A configuration made from a seed the input gives (two bytes: the inputs
  // stay short), loaded at the next message (the file is closed on return):
  // sections with some of the keys, from small tables (small files, shared
  // files, backups from none to past the point where a roll scans the directory).
  void configure() {
    static const vector<vector<const char *>> kKeys = {
        {"LOGFILENAME", "default.log", "net.log", "sub/db.log", "nodir/lost.log", "many.log", ""},
        {"MAXFILESIZE", "1KB", "2KB", "4KB"}, {"MAXFILEBACKUPS", "0", "1", "3", "40"},
        {"DebugLevel", "ALL", "ERROR", "PROCINFO", "ERROR, WARN, DEBUG", "NONE"},
        {"ENABLETRACES", "ON", "OFF"}};
    minstd_rand rng(ConsumeIntegral<uint16_t>());
    ofstream cfg("qotrace.cfg");
    for (int n = 1 + rng() % 8; n > 0; --n) {
      cfg << "[" << (rng() % 2 ? "DEFAULT" : kNames[rng() % size(kNames)]) << "]\n";
      for (const auto &key : kKeys)
        if (rng() % 2) cfg << key[0] << " = " << key[1 + rng() % (key.size() - 1)] << "\n";
    }
    g_state->watch.nextCheck = g_state->watch.lastMtimeSec = -1;
  }
};

// What a step does, chosen by the input.
void (*const kSteps[])(Input &) = {
    [](Input &d) { setCurrentModuleName(*g_state, d.name()); },
    [](Input &d) { qtest::logTo(*g_state, d.name(), d.level(), "%s", d.text()); },
    [](Input &d) {  // the text as the format, every '%' doubled (and an argument it ignores)
      string f = d.text();
      for (size_t at = 0; (at = f.find('%', at)) != string::npos; at += 2) f.insert(at, 1, '%');
      qtest::logTo(*g_state, nullptr, d.level(), f.c_str(), 0);
    },
    [](Input &d) {  // the conversions formatted without vsnprintf, a few that it formats, all
                    // with real arguments: each format takes the leading ones of one list
      qtest::logTo(*g_state, d.name(), d.level(), d.PickValueInArray({"%d", "%i|%s",
                   "%u %s %ld %llu %zu %c", "%x|%s|%lx|%llX|%zx|%c|%e", "%hd %s %jd %tu",
                   "%X %s %li %lli %zd %c %g [%m]", "%5d|%-8s|%+ld|%#llx|%.3zu|%c", "%*s|%ld",
                   "%.*s|%lu", "100%% %%%%", "%m"}), d.pick(-100000, 100000),
                   d.pick(0, 7) == 0 ? nullptr : d.text(), d.ConsumeIntegral<long>(),
                   d.ConsumeIntegral<unsigned long long>(), d.ConsumeIntegral<size_t>(),
                   d.pick(0, 255), d.ConsumeIntegral<int>() / 7.0);
    },
    [](Input &d) {  // a dump of input bytes, of one byte many times, or of nothing, with any
                    // length the buffer allows, zero and negative ones too
      const string bytes = d.ConsumeBool() ? d.ConsumeRandomLengthString(3000)
                                           : string(d.pick(0, 20000), char(d.pick(0, 255)));
      const int size = int(bytes.size());
      const int length = d.PickValueInArray(
          {size, d.pick(0, size), -d.pick(1, INT32_MAX), INT32_MIN, 0, size > 0 ? 1 : 0});
      const void *data = size == 0 || d.pick(0, 7) == 0 ? nullptr : bytes.data();
      qtest::dumpTo(*g_state, d.name(), d.level(), data, length, "%d bytes: %s", length, d.text());
    },
    [](Input &d) {  // lines enough to roll
      for (auto [module, n] = pair(d.name(), d.pick(1, 64)); n > 0; --n)
        qtest::logTo(*g_state, module, QOLOG_ERROR, "line %d, padded: %080d", n, 0);
    },
    [](Input &d) { setDateFormat(*g_state, uint32_t(d.pick(-1, 3))); },  // -1: the largest
    [](Input &d) { setCurrentOutput(*g_state, d.level() & ~(g_err ? 0 : QOLOG_OUT_STDERR)); },
    [](Input &d) { setCurrentFile(*g_state, d.path()); },
    [](Input &d) { closeNamedModule(*g_state, d.name()); },
    [](Input &d) { d.configure(); },
    [](Input &) { g_state->watch.nextCheck = -1; },  // the period over, the file unchanged
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  for (int i = 1, mask = 0; i < *argc; ++i)
    g_err |= sscanf((*argv)[i], "-close_fd_mask=%d", &mask) == 1 && (mask & 2) != 0;
  string dir = (fs::temp_directory_path() / "qolog-api-fuzz.XXXXXX").string();
  FUZZ_CHECK(mkdtemp(&dir[0]) != nullptr);
  g_dir = fs::canonical(dir), g_home = fs::current_path();
  (g_state = new State())->watch.systemPath = "/proc/self/none";  // never /etc/qotrace.cfg
  atexit([] { fs::remove_all(g_dir); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fs::remove_all(g_dir), fs::create_directories(g_dir / "sub"), fs::current_path(g_dir);
  const long fds = distance(fs::directory_iterator("/proc/self/fd"), {});
  Input d(data, size);
  // The input's configuration, loaded by a message that writes nothing; no current module.
  d.configure(), qtest::logTo(*g_state, nullptr, 0, "%s", ""), setCurrentModuleName(*g_state, "");
  // Slot 0 may count anything: each reload adds to what it counted.
  for (; d.remaining_bytes() > 0; checkStore(g_state->cfg, 1 << 30, false, g_state->szModuleName))
    errno = d.pick(0, 140), kSteps[d.pick(0, int(std::size(kSteps)) - 1)](d);  // errno: for %m
  g_state->files.forgetInherited(g_state->cfg);  // every stream dropped, as in a child after fork
  FUZZ_CHECK(distance(fs::directory_iterator("/proc/self/fd"), {}) == fds);
  return fs::current_path(g_home), 0;
}
