// The library under load and under change; every file it wrote is read back.
//
// qolog_stress load [-p procs] [-t threads] [-k messages] [-s size_kb] [-r min_rolls]
//   P processes of T threads write K messages each, a fifth with a hex dump,
//   to six modules sharing three files that roll every few KB, with backups
//   enough to keep everything. Each process first sends a message per module,
//   one.log's first: the first to lock one.log keeps the configured files,
//   every other process writes only in its own PID-name files. The last
//   process opens one.log for the first time while its holder rolls it (the
//   holder's first rename waits for it): the roller keeps the old file locked
//   until the new one is, so this one too takes its own files (were the file
//   unlocked first, it would roll the file itself, and the holder's rename
//   would put its new file over the backup).
// qolog_stress reload [-t threads] [-c cycles] [-m calls_per_round] [-s size_kb]
//   T threads log while qotrace.cfg is rewritten round after round (modules
//   added and removed, paths changed, modification time forward, backward or
//   unchanged, malformed, removed). Each round names files of its own, so the
//   file a line is in tells which round's configuration wrote it: it must be
//   one in force during the call. A last reload leaves as many descriptors
//   open as before the first.
// Both then read every file and backup, oldest first: banners, lines and dump
// rows whole and well formed (a dump's rows right after its line, at the top
// of the next file when the line rolled it), every message once, in its
// writer's order and in a file chosen for it, timestamps that never go back,
// no backup within the size limit and, under load (where no reset state
// changes the limit), no line starting past it.
// -a alarm_s: a hang fails the run. The files are kept when it fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "qolog.h"
#include "support/fake_clock.h"
#include "support/scenario.h"

