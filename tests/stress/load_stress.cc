// P processes of T threads write K messages each, a fifth with a hex dump,
// to six modules sharing three files that roll every few KB. Then every file
// and backup is read (backups oldest first) and must show: whole, well-formed
// lines and banners; each dump's rows right after its line (at the top of the
// next file when the line rolled it); every message exactly once, each
// writer's in its order; one process in all configured files, every other
// one only in its own PID-name files; rolls by size, at least R per file.
//
// Every process first sends one message per module, one.log first, and the
// threads start when all have: the first to lock one.log keeps the configured
// files, so each file has one writer to check the order of (roll_race.cc
// covers a process that opens a file for the first time during a roll).
//
// qolog_stress_load [-p procs] [-t threads] [-k messages] [-s size_kb]
//                   [-r min_rolls] [-a alarm_s] [-K: keep the files]
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <set>
#include <thread>

#include "qolog.h"
#include "stress_util.h"

namespace {

using namespace stress;

struct Options {
  long procs = 4, threads = 4, messages = 20000, sizeKb = 64, minRolls = 20, alarmSeconds = 600;
  bool keep = false;
};

constexpr int kModules = 6, kFiles = 3;
const char *const kModuleName[kModules] = {"ALPHA", "DEFAULT", "BRAVO", "CHARLIE", "DELTA", "ECHO"};
constexpr int kModuleFile[kModules] = {0, 0, 1, 1, 2, 2};
const char *const kFileName[kFiles] = {"one.log", "two.log", "three.log"};
const char kFormat[] = "#p%d w%d s%ld |%.*s";
const char kFill[] = "abcdefghijklmnopqrstuvwxyz0123456789|ABCDEFGHIJKLMNOPQRSTUVWXYZ;%";

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Message s of writer w in process p. Writer `threads` is the main thread's
// warm-up: one message per module, in table order.
struct Message {
  int module, dump, fill;
  uint32_t level;
  uint64_t seed;
};
Message plan(const Options &o, int p, int w, long s) {
  static const uint32_t kLevels[] = {QOLOG_ERROR,   QOLOG_INFO,    QOLOG_DEBUG,
                                     QOLOG_FUNCBEG, QOLOG_FUNCEND, QOLOG_ERROR | QOLOG_INFO,
                                     QOLOG_PROCINFO};
  uint64_t h = mix(uint64_t(p) << 48 ^ uint64_t(w) << 32 ^ uint64_t(s));
  int module = w == o.threads ? int(s) : int(h % kModules);
  int dump = (h >> 16) % 5 == 0 ? 1 + int((h >> 24) % 70) : 0;
  return {module, dump, int((h >> 32) % 60), kLevels[(h >> 8) % 7], h};
}
long messagesOf(const Options &o, int w) { return w == o.threads ? kModules : o.messages; }

std::vector<uint8_t> dumpBytes(const Message &m) {
  std::vector<uint8_t> b(m.dump);
  for (int i = 0; i < m.dump; ++i) b[i] = uint8_t(mix(m.seed + i + 1));
  return b;
}

std::string text(int p, int w, long s, const Message &m) {
  char buf[160];
  snprintf(buf, sizeof(buf), kFormat, p, w, s, m.fill, kFill);
  return buf;
}

bool writesTo(const std::string &module, int file) {
  for (int m = 0; m < kModules; ++m) {
    if (module == kModuleName[m] && kModuleFile[m] == file) return true;
  }
  return false;
}

const char *tag(uint32_t level) {
  return level & 1 ? " ERR" : level & 2 ? "INFO" : level & 4 ? " DBG" : level & 8 ? "FBEG" : "FEND";
}

// The rows a dump of `b` must show, in the C locale.
std::vector<std::string> dumpRows(const std::vector<uint8_t> &b) {
  std::vector<std::string> out;
  for (size_t off = 0; off < b.size(); off += 20) {
    size_t r = std::min<size_t>(20, b.size() - off);
    char hex[64];
    int n = snprintf(hex, sizeof(hex), "%04zu ", off);
    for (size_t i = 0; i < r; ++i)
      n += snprintf(hex + n, sizeof(hex) - n, i % 2 ? "%02X " : "%02X", b[off + i]);
    std::string row(hex);
    row.resize(55, ' ');
    row += " [";
    for (size_t i = 0; i < 20; ++i) {
      uint8_t c = i < r ? b[off + i] : ' ';
      row += c >= 0x20 && c < 0x7F ? char(c) : '.';
    }
    out.push_back(row + "]");
  }
  return out;
}

void send(const Options &o, int p, int w, long s) {
  Message m = plan(o, p, w, s);
  const char *module = kModuleName[m.module];
  if (m.dump == 0) return qologLog(module, m.level, kFormat, p, w, s, m.fill, kFill);
  std::vector<uint8_t> b = dumpBytes(m);
  qologLogBin(module, m.level, b.data(), m.dump, kFormat, p, w, s, m.fill, kFill);
}

[[noreturn]] void runProcess(const Options &o, int p, int ready, int go) {
  alarm(o.alarmSeconds);
  for (long s = 0; s < kModules; ++s) send(o, p, o.threads, s);
  char c = 0;
  if (write(ready, &c, 1) != 1) _exit(3);
  close(ready);  // the last one closed (or a process dead) ends the wait
  if (read(go, &c, 1) != 0) _exit(3);
  std::vector<std::thread> threads;
  for (int w = 0; w < o.threads; ++w) {
    threads.emplace_back([&o, p, w] {
      for (long s = 0; s < o.messages; ++s) send(o, p, w, s);
    });
  }
  for (std::thread &t : threads) t.join();
  exit(0);
}

struct Check {
  const Options &o;
  std::vector<pid_t> pids;
  Problems bad;
  std::vector<std::vector<char>> seen;  // per writer, per message
  std::vector<std::string> tids;        // per writer
  long streams = 0, files = 0, lines = 0, rows = 0;
  int minRolls = INT_MAX, maxRolls = 0;

