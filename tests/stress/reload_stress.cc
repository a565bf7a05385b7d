// Configuration changes under load: T threads log to six module names while
// a coordinator rewrites qotrace.cfg round after round (modules added and
// removed, paths changed, modification time forward, backward or unchanged,
// a first line that is no header, the file removed), moves the clock past the
// reload deadline and makes one call itself, by which time the check has run.
// Each writer notes the last round applied before its call and the last one
// written after it; its line must be in a file that one of those rounds'
// configurations chooses for its module, and must be there, once, when all
// of them write it. A last reload must leave no descriptor open; a hang ends
// in SIGALRM.
//
// The model of each round follows the documented rules: file slot 0 keeps its
// path across reloads (a [DEFAULT] without LOGFILENAME stays there, a module
// naming that path shares it); a first line that is no header leaves DEFAULT
// alone on slot 0; an older or equal time is not loaded but is remembered; a
// missing file changes nothing.
//
// qolog_stress_reload [-t threads] [-c cycles] [-m calls_per_round]
//                     [-s size_kb] [-a alarm_s] [-K: keep the files]
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "qolog.h"
#include "stress_util.h"
#include "support/fake_clock.h"

namespace {

using namespace stress;

constexpr int kNames = 6;
const char *const kName[kNames] = {"DEFAULT", "ALPHA", "BRAVO", "CHARLIE", "DELTA", "ZULU"};
using Routing = std::array<std::string, kNames>;  // file per name, "" = dropped

struct Section {
  const char *name, *path, *level;  // null: no LOGFILENAME / inherited level
};
struct Config {
  bool malformed;  // first line is a key line, not a header
  const char *defaultPath;
  bool traces;
  const char *defaultLevel;
  std::vector<Section> modules;
};

// clang-format off
// The first one loaded: the first module path takes file slot 0, b.log.
const Config kFirst{false, nullptr, true, nullptr,
                    {{"BRAVO", "b.log", nullptr}, {"CHARLIE", "c.log", nullptr}}};
const Config kShared{false, "base.log", true, nullptr,
                     {{"ALPHA", "a.log", nullptr}, {"BRAVO", "a.log", nullptr},
                      {"CHARLIE", "c.log", "ERROR"}}};
const Config kMoved{false, "base.log", false, nullptr,
                    {{"ALPHA", "sub/a2.log", nullptr}, {"DELTA", "d.log", nullptr}}};
// DEFAULT moves; CHARLIE names slot 0's path and shares it.
const Config kOther{false, "other.log", true, "ERROR",
                    {{"ALPHA", "a.log", "INFO"}, {"CHARLIE", "b.log", nullptr},
                     {"DELTA", nullptr, "ALL"}}};
const Config kBare{false, nullptr, true, nullptr, {}};
const Config kMalformed{true, "base.log", true, nullptr, {{"ALPHA", "a.log", nullptr}}};

enum Stamp { kForward, kBackward, kBehindNewest, kSame };
struct Step {
  const Config *cfg;  // null: the file is removed
  Stamp stamp;
};
const Step kCycle[] = {
    {&kShared, kForward},    {&kMoved, kForward}, {&kOther, kBackward}, {&kOther, kBehindNewest},
    {&kMalformed, kForward}, {nullptr, kForward}, {&kBare, kForward},   {&kFirst, kSame},
    {&kFirst, kForward},     {nullptr, kForward}, {&kMoved, kForward},
};
// clang-format on

std::string render(const Config &c, int sizeKb) {
  std::string t = c.malformed ? "ENABLETRACES = ON\n" : "";
  t += "[DEFAULT]\nRELOADPERIOD = 1M\nMAXFILEBACKUPS = 100000\nMAXFILESIZE = " +
       std::to_string(sizeKb) + "KB\n";
  t += c.traces ? "ENABLETRACES = ON\n" : "ENABLETRACES = OFF\n";
  if (c.defaultPath) t += "LOGFILENAME = " + std::string(c.defaultPath) + "\n";
  if (c.defaultLevel) t += "DebugLevel = " + std::string(c.defaultLevel) + "\n";
  for (const Section &s : c.modules) {
    t += "[" + std::string(s.name) + "]\n";
    if (s.path) t += "LOGFILENAME = " + std::string(s.path) + "\n";
    if (s.level) t += "DebugLevel = " + std::string(s.level) + "\n";
  }
  return t;
}

// Where each name's INFO messages go after the checks so far.
struct Model {
  std::vector<std::string> slots = std::vector<std::string>(128);  // path, "" = free
  long recorded = -1;  // modification time seen by the last check that found the file
  Routing now;
  int rebuilds = 0;

