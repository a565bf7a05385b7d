// Benchmarks of libqolog's message path, each set against the bare system
// calls a message ends in.
//
// Every message the library writes ends in write(2) of one line to a file
// opened for appending, so the floor of the whole exercise is that write
// alone, with a line of the same length, from a prepared buffer. The
// scenarios below measure the library against it; the summary printed after
// the run gives each scenario's median time per message, the floor it is
// held against, their ratio, the heap allocations per message and the
// target the message path is meant to meet.
//
//   floor_write            write(2) of a prepared line, file opened O_APPEND
//   baseline_stdio         clock + snprintf prefix + vfprintf + fflush
//   S1_enabled             one thread, a written message (%d and %s)
//   S2_dropped/modules:16  a level the module drops, 16th module of the table
//   S3_threads/threads:2   two threads, one module and one file (aggregate);
//                          4 and 8 threads against floors of as many threads
//   S6_latency/threads:4   four threads as S3: the median and 99th percentile
//                          of one call's time (counters p50_ns, p99_ns),
//                          against floor_latency, write(2) from four threads
//   S4_rolling             as S1, file rolled about every 1000 lines
//   floor_rolling          the floor plus the file operations of each roll
//   S5_bin_1KiB            qologTraceBin of 1 KiB; floor: two writes (line,
//                          dump), and for reference both in one write
//   scale_*                module position, line length, thread count
//
// The binary works in a scratch directory of its own (under $TMPDIR, else
// /tmp; --qolog_dir=DIR picks another parent) holding the configuration and
// every log file, and removes it on exit. Without --benchmark_repetitions it
// runs 9 repetitions (of 0.2 s unless --benchmark_min_time says otherwise),
// randomly interleaved, and shows their aggregates. The summary table comes
// after the console report (--benchmark_out=FILE for JSON as well).
//
// With --qolog_run=SCENARIO --qolog_messages=N it runs no benchmark: it
// prepares the scenario (configuration loaded, file open), then writes N
// messages in a loop and exits. bench/syscalls.sh and bench/profile.sh use
// this to count system calls and instructions per message.
#include <benchmark/benchmark.h>
#include <ctype.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "qolog.h"

namespace {

// ---------------------------------------------------------------------------
// Scratch directory

std::string g_scratch;  // absolute path; empty once removed
std::string g_startDir;

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void removeScratch() {
  if (g_scratch.empty()) return;
  if (!g_startDir.empty() && chdir(g_startDir.c_str()) != 0) {
    // Still inside the scratch directory: removing it works all the same.
  }
  nftw(g_scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  g_scratch.clear();
}

void onSignal(int sig) {
  removeScratch();
  signal(sig, SIG_DFL);
  raise(sig);
}

bool makeScratch(const std::string &parentOption) {
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) != nullptr) g_startDir = cwd;
  std::string parent = parentOption;
  if (parent.empty()) {
    const char *tmp = getenv("TMPDIR");
    parent = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  }
  std::string pattern = parent + "/qolog-bench-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    fprintf(stderr, "qolog_bench: cannot create a directory in %s: %s\n",
            parent.c_str(), strerror(errno));
    return false;
  }
  g_scratch = buf.data();
  atexit(removeScratch);
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);
  signal(SIGHUP, onSignal);
  if (chdir(g_scratch.c_str()) != 0) {
    fprintf(stderr, "qolog_bench: cannot enter %s\n", g_scratch.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Configuration
//
// The library reads qotrace.cfg once, at its first message, so one file
// declares every module any scenario uses. Modules are named by their place
// in the module table (P001 is the first after DEFAULT), which is what a
// lookup by name pays for; the table is full (127 modules) so that the
// module-position scenarios need no reload.

constexpr int kModules = 127;
const char kS1[] = "P001";    // S1, scale_modules/1
const char kS3[] = "P002";    // S3 and thread scaling
const char kS4[] = "P003";    // S4: rolled about every 1000 lines
const char kS5[] = "P004";    // S5: hexadecimal dump
const char kLen[] = "P005";   // line length scaling
const char kMid[] = "P016";   // S2, scale_modules/16
const char kLast[] = "P127";  // scale_modules/127

// Files the scenarios truncate before each run, so that every run appends to
// a small file, as the floor does.
const char *fileOf(const char *module) {
  if (strcmp(module, kS1) == 0) return "s1.log";
  if (strcmp(module, kS3) == 0) return "s3.log";
  if (strcmp(module, kS4) == 0) return "s4.log";
  if (strcmp(module, kS5) == 0) return "s5.log";
  if (strcmp(module, kLen) == 0) return "len.log";
  if (strcmp(module, kMid) == 0) return "m016.log";
  if (strcmp(module, kLast) == 0) return "m127.log";
  return nullptr;
}

bool writeConfig() {
  FILE *f = fopen("qotrace.cfg", "w");
  if (f == nullptr) return false;
  fprintf(f,
          "[DEFAULT]\n"
          "RELOADPERIOD = 10000H ; never looked at again during a run\n"
          "ENABLETRACES = OFF\n");
  for (int i = 1; i <= kModules; ++i) {
    char name[8];
    snprintf(name, sizeof(name), "P%03d", i);
    fprintf(f, "[%s]\n", name);
    const char *file = fileOf(name);
    if (file == nullptr) continue;  // a table entry only, never written to
    fprintf(f, "LOGFILENAME = %s\n", file);
    if (strcmp(name, kS4) == 0) {
      // About 1000 lines of ~100 bytes.
      fprintf(f, "MAXFILESIZE = 100KB\nMAXFILEBACKUPS = 5\n");
    } else {
      fprintf(f, "MAXFILESIZE = 1000MB\nMAXFILEBACKUPS = 0\n");
    }
  }
  return fclose(f) == 0;
}

// ---------------------------------------------------------------------------
// Lines

const char kFormat[] = "request %d handled for %s";  // S1: ~100-byte line
const char kClient[] = "client-42";
const char kPaddedFormat[] = "request %d: %s";  // length scaling
constexpr int kPaddedFixed = 16;                 // "request 123456: "

// Six digits whatever the iteration, so that every line has one length.
inline int requestNumber(uint64_t i) {
  return static_cast<int>(100000 + i % 900000);
}

long cachedPid() {
  static const long pid = static_cast<long>(getpid());
  return pid;
}

// The prefix the library writes ("Nov  4 18:22:48:048|NAME|PID=..|TID=..|
// INFO|"), formatted the plain way: the baseline does this per message, the
// floors once.
size_t stdioPrefix(char *out, size_t size, const char *module) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char stamp[32];
  size_t n = strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &tm);
  snprintf(stamp + n, sizeof(stamp) - n, ":%03d",
           static_cast<int>(ts.tv_nsec / 1000000));
  int len = snprintf(out, size, "%s|%s|PID=%4ld|TID=%4ld|%4s|", stamp, module,
                     cachedPid(), static_cast<long>(pthread_self()), "INFO");
  return len < 0 ? 0 : static_cast<size_t>(len);
}