  int writer(int p, int w) const { return p * (o.threads + 1) + w; }

  // A file (index `file` in kFileName) under `base`, with its `top` backups,
  // written only by process `owner` (-1: by whichever writes first).
  void stream(const std::string &base, int file, long top, int &owner) {
    const long limit = o.sizeKb * 1024L;
    if (top < 0) bad.add("%s: missing", base.c_str());
    ++streams;
    files += top + 1;
    std::vector<long> last(seen.size(), -1);
    std::vector<std::string> due;  // dump rows still expected
    size_t next = 0;
    for (long n = top; n >= 0; --n) {
      const std::string name = n ? base + "." + std::to_string(n) : base;
      const std::string all = readFile(name);
      const char *what = name.c_str();
      if (all.empty() || all.back() != '\n') bad.add("%s: empty or ends inside a line", what);
      const std::vector<std::string_view> ls = splitLines(all);
      bool banner = false;
      long messages = 0;
      size_t unit = 0;  // bytes of the last line and its rows
      for (size_t i = 0; i < ls.size(); ++i) {
        std::string_view line = ls[i], f[6];
        auto fail = [&](const char *why) {
          bad.add("%s:%zu: %s: '%.*s'", what, i + 1, why, int(line.size()), line.data());
        };
        if (next < due.size()) {
          if (line != due[next]) fail("not the dump row due");
          ++next, ++rows;
          unit += line.size() + 1;
          continue;
        }
        std::string module;
        if (line == separator()) {
          if (banner || messages > 0 || i + 2 >= ls.size() || !bannerName(ls[i + 1], &module) ||
              ls[i + 2] != separator() || !writesTo(module, file)) {
            fail("banner misplaced or malformed");
          }
          banner = true;
          i += 2;
          continue;
        }
        const bool plain = !line.empty() && line[0] == '#';  // PROCINFO: the text alone
        int p = -1, w = -1;
        long s = -1;
        if (!banner || (!plain && !splitLine(line, f)) ||
            sscanf(std::string(plain ? line : f[5]).c_str(), "#p%d w%d s%ld ", &p, &w, &s) != 3 ||
            p < 0 || p >= o.procs || w < 0 || w > o.threads || s < 0 || s >= messagesOf(o, w)) {
          fail("malformed, unknown or before the banner");
          continue;
        }
        const Message m = plan(o, p, w, s);
        const int id = writer(p, w);
        char pidText[32];
        snprintf(pidText, sizeof(pidText), "PID=%4ld", long(pids[p]));
        if (!plain && tids[id].empty()) tids[id] = std::string(f[3]);
        if (owner < 0) owner = p;
        if ((plain ? line : f[5]) != text(p, w, s, m) || !writesTo(kModuleName[m.module], file) ||
            plain != (m.level == QOLOG_PROCINFO) ||
            (!plain &&
             (f[1] != kModuleName[m.module] || f[2] != pidText || f[3].compare(0, 4, "TID=") != 0 ||
              f[3] != tids[id] || f[4] != tag(m.level)))) {
          fail("garbled, or in the wrong file");
        }
        if (p != owner) fail("a second process in this file");
        if (seen[id][s]++) fail("duplicate");
        if (s <= last[id]) fail("out of its writer's order");
        last[id] = s;
        unit = line.size() + 1;
        ++messages, ++lines;
        if (m.dump > 0) due = dumpRows(dumpBytes(m)), next = 0;
      }
      // Rolled when over the limit before a write, and only then.
      long size = long(all.size());
      if ((n > 0 && (size <= limit || !banner)) || (messages > 0 && size - long(unit) > limit)) {
        bad.add("%s: %ld bytes against a limit of %ld", what, size, limit);
      }
    }
    if (next < due.size()) bad.add("%s: its last dump is cut short", base.c_str());
    minRolls = std::min(minRolls, int(top));
    maxRolls = std::max(maxRolls, int(top));
  }

