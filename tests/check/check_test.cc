// qolog-check against configuration files: its warnings, its exit status, and
// its --explain verdict against what the library writes.
#include <gtest/gtest.h>
#include <grp.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "qolog.h"
#include "support/scenario.h"

namespace {

struct ToolRun {
  std::string out;
  int status;
};

// Runs the tool in `dir` with QOTRACE_CFG set to `env` (empty: unset).
ToolRun runTool(const std::string &dir, const std::string &args, const std::string &env = "",
                const std::string &tool = QOLOG_CHECK) {
  std::string cmd = "cd '" + dir + "' && QOTRACE_CFG='" + env + "' '" + tool + "' " + args + " 2>&1";
  ToolRun r{"", -1};
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

ToolRun checkText(const std::string &cfg, const std::string &args = "",
                  const std::string &env = "") {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", cfg);
  return runTool(dir.path(), args, env);
}

const char kD[] = "[DEFAULT]\nLOGFILENAME=d.log\n";

struct WarnCase {
  std::string cfg;
  int line;
  const char *kind;
  const char *says;  // part of the message
};

// Text and JSON share the diagnostics: each kind is checked in JSON only.
const WarnCase kWarnCases[] = {
    {std::string(kD) + "XDEBUGLEVELX=ERROR", 3, "key-inside-word", "read as DEBUGLEVEL"},
    {std::string(kD) + "MAXFILESIZE=big", 3, "value-rejected", "no digit"},
    {std::string(kD) + "MAXFILESIZE=0MB", 3, "value-rejected", "the number is 0"},
    {std::string(kD) + "MAXFILESIZE=2mb", 3, "value-rejected", "lower case"},
    {std::string(kD) + "MAXFILESIZE=2", 3, "value-rejected", "no MB or KB"},
    {std::string(kD) + "RELOADPERIOD=2h", 3, "value-rejected", "only H and M"},
    {std::string(kD) + "ENABLETRACES=on", 3, "value-rejected", "neither ON nor OFF"},
    {std::string(kD) + "[A]\nLOGFILENAME=a\nLOGFILENAME=b", 5, "key-repeated", "line 4"},
    {std::string(kD) + "[A]\nLOGFILENAME=a\nENABLETRACES=ON", 5, "key-not-in-section", "only in [DEFAULT]"},
    {std::string(kD) + "hello", 3, "no-key", "ignored"},
    {std::string(kD) + "DEBUGLEVEL=ERROR", 3, "level-word-inside-word", "DEBUG is found inside the key"},
    {std::string(kD) + "DebugLevel=PROCINFO", 3, "level-word-inside-word", "INFO is found inside \"PROCINFO\""},
    {std::string(kD) + "DebugLevel=NONE,ERROR", 3, "none-empties-mask", "NONE"},
    {std::string(kD) + "DebugLevel=Error", 3, "level-word-case", "\"Error\""},
    {std::string(kD) + "DebugLevel = ERROR, INFO, DEBG", 3, "unknown-level-word", "\"DEBG\" is not a level word and is ignored: did you mean DEBUG?"},
    {std::string(kD) + "ENABLETRACES=NONE", 3, "on-inside-word", "turned on"},
    {std::string(kD) + "[DEFAULT]\nDEBUGLEVEL=ALL", 3, "section-dropped", "second [DEFAULT]"},
    {std::string(kD) + "[A\n[B]", 3, "malformed-header", "every later section"},
    {std::string(kD) + "\t[A]\nLOGFILENAME=a", 3, "not-a-header", "a tab stands before '[', so the line is not a header"},
    {std::string(kD) + "x[A]", 3, "not-a-header", "text stands before '[': \"x\""},
    {std::string(kD) + "[" + std::string(40, 'n') + "]\nLOGFILENAME=n", 3, "name-cut", "40 characters: only the first 33"},
    {std::string(kD) + "[net]\nLOGFILENAME=n", 3, "name-case", "stored as \"NET\""},
    {std::string(kD) + "[A]\nLOGFILENAME=a\n[a]\nLOGFILENAME=b", 5, "duplicate-section", "line 3"},
    {std::string(kD) + "[A]", 3, "module-without-file", "dropped"},
    {"[DEFAULT]\n[A]\nLOGFILENAME=a.log", 1, "default-without-file", "\"a.log\" of [A]"},
    {"[DEFAULT]\nDEBUGLEVEL=ALL", 1, "default-without-file", "dropped"},
    {std::string(kD) + "[A]\nLOGFILENAME=", 4, "empty-path", "empty"},
    {std::string(kD) + "[A]\nLOGFILENAME = \"my a.log\"", 4, "path-rewritten", "written \"my a.log\" and used as \"mya.log\""},
    {std::string(kD) + "[A]\nLOGFILENAME =\ta.log", 4, "path-tab", "the file is \"\\ta.log\""},
    {std::string(kD) + "[A]\nLOGFILENAME=nodir/a.log", 4, "file-unreachable", "No such file or directory (the directory nodir does not exist): the lines of [A] go to no file"},
    {std::string(kD) + "[A]\nLOGFILENAME=qotrace.cfg/a.log", 4, "file-unreachable", "Not a directory (qotrace.cfg is not a directory)"},
    {std::string(kD) + "[A]\nLOGFILENAME=.", 4, "file-unreachable", "Is a directory: the lines of [A] go to no file (a path that is not a regular file"},
    {std::string(kD) + "[A]\nLOGFILENAME=nodir/a.log", 4, "per-process-names", "the lines of [DEFAULT] move to such names"},
    {std::string(kD) + "[A]\nLOGFILENAME=/dev/null", 4, "not-regular-file", "a character device: written without a lock"},
    {std::string(kD) + "[A]\nLOGFILENAME=/dev/stdout", 4, "symbolic-link", "symbolic link to /proc/self/fd/1"},
    {std::string(kD) + [] {
       std::string s;
       for (int i = 0; i < 128; ++i) s += "[M" + std::to_string(i) + "]\n";
       return s;
     }(),
     130, "section-dropped", "[M127] is dropped: the module table holds DEFAULT and 127 modules"},
    {std::string(kD) + "[A]\nLOGFILENAME=a\n" + std::string(1100, 'x'), 5, "long-line", "1023"},
};

std::string jsonEscaped(const std::string &s) {
  std::string out;
  for (char c : s) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out;
}

TEST(QologCheck, EachSurpriseIsReportedOnItsLine) {
  for (const WarnCase &c : kWarnCases) {
    SCOPED_TRACE(c.cfg);
    ToolRun json = checkText(c.cfg, "--json --strict");
    EXPECT_EQ(json.status, 1);
    std::string want = "\"kind\":\"" + std::string(c.kind) + "\"";
    bool found = false;
    for (size_t at = json.out.find("{\"line\":" + std::to_string(c.line) + ",");
         at != std::string::npos && !found; at = json.out.find("{\"line\":", at + 1)) {
      std::string warning = json.out.substr(at, json.out.find('}', at) - at);
      found = warning.find(want) != std::string::npos &&
              warning.find(jsonEscaped(c.says)) != std::string::npos;
    }
    EXPECT_TRUE(found) << json.out;
  }
}

TEST(QologCheck, EffectiveConfigurationAndExitStatus) {
  const std::string clean =
      "[DEFAULT]\nLOGFILENAME=d.log\nDebugLevel=ERROR\nRELOADPERIOD=2H\n"
      "[A]\nLOGFILENAME=d.log\nMAXFILESIZE=1KB\nMAXFILEBACKUPS=2\n";
  ToolRun r = checkText(clean, "--json --strict");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"file\":\"qotrace.cfg\",\"found\":true,\"where\":\"found in the current "
            "directory\",\"status\":\"ok\",\"reload_period_minutes\":120,\"default_fallback\":"
            "false,\"modules\":[{\"slot\":0,\"name\":\"DEFAULT\",\"level_mask\":1,\"levels\":"
            "[\"ERROR\"],\"file\":\"d.log\",\"file_slot\":0,\"shared_with\":[\"A\"],"
            "\"max_file_size\":10485760,\"max_file_backups\":5,\"outputs\":[\"file\"]},"
            "{\"slot\":1,\"name\":\"A\",\"level_mask\":1,\"levels\":[\"ERROR\"],\"file\":"
            "\"d.log\",\"file_slot\":0,\"shared_with\":[\"DEFAULT\"],\"max_file_size\":1024,"
            "\"max_file_backups\":2,\"outputs\":[\"file\"]}],\"warnings\":[]}\n");
  // The text output: sizes, a period of one minute, and a line holding a tab.
  std::string text = checkText(clean + "\t[B]").out + checkText("[DEFAULT]\nRELOADPERIOD=1M").out;
  for (const char *says : {"rolls at 1024 bytes (1 KB), keeps 2 backups", "  line 9: \\t[B]\n",
                           "reload period: 1 minute\n"}) {
    EXPECT_NE(text.find(says), std::string::npos) << says << "\n" << text;
  }

  const std::string unreachable = clean + "[B]\nLOGFILENAME=nodir/b.log\n";
  struct {
    std::string cfg, env, args;
    int status;
  } const kStatus[] = {
      {clean, "", "", 0},
      {clean + "junk", "", "", 0},
      {clean + "junk", "", "--strict", 1},
      {"DEBUGLEVEL=ALL\n[DEFAULT]", "", "", 2},  // the first line is not a header
      {"; nothing but a comment\n", "", "", 0},
      {clean, "", "missing.cfg", 2},
      {clean, "", ".", 2},  // not a regular file
      {clean, "", "--current A", 2},
      {clean, "", "--explain", 2},
      {clean, "", "--explain A NOTALEVEL", 2},
      {clean, "", "--explain A ERROR", 0},
      {clean, "", "--explain A DEBUG", 1},  // below the level: written nowhere
      {unreachable, "", "--explain B ERROR", 1},
      {unreachable, "", "--explain A ERROR", 0},
      {unreachable, "", "--explain A ERROR --strict", 1},
      {clean, "", "--explain A ERROR missing.cfg", 2},
      {clean + "junk", "qotrace.cfg", "--strict", 1},  // read through QOTRACE_CFG
      {clean, "missing.cfg", "", 2},                   // then ./qotrace.cfg is not read
      {clean, "missing.cfg", "--explain A ERROR", 2},
  };
  for (const auto &c : kStatus) {
    SCOPED_TRACE(c.cfg + " / " + c.env + " / " + c.args);
    EXPECT_EQ(checkText(c.cfg, c.args, c.env).status, c.status);
  }
}

// The value of "key" in the explanation: a string, or "" for null.
std::string field(const std::string &json, const std::string &key) {
  size_t at = json.rfind("\"" + key + "\":");
  if (at == std::string::npos) return "?";
  at += key.size() + 3;
  return json[at] != '"' ? "" : json.substr(at + 1, json.find('"', at + 1) - at - 1);
}

// Where "the call" was written under `dir`: the file's path, with a leading
// process id written as <pid>; "" when nowhere.
std::string landing(const std::string &dir, const std::string &prefix = "") {
  std::string found;
  for (const std::string &name : qtest::listDir(dir + "/" + prefix)) {
    std::string path = prefix + name, inner = landing(dir, path + "/");
    if (!inner.empty()) found = inner;
    if (qtest::readFile(dir + "/" + path).find("the call") == std::string::npos) continue;
    size_t digits = name.find_first_not_of("0123456789");
    found = prefix + (digits > 0 && name[digits] == '-' ? "<pid>" + name.substr(digits) : name);
  }
  return found;
}

// Every --explain verdict against a child that makes the same call: the line
// lands where the verdict says (the configured file, the per-process name or
// no file) and the exit status follows. Root opens every file, so the child
// drops to uid 65534 first and runs a copy of the tool that user can reach.
TEST(QologCheck, ExplainAgreesWithTheLibrary) {
  qtest::TempDir bin;
  std::string tool = bin.file("qolog-check");
  ASSERT_EQ(system(("cp '" QOLOG_CHECK "' '" + tool + "'").c_str()), 0);
  ASSERT_EQ(chmod(bin.path().c_str(), 0755), 0);
  const std::string cfg =
      "[DEFAULT]\nDebugLevel=ERROR\nENABLETRACES=ON\n"
      "[net]\nLOGFILENAME=net.log\nDebugLevel=ERROR,INFO\n"
      "[mute]\n"
      "[Db]\nLOGFILENAME=db.log\nDEBUGLEVEL=ERROR\n";
  const std::string off = std::string(cfg).replace(cfg.find("ON"), 2, "OFF");
  const auto at = [](const char *path) { return "[DEFAULT]\nLOGFILENAME=" + std::string(path); };
  const std::function<void()> none = [] {};
  struct {
    std::string cfg;
    const char *name;
    bool current;
    unsigned level;
    std::function<void()> make;
    const char *lands;  // where the library writes: "" nowhere
  } const kRows[] = {
      {cfg, "NET", false, QOLOG_INFO, none, "net.log"},
      {cfg, "NET", false, QOLOG_DEBUG, none, ""},
      {cfg, "net", false, QOLOG_ERROR, none, "net.log"},  // DEFAULT stands in on slot 0
      {off, "net", false, QOLOG_ERROR, none, ""},
      {cfg, "net", true, QOLOG_INFO, none, "net.log"},
      {cfg, "MUTE", false, QOLOG_ERROR, none, ""},
      {cfg, "DB", false, QOLOG_DEBUG, none, "db.log"},  // the key's own DEBUG
      {cfg, "DB", false, 0, none, ""},
      {cfg, "DB", false, 64 | QOLOG_ERROR, none, ""},
      {cfg, "nobody", true, QOLOG_ERROR, none, "net.log"},
      {at("logs/db.log"), "DEFAULT", false, QOLOG_ERROR, [] { mkdir("logs", 0755); }, "logs/db.log"},
      {at("nodir/db.log"), "DEFAULT", false, QOLOG_ERROR, none, ""},
      {at("ro/db.log"), "DEFAULT", false, QOLOG_ERROR, [] { mkdir("ro", 0555); }, ""},
      {at("db.log"), "DEFAULT", false, QOLOG_ERROR,
       [] {
         qtest::writeFile("db.log", "");
         chmod("db.log", 0444);
       },
       "<pid>-db.log"},
  };
  for (const auto &row : kRows) {
    SCOPED_TRACE(row.cfg + " / " + row.name + " / " + std::to_string(row.level));
    qtest::TempDir dir;
    dir.write("qotrace.cfg", row.cfg);
    ASSERT_EQ(geteuid() != 0 || chown(dir.path().c_str(), 65534, 65534) == 0, true);
    ASSERT_EQ(qtest::runInChild(dir.path(), [&] {
      CHILD_CHECK(geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 &&
                                     setuid(65534) == 0));
      row.make();
      ToolRun r = runTool(".", std::string("--json --explain ") + (row.current ? "--current " : "") +
                                   row.name + " " + std::to_string(row.level), "", tool);
      qtest::writeFile("verdict.json", r.out + std::to_string(r.status));
      CHILD_CHECK(qtest::runInChild(".", [&] {
        if (row.current) qologSetModuleName(row.name);
        if (row.current) qologTrace(row.level, "the call");
        else qologLog(row.name, row.level, "the call");
      }) == 0);
    }), 0);
    std::string json = qtest::readFile(dir.file("verdict.json"));
    bool written = json.find("\"written\":true") != std::string::npos;
    EXPECT_EQ(landing(dir.path()), row.lands);
    EXPECT_EQ(written ? field(json, "file") : field(json, "instead"), row.lands) << json;
    EXPECT_EQ(json.back(), written ? '0' : '1') << json;
  }
}

}  // namespace
