// qolog-check against configuration files: one warning of each kind, the exit
// statuses, the effective configuration, and the --explain verdict against
// where the library really writes.
#include <gtest/gtest.h>
#include <grp.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qolog.h"
#include "support/scenario.h"

namespace {

// Runs a shell command: its exit status, its output (both streams) in *out.
int run(const std::string &cmd, std::string *out) {
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out->append(buf, n);
  int raw = p != nullptr ? pclose(p) : -1;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The tool run where `cfg` is ./qotrace.cfg, with QOTRACE_CFG set to `env` (empty: unset).
int check(const std::string &cfg, const std::string &args, std::string *out,
          const std::string &env = "") {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", cfg);
  return run("cd '" + dir.path() + "' && QOTRACE_CFG='" + env + "' '" QOLOG_CHECK "' " + args, out);
}

// One row per kind of warning, checked in JSON (the text output renders the
// same diagnostics): the kind, on the line named, and part of its message.
TEST(QologCheck, EachSurpriseIsReportedOnItsLine) {
  const std::string d = "[DEFAULT]\nLOGFILENAME=d.log\n", a = d + "[A]\nLOGFILENAME=";
  std::string full = d;
  for (int i = 0; i < 128; ++i) full += "[M" + std::to_string(i) + "]\n";
  const struct { std::string cfg; int line; const char *kind, *says; } kRows[] = {
      {d + "XDEBUGLEVELX=ERROR", 3, "key-inside-word", "read as DEBUGLEVEL"},
      {d + "MAXFILESIZE=0MB", 3, "value-rejected", "the number is 0"},
      {a + "a\nLOGFILENAME=b", 5, "key-repeated", "line 4"},
      {a + "a\nENABLETRACES=ON", 5, "key-not-in-section", "only in [DEFAULT]"},
      {d + "DebugLevel=PROCINFO", 3, "level-word-inside-word", "INFO is found inside \"PROCINFO\""},
      {d + "DebugLevel=NONE,ERROR", 3, "none-empties-mask", "NONE"},
      {d + "DebugLevel=Error", 3, "level-word-case", "\"Error\" is not a level word"},
      {d + "DebugLevel = ERROR, DEBG", 3, "unknown-level-word", "\"DEBG\" is not a level word and is ignored: did you mean DEBUG?"},
      {d + "ENABLETRACES=NONE", 3, "on-inside-word", "turned on"},
      {full, 130, "section-dropped", "[M127] is dropped: the module table holds DEFAULT and 127 modules"},
      {d + "[A\n[B]", 3, "malformed-header", "every later section"},
      {d + "[" + std::string(40, 'n') + "]\nLOGFILENAME=n", 3, "name-cut", "40 characters: only the first 33"},
      {d + "[net]\nLOGFILENAME=n", 3, "name-case", "stored as \"NET\""},
      {a + "a\n[a]\nLOGFILENAME=b", 5, "duplicate-section", "line 3"},
      {d + "[A]", 3, "module-without-file", "dropped"},
      {"[DEFAULT]\n[A]\nLOGFILENAME=a.log", 1, "default-without-file", "\"a.log\" of [A]"},
      {a, 4, "empty-path", "empty"},
      {a + " \"my a.log\"", 4, "path-rewritten", "written \"my a.log\" and used as \"mya.log\""},
      {a + "\ta.log", 4, "path-tab", "the file is \"\\ta.log\""},
      {a + "nodir/a.log", 4, "file-unreachable", "No such file or directory (the directory nodir does not exist): the lines of [A] go to no file"},
      {a + "nodir/a.log", 4, "per-process-names", "the lines of [DEFAULT] move to such names"},
      {a + "/dev/null", 4, "not-regular-file", "a character device: written without a lock"},
      {a + "/dev/stdout", 4, "symbolic-link", "symbolic link to /proc/self/fd/1"},
      {a + "a\n" + std::string(1100, 'x'), 5, "long-line", "1023"},
  };
  for (const auto &row : kRows) {
    // The row's warnings, one a line: its line number and kind, then the message.
    std::string found, says;
    check(row.cfg, "--json | grep -o '{\"line\":" + std::to_string(row.line) + ",[^}]*\"kind\":\"" +
                       row.kind + "\"[^}]*'", &found);
    for (char c : std::string(row.says)) says += std::string(c == '"' || c == '\\', '\\') + c;
    EXPECT_NE(found.find(says), std::string::npos) << row.cfg << "\n" << row.kind << ": " << found;
  }
}

// The effective configuration (JSON, then text: sizes, a period of one
// minute, a line holding a tab) and the exit statuses; --explain's 0 and 1
// (written, or nowhere) are checked against the library below.
TEST(QologCheck, EffectiveConfigurationAndExitStatus) {
  const std::string clean =
      "[DEFAULT]\nLOGFILENAME=d.log\nDebugLevel=ERROR\nRELOADPERIOD=2H\n"
      "[A]\nLOGFILENAME=d.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=2\n";
  const struct { std::string cfg, env, args; int status; const char *says; } kRows[] = {
      {clean, "", "--json", 0,
       R"({"file":"qotrace.cfg","found":true,"where":"found in the current directory","status":"ok",)"
       R"("reload_period_minutes":120,"default_fallback":false,"modules":[{"slot":0,"name":"DEFAULT",)"
       R"("level_mask":1,"levels":["ERROR"],"file":"d.log","file_slot":0,"shared_with":["A"],)"
       R"("max_file_size":10485760,"max_file_backups":5,"outputs":["file"]},{"slot":1,"name":"A",)"
       R"("level_mask":1,"levels":["ERROR"],"file":"d.log","file_slot":0,"shared_with":["DEFAULT"],)"
       R"("max_file_size":1024,"max_file_backups":2,"outputs":["file"]}],"warnings":[]})" "\n"},
      {clean + "\t[B]", "", "", 0,  // warned, without --strict
       "rolls at 1024 bytes (1 KB), keeps 2 backups\n      outputs  log file\n\n1 warning:\n"
       "  line 9: \\t[B]\n      a tab stands before '[', so the line is not a header"},
      {"[DEFAULT]\nRELOADPERIOD=1M", "", "", 0, "reload period: 1 minute\n"},
      {clean + "junk", "qotrace.cfg", "--strict", 1, ""},     // named by QOTRACE_CFG
      {"DEBUGLEVEL=ALL\n[DEFAULT]", "", "", 2, ""},           // the first line is no header
      {"; nothing but a comment\n", "", "", 0, ""},
      {clean, "missing.cfg", "", 2, ""},                      // then ./qotrace.cfg is not read
      {clean, "", "--explain A NOTALEVEL", 2, ""},
      {clean, "", "--explain A ERROR missing.cfg", 2, ""},
      {clean + "junk", "", "--strict --explain A ERROR", 1, ""},  // written, with warnings
  };
  for (const auto &row : kRows) {
    std::string out;
    EXPECT_EQ(check(row.cfg, row.args, &out, row.env), row.status) << row.env << " / " << row.args;
    EXPECT_NE(out.find(row.says), std::string::npos) << row.cfg << "\n" << row.says << "\n" << out;
  }
}

// Every --explain verdict against the same call made by the library: the line
// lands where the verdict says (the configured file, the per-process name or
// no file) and the exit status follows. Root opens every file, so the child
// drops to uid 65534 first and runs a copy of the tool that user can reach.
TEST(QologCheck, ExplainAgreesWithTheLibrary) {
  qtest::TempDir bin;
  const std::string tool = bin.file("qolog-check"), at = "[DEFAULT]\nLOGFILENAME=";
  ASSERT_EQ(system(("cp '" QOLOG_CHECK "' " + tool + " && chmod 755 " + bin.path()).c_str()), 0);
  const std::string cfg =
      "[DEFAULT]\nDebugLevel=ERROR\nENABLETRACES=ON\n[net]\nLOGFILENAME=net.log\n"
      "DebugLevel=ERROR,INFO\n[mute]\n[Db]\nLOGFILENAME=db.log\nDEBUGLEVEL=ERROR\n";
  const std::string off = std::string(cfg).replace(cfg.find("ON"), 2, "OFF");
  // make: a shell command run first, as that user; lands: where the library
  // writes ("" nowhere).
  const struct { std::string cfg; const char *name; bool current; unsigned level;
                 const char *make, *lands; } kRows[] = {
      {cfg, "NET", false, QOLOG_INFO, "", "net.log"},
      {cfg, "NET", false, QOLOG_DEBUG, "", ""},
      {cfg, "net", false, QOLOG_ERROR, "", "net.log"},  // DEFAULT stands in on slot 0
      {off, "net", false, QOLOG_ERROR, "", ""},
      {cfg, "net", true, QOLOG_INFO, "", "net.log"},
      {cfg, "MUTE", false, QOLOG_ERROR, "", ""},
      {cfg, "DB", false, QOLOG_DEBUG, "", "db.log"},  // the key's own DEBUG
      {cfg, "DB", false, 0, "", ""},
      {cfg, "DB", false, 64 | QOLOG_ERROR, "", ""},
      {at + "logs", "DEFAULT", false, QOLOG_ERROR, "mkdir logs", ""},  // no per-process name
      {at + "ro/db.log", "DEFAULT", false, QOLOG_ERROR, "mkdir -m 555 ro", ""},
      {at + "logs/db.log", "DEFAULT", false, QOLOG_ERROR,
       "mkdir logs && :>logs/db.log && chmod 444 logs/db.log", "logs/<pid>-db.log"},
  };
  for (const auto &row : kRows) {
    qtest::scenario(row.cfg, 0, [&] {
      CHILD_CHECK(geteuid() != 0 || (chown(".", 65534, 65534) == 0 && setgroups(0, nullptr) == 0 &&
                                     setgid(65534) == 0 && setuid(65534) == 0));
      CHILD_CHECK(system(row.make) == 0);
      std::string verdict, lands;
      int status = run("QOTRACE_CFG= " + tool + " --json --explain " + (row.current ? "--current " : "") +
                       row.name + " " + std::to_string(row.level), &verdict);
      row.current ? (qologSetModuleName(row.name), qologTrace(row.level, "the call"))
                  : qologLog(row.name, row.level, "the call");
      // Every file holding the line, a leading process id written as <pid>;
      // the verdict's file when written, else where the lines go instead.
      run("grep -rl 'the call' . | sed -E 's,^\\./,,; s,(^|/)[0-9]+-,\\1<pid>-,' | tr -d '\\n'",
          &lands);
      bool written = verdict.find("\"written\":true") != std::string::npos;
      std::string key = written ? "\"file\":" : "\"instead\":";
      std::string want = key + (*row.lands ? "\"" + std::string(row.lands) + "\"" : "null");
      qtest::wantSame(verdict, lands, row.lands);
      qtest::wantSame(verdict, verdict.substr(verdict.rfind(key), want.size()), want);
      CHILD_CHECK(status == (written ? 0 : 1));
    });
  }
}

}  // namespace