namespace {

using std::string;
using std::string_view;
using std::to_string;
using std::vector;

std::map<char, long> g_opt;  // by option letter
bool g_load;                 // the mode: load, or reload
long T, K, limit, P = 1;
long messages = 0, files = 0, lines = 0, rows = 0, minRolls = 1L << 40, maxRolls = 0;  // seen
long g_bad = 0;
// Prints the first 20 failures, counts all.
#define FAIL(...) (++g_bad <= 20 && fprintf(stderr, "FAIL: " __VA_ARGS__) && fputc('\n', stderr))

// "Nov  4 18:22:48:048" as a key that sorts by time within a year ("" when
// the shape is wrong).
string stampKey(string_view s) {
  static const string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  static const string_view kShape = "Mmm D9 99:99:99:999";  // D: a digit or a space
  size_t at = s.size() == kShape.size() ? kMonths.find(s.substr(0, 3)) : 1;
  for (size_t i = 3; at < 36 && at % 3 == 0 && i < s.size(); ++i) {
    char k = kShape[i], c = s[i];
    if (k == '9' || k == 'D' ? !isdigit(c) && (k == '9' || c != ' ') : c != k) at = 1;
  }
  return at < 36 && at % 3 == 0 ? char('A' + at / 3) + string(s.substr(3)) : "";
}

constexpr int kNames = 6;
const char *const kName[kNames] = {"DEFAULT", "ALPHA", "BRAVO", "CHARLIE", "DELTA", "ZULU"};
const char *const kFile[3] = {"one.log", "two.log", "three.log"};  // load: names 2f, 2f+1
const char kFormat[] = "#p%d w%d s%ld |%.*s";
const char kFill[] = "abcdefghijklmnopqrstuvwxyz0123456789|ABCDEFGHIJKLMNOPQRSTUVWXYZ;%";

// Message s of writer w in process p (writer T: the process's first messages,
// one per name). Under reload: INFO lines without dumps. Its text and rows
// are made only when `expected` in the files.
struct Message {
  int p, w, module, fill, dump = 0;
  long s;
  uint32_t level = QOLOG_INFO;
  vector<uint8_t> bytes;
  vector<string> rows;  // of the dump
  char text[160];
  Message(int p_, int w_, long s_, bool expected = true) : p(p_), w(w_), s(s_) {
    static const uint32_t kLevels[] = {QOLOG_ERROR, QOLOG_INFO, QOLOG_DEBUG, QOLOG_FUNCBEG,
                                       QOLOG_FUNCEND, QOLOG_ERROR | QOLOG_INFO, QOLOG_PROCINFO};
    uint64_t h = (uint64_t(p) << 48 ^ uint64_t(w) << 32 ^ uint64_t(s)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    module = w == T ? int(s) : int(h % kNames), fill = int((h >> 32) % 60);
    if (g_load) dump = (h >> 16) % 5 ? 0 : 1 + int((h >> 24) % 70), level = kLevels[(h >> 8) % 7];
    for (int i = 0; i < dump; ++i) bytes.push_back(uint8_t(h >> i % 8 * 8 ^ i * 37));
    if (expected) snprintf(text, sizeof(text), kFormat, p, w, s, fill, kFill);
    for (size_t off = 0; expected && off < bytes.size(); off += 20) {  // as the C locale shows
      char b[32];
      snprintf(b, sizeof(b), "%04zu ", off);
      string hex = b, shown = " [";
      for (size_t i = off; i < off + 20; ++i) {
        int c = i < bytes.size() ? bytes[i] : -1;
        const char pair[3] = {"0123456789ABCDEF"[c >> 4 & 15], "0123456789ABCDEF"[c & 15], 0};
        hex += (c < 0 ? "  " : pair) + string(i % 2, ' ');
        shown += c < 0 ? ' ' : c >= 0x20 && c < 0x7F ? char(c) : '.';
      }
      rows.push_back(hex + shown + "]");
    }
  }
  void send() const {
    if (dump == 0) return qologLog(kName[module], level, kFormat, p, w, s, fill, kFill);
    qologLogBin(kName[module], level, bytes.data(), dump, kFormat, p, w, s, fill, kFill);
  }
};

// A reload round's configuration, and where each name's INFO lines go under
// it ("": nowhere). '@' is the round's own prefix "rN-", '$' the keys every
// round has (small files, backups enough, a short reload period); r0-d.log is
// file slot 0, which round 0 gives DEFAULT and every later configuration keeps.
const struct { const char *text, *route[kNames]; } kVariant[] = {
    // Two modules share a file; CHARLIE passes no INFO; ZULU goes to DEFAULT.
    {"[DEFAULT]\n$ENABLETRACES = ON\nLOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = @a.log\n"
     "[BRAVO]\nLOGFILENAME = @a.log\n[CHARLIE]\nLOGFILENAME = @c.log\nDebugLevel = ERROR\n",
     {"@d.log", "@a.log", "@a.log", "", "@d.log", "@d.log"}},
    // Traces for unknown names off, ALPHA moved, DELTA added.
    {"[DEFAULT]\n$ENABLETRACES = OFF\nLOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = sub/@a.log\n"
     "[DELTA]\nLOGFILENAME = @e.log\n",
     {"@d.log", "sub/@a.log", "", "", "@e.log", ""}},
    // DEFAULT without a file stays on slot 0, which ALPHA names too; DELTA
    // has no file.
    {"[DEFAULT]\n$ENABLETRACES = ON\n[ALPHA]\nLOGFILENAME = r0-d.log\n[CHARLIE]\n"
     "LOGFILENAME = @c.log\nDebugLevel = INFO\n[DELTA]\nDebugLevel = ALL\n",
     {"r0-d.log", "r0-d.log", "r0-d.log", "@c.log", "", "r0-d.log"}},
    // No header first: the reset state, DEFAULT alone on slot 0.
    {"ENABLETRACES = ON\n[DEFAULT]\n$LOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = @a.log\n",
     {"r0-d.log", "", "", "", "", ""}},
};
// A round: a variant (-1: the file removed), its modification time against
// the newest so far (a positive one becomes the newest), and whether the
// library must load it: only a time past the last one it saw.
const struct Step { int variant, mtime; bool applied; } kCycle[] = {
    {0, 100, true}, {1, 100, true}, {2, -50, false}, {2, -40, true}, {3, 100, true}, {-1, 0, false},
    {0, 100, true}, {1, 0, false}, {1, 100, true}, {-1, 0, false}, {2, 100, true}};

// load: the first rename of one.log waits until the last process has sent
// its first message.
int g_paused[2], g_resume[2];
bool g_pausing = false;

vector<long> pids;
vector<vector<char>> seen;  // by writer p * (T + 1) + w, by message
int winner = -1;            // load: the process in the configured files
vector<vector<string>> rounds;    // reload: the routes after each round
vector<vector<std::pair<long, long>>> windows;  // reload: the rounds during each call

std::set<string> chosen(const Message &m) {
  std::set<string> out;
  for (long c = windows[m.w][m.s].first; c <= windows[m.w][m.s].second; ++c)
    out.insert(rounds[c][m.module]);
  return out;
}

void check() {
  vector<string> tids(seen.size());
  const string sep(73, '-');
  std::map<string, std::set<long>> found;  // every log file here and in sub/: its backups
  for (const string sub : {"", "sub/"}) {
    for (const string &name : qtest::listDir(sub.empty() ? "." : sub)) {
      size_t dot = name.rfind('.');
      long n = dot == string::npos ? 0 : atol(name.c_str() + dot + 1);
      bool backup = n > 0 && name.find_first_not_of("0123456789", dot + 1) == string::npos;
      if (name != "qotrace.cfg" && name != "sub")
        found[sub + name.substr(0, backup ? dot : string::npos)].insert(backup ? n : 0);
    }
  }
  for (const auto &[base, backups] : found) {
    const long top = *backups.rbegin();
    if (top + 1 != long(backups.size())) FAIL("%s: a backup is missing", base.c_str());
    files += top + 1, minRolls = std::min(minRolls, top), maxRolls = std::max(maxRolls, top);
    vector<long> last(seen.size(), -1);
    vector<string> due;  // dump rows still expected
    string lastStamp;
    for (long n = top; n >= 0; --n) {
      const string name = n ? base + "." + to_string(n) : base, all = qtest::readFile(name);
      if (all.empty() || all.back() != '\n' || (n > 0 && long(all.size()) <= limit))
        FAIL("%s: empty, cut short, or a backup within the limit", name.c_str());
      vector<string_view> ls;
      for (size_t at = 0, nl = 0; nl != string::npos && at < all.size(); at = nl + 1)
        ls.push_back(string_view(all).substr(at, (nl = all.find('\n', at)) - at));
      bool banner = false;
      for (size_t i = 0; i < ls.size(); ++i) {
        string_view line = ls[i];
        auto bad = [&](const char *why) { FAIL("%s:%zu: %s", name.c_str(), i + 1, why); };
        if (!due.empty()) {
          if (line != due.front()) bad("not the dump row due");
          due.erase(due.begin()), ++rows;
          continue;
        }
        if (line == sep && i + 2 < ls.size() && ls[i + 2] == sep) {
          // "QOLOG <version>: Log file 'NAME.LOG' start STAMP", NAME a module of the file
          const string b(ls[i + 1]);
          size_t open = b.find(": Log file '") + 12, dot = b.rfind(".LOG' start ");
          const string named = open < dot && dot != string::npos ? b.substr(open, dot - open) : "";
          const int k = int(std::find(kName, kName + kNames, named) - kName);
          if ((banner && g_load) || b.compare(0, 6, "QOLOG ") != 0 || k == kNames ||
              dot + 31 != b.size() || stampKey(b.substr(dot + 12)).empty() ||
              (g_load && base.find(kFile[k / 2]) == string::npos)) {
            bad("banner misplaced or malformed");
          }
          banner = true, i += 2;
          continue;
        }
        // A prefixed line: stamp, module, PID, TID and tag before the text, between
        // bars; PROCINFO: the text alone.
        const bool plain = line.substr(0, 1) == "#";
        string_view f[5], rest = line;
        for (int j = 0; j < 5 && !plain; ++j) {
          f[j] = rest.substr(0, rest.find('|'));
          rest.remove_prefix(std::min(rest.size(), f[j].size() + 1));
        }
        const string stamp = plain ? lastStamp : stampKey(f[0]);
        long p = -1, w = -1, s = -1;
        if (!banner || (!plain && stamp.empty()) ||
            sscanf(string(rest).c_str(), "#p%ld w%ld s%ld ", &p, &w, &s) != 3 || p < 0 || p >= P ||
            w < 0 || w > T || s < 0 || s >= long(seen[p * (T + 1) + w].size())) {
          bad("malformed, unknown or before the banner");
          continue;
        }
        const Message m(int(p), int(w), s);
        const size_t id = p * (T + 1) + w;
        char pid[32];
        snprintf(pid, sizeof(pid), "PID=%4ld", pids[p]);
        if (!plain && tids[id].empty()) tids[id] = f[3];
        // The tag is that of the lowest level bit: ERR, INFO, DBG, FBEG, FEND.
        const string_view tag(&" ERRINFO DBGFBEGFEND"[4 * __builtin_ctz(m.level)], 4);
        if (rest != m.text || plain != (m.level == QOLOG_PROCINFO) ||
            (!plain && (f[1] != kName[m.module] || f[2] != pid || f[3] != tids[id] ||
                        f[3].substr(0, 4) != "TID=" || f[4] != tag))) {
          bad("garbled");
        }
        const string own = (p == winner ? "" : to_string(pids[p]) + "-") + kFile[m.module / 2];
        if (g_load ? base != own : !chosen(m).count(base)) bad("in a file not chosen for it");
        if (seen[id][s]++) bad("duplicate");
        if (s <= last[id]) bad("out of its writer's order");
        if (g_load && line.data() - all.data() > limit) bad("starts past the size limit");
        if (stamp < lastStamp && (lastStamp[0] != 'L' || stamp[0] != 'A')) bad("time went back");
        last[id] = s, lastStamp = stamp, ++lines, due = m.rows;
      }
    }
    if (!due.empty()) FAIL("%s: its last dump is cut short", base.c_str());
  }
  for (size_t id = 0; id < seen.size(); ++id) {
    messages += long(seen[id].size());
    for (size_t s = 0; s < seen[id].size(); ++s) {
      if (seen[id][s]) continue;
      const Message m(int(id / (T + 1)), int(id % (T + 1)), long(s));
      if (g_load || !chosen(m).count("")) FAIL("lost: %s", m.text);
    }
  }
  if (minRolls < g_opt['r']) FAIL("a file rolled %ld times, want %ld", minRolls, g_opt['r']);
  printf("messages=%ld files=%zu (%ld with backups) rolls/file=%ld..%ld lines=%ld dump-rows=%ld\n",
         messages, found.size(), files, minRolls, maxRolls, lines, rows);
}

void load() {
  P = g_opt['p'];
  string cfg = "[DEFAULT]\nLOGFILENAME = one.log\nDebugLevel = ALL\nMAXFILEBACKUPS = 1000000\n"
               "MAXFILESIZE = " + to_string(g_opt['s']) + "KB\n";
  for (int m = 1; m < kNames; ++m)
    cfg += "[" + string(kName[m]) + "]\nLOGFILENAME = " + kFile[m / 2] + "\n";
  qtest::writeFile("qotrace.cfg", cfg);
  if (pipe(g_paused) != 0 || pipe(g_resume) != 0) exit(2);
  for (int p = 0; p < P; ++p) {
    fflush(nullptr);
    pids.push_back(fork());
    if (pids.back() != 0) continue;
    const bool late = P > 1 && p == P - 1;
    char c = 0;
    alarm(unsigned(g_opt['a']));
    close(late ? g_paused[1] : g_resume[1]);
    g_pausing = P > 1 && !late;
    if (late && read(g_paused[0], &c, 1) < 0) _exit(3);  // one.log's holder is about to rename it
    for (long s = 0; s < kNames; ++s) Message(p, int(T), s, false).send();
    if (late && write(g_resume[1], &c, 1) != 1) _exit(3);
    vector<std::thread> threads;
    for (int w = 0; w < T; ++w)
      threads.emplace_back([p, w] { for (long s = 0; s < K; ++s) Message(p, w, s, false).send(); });
    for (std::thread &t : threads) t.join();
    exit(0);
  }
  close(g_paused[1]), close(g_resume[1]);
  for (int p = 0; p < P; ++p) {
    int status = 0;
    if (waitpid(pids[p], &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      FAIL("process %d ended with status %#x", p, status);
    for (int w = 0; w <= T; ++w) seen.emplace_back(w == T ? kNames : K, 0);
    if (access((to_string(pids[p]) + "-one.log").c_str(), F_OK) != 0) winner = p;
  }
  printf("stress load: P=%ld T=%ld K=%ld size=%ldKB ", P, T, K, g_opt['s']);
  if (g_bad == 0) check();
}

void reload() {
  const long m = g_opt['m'], steps = long(std::size(kCycle)), end = g_opt['c'] * steps + 1;
  long newest = 1600000000;
  const string keys = "RELOADPERIOD = 1M\nMAXFILEBACKUPS = 100000\nMAXFILESIZE = " +
                      to_string(g_opt['s']) + "KB\n";
  if (mkdir("sub", 0755) != 0) exit(2);
  setenv("QOTRACE_CFG", "qotrace.cfg", 1);  // a removed file is missing, whatever /etc holds
  qtest::setFakeClock(1700000000);
  const size_t fdsBefore = qtest::listDir("/proc/self/fd").size();
  // Writer t notes the last round applied before each call and the last
  // written after it, and makes m to 2m calls a round.
  std::atomic<long> written{0}, applied{0}, budget{0};
  vector<std::atomic<long>> calls(T);
  vector<std::thread> writers;
  windows.resize(T);
  for (long r = 0; r <= end; ++r) {  // at the end, the writers stop and a last reload closes all
    budget.store(r < end ? (r + 1) * 2 * m : 0);
    for (size_t t = 0; t < writers.size() && r == end; ++t) writers[t].join();
    // Stored before the file changes: a caller whose time predates the last
    // check runs another, which may find the new file before the clock moves.
    written.store(r);
    const Step &step = kCycle[r % steps];
    auto expand = [&](string t) {
      for (size_t at; (at = t.find_first_of("@$")) != string::npos;)
        t.replace(at, 1, t[at] == '@' ? "r" + to_string(r) + "-" : keys);
      return t;
    };
    rounds.push_back(r == 0 ? vector<string>(kNames) : rounds.back());
    for (int n = 0; n < kNames && step.applied; ++n)
      rounds.back()[n] = expand(kVariant[step.variant].route[n]);
    if (step.variant >= 0) qtest::writeFile("next.cfg", expand(kVariant[step.variant].text));
    const struct timespec mtime = {newest + step.mtime, 0}, times[2] = {mtime, mtime};
    newest += std::max(step.mtime, 0);
    if (step.variant < 0 ? unlink("qotrace.cfg") != 0
                         : utimensat(AT_FDCWD, "next.cfg", times, 0) != 0 ||
                               rename("next.cfg", "qotrace.cfg") != 0) {
      exit(2);
    }
    qtest::advanceFakeClock(7200);  // past any deadline: one minute, or an hour after a reset
    qologLog("NOBODY", 64, "never written");  // the check runs, if no writer ran it
    applied.store(r);
    for (int t = 0; t < T && r == 0; ++t) {
      writers.emplace_back([&, t] {
        for (long s = 0; budget.load() > 0; ++s) {
          while (s >= budget.load() && budget.load() > 0) usleep(50);
          long lo = applied.load();
          Message(0, t, s, false).send();
          windows[t].push_back({lo, written.load()});
          calls[t].store(s + 1);
        }
      });
    }
    for (int t = 0; t < T && r < end; ++t)
      while (calls[t].load() < r * 2 * m + m) usleep(100);
  }
  const size_t fdsAfter = qtest::listDir("/proc/self/fd").size();
  if (fdsAfter != fdsBefore) FAIL("descriptors: %zu before, %zu after", fdsBefore, fdsAfter);
  pids.push_back(getpid());
  for (int t = 0; t <= T; ++t) seen.emplace_back(t < T ? windows[t].size() : 0, 0);
  printf("stress reload: T=%ld rounds=%ld descriptors=%zu/%zu ", T, end - 1, fdsBefore, fdsAfter);
  check();
}

}  // namespace

extern "C" int renameat(int fromDir, const char *from, int toDir, const char *to) {
  char c = 0;
  if (g_pausing && string_view(from) == "one.log" && write(g_paused[1], &c, 1) == 1)
    g_pausing = read(g_resume[0], &c, 1) < 0;
  return int(syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}

int main(int argc, char **argv) {
  string mode = argc > 1 ? argv[1] : "";
  g_load = mode == "load";
  g_opt['p'] = 4, g_opt['t'] = 4, g_opt['k'] = 18000, g_opt['s'] = g_load ? 64 : 16;
  g_opt['r'] = g_load ? 20 : 0, g_opt['c'] = 27, g_opt['m'] = 50, g_opt['a'] = 240;
  for (int c; argc > 1 && (c = getopt(argc - 1, argv + 1, "p:t:k:s:r:c:m:a:")) != -1;)
    c == '?' ? (void)mode.clear() : (void)(g_opt[c] = atol(optarg));
  if (mode != "load" && mode != "reload")
    return fprintf(stderr, "usage: %s load|reload [options] (see stress.cc)\n", argv[0]), 2;
  alarm(unsigned(g_opt['a']));  // a hang fails the run
  T = g_opt['t'], K = g_opt['k'], limit = g_opt['s'] * 1024;
  setenv("TZ", "UTC", 1);
  auto *dir = new qtest::TempDir();
  if (chdir(dir->path().c_str()) != 0) return 2;
  g_load ? load() : reload();
  printf("%s\n", g_bad == 0 ? "PASS" : ("FAIL; files kept in " + dir->path()).c_str());
  if (g_bad == 0) delete dir;
  return g_bad != 0;
}
