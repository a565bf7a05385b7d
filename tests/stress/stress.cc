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
// GCC 12 warns inside <regex>'s own code (a false maybe-uninitialized).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "qolog.h"
#include "support/fake_clock.h"
#include "support/scenario.h"

using namespace std;

namespace {

// The options by letter; winner: under load, the process in the configured files.
long g_opt[128], T, K, limit, P = 1, winner = -1, g_bad = 0;
bool g_load, g_pausing;  // the mode: load, or reload; g_pausing: see renameat
int g_paused[2], g_resume[2], g_ready[2], g_go[2], g_byte;
// Prints the first 20 failures, counts all.
#define FAIL(...) (++g_bad <= 20 && fprintf(stderr, "FAIL: " __VA_ARGS__) && fputc('\n', stderr))

// "Nov  4 18:22:48:048" as a key that sorts by time within a year ("" when
// the shape is wrong: a month's name, the day's first digit may be a space).
string stampKey(string_view s) {
  static const regex kShape("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}");
  const size_t m = string_view("JanFebMarAprMayJunJulAugSepOctNovDec").find(s.substr(0, 3));
  const bool ok = m % 3 == 0 && m < 36 && regex_match(s.begin(), s.end(), kShape);
  return ok ? char('A' + m / 3) + string(s.substr(3)) : "";
}

constexpr int kNames = 6;
const char *const kName[kNames] = {"DEFAULT", "ALPHA", "BRAVO", "CHARLIE", "DELTA", "ZULU"};
const char *const kFile[3] = {"one.log", "two.log", "three.log"};  // load: names 2f, 2f+1
const char kFormat[] = "#p%d w%d s%ld |%.*s";
const char kFill[] = "abcdefghijklmnopqrstuvwxyz0123456789|ABCDEFGHIJKLMNOPQRSTUVWXYZ;%";

// Message s of writer w in process p (writer T: the process's first messages,
// one per name), its text and its dump's rows as the C locale shows them.
// Under reload: INFO lines without dumps.
struct Message {
  int p, w, s, module, fill, dump = 0, level = QOLOG_INFO;
  string rows;  // each with its line feed
  char text[160], bytes[70], row[96];
  Message(int p_, int w_, int s_) : p(p_), w(w_), s(s_) {
    uint64_t h = (uint64_t(p) << 48 ^ uint64_t(w) << 32 ^ uint64_t(s)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    module = w == T ? int(s) : int(h % kNames), fill = int((h >> 32) % 60);
    if (g_load) dump = (h >> 16) % 5 ? 0 : 1 + int((h >> 24) % 70);
    // ERROR, INFO, DEBUG, FUNCBEG, FUNCEND, ERROR and INFO, PROCINFO
    if (g_load) level = "\1\2\4\10\20\3\40"[(h >> 8) % 7];
    snprintf(text, sizeof(text), kFormat, p, w, long(s), fill, kFill);
    for (int i = 0; i < dump; ++i) {  // rows of 20: "0000 4142 43..  [ABC..  ]"
      const int c = uint8_t(h >> i % 8 * 8 ^ i * 37), at = 5 + i % 20 * 5 / 2;
      if (i % 20 == 0) snprintf(row, sizeof(row), "%04d%52s[%20s]\n", i, "", ""), rows += row;
      char *r = &rows[rows.size() - 79];
      r[at] = "0123456789ABCDEF"[c >> 4], r[at + 1] = "0123456789ABCDEF"[c & 15];
      r[57 + i % 20] = isprint(c) ? char(c) : '.', bytes[i] = char(c);
    }
  }
  void send() const {
    dump ? qologLogBin(kName[module], level, bytes, dump, kFormat, p, w, long(s), fill, kFill)
         : qologLog(kName[module], level, kFormat, p, w, long(s), fill, kFill);
  }
};

// A reload round's configuration, and where each name's INFO lines go under
// it ("": nowhere). '@' is the prefix "rN-" of the round N that applied it,
// '$' the keys every configuration here has, the load's too (small files,
// backups enough, a short reload period); r0-d.log is file slot 0, which
// round 0 gives DEFAULT and every later configuration keeps.
const struct { const char *text, *route[kNames]; } kVariant[] = {
    // Two modules share a file; CHARLIE passes no INFO; ZULU goes to DEFAULT.
    {"[DEFAULT]\n$ENABLETRACES = ON\nLOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = @a.log\n"
     "[BRAVO]\nLOGFILENAME = @a.log\n[CHARLIE]\nLOGFILENAME = @c.log\nDebugLevel = ERROR\n",
     {"@d.log", "@a.log", "@a.log", "", "@d.log", "@d.log"}},
    // Traces for unknown names off, ALPHA moved, DELTA added.
    {"[DEFAULT]\n$ENABLETRACES = OFF\nLOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = sub/@a.log\n"
     "[DELTA]\nLOGFILENAME = @e.log\n", {"@d.log", "sub/@a.log", "", "", "@e.log", ""}},
    // DEFAULT without a file stays on slot 0, which ALPHA names too; DELTA
    // has no file.
    {"[DEFAULT]\n$ENABLETRACES = ON\n[ALPHA]\nLOGFILENAME = r0-d.log\n[CHARLIE]\n"
     "LOGFILENAME = @c.log\nDebugLevel = INFO\n[DELTA]\nDebugLevel = ALL\n",
     {"r0-d.log", "r0-d.log", "r0-d.log", "@c.log", "", "r0-d.log"}},
    // No header first: the reset state, DEFAULT alone on slot 0.
    {"ENABLETRACES = ON\n[DEFAULT]\n$LOGFILENAME = @d.log\n[ALPHA]\nLOGFILENAME = @a.log\n",
     {"r0-d.log", "", "", "", "", ""}},
};
// A round: a variant (-1: the file removed), its modification time within
// its cycle (each cycle 1000 s past the last: forward, backward or unchanged
// against the newest so far), and whether the library must load it: only a
// time past the last one it saw.
const struct Step { int variant, mtime; bool applied; } kCycle[] = {
    {0, 100, true}, {1, 200, true}, {2, 150, false}, {2, 160, true}, {3, 300, true}, {-1, 0, false},
    {0, 400, true}, {1, 400, false}, {1, 500, true}, {-1, 0, false}, {2, 600, true}};

// "QOLOG <version>: Log file 'NAME.LOG' start STAMP"
const regex kBackup("(.+?)(?:\\.([1-9][0-9]*))?");  // NAME or NAME.N
const regex kBanner("QOLOG [^:]+: Log file '([A-Z]+)\\.LOG' start (.{19})");

string expand(string t, long round) {
  for (size_t at; (at = t.find_first_of("@$")) != string::npos;)
    t.replace(at, 1, t[at] == '@' ? "r" + to_string(round) + "-" : "RELOADPERIOD = 1M\n"
                     "MAXFILEBACKUPS = 100000\nMAXFILESIZE = " + to_string(g_opt['s']) + "KB\n");
  return t;
}

vector<long> pids;
vector<vector<char>> seen;                 // by writer p * (T + 1) + w, by message
vector<pair<long, int>> inForce;           // reload: the round and variant applied last, by round
vector<vector<pair<long, long>>> windows;  // reload: the rounds during each call

// The files a configuration in force during the call chose for the message.
set<string> chosen(const Message &m) {
  if (g_load) return {(m.p == winner ? "" : to_string(pids[m.p]) + "-") + kFile[m.module / 2]};
  set<string> out;
  for (long c = windows[m.w][m.s].first; c <= windows[m.w][m.s].second; ++c)
    out.insert(expand(kVariant[inForce[c].second].route[m.module], inForce[c].first));
  return out;
}

void check() {
  long messages = 0, files = 0, lines = 0, rows = 0, minRolls = 1L << 40, maxRolls = 0;
  vector<string> tids(seen.size());
  map<string, set<long>> found;  // every log file here and in sub/: its backups by number
  for (const string sub : {"", "sub/"})
    for (const string &name : qtest::listDir(sub + "."))
      if (smatch got; name != "qotrace.cfg" && name != "sub" && regex_match(name, got, kBackup))
        found[sub + got[1].str()].insert(atol(got[2].str().c_str()));
  for (const auto &[base, backups] : found) {
    const long top = *backups.rbegin();
    if (top + 1 != long(backups.size())) FAIL("%s: a backup is missing", base.c_str());
    files += top + 1, minRolls = min(minRolls, top), maxRolls = max(maxRolls, top);
    vector<long> last(seen.size(), -1);
    string due, lastStamp;  // due: dump rows still expected
    for (long n = top; n >= 0; --n) {
      const string name = n ? base + "." + to_string(n) : base, all = qtest::readFile(name);
      if (all.empty() || all.back() != '\n' || (n > 0 && long(all.size()) <= limit))
        FAIL("%s: empty, cut short, or a backup within the limit", name.c_str());
      vector<string_view> ls;
      for (size_t at = 0, nl = 0; nl != string::npos && at < all.size(); at = nl + 1)
        ls.push_back(string_view(all).substr(at, (nl = all.find('\n', at)) - at));
      for (size_t i = 0, banner = 0; i < ls.size(); ++i) {  // banner: one seen in this file
        const string_view line = ls[i];
        auto bad = [&](const char *why) { FAIL("%s:%zu: %s", name.c_str(), i + 1, why); };
        if (!due.empty()) {
          if (due.compare(0, due.find('\n'), line) != 0) bad("not the dump row due");
          due.erase(0, due.find('\n') + 1), ++rows;
        } else if (cmatch got; line == string(73, '-') && i + 2 < ls.size() && ls[i + 2] == line) {
          // NAME a module of the file
          regex_match(ls[i + 1].begin(), ls[i + 1].end(), got, kBanner);
          const int k = int(find(kName, kName + kNames, got[1].str()) - kName);
          if ((banner && g_load) || k == kNames || stampKey(got[2].str()).empty() ||
              (g_load && base.find(kFile[k / 2]) == string::npos))
            bad("banner misplaced or malformed");
          banner = 1, i += 2;
        } else {
          // STAMP|MODULE|PID|TID|TAG|TEXT, or the text alone, which starts at the first '#'.
          const size_t at = min(line.find('#'), line.size());
          const string stamp = at ? stampKey(line.substr(0, line.find('|'))) : lastStamp;
          // Past the line only when it is cut short: the rest then differs.
          size_t p, w, s, id = 0;
          if (!banner || (at && stamp.empty()) ||
              sscanf(line.data() + at, "#p%zu w%zu s%zu ", &p, &w, &s) != 3 || p >= size_t(P) ||
              w > size_t(T) || s >= seen[id = p * (T + 1) + w].size()) {
            bad("malformed, unknown or before the banner");
            continue;
          }
          const Message m{int(p), int(w), int(s)};
          char tid[32] = "", want[320];
          sscanf(string(line.substr(0, at)).c_str(), "%*[^|]|%*[^|]|%*[^|]|TID=%31[^|]", tid);
          if (tids[id].empty()) tids[id] = tid;
          // The tag is that of the lowest level bit: ERR, INFO, DBG, FBEG, FEND;
          // PROCINFO alone: the text alone.
          snprintf(want, sizeof(want), "%.*s|%s|PID=%4ld|TID=%s|%.4s|%s", int(line.find('|')),
                   line.data(), kName[m.module], pids[p], tids[id].c_str(),
                   " ERRINFO DBGFBEGFEND" + 4 * __builtin_ctz(m.level), m.text);
          if (line != (m.level == QOLOG_PROCINFO ? m.text : want)) bad("garbled");
          if (!chosen(m).count(base)) bad("in a file not chosen for it");
          if (seen[id][s]++) bad("duplicate");
          if (long(s) <= last[id]) bad("out of its writer's order");
          if (g_load && line.data() - all.data() > limit) bad("starts past the size limit");
          if (stamp < lastStamp && (lastStamp[0] != 'L' || stamp[0] != 'A')) bad("time went back");
          last[id] = long(s), lastStamp = stamp, ++lines, due = m.rows;
        }
      }
    }
    if (!due.empty()) FAIL("%s: its last dump is cut short", base.c_str());
  }
  for (size_t id = 0; id < seen.size(); messages += long(seen[id++].size()))
    for (size_t s = 0; s < seen[id].size(); ++s)
      if (!seen[id][s] && !chosen(Message(int(id / (T + 1)), int(id % (T + 1)), long(s))).count(""))
        FAIL("lost: #p%zu w%zu s%zu", id / (T + 1), id % (T + 1), s);
  if (minRolls < g_opt['r']) FAIL("a file rolled %ld times, want %ld", minRolls, g_opt['r']);
  printf("messages=%ld files=%zu (%ld with backups) rolls/file=%ld..%ld lines=%ld dump-rows=%ld\n",
         messages, found.size(), files, minRolls, maxRolls, lines, rows);
}

void load() {
  qtest::writeFile("qotrace.cfg", expand("[DEFAULT]\n$DebugLevel = ALL\nLOGFILENAME = one.log\n"
      "[ALPHA]\nLOGFILENAME = one.log\n[BRAVO]\nLOGFILENAME = two.log\n[CHARLIE]\nLOGFILENAME = "
      "two.log\n[DELTA]\nLOGFILENAME = three.log\n[ZULU]\nLOGFILENAME = three.log\n", 0));
  if (pipe(g_paused) != 0 || pipe(g_resume) != 0 || pipe(g_ready) != 0 || pipe(g_go) != 0) exit(2);
  for (int p = 0; p < P; ++p) {
    if (pids.emplace_back(fork()) != 0) continue;
    const bool late = p > 0 && p == P - 1;
    alarm(unsigned(g_opt['a'])), close(late ? g_paused[1] : g_resume[1]), close(g_go[1]);
    g_pausing = p < P - 1;
    // One.log's holder is about to rename it.
    if (late && read(g_paused[0], &g_byte, 1) < 0) _exit(3);
    for (long s = 0; s < kNames; ++s) Message(p, int(T), s).send();
    // The others start writing together, once each has sent its first messages:
    // a process that opened one.log for the first time later, at the instant
    // between its holder's rename and the holder's lock on the new file, could
    // take the new file (rightly), and the holder would go on in its own files.
    if (late ? write(g_resume[1], &g_byte, 1) != 1
             : write(g_ready[1], &g_byte, 1) != 1 || read(g_go[0], &g_byte, 1) != 0) _exit(3);
    vector<thread> threads;
    for (int w = 0; w < T; ++w)
      threads.emplace_back([p, w] { for (long s = 0; s < K; ++s) Message(p, w, s).send(); });
    for (thread &t : threads) t.join();
    exit(0);
  }
  for (long p = P > 1 ? P - 1 : 1; p > 0; --p) (void)!read(g_ready[0], &g_byte, 1);
  close(g_paused[1]), close(g_resume[1]), close(g_go[1]);
  for (int p = 0, status = 0; p < P; ++p) {
    if (waitpid(pids[p], &status, 0) < 0 || status) FAIL("process %d: status %#x", p, status);
    for (int w = 0; w <= T; ++w) seen.emplace_back(w == T ? kNames : K, 0);
    if (access((to_string(pids[p]) + "-one.log").c_str(), F_OK) != 0) winner = p;
  }
  printf("stress load: P=%ld T=%ld K=%ld size=%ldKB ", P, T, K, g_opt['s']);
}

void reload() {
  const long m = g_opt['m'], steps = long(size(kCycle)), end = g_opt['c'] * steps + 1;
  if (mkdir("sub", 0755) != 0) exit(2);
  // A removed file is missing, whatever /etc holds.
  setenv("QOTRACE_CFG", "qotrace.cfg", 1), qtest::setFakeClock(1700000000);
  const size_t fdsBefore = qtest::listDir("/proc/self/fd").size();
  // Writer t notes the last round applied before each call and the last
  // written after it, and makes m to 2m calls a round.
  atomic<long> written{0}, applied{0}, budget{0};
  vector<atomic<long>> calls(T);
  vector<thread> writers;
  windows.resize(T);
  for (long r = 0; r <= end; ++r) {  // at the end, the writers stop and a last reload closes all
    budget.store(r < end ? (r + 1) * 2 * m : 0);
    for (size_t t = 0; t < writers.size() && r == end; ++t) writers[t].join();
    // Stored before the file changes: a caller whose time predates the last
    // check runs another, which may find the new file before the clock moves.
    written.store(r);
    const Step &step = kCycle[r % steps];
    inForce.push_back(step.applied ? pair(r, step.variant) : inForce.back());
    if (step.variant >= 0) qtest::writeFile("next.cfg", expand(kVariant[step.variant].text, r));
    if (step.variant < 0 ? unlink("qotrace.cfg") != 0
        : !qtest::setMtime("next.cfg", 1600000000 + r / steps * 1000 + step.mtime) ||
              rename("next.cfg", "qotrace.cfg"))
      exit(2);
    qtest::advanceFakeClock(7200);  // past any deadline: one minute, or an hour after a reset
    // The check runs, if no writer ran it.
    qologLog("NOBODY", 64, "never written"), applied.store(r);
    for (int t = 0; t < T && r == 0; ++t)
      writers.emplace_back([&, t] {
        for (long s = 0; budget.load() > 0; calls[t].store(++s)) {
          while (s >= budget.load() && budget.load() > 0) usleep(50);
          // A braced list runs in order: the round applied, the call, the round written.
          windows[t].push_back({applied.load(), (Message(0, t, int(s)).send(), written.load())});
        }
      });
    for (int t = 0; t < T && r < end; ++t)
      while (calls[t].load() < r * 2 * m + m) usleep(100);
  }
  const size_t fdsAfter = qtest::listDir("/proc/self/fd").size();
  if (fdsAfter != fdsBefore) FAIL("descriptors: %zu before, %zu after", fdsBefore, fdsAfter);
  pids.push_back(getpid());
  for (int t = 0; t <= T; ++t) seen.emplace_back(t < T ? windows[t].size() : 0, 0);
  printf("stress reload: T=%ld rounds=%ld descriptors=%zu/%zu ", T, end - 1, fdsBefore, fdsAfter);
}

}  // namespace

// load: the first rename of one.log waits until the last process has sent
// its first message.
extern "C" int renameat(int fromDir, const char *from, int toDir, const char *to) {
  if (g_pausing && string_view(from) == "one.log" && write(g_paused[1], &g_byte, 1) == 1)
    g_pausing = read(g_resume[0], &g_byte, 1) < 0;
  return int(syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}

int main(int argc, char **argv) {
  string mode = argc > 1 ? argv[1] : "";
  g_load = mode == "load", g_opt['p'] = 4, g_opt['t'] = 4, g_opt['k'] = 18000, g_opt['c'] = 27;
  g_opt['s'] = g_load ? 64 : 16, g_opt['r'] = g_load ? 20 : 0, g_opt['m'] = 50, g_opt['a'] = 240;
  for (int c; argc > 1 && (c = getopt(argc - 1, argv + 1, "p:t:k:s:r:c:m:a:")) != -1;)
    c == '?' ? (void)mode.clear() : (void)(g_opt[c] = atol(optarg));
  if (mode != "load" && mode != "reload")
    return fprintf(stderr, "usage: %s load|reload [options] (see stress.cc)\n", argv[0]), 2;
  alarm(unsigned(g_opt['a'])), setenv("TZ", "UTC", 1);  // a hang fails the run
  T = g_opt['t'], K = g_opt['k'], limit = g_opt['s'] * 1024, P = g_load ? g_opt['p'] : 1;
  qtest::TempDir dir;
  if (chdir(dir.path().c_str()) != 0) return 2;
  (g_load ? load() : reload()), check();
  if (g_bad != 0) printf("FAIL; files kept in %s\n", dir.path().c_str()), fflush(stdout), _exit(1);
  puts("PASS");
}