// A complete line as the library writes it for `module` and the text.
std::string sampleLine(const char *module, const std::string &text) {
  char prefix[512];
  size_t n = stdioPrefix(prefix, sizeof(prefix), module);
  return std::string(prefix, n) + text + "\n";
}

std::string s1Text() {
  char text[128];
  snprintf(text, sizeof(text), kFormat, requestNumber(0), kClient);
  return text;
}

std::string padding(int textLength) {
  int n = textLength - kPaddedFixed;
  return std::string(n > 0 ? static_cast<size_t>(n) : 0, 'x');
}

std::string paddedText(int textLength) {
  char head[32];
  snprintf(head, sizeof(head), "request %d: ", requestNumber(0));
  return head + padding(textLength);
}

// The dump of 1 KiB: 51 full rows and one of 4 bytes, 79 bytes each.
constexpr int kBinBytes = 1024;
unsigned char g_binData[kBinBytes];
std::string g_dumpText;  // what the library appends for g_binData

std::string dumpTextOf(const unsigned char *data, int length) {
  std::string out;
  char cell[8];
  for (int row = 0; row < length; row += 20) {
    int r = std::min(20, length - row);
    snprintf(cell, sizeof(cell), "%04d ", row);
    out += cell;
    for (int i = 0; i < r; ++i) {
      snprintf(cell, sizeof(cell), (i & 1) ? "%02X " : "%02X", data[row + i]);
      out += cell;
    }
    out.append(static_cast<size_t>((20 - r) * 2 + (21 - r) / 2), ' ');
    out += " [";
    for (int i = 0; i < r; ++i) {
      unsigned char c = data[row + i];
      out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    out.append(static_cast<size_t>(20 - r), ' ');
    out += "]\n";
  }
  return out;
}

// ---------------------------------------------------------------------------
// Helpers shared by the benchmarks

void truncateFile(const char *path) {
  if (path != nullptr && truncate(path, 0) != 0 && errno != ENOENT) {
    perror(path);
  }
}

off_t fileSize(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : -1;
}

// Length of the file's last line, line feed included (0 if unknown): the
// library's lines must be as long as the floor's for the ratio to hold.
double lastLineBytes(const char *path) {
  if (path == nullptr) return 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[8192];
  off_t size = lseek(fd, 0, SEEK_END);
  off_t from = size > static_cast<off_t>(sizeof(buf)) ? size - sizeof(buf) : 0;
  ssize_t n = pread(fd, buf, sizeof(buf), from);
  close(fd);
  if (n <= 0 || buf[n - 1] != '\n') return 0;
  ssize_t start = n - 1;
  while (start > 0 && buf[start - 1] != '\n') --start;
  return static_cast<double>(n - start);
}

int openAppend(const char *path) {
  return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Heap allocations of the timed loop, per message, for this thread; the
// counters of all threads are summed and divided by all their iterations.
class AllocCounter {
 public:
  explicit AllocCounter(benchmark::State &state) : state_(state) {
    qbAllocCountStart();
  }
  ~AllocCounter() {
    double allocs = static_cast<double>(qbAllocCountStop());
    if (qbAllocCountAvailable()) {
      state_.counters["allocs_per_msg"] =
          benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    }
    state_.SetItemsProcessed(state_.iterations());
  }
  AllocCounter(const AllocCounter &) = delete;
  AllocCounter &operator=(const AllocCounter &) = delete;

 private:
  benchmark::State &state_;
};

// Runs one message for `module` before timing: opens its file after a
// truncation, and proves the library writes there at all.
bool warmUp(benchmark::State &state, const char *module, bool truncateFirst) {
  const char *file = fileOf(module);
  if (truncateFirst && state.thread_index() == 0) truncateFile(file);
  qologLog(module, QOLOG_INFO, kFormat, requestNumber(0), kClient);
  // Only the thread that truncated can tell: another one's line may have
  // gone before the truncation.
  if (state.thread_index() == 0 && file != nullptr && fileSize(file) <= 0) {
    state.SkipWithError("the library wrote nothing: configuration not read?");
    return false;
  }
  return true;
}

// Latency of one call: every thread of a run times each of its calls
// (CLOCK_MONOTONIC) into an array made before the timed loop; the last thread
// to finish pools all threads' times and sets the counters p50_ns and p99_ns
// (the counters of a run's threads are summed: only that thread sets them).
constexpr benchmark::IterationCount kMaxSamples = 1 << 22;  // per thread
std::mutex g_latencyMutex;
std::vector<uint32_t> g_latencyPool;
int g_latencyThreadsDone = 0;

uint64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double percentile(std::vector<uint32_t> *v, double p) {
  if (v->empty()) return 0;
  auto at = v->begin() + static_cast<long>(p * static_cast<double>(v->size() - 1));
  std::nth_element(v->begin(), at, v->end());
  return *at;
}

template <class Call>
void timeEachCall(benchmark::State &state, Call call) {
  std::vector<uint32_t> samples(
      static_cast<size_t>(std::min(state.max_iterations, kMaxSamples)));
  size_t n = 0;
  uint64_t i = 0;
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      uint64_t start = monotonicNs();
      if (!call(i++)) {
        state.SkipWithError("write failed");
        break;
      }
      uint64_t ns = monotonicNs() - start;
      if (n < samples.size()) samples[n++] = static_cast<uint32_t>(std::min<uint64_t>(ns, UINT32_MAX));
    }
  }
  std::lock_guard<std::mutex> lock(g_latencyMutex);
  g_latencyPool.insert(g_latencyPool.end(), samples.begin(), samples.begin() + n);
  if (++g_latencyThreadsDone < state.threads()) return;
  state.counters["p50_ns"] = percentile(&g_latencyPool, 0.50);
  state.counters["p99_ns"] = percentile(&g_latencyPool, 0.99);
  g_latencyPool.clear();
  g_latencyThreadsDone = 0;
}