  void run() {
    seen.resize(o.procs * (o.threads + 1));
    tids.resize(seen.size());
    for (int p = 0; p < o.procs; ++p) {
      for (int w = 0; w <= o.threads; ++w) seen[writer(p, w)].assign(messagesOf(o, w), 0);
    }
    std::map<std::string, std::set<long>> found;  // base name -> backup numbers
    for (const std::string &name : listDir(".")) {
      if (name != "qotrace.cfg") found[splitBackup(name).first].insert(splitBackup(name).second);
    }
    int winner = -1;
    std::set<std::string> want;
    for (int f = 0; f < kFiles; ++f) {
      want.insert(kFileName[f]);
      stream(kFileName[f], f, long(found[kFileName[f]].size()) - 1, winner);
    }
    for (int p = 0; p < o.procs; ++p) {
      for (int f = 0; f < kFiles && p != winner; ++f) {
        const std::string base = std::to_string(pids[p]) + "-" + kFileName[f];
        want.insert(base);
        int owner = p;
        stream(base, f, long(found[base].size()) - 1, owner);
      }
    }
    for (const auto &file : found) {
      long n = 0;
      for (long k : file.second) {
        if (k != n++) bad.add("%s: backup %ld missing", file.first.c_str(), n - 1);
      }
      if (!want.count(file.first))
        bad.add("%s: a file no process should write", file.first.c_str());
    }
    for (size_t id = 0; id < seen.size(); ++id) {
      for (size_t s = 0; s < seen[id].size(); ++s) {
        if (!seen[id][s])
          bad.add("lost: p%zu w%zu s%zu", id / (o.threads + 1), id % (o.threads + 1), s);
      }
    }
    if (minRolls < o.minRolls)
      bad.add("a file rolled only %d times, want %ld", minRolls, o.minRolls);
  }
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parseOptions(argc, argv,
                    {{'p', &o.procs},
                     {'t', &o.threads},
                     {'k', &o.messages},
                     {'s', &o.sizeKb},
                     {'r', &o.minRolls},
                     {'a', &o.alarmSeconds}},
                    &o.keep)) {
    fprintf(stderr,
            "usage: %s [-p procs] [-t threads] [-k messages] [-s size_kb] "
            "[-r min_rolls] [-a alarm_s] [-K]\n",
            argv[0]);
    return 2;
  }
  alarm(o.alarmSeconds);  // a hang fails the run
  const std::string dir = makeScratchDir();
  if (chdir(dir.c_str()) != 0) return 2;
  std::string cfg =
      "[DEFAULT]\nLOGFILENAME = one.log\nDebugLevel = ALL\nMAXFILEBACKUPS = 1000000\n"
      "MAXFILESIZE = " +
      std::to_string(o.sizeKb) + "KB\n";
  for (int m = 0; m < kModules; ++m) {
    if (strcmp(kModuleName[m], "DEFAULT") != 0) {
      cfg += "[" + std::string(kModuleName[m]) + "]\nLOGFILENAME = " + kFileName[kModuleFile[m]] +
             "\n";
    }
  }
  writeFile("qotrace.cfg", cfg);

  Check check{o, {}, {}, {}, {}};
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) return 2;
  for (int p = 0; p < o.procs; ++p) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      runProcess(o, p, ready[1], go[0]);
    }
    check.pids.push_back(pid);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  for (int p = 0; p < o.procs; ++p) {
    if (read(ready[0], &c, 1) != 1) break;  // a process died: its status tells
  }
  close(go[1]);  // all start their threads
  for (int p = 0; p < o.procs; ++p) {
    int status = 0;
    if (waitpid(check.pids[p], &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      check.bad.add("process %d (pid %d) ended with status %#x", p, int(check.pids[p]), status);
    }
  }
  if (check.bad.count == 0) check.run();
  printf(
      "stress load: P=%ld T=%ld K=%ld size=%ldKB files=%ld (%ld with backups) rolls/file=%d..%d "
      "lines=%ld dump-rows=%ld result=%s\n",
      o.procs, o.threads, o.messages, o.sizeKb, check.streams, check.files, check.minRolls,
      check.maxRolls, check.lines, check.rows, check.bad.count == 0 ? "PASS" : "FAIL");
  return finish(dir, o.keep, check.bad);
}