  int attach(const std::string &path) {
    for (size_t i = 0; i < slots.size(); ++i) {
      if (slots[i] == path) return int(i);
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].empty()) return slots[i] = path, int(i);
    }
    return -1;
  }
  static bool passesInfo(const char *level, bool inherited) {
    return level == nullptr ? inherited : strcmp(level, "ERROR") != 0;
  }
  void rebuild(const Config &c) {
    for (size_t i = 1; i < slots.size(); ++i) slots[i].clear();
    struct Module {
      int file;
      bool info;
    };
    std::map<std::string, Module> modules;
    bool defaultInfo = c.malformed || passesInfo(c.defaultLevel, true);
    modules["DEFAULT"] = {c.defaultPath && !c.malformed ? attach(c.defaultPath) : 0, defaultInfo};
    for (const Section &s : c.modules) {
      if (!c.malformed)
        modules.emplace(s.name,
                        Module{s.path ? attach(s.path) : -1, passesInfo(s.level, defaultInfo)});
    }
    for (int n = 0; n < kNames; ++n) {
      auto it = modules.find(kName[n]);
      if (it == modules.end() && c.traces && !c.malformed) it = modules.find("DEFAULT");
      bool writes = it != modules.end() && it->second.info && it->second.file >= 0;
      now[n] = writes ? slots[it->second.file] : "";
    }
    ++rebuilds;
  }
  void check(const Config *c, long mtime) {
    if (c == nullptr) return;
    bool newer = recorded == -1 || mtime > recorded;
    recorded = mtime;
    if (newer) rebuild(*c);
  }
};

int countDescriptors(const std::string &inside) {
  int n = 0;
  for (const std::string &fd : listDir("/proc/self/fd")) {
    char target[PATH_MAX];
    ssize_t len = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof(target) - 1);
    if (len > 0 &&
        (inside.empty() || std::string(target, len).compare(0, inside.size(), inside) == 0))
      ++n;
  }
  return n;
}