// ---------------------------------------------------------------------------
// Floors and baseline

// write(2) of a prepared line of the S1 length (or of a given text length),
// to a file opened O_APPEND. Threads share one descriptor, as they share the
// library's stream.
int g_floorFd = -1;

void BM_floor(benchmark::State &state, int textLength) {
  std::string line = textLength == 0 ? sampleLine(kS1, s1Text())
                                     : sampleLine(kLen, paddedText(textLength));
  if (state.thread_index() == 0) {
    if (ftruncate(g_floorFd, 0) != 0) perror("ftruncate");
  }
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      if (write(g_floorFd, line.data(), line.size()) < 0) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  if (state.thread_index() == 0) {
    state.counters["line_bytes"] = static_cast<double>(line.size());
  }
}

// The floor of S6: each thread writes its own line to the shared descriptor.
void BM_floorLatency(benchmark::State &state) {
  std::string line = sampleLine(kS3, s1Text());
  if (state.thread_index() == 0) {
    if (ftruncate(g_floorFd, 0) != 0) perror("ftruncate");
  }
  timeEachCall(state, [&](uint64_t) {
    return write(g_floorFd, line.data(), line.size()) >= 0;
  });
}

// What a roll can't avoid, added to the floor: every time the file passes
// 100 KiB (as S4's), drop the oldest of 5 backups, shift the others up by
// one, close the file, move it to backup 1 and create a new one. The part of
// S4 above this is the library's own.
void BM_floorRolling(benchmark::State &state) {
  std::string line = sampleLine(kS4, s1Text());
  const char *path = "floor_roll.log";
  int fd = openAppend(path);
  if (fd < 0 || ftruncate(fd, 0) != 0) {
    state.SkipWithError("cannot open the rolling floor's file");
    return;
  }
  off_t position = 0;
  char from[64], to[64];
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      if (position > 100 * 1024) {
        close(fd);
        unlink("floor_roll.log.5");
        for (int k = 4; k >= 1; --k) {
          snprintf(from, sizeof(from), "%s.%d", path, k);
          snprintf(to, sizeof(to), "%s.%d", path, k + 1);
          rename(from, to);
        }
        rename(path, "floor_roll.log.1");
        fd = openAppend(path);
        position = 0;
      }
      if (write(fd, line.data(), line.size()) < 0) {
        state.SkipWithError("write failed");
        break;
      }
      position += static_cast<off_t>(line.size());
    }
  }
  close(fd);
}

