// qolog-check against configuration files: its warnings (text and JSON), its
// exit status, and its --explain verdict against what the library writes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "qolog.h"
#include "support/scenario.h"

namespace {

struct ToolRun {
  std::string out;
  int status;
};

ToolRun runTool(const qtest::TempDir &dir, const std::string &args) {
  std::string cmd = "cd '" + dir.path() + "' && '" QOLOG_CHECK "' " + args + " 2>&1";
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

ToolRun checkText(const std::string &cfg, const std::string &args = "") {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", cfg);
  return runTool(dir, args);
}

const char kD[] = "[DEFAULT]\nLOGFILENAME=d.log\n";

struct WarnCase {
  std::string cfg;
  int line;
  const char *kind;
  const char *says;  // part of the message
};

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
    {std::string(kD) + "ENABLETRACES=NONE", 3, "on-inside-word", "turned on"},
    {std::string(kD) + "[DEFAULT]\nDEBUGLEVEL=ALL", 3, "section-dropped", "second [DEFAULT]"},
    {std::string(kD) + "[A\n[B]", 3, "malformed-header", "every later section"},
    {std::string(kD) + "[" + std::string(40, 'n') + "]\nLOGFILENAME=n", 3, "name-cut", "40 characters"},
    {std::string(kD) + "[net]\nLOGFILENAME=n", 3, "name-case", "stored as \"NET\""},
    {std::string(kD) + "[A]\nLOGFILENAME=a\n[a]\nLOGFILENAME=b", 5, "duplicate-section", "line 3"},
    {std::string(kD) + "[A]", 3, "module-without-file", "dropped"},
    {"[DEFAULT]\n[A]\nLOGFILENAME=a.log", 1, "default-without-file", "\"a.log\" of [A]"},
    {"[DEFAULT]\nDEBUGLEVEL=ALL", 1, "default-without-file", "dropped"},
    {std::string(kD) + "[A]\nLOGFILENAME=", 4, "empty-path", "empty"},
    {std::string(kD) + [] {
       std::string s;
       for (int i = 0; i < 128; ++i) s += "[M" + std::to_string(i) + "]\n";
       return s;
     }(),
     130, "section-dropped", "[M127] is dropped"},
    {std::string(kD) + "[A]\nLOGFILENAME=a\n" + std::string(1100, 'x'), 5, "long-line", "1023"},
};

TEST(QologCheck, EachSurpriseIsReportedOnItsLine) {
  for (const WarnCase &c : kWarnCases) {
    SCOPED_TRACE(c.cfg);
    ToolRun text = checkText(c.cfg);
    EXPECT_EQ(text.status, 0);
    size_t at = text.out.find("  line " + std::to_string(c.line) + ": ");
    ASSERT_NE(at, std::string::npos) << text.out;
    EXPECT_NE(text.out.find(c.says, at), std::string::npos) << text.out;
    ToolRun json = checkText(c.cfg, "--json --strict");
    EXPECT_EQ(json.status, 1);
    std::string want = "{\"line\":" + std::to_string(c.line) + ",";
    at = json.out.find(want);
    ASSERT_NE(at, std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"kind\":\"" + std::string(c.kind) + "\"", at), std::string::npos)
        << json.out;
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
  EXPECT_NE(checkText(clean).out.find("rolls at 1024 bytes (1 KB), keeps 2 backups"),
            std::string::npos);

  struct {
    std::string cfg, args;
    int status;
  } const kStatus[] = {
      {clean, "", 0},
      {clean + "junk", "", 0},
      {clean + "junk", "--strict", 1},
      {"DEBUGLEVEL=ALL\n[DEFAULT]", "", 2},  // the first line is not a header
      {"; nothing but a comment\n", "", 0},
      {clean, "missing.cfg", 2},
      {clean, ".", 2},  // not a regular file
      {clean, "--current A", 2},
      {clean, "--explain", 2},
      {clean, "--explain A NOTALEVEL", 2},
  };
  for (const auto &c : kStatus) {
    SCOPED_TRACE(c.cfg + " / " + c.args);
    EXPECT_EQ(checkText(c.cfg, c.args).status, c.status);
  }
}

// Every --explain verdict is checked against a child process that makes the
// same call: the line must be in the named file, or in no file at all.
TEST(QologCheck, ExplainAgreesWithTheLibrary) {
  const std::string cfg =
      "[DEFAULT]\nDebugLevel=ERROR\nENABLETRACES=ON\n"
      "[net]\nLOGFILENAME=net.log\nDebugLevel=ERROR,INFO\n"
      "[mute]\n"
      "[Db]\nLOGFILENAME=db.log\nDEBUGLEVEL=ERROR\n";
  const std::string cfgOff = std::string(cfg).replace(cfg.find("ON"), 2, "OFF");
  struct {
    const std::string *cfg;
    const char *name;
    bool current;
    unsigned level;
    const char *file;  // "" when nothing is written
  } const kCalls[] = {
      {&cfg, "NET", false, QOLOG_INFO, "net.log"},
      {&cfg, "NET", false, QOLOG_DEBUG, ""},
      {&cfg, "net", false, QOLOG_ERROR, "net.log"},  // DEFAULT stands in on slot 0
      {&cfgOff, "net", false, QOLOG_ERROR, ""},
      {&cfg, "net", true, QOLOG_INFO, "net.log"},
      {&cfg, "MUTE", false, QOLOG_ERROR, ""},
      {&cfg, "DB", false, QOLOG_DEBUG, "db.log"},  // the key's own DEBUG
      {&cfg, "DB", false, 0, ""},
      {&cfg, "DB", false, 64 | QOLOG_ERROR, ""},
      {&cfg, "nobody", true, QOLOG_ERROR, "net.log"},
  };
  for (const auto &c : kCalls) {
    SCOPED_TRACE(std::string(c.name) + " level " + std::to_string(c.level));
    qtest::TempDir dir;
    dir.write("qotrace.cfg", *c.cfg);
    std::string args = std::string("--json --explain ") + (c.current ? "--current " : "") +
                       c.name + " " + std::to_string(c.level);
    ToolRun r = runTool(dir, args);
    std::string verdict = *c.file ? std::string("\"written\":true") : "\"written\":false";
    EXPECT_NE(r.out.find(verdict), std::string::npos) << r.out;
    if (*c.file) {
      EXPECT_NE(r.out.find(std::string("\"file\":\"") + c.file + "\",\"steps\""), std::string::npos)
          << r.out;
    }
    ASSERT_EQ(qtest::runInChild(dir.path(),
                                [&] {
                                  if (c.current) {
                                    qologSetModuleName(c.name);
                                    qologTrace(c.level, "the call");
                                  } else {
                                    qologLog(c.name, c.level, "the call");
                                  }
                                }),
              0);
    for (const char *f : {"net.log", "db.log"}) {
      bool has = dir.read(f).find("the call") != std::string::npos;
      EXPECT_EQ(has, std::string(f) == c.file) << f;
    }
  }
}

}  // namespace