struct Options {
  long threads = 4, cycles = 30, callsPerRound = 50, sizeKb = 16, alarmSeconds = 600;
  bool keep = false;
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parseOptions(argc, argv,
                    {{'t', &o.threads},
                     {'c', &o.cycles},
                     {'m', &o.callsPerRound},
                     {'s', &o.sizeKb},
                     {'a', &o.alarmSeconds}},
                    &o.keep)) {
    fprintf(stderr,
            "usage: %s [-t threads] [-c cycles] [-m calls_per_round] [-s size_kb] "
            "[-a alarm_s] [-K]\n",
            argv[0]);
    return 2;
  }
  alarm(o.alarmSeconds);  // a hang or deadlock fails the run
  const std::string dir = makeScratchDir();
  if (chdir(dir.c_str()) != 0 || mkdir("sub", 0755) != 0) return 2;
  setenv("TZ", "UTC", 1);
  // With /etc/qotrace.cfg present a removed file is not missing: skip those steps.
  const bool canRemove = access("/etc/qotrace.cfg", F_OK) != 0;

  Model model;
  std::vector<Routing> rounds;  // the configuration in force after each round's check
  long newest = 1600000000;
  auto rewrite = [&](const Config *c, long mtime) {
    if (c == nullptr) {
      unlink("qotrace.cfg");
    } else {
      writeFile("next.cfg", render(*c, o.sizeKb));
      const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
      if (utimensat(AT_FDCWD, "next.cfg", times, 0) != 0 || rename("next.cfg", "qotrace.cfg") != 0)
        exit(2);
    }
    model.check(c, mtime);
    rounds.push_back(model.now);
  };
  rewrite(&kFirst, newest);
  qtest::setFakeClock(1700000000);
  const int fdsBefore = countDescriptors("");
  qologLog("NOBODY", 64, "never written");  // loads the first file before any rewrite

  std::atomic<int> written{0}, applied{0};
  std::atomic<bool> stop{false};
  // Each writer makes between m and 2m calls a round: enough traffic for
  // every configuration, a bounded amount of log files.
  const long m = o.callsPerRound;
  std::atomic<long> budget{2 * m};
  std::unique_ptr<std::atomic<long>[]> calls(new std::atomic<long>[o.threads]);
  std::vector<std::vector<std::pair<int, int>>> windows(o.threads);
  std::vector<std::thread> writers;
  for (int t = 0; t < o.threads; ++t) {
    calls[t] = 0;
    writers.emplace_back([&, t] {
      for (long s = 0; !stop.load(); ++s) {
        while (s >= budget.load() && !stop.load()) usleep(50);
        int lo = applied.load();
        qologLog(kName[(s + t) % kNames], QOLOG_INFO, "t%d s%ld", t, s);
        windows[t].push_back({lo, written.load()});
        calls[t].store(s + 1);
      }
    });
  }
  const int steps = int(sizeof(kCycle) / sizeof(kCycle[0]));
  for (int r = 1; r <= o.cycles * steps; ++r) {
    const Step &step = kCycle[(r - 1) % steps];
    if (step.cfg == nullptr && !canRemove) continue;
    const long round = long(rounds.size());
    budget.store((round + 1) * 2 * m);  // the writers go on while the file changes
    long mtime = step.stamp == kForward        ? (newest += 100)
                 : step.stamp == kBackward     ? model.recorded - 50
                 : step.stamp == kBehindNewest ? model.recorded + 10
                                               : model.recorded;
    rewrite(step.cfg, mtime);
    written.store(int(rounds.size()) - 1);
    qtest::advanceFakeClock(7200);  // past any deadline: one minute, or sixty after a reset
    qologLog("NOBODY", 64, "never written");  // runs the check if no writer did
    applied.store(int(rounds.size()) - 1);
    for (int t = 0; t < o.threads; ++t) {
      while (calls[t].load() < round * 2 * m + m) usleep(100);
    }
  }
  stop.store(true);
  for (std::thread &w : writers) w.join();
  const size_t roundsRun = rounds.size() - 1;
  // A last reload closes every file.
  rewrite(&kShared, newest += 100);
  qtest::advanceFakeClock(7200);
  qologLog("NOBODY", 64, "never written");
  const int fdsAfter = countDescriptors(""), fdsInside = countDescriptors(dir);

  Problems bad;
  if (fdsAfter != fdsBefore || fdsInside != 0) {
    bad.add("descriptors: %d before, %d after the last reload, %d of them on log files", fdsBefore,
            fdsAfter, fdsInside);
  }
  std::map<std::string, long> files;  // base name -> highest backup
  for (const std::string &sub : {std::string(""), std::string("sub/")}) {
    for (const std::string &name : listDir(sub.empty() ? "." : sub)) {
      if (name == "qotrace.cfg" || name == "sub") continue;
      auto split = splitBackup(sub + name);
      files[split.first] = std::max(files[split.first], split.second);
    }
  }
  // The files chosen for call s of writer t by the rounds in force during it.
  auto chosen = [&](int t, size_t s) {
    std::set<std::string> out;
    for (int c = windows[t][s].first; c <= windows[t][s].second; ++c) {
      out.insert(rounds[c][(s + t) % kNames]);
    }
    return out;
  };
  std::vector<std::vector<char>> seen(o.threads);
  for (int t = 0; t < o.threads; ++t) seen[t].assign(windows[t].size(), 0);
  char pidText[32];
  snprintf(pidText, sizeof(pidText), "PID=%4ld", long(getpid()));
  long lines = 0, total = 0;
  for (const auto &file : files) {
    std::vector<long> last(o.threads, -1);
    for (long n = file.second; n >= 0; --n) {
      const std::string name = n ? file.first + "." + std::to_string(n) : file.first,
                        all = readFile(name);
      std::string module;
      for (std::string_view line : splitLines(all)) {
        auto fail = [&](const char *why) {
          bad.add("%s: %s: '%.*s'", name.c_str(), why, int(line.size()), line.data());
        };
        std::string_view f[6];
        int t = -1;
        long s = -1;
        char rest = 0;
        if (line == separator() || bannerName(line, &module)) continue;
        if (!splitLine(line, f) ||
            sscanf(std::string(f[5]).c_str(), "t%d s%ld%c", &t, &s, &rest) != 2 || t < 0 ||
            t >= o.threads || s < 0 || s >= long(seen[t].size()) ||
            f[1] != kName[(s + t) % kNames] || f[2] != pidText || f[4] != "INFO") {
          fail("malformed");
          continue;
        }
        ++lines;
        if (seen[t][s]++) fail("duplicate");
        if (s <= last[t]) fail("out of its writer's order");
        if (!chosen(t, s).count(file.first)) fail("in a file no configuration in force chose");
        last[t] = s;
      }
    }
  }
  for (int t = 0; t < o.threads; ++t) {
    total += long(seen[t].size());
    for (size_t s = 0; s < seen[t].size(); ++s) {
      if (!seen[t][s] && !chosen(t, s).count("")) {
        bad.add("lost: t%d s%zu (%s, rounds %d..%d)", t, s, kName[(s + t) % kNames],
                windows[t][s].first, windows[t][s].second);
      }
    }
  }
  printf(
      "stress reload: T=%ld rounds=%zu reloads=%d calls=%ld lines=%ld files=%zu descriptors=%d/%d "
      "result=%s\n",
      o.threads, roundsRun, model.rebuilds, total, lines, files.size(), fdsBefore, fdsAfter,
      bad.count == 0 ? "PASS" : "FAIL");
  return finish(dir, o.keep, bad);
}