// The S5 floor: the message line and the dump text, one write each.
void BM_floorTwoWrites(benchmark::State &state) {
  std::string line = sampleLine(kS5, s1Text());
  if (ftruncate(g_floorFd, 0) != 0) perror("ftruncate");
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      if (write(g_floorFd, line.data(), line.size()) < 0 ||
          write(g_floorFd, g_dumpText.data(), g_dumpText.size()) < 0) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  state.counters["line_bytes"] =
      static_cast<double>(line.size() + g_dumpText.size());
}

// The S5 line and dump in a single write(2): what S5 costs when both go out
// together.
void BM_floorOneWrite(benchmark::State &state) {
  std::string both = sampleLine(kS5, s1Text()) + g_dumpText;
  if (ftruncate(g_floorFd, 0) != 0) perror("ftruncate");
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      if (write(g_floorFd, both.data(), both.size()) < 0) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  state.counters["line_bytes"] = static_cast<double>(both.size());
}

// What a plain stdio logger does per message: clock, calendar, snprintf of
// the prefix, vfprintf of the text, flush.
FILE *g_baselineFile = nullptr;

void stdioLog(const char *module, const char *format, ...) {
  char prefix[512];
  stdioPrefix(prefix, sizeof(prefix), module);
  fputs(prefix, g_baselineFile);
  va_list args;
  va_start(args, format);
  vfprintf(g_baselineFile, format, args);
  va_end(args);
  fputc('\n', g_baselineFile);
  fflush(g_baselineFile);
}

void BM_baseline(benchmark::State &state) {
  if (ftruncate(fileno(g_baselineFile), 0) != 0) perror("ftruncate");
  uint64_t i = 0;
  AllocCounter allocs(state);
  for (auto _ : state) stdioLog(kS1, kFormat, requestNumber(i++), kClient);
}

// ---------------------------------------------------------------------------
// Library scenarios

// S1, S3 and scale_modules: a written message with a %d and a %s.
void BM_enabled(benchmark::State &state, const char *module) {
  if (!warmUp(state, module, true)) return;
  uint64_t i = 0;
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      qologLog(module, QOLOG_INFO, kFormat, requestNumber(i++), kClient);
    }
  }
  if (state.thread_index() == 0) {
    state.counters["line_bytes"] = lastLineBytes(fileOf(module));
  }
}

// S2: the same call at DEBUG, which every module drops (mask 59).
void BM_dropped(benchmark::State &state, const char *module) {
  if (!warmUp(state, module, true)) return;
  const char *file = fileOf(module);
  off_t before = fileSize(file);
  uint64_t i = 0;
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      qologLog(module, QOLOG_DEBUG, kFormat, requestNumber(i++), kClient);
    }
  }
  if (fileSize(file) != before) state.SkipWithError("a dropped level was written");
}

// S6: as S3, each call timed.
void BM_latency(benchmark::State &state) {
  // No return on failure: a skipped state runs no iteration, and every
  // thread must reach the pool.
  warmUp(state, kS3, true);
  timeEachCall(state, [](uint64_t i) {
    qologLog(kS3, QOLOG_INFO, kFormat, requestNumber(i), kClient);
    return true;
  });
}

// Messages that alternate between two modules (the 16th and the 127th of
// the table), so that no lookup can reuse the one before.
void BM_alternating(benchmark::State &state, uint32_t level) {
  if (!warmUp(state, kMid, true) || !warmUp(state, kLast, true)) return;
  const char *modules[2] = {kMid, kLast};
  uint64_t i = 0;
  AllocCounter allocs(state);
  for (auto _ : state) {
    qologLog(modules[i & 1], level, kFormat, requestNumber(i), kClient);
    ++i;
  }
}

// S4: as S1, into a file rolled about every 1000 lines with 5 backups. Not
// truncated: the rolls are the point.
void BM_rolling(benchmark::State &state) {
  if (!warmUp(state, kS4, false)) return;
  uint64_t i = 0;
  AllocCounter allocs(state);
  for (auto _ : state) {
    qologLog(kS4, QOLOG_INFO, kFormat, requestNumber(i++), kClient);
  }
}

// S5: a message and a dump of 1 KiB, for the current module.
void BM_bin(benchmark::State &state) {
  if (!warmUp(state, kS5, true)) return;
  qologSetModuleName(kS5);
  uint64_t i = 0;
  AllocCounter allocs(state);
  for (auto _ : state) {
    qologTraceBin(QOLOG_INFO, g_binData, kBinBytes, kFormat,
                  requestNumber(i++), kClient);
  }
}

// A large dump against the plain way of producing the same rows: one
// snprintf per row into a buffer, then one write. The bytes cycle through
// all 256 values.
constexpr int kLargeDump = 65520;  // 3276 full rows
unsigned char g_largeData[kLargeDump];

void BM_dumpLarge(benchmark::State &state) {
  for (int i = 0; i < kLargeDump; ++i) g_largeData[i] = static_cast<unsigned char>(i * 7);
  if (!warmUp(state, kS5, true)) return;
  AllocCounter allocs(state);
  for (auto _ : state) {
    qologLogBin(kS5, QOLOG_INFO, g_largeData, kLargeDump, "dump");
  }
}

