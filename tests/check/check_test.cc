// qolog-check against configuration files: one warning of each kind, the exit
// statuses, the effective configuration, and the --explain verdict against
// where the library really writes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qolog.h"
#include "support/scenario.h"

namespace {

// Runs a shell command: its exit status, its output (both streams) in *out.
int run(const std::string &cmd, std::string *out) {
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  for (int c; (c = fgetc(p)) != EOF;) *out += static_cast<char>(c);
  int raw = pclose(p);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Each row's command runs where its `cfg` is ./qotrace.cfg, $Q is the tool and
// QOTRACE_CFG is unset. A row with a kind: one warning of that kind, checked
// in JSON (the text output renders the same diagnostics) on the line named,
// holding `says` in its message. Else `cmd`'s exit status and a part of its output
// (the effective configuration in JSON, then in text: sizes, a period of one
// minute, a line holding a tab); --explain's 0 and 1 (written, or nowhere)
// are checked against the library below.
TEST(QologCheck, WarningsEffectiveConfigurationAndExitStatus) {
  const std::string d = "[DEFAULT]\nLOGFILENAME=d.log\n", a = d + "[A]\nLOGFILENAME=", clean =
      "[DEFAULT]\nLOGFILENAME=d.log\nDebugLevel=ERROR\nRELOADPERIOD=2H\n"
      "[A]\nLOGFILENAME=d.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=2\n";
  std::string full = d;
  for (int i = 0; i < 128; ++i) full += "[M" + std::to_string(i) + "]\n";
  const struct { std::string cfg; int line; const char *kind, *says, *cmd = ""; int status = 0; } kRows[] = {
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
      {clean, 0, "",
       R"({"file":"qotrace.cfg","found":true,"where":"found in the current directory","status":"ok",)"
       R"("reload_period_minutes":120,"default_fallback":false,"modules":[{"slot":0,"name":"DEFAULT",)"
       R"("level_mask":1,"levels":["ERROR"],"file":"d.log","file_slot":0,"shared_with":["A"],)"
       R"("max_file_size":10485760,"max_file_backups":5,"outputs":["file"]},{"slot":1,"name":"A",)"
       R"("level_mask":1,"levels":["ERROR"],"file":"d.log","file_slot":0,"shared_with":["DEFAULT"],)"
       R"("max_file_size":1024,"max_file_backups":2,"outputs":["file"]}],"warnings":[]})" "\n",
       "$Q --json"},
      {clean + "\t[B]", 0, "",  // warned, without --strict
       "rolls at 1024 bytes (1 KB), keeps 2 backups\n      outputs  log file\n\n1 warning:\n"
       "  line 9: \\t[B]\n      a tab stands before '[', so the line is not a header", "$Q"},
      {"; a comment first\n[DEFAULT]\nRELOADPERIOD=1M", 0, "", "reload period: 1 minute\n", "$Q"},
      {clean + "junk", 0, "", "", "QOTRACE_CFG=qotrace.cfg $Q --strict", 1},
      {"DEBUGLEVEL=ALL\n[DEFAULT]", 0, "", "", "$Q", 2},  // the first line is no header
      {clean, 0, "", "", "QOTRACE_CFG=missing.cfg $Q", 2},  // then ./qotrace.cfg is not read
      {clean, 0, "", "", "$Q --explain A NOTALEVEL", 2},
      {clean, 0, "", "", "$Q --explain A ERROR missing.cfg", 2},
      {clean + "junk", 0, "", "", "$Q --strict --explain A ERROR", 1},  // written, with warnings
  };
  for (const auto &row : kRows) {
    // A warning's JSON object, its escapes undone.
    std::string out, cmd = *row.kind ? "$Q --json | grep -o '{\"line\":" + std::to_string(row.line) + ",[^}]*\"kind\":\"" +
                                           row.kind + "\"[^}]*' | sed 's/\\\\\\(.\\)/\\1/g'"
                                     : row.cmd;
    qtest::TempDir dir;
    dir.write("qotrace.cfg", row.cfg);
    EXPECT_EQ(run("cd '" + dir.path() + "' && export QOTRACE_CFG= Q='" QOLOG_CHECK "' && " + cmd, &out),
              row.status) << row.cfg << "\n" << cmd;
    EXPECT_NE(out.find(row.says), std::string::npos) << row.cfg << "\n" << row.says << "\n" << out;
  }
}

// Every --explain verdict against the same call made by the library: the line
// lands where the verdict says (the configured file, the per-process name or
// no file) and the exit status follows. Root opens every file, so the child
// drops to uid 65534 first and runs a copy of the tool in its directory.
TEST(QologCheck, ExplainAgreesWithTheLibrary) {
  const std::string at = "[DEFAULT]\nLOGFILENAME=", cfg =
      "[DEFAULT]\nDebugLevel=ERROR\nENABLETRACES=ON\n[net]\nLOGFILENAME=net.log\n"
      "DebugLevel=ERROR,INFO\n[mute]\n[Db]\nLOGFILENAME=db.log\nDEBUGLEVEL=ERROR\n";
  // name: the module, or --current and the current module's name; make: a
  // shell command run first, as that user; lands: where the library writes
  // ("" nowhere).
  const struct { std::string cfg; const char *name; unsigned level; const char *make, *lands; } kRows[] = {
      {cfg, "NET", QOLOG_INFO, "", "net.log"},
      {cfg, "net", QOLOG_ERROR, "", "net.log"},  // DEFAULT stands in on slot 0
      {std::string(cfg).replace(cfg.find("ON"), 2, "OFF"), "net", QOLOG_ERROR, "", ""},
      {cfg, "--current net", QOLOG_INFO, "", "net.log"},
      {cfg, "MUTE", QOLOG_ERROR, "", ""},
      {cfg, "DB", QOLOG_DEBUG, "", "db.log"},  // the key's own DEBUG
      {cfg, "DB", 0, "", ""},
      {cfg, "DB", 64 | QOLOG_ERROR, "", ""},
      {at + "logs", "DEFAULT", QOLOG_ERROR, "mkdir logs", ""},  // no per-process name
      {at + "ro/db.log", "DEFAULT", QOLOG_ERROR, "mkdir -m 555 ro", ""},
      {at + "logs/db.log", "DEFAULT", QOLOG_ERROR,
       "mkdir logs && :>logs/db.log && chmod 444 logs/db.log", "logs/<pid>-db.log"},
  };
  for (const auto &row : kRows) {
    qtest::scenario(row.cfg, 0, [&] {
      CHILD_CHECK(system("cp '" QOLOG_CHECK "' .") == 0 && qtest::dropRoot());
      CHILD_CHECK(system(row.make) == 0);
      std::string verdict, lands;
      int status = run(std::string("QOTRACE_CFG= ./qolog-check --json --explain ") + row.name + " " +
                       std::to_string(row.level), &verdict);
      *row.name == '-' ? (qologSetModuleName(row.name + 10), qologTrace(row.level, "the call"))
                       : qologLog(row.name, row.level, "the call");
      // Every file holding the line, a leading process id written as <pid>;
      // then the verdict's file when written, else where the lines go
      // instead; then the exit status.
      run("grep -rl --exclude=qolog-check 'the call' . | sed -E 's,^\\./,,; s,(^|/)[0-9]+-,\\1<pid>-,' | tr -d '\\n'",
          &lands);
      bool written = verdict.find("\"written\":true") != std::string::npos;
      std::string key = written ? "\"file\":" : "\"instead\":";
      std::string want = key + (*row.lands ? "\"" + std::string(row.lands) + "\"" : "null");
      qtest::wantSame(verdict, lands + " " + verdict.substr(verdict.rfind(key), want.size()) + " " + std::to_string(status),
                      row.lands + (" " + want) + (written ? " 0" : " 1"));
    });
  }
}

}  // namespace