void BM_dumpSnprintfRows(benchmark::State &state) {
  for (int i = 0; i < kLargeDump; ++i) g_largeData[i] = static_cast<unsigned char>(i * 7);
  if (ftruncate(g_floorFd, 0) != 0) perror("ftruncate");
  std::vector<char> out(kLargeDump / 20 * 80 + 64);
  for (auto _ : state) {
    size_t used = 0;
    for (int i = 0; i < kLargeDump; i += 20) {
      const unsigned char *b = g_largeData + i;
      char shown[21];
      for (int k = 0; k < 20; ++k) shown[k] = isprint(b[k]) ? static_cast<char>(b[k]) : '.';
      shown[20] = '\0';
      int n = snprintf(out.data() + used, out.size() - used,
                       "%04d %02X%02X %02X%02X %02X%02X %02X%02X %02X%02X %02X%02X "
                       "%02X%02X %02X%02X %02X%02X %02X%02X  [%s]\n",
                       i, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
                       b[10], b[11], b[12], b[13], b[14], b[15], b[16], b[17], b[18],
                       b[19], shown);
      if (n > 0) used += static_cast<size_t>(n);
    }
    if (write(g_floorFd, out.data(), used) < 0) {
      state.SkipWithError("write failed");
      break;
    }
  }
}

// Line length: a text of the given length after the prefix.
void BM_length(benchmark::State &state, int textLength) {
  if (!warmUp(state, kLen, true)) return;
  std::string pad = padding(textLength);
  uint64_t i = 0;
  {
    AllocCounter allocs(state);
    for (auto _ : state) {
      qologLog(kLen, QOLOG_INFO, kPaddedFormat, requestNumber(i++), pad.c_str());
    }
  }
  state.counters["line_bytes"] = lastLineBytes(fileOf(kLen));
}

// ---------------------------------------------------------------------------
// Pieces: what the steps of a message cost on this machine, alone.

pthread_mutex_t g_partsMutex = PTHREAD_MUTEX_INITIALIZER;

void BM_partMutex(benchmark::State &state) {
  for (auto _ : state) {
    pthread_mutex_lock(&g_partsMutex);
    pthread_mutex_unlock(&g_partsMutex);
  }
}

void BM_partCancelState(benchmark::State &state) {
  int old = 0;
  for (auto _ : state) {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    pthread_setcancelstate(old, nullptr);
  }
}

void BM_partTime(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(time(nullptr));
}

void BM_partClock(benchmark::State &state, clockid_t id) {
  struct timespec ts;
  for (auto _ : state) {
    clock_gettime(id, &ts);
    benchmark::DoNotOptimize(ts);
  }
}

int formatInto(char *out, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(out, size, format, args);
  va_end(args);
  return n;
}

void BM_partText(benchmark::State &state) {
  char out[256];
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatInto(out, sizeof(out), kFormat,
                                        requestNumber(i++), kClient));
  }
}

void BM_partPrefix(benchmark::State &state) {
  char out[256];
  long tid = static_cast<long>(pthread_self());
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatInto(out, sizeof(out),
                                        "%s|%s|PID=%4ld|TID=%4ld|%4s|",
                                        "Nov  4 18:22:48:048", kS1, cachedPid(),
                                        tid, "INFO"));
  }
}

void registerBenchmarks() {
  using benchmark::RegisterBenchmark;
  auto common = [](benchmark::internal::Benchmark *b) {
    return b->UseRealTime()->Unit(benchmark::kNanosecond);
  };
  common(RegisterBenchmark("floor_write", BM_floor, 0))
      ->Threads(1)->Threads(2)->Threads(4)->Threads(8);
  common(RegisterBenchmark("baseline_stdio", BM_baseline));
  common(RegisterBenchmark("S1_enabled", BM_enabled, kS1));
  common(RegisterBenchmark("S2_dropped/modules:16", BM_dropped, kMid));
  common(RegisterBenchmark("S3_threads", BM_enabled, kS3))
      ->Threads(1)->Threads(2)->Threads(4)->Threads(8);
  common(RegisterBenchmark("S6_latency", BM_latency))->Threads(4);
  common(RegisterBenchmark("floor_latency", BM_floorLatency))->Threads(4);
  common(RegisterBenchmark("S4_rolling", BM_rolling));
  common(RegisterBenchmark("floor_rolling", BM_floorRolling));
  common(RegisterBenchmark("S5_bin_1KiB", BM_bin));
  common(RegisterBenchmark("dump_64KiB", BM_dumpLarge));
  common(RegisterBenchmark("dump_64KiB_snprintf_rows", BM_dumpSnprintfRows));
  common(RegisterBenchmark("floor_two_writes", BM_floorTwoWrites));
  common(RegisterBenchmark("floor_bin_one_write", BM_floorOneWrite));
  common(RegisterBenchmark("scale_modules/1", BM_enabled, kS1));
  common(RegisterBenchmark("scale_modules/16", BM_enabled, kMid));
  common(RegisterBenchmark("scale_modules/127", BM_enabled, kLast));
  common(RegisterBenchmark("scale_dropped/modules:1", BM_dropped, kS1));
  common(RegisterBenchmark("scale_dropped/modules:127", BM_dropped, kLast));
  common(RegisterBenchmark("scale_modules/alternating:16+127", BM_alternating,
                           QOLOG_INFO));
  common(RegisterBenchmark("scale_dropped/alternating:16+127", BM_alternating,
                           QOLOG_DEBUG));
  for (int len : {50, 500, 5000}) {
    std::string suffix = "/text:" + std::to_string(len);
    common(RegisterBenchmark(("scale_length" + suffix).c_str(), BM_length, len));
    common(RegisterBenchmark(("floor_length" + suffix).c_str(), BM_floor, len));
  }
  common(RegisterBenchmark("piece/mutex_lock_unlock", BM_partMutex));
  common(RegisterBenchmark("piece/setcancelstate_x2", BM_partCancelState));
  common(RegisterBenchmark("piece/time", BM_partTime));
  common(RegisterBenchmark("piece/clock_gettime_realtime", BM_partClock,
                           CLOCK_REALTIME));
  common(RegisterBenchmark("piece/clock_gettime_coarse", BM_partClock,
                           CLOCK_REALTIME_COARSE));
  common(RegisterBenchmark("piece/vsnprintf_text", BM_partText));
  common(RegisterBenchmark("piece/snprintf_prefix", BM_partPrefix));
}

const char *const kPieces[] = {
    "piece/mutex_lock_unlock",       "piece/setcancelstate_x2",
    "piece/time",                    "piece/clock_gettime_realtime",
    "piece/clock_gettime_coarse",    "piece/vsnprintf_text",
    "piece/snprintf_prefix",
};

// ---------------------------------------------------------------------------
// Summary

struct Result {
  double ns = 0;      // median real time per message
  double allocs = -1;  // median heap allocations per message; -1 unknown
};

// Shows the runs as the console reporter does and keeps, per benchmark, the
// median over its repetitions (the "median" aggregate when there is one).
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      std::string name = cleanName(run.run_name.str());
      keep(run, name, Result{run.GetAdjustedRealTime(), counter(run, "allocs_per_msg")});
      // Latencies are kept as results of their own: "NAME p50", "NAME p99".
      for (const char *p : {"p50", "p99"}) {
        double ns = counter(run, (std::string(p) + "_ns").c_str());
        if (ns >= 0) keep(run, name + " " + p, Result{ns, -1});
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median of the benchmark's runs; false when it did not run.
  bool get(const std::string &name, Result *out) const {
    auto m = medians_.find(name);
    if (m != medians_.end()) {
      *out = m->second;
      return true;
    }
    auto s = samples_.find(name);
    if (s == samples_.end() || s->second.empty()) return false;
    std::vector<double> ns, allocs;
    for (const Result &r : s->second) {
      ns.push_back(r.ns);
      allocs.push_back(r.allocs);
    }
    out->ns = median(ns);
    out->allocs = median(allocs);
    return true;
  }

 private:
  void keep(const Run &run, const std::string &name, Result result) {
    if (run.run_type != Run::RT_Aggregate) {
      samples_[name].push_back(result);
    } else if (run.aggregate_name == "median") {
      medians_[name] = result;
    }
  }
  static double counter(const Run &run, const char *name) {
    auto it = run.counters.find(name);
    return it == run.counters.end() ? -1 : it->second.value;
  }
  static std::string cleanName(std::string name) {
    const std::string realTime = "/real_time";
    size_t at = name.find(realTime);
    if (at != std::string::npos) name.erase(at, realTime.size());
    return name;
  }
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, Result> medians_;
  std::map<std::string, std::vector<Result>> samples_;
};

struct Row {
  const char *name;
  const char *floor;  // null: an absolute target in ns
  double maxRatio;    // 0: no ratio target
  double maxNs;       // 0: no time target
};

const Row kRows[] = {
    {"baseline_stdio", "floor_write/threads:1", 0, 0},
    {"S1_enabled", "floor_write/threads:1", 1.10, 0},
    {"S2_dropped/modules:16", nullptr, 0, 10},
    {"S3_threads/threads:2", "floor_write/threads:1", 0, 0},
    {"S3_threads/threads:2", "floor_write/threads:2", 1.0, 0},
    {"S4_rolling", "floor_write/threads:1", 1.20, 0},
    {"S4_rolling", "floor_rolling", 0, 0},
    {"S5_bin_1KiB", "floor_two_writes", 1.2, 0},
    {"S5_bin_1KiB", "floor_bin_one_write", 0, 0},
    {"dump_64KiB", "dump_64KiB_snprintf_rows", 1.0, 0},
    {"scale_modules/1", "floor_write/threads:1", 0, 0},
    {"scale_modules/16", "floor_write/threads:1", 0, 0},
    {"scale_modules/127", "floor_write/threads:1", 0, 0},
    {"scale_modules/alternating:16+127", "floor_write/threads:1", 0, 0},
    {"scale_dropped/modules:1", nullptr, 0, 0},
    {"scale_dropped/modules:127", nullptr, 0, 0},
    {"scale_dropped/alternating:16+127", nullptr, 0, 0},
    {"scale_length/text:50", "floor_length/text:50", 0, 0},
    {"scale_length/text:500", "floor_length/text:500", 0, 0},
    {"scale_length/text:5000", "floor_length/text:5000", 0, 0},
    {"S3_threads/threads:1", "floor_write/threads:1", 0, 0},
    {"S3_threads/threads:4", "floor_write/threads:1", 0, 0},
    {"S3_threads/threads:4", "floor_write/threads:4", 1.0, 0},
    {"S3_threads/threads:8", "floor_write/threads:8", 1.0, 0},
    {"S6_latency/threads:4 p50", "floor_latency/threads:4 p50", 0, 0},
    {"S6_latency/threads:4 p99", "floor_latency/threads:4 p99", 0, 0},
};

std::string filesystemOf(const std::string &dir) {
  struct statfs fs;
  if (statfs(dir.c_str(), &fs) != 0) return "?";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53: return "ext4";
    case 0x01021994: return "tmpfs";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlayfs";
    default: {
      char hex[32];
      snprintf(hex, sizeof(hex), "fs 0x%lx", static_cast<unsigned long>(fs.f_type));
      return hex;
    }
  }
}

void printSummary(const CollectingReporter &results) {
  time_t now = time(nullptr);
  char date[64];
  strftime(date, sizeof(date), "%Y-%m-%d %H:%M %Z", localtime(&now));
  struct utsname un;
  uname(&un);
  printf("\nSummary: median real time per message; %s, %s %s, %u CPUs, "
         "log files on %s\n",
         date, un.sysname, un.release, std::thread::hardware_concurrency(),
         filesystemOf(g_scratch).c_str());
  printf("%-33s %10s  %-27s %10s %7s %8s  %s\n", "scenario", "ns/msg", "floor",
         "floor ns", "ratio", "allocs", "target");
  // Allocations per message, or "-" where they were not counted.
  auto allocText = [](double allocs) {
    char text[16] = "-";
    if (allocs >= 0) snprintf(text, sizeof(text), "%.3f", allocs);
    return std::string(text);
  };
  Result floor1;
  if (results.get("floor_write/threads:1", &floor1)) {
    printf("%-33s %10.1f  %-27s %10s %7s %8s\n", "floor_write", floor1.ns, "",
           "", "", allocText(floor1.allocs).c_str());
  }
  for (const Row &row : kRows) {
    Result r, f;
    if (!results.get(row.name, &r)) continue;
    char target[32] = "";
    bool met = true;
    if (row.maxRatio > 0) snprintf(target, sizeof(target), "<= %.2fx", row.maxRatio);
    if (row.maxNs > 0) {
      snprintf(target, sizeof(target), "<= %.0f ns", row.maxNs);
      met = r.ns <= row.maxNs;
    }
    std::string allocs = allocText(r.allocs);
    if (row.floor != nullptr && results.get(row.floor, &f) && f.ns > 0) {
      double ratio = r.ns / f.ns;
      if (row.maxRatio > 0) met = ratio <= row.maxRatio;
      printf("%-33s %10.1f  %-27s %10.1f %6.2fx %8s", row.name, r.ns, row.floor,
             f.ns, ratio, allocs.c_str());
    } else {
      printf("%-33s %10.1f  %-27s %10s %7s %8s", row.name, r.ns, "", "", "",
             allocs.c_str());
    }
    if (target[0] != '\0') printf("  %-10s %s", target, met ? "met" : "MISSED");
    if (r.allocs > 0.0005) printf("  (allocations)");
    printf("\n");
  }
  bool header = false;
  for (const char *piece : kPieces) {
    Result r;
    if (!results.get(piece, &r)) continue;
    if (!header) printf("Pieces of a message, alone:");
    header = true;
    printf(" %s %.1f ns;", piece + 6, r.ns);
  }
  if (header) printf("\n");
  printf("Targets: one write(2) and no allocation per message; ratios against "
         "single-thread floors are aggregate times.\n"
         "Rows p50 and p99: the time of one call under four threads, not per "
         "message.\n");
}

// ---------------------------------------------------------------------------
// Driver mode, for strace and callgrind

// The loop alone, kept out of line so that a profiler can be told to count
// only inside it (callgrind --toggle-collect=qbRunMessages).
extern "C" __attribute__((noinline)) void qbRunMessages(const std::string &scenario,
                                                        uint64_t n) {
  if (scenario == "floor") {
    std::string line = sampleLine(kS1, s1Text());
    for (uint64_t i = 0; i < n; ++i) {
      if (write(g_floorFd, line.data(), line.size()) < 0) break;
    }
  } else if (scenario == "baseline") {
    for (uint64_t i = 0; i < n; ++i) {
      stdioLog(kS1, kFormat, requestNumber(i), kClient);
    }
  } else if (scenario == "S1" || scenario == "S4" || scenario == "S3") {
    const char *module = scenario == "S1" ? kS1 : scenario == "S4" ? kS4 : kS3;
    for (uint64_t i = 0; i < n; ++i) {
      qologLog(module, QOLOG_INFO, kFormat, requestNumber(i), kClient);
    }
  } else if (scenario == "S2" || scenario == "S2_127") {
    const char *module = scenario == "S2" ? kMid : kLast;
    for (uint64_t i = 0; i < n; ++i) {
      qologLog(module, QOLOG_DEBUG, kFormat, requestNumber(i), kClient);
    }
  } else if (scenario == "S5") {
    for (uint64_t i = 0; i < n; ++i) {
      qologTraceBin(QOLOG_INFO, g_binData, kBinBytes, kFormat, requestNumber(i),
                    kClient);
    }
  } else if (scenario == "L5000") {
    std::string pad = padding(5000);
    for (uint64_t i = 0; i < n; ++i) {
      qologLog(kLen, QOLOG_INFO, kPaddedFormat, requestNumber(i), pad.c_str());
    }
  } else if (scenario == "M127") {
    for (uint64_t i = 0; i < n; ++i) {
      qologLog(kLast, QOLOG_INFO, kFormat, requestNumber(i), kClient);
    }
  }
}

int runDriver(const std::string &scenario, uint64_t n) {
  static const char *const known[] = {"floor", "baseline", "S1", "S2", "S2_127",
                                      "S3", "S4", "S5", "M127", "L5000"};
  if (std::find_if(std::begin(known), std::end(known), [&](const char *k) {
        return scenario == k;
      }) == std::end(known)) {
    fprintf(stderr, "qolog_bench: unknown scenario %s (floor baseline S1 S2 "
                    "S2_127 S3 S4 S5 M127 L5000)\n", scenario.c_str());
    return 2;
  }
  // Setup, identical whatever n is: configuration read, files open, the
  // process id cached, the first lines (banners) written.
  for (const char *m : {kS1, kS3, kS4, kS5, kLen, kMid, kLast}) {
    qologLog(m, QOLOG_INFO, kFormat, requestNumber(0), kClient);
  }
  qologSetModuleName(kS5);
  qologTraceBin(QOLOG_INFO, g_binData, kBinBytes, kFormat, 0, kClient);
  stdioLog(kS1, kFormat, requestNumber(0), kClient);
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  if (scenario == "S3") {
    // Two threads sharing the messages.
    std::thread other([&] { qbRunMessages(scenario, n / 2); });
    qbRunMessages(scenario, n - n / 2);
    other.join();
  } else {
    qbRunMessages(scenario, n);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double ns = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
  // Printed whatever n is, so that runs of different lengths make the same
  // calls outside the loop.
  fprintf(stderr, "%s: %llu messages, %.1f ns per message\n", scenario.c_str(),
          static_cast<unsigned long long>(n),
          n > 0 ? ns / static_cast<double>(n) : 0.0);
  return 0;
}

// Takes --name=value out of argv; returns whether it was there.
bool takeOption(int *argc, char **argv, const char *name, std::string *value) {
  size_t len = strlen(name);
  for (int i = 1; i < *argc; ++i) {
    if (strncmp(argv[i], name, len) == 0 && argv[i][len] == '=') {
      *value = argv[i] + len + 1;
      for (int j = i; j < *argc - 1; ++j) argv[j] = argv[j + 1];
      --*argc;
      return true;
    }
  }
  return false;
}

bool hasOption(int argc, char **argv, const char *name) {
  size_t len = strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], name, len) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir, scenario, messages;
  takeOption(&argc, argv, "--qolog_dir", &dir);
  bool driver = takeOption(&argc, argv, "--qolog_run", &scenario);
  takeOption(&argc, argv, "--qolog_messages", &messages);

  // Repetitions by default, so that the summary has medians to compare: 9
  // short ones, interleaved, hold up better against a busy machine than a
  // few long ones.
  std::vector<char *> args(argv, argv + argc);
  static char reps[] = "--benchmark_repetitions=9";
  static char minTime[] = "--benchmark_min_time=0.2";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  if (!hasOption(argc, argv, "--benchmark_repetitions")) {
    args.push_back(reps);
    if (!hasOption(argc, argv, "--benchmark_min_time")) args.push_back(minTime);
    if (!hasOption(argc, argv, "--benchmark_enable_random_interleaving")) {
      args.push_back(interleave);
    }
    if (!hasOption(argc, argv, "--benchmark_display_aggregates_only") &&
        !hasOption(argc, argv, "--benchmark_report_aggregates_only")) {
      args.push_back(aggregates);
    }
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  for (int i = 0; i < kBinBytes; ++i) {
    g_binData[i] = static_cast<unsigned char>(i * 7 + 3);
  }
  g_dumpText = dumpTextOf(g_binData, kBinBytes);

  if (!makeScratch(dir) || !writeConfig()) return 1;
  g_floorFd = openAppend("floor.log");
  g_baselineFile = fopen("baseline.log", "a");
  if (g_floorFd < 0 || g_baselineFile == nullptr) {
    perror("qolog_bench: floor files");
    return 1;
  }

  if (driver) {
    return runDriver(scenario, messages.empty() ? 100000
                                                : strtoull(messages.c_str(), nullptr, 10));
  }

  registerBenchmarks();
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
