// Configuration text parsing and the configuration store: keys and values,
// sections and module names, file slots, line normalisation and releasing
// modules, each checked on a private TraceCfg.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "config/cfg_parser.h"

namespace qolog {
namespace {

using namespace std::string_literals;

// A TraceCfg is about 80 KB: kept on the heap, zeroed as at process start.
std::unique_ptr<TraceCfg> parsed(const std::string &text,
                                 std::unique_ptr<TraceCfg> cfg = nullptr) {
  if (!cfg) cfg.reset(new TraceCfg());
  EXPECT_TRUE(parseTraceCfgText(*cfg, text.data(), text.size(), nullptr));
  return cfg;
}

std::string fileOf(TraceCfg &cfg, const char *module) {
  const char *path = getModuleFileName(cfg, findUsedModuleByName(cfg, module));
  return path != nullptr ? path : "(none)";
}

enum Field { kLevel, kSize, kBackups, kPeriod, kEnable, kFile };

struct KeyCase {
  bool inDefault;    // the body goes into [DEFAULT], else into [M]
  std::string body;
  Field field;       // of that section's module, or of the globals
  std::string want;
};

const KeyCase kKeyCases[] = {
    {true, "DEBUGLEVEL = ERROR", kLevel, "5"},
    {true, "DebugLevel=ERROR", kLevel, "1"},
    {true, "DEBUGLEVEL=NONE,ERROR", kLevel, "0"},
    {true, "DEBUGLEVEL=ALL", kLevel, "63"},
    {true, "DEBUGLEVEL=PROCINFO", kLevel, "38"},
    {true, "DEBUGLEVEL=WARN,BEGINEND", kLevel, "30"},
    {true, "DEBUGLEVEL=debug", kLevel, "4"},
    {true, "debuglevel=debug", kLevel, "59"},
    {true, "DEBUGLEVEL ERROR", kLevel, "5"},
    {true, "XDEBUGLEVELX=ERROR", kLevel, "5"},
    {true, "DEBUGLEVEL=\"ERROR\";ALL", kLevel, "5"},
    {true, "debuglevel=x\nDEBUGLEVEL=ALL", kLevel, "59"},  // a rejected first counts
    {true, "DEBUGLEVEL,MAXFILESIZE=1KB", kLevel, "4"},     // DEFAULT tries the level first
    {false, "DEBUGLEVEL,MAXFILESIZE=1KB", kSize, "1024"},  // modules try the size first
    {false, "DEBUGLEVEL=ERROR", kLevel, "5"},
    {true, "MAXFILESIZE=2MB", kSize, "2097152"},
    {true, "MAXFILESIZE=500KB", kSize, "512000"},
    {true, "MAXFILESIZE=1000000", kSize, "10485760"},
    {true, "MAXFILESIZE=2mb", kSize, "10485760"},
    {true, "MAXFILESIZE=0MB", kSize, "10485760"},
    {false, "MAXFILESIZE2=4KB", kSize, "2048"},
    {true, "MAXFILESIZE=1KBMB", kSize, "1048576"},
    {true, "MAXFILESIZE=4096MB", kSize, "4294967296"},
    {false, "MAXFILESIZE=2048MB", kSize, "2147483648"},
    {true, "MAXFILESIZE=9007199254740992KB", kSize, "9223372036854775807"},
    {true, "MAXFILESIZE=99999999999999999999999MB", kSize, "9223372036854775807"},
    {true, "MAXFILESIZE=18446744073709551617KB", kSize, "9223372036854775807"},
    {true, "MAXFILEBACKUPS=0", kBackups, "0"},
    {false, "MAXFILEBACKUPS=none", kBackups, "5"},
    {true, "MAXFILEBACKUPS=2147483648", kBackups, "2147483647"},
    {true, "RELOADPERIOD=2H", kPeriod, "120"},
    {true, "RELOADPERIOD=15M", kPeriod, "15"},
    {true, "RELOADPERIOD=15", kPeriod, "60"},
    {true, "RELOADPERIOD=2h", kPeriod, "60"},
    {true, "RELOADPERIOD_H=15M", kPeriod, "15"},  // the unit follows the number
    {true, "RELOADPERIOD=71582789H", kPeriod, "4294967295"},
    {false, "RELOADPERIOD=2H", kPeriod, "60"},
    {true, "ENABLETRACES=ON", kEnable, "1"},
    {true, "ENABLETRACES=on", kEnable, "0"},
    {true, "ENABLETRACES=NONE", kEnable, "1"},
    {false, "ENABLETRACES=ON", kEnable, "0"},
    {true, "\0ENABLETRACES=OFF\r\nENABLETRACES=ON\r"s, kEnable, "1"},  // NUL ends a line
    {true, "LOGFILENAME=/tmp/debuglevel.log", kFile, "/tmp/debuglevel.log"},
    {false, "LOGFILENAME=/var/log/maxfilesize.log", kFile, "/var/log/maxfilesize.log"},
    {false, "LOGFILENAME = /var/log/my app.log", kFile, "/var/log/myapp.log"},
    {false, "LOGFILENAME=\"/tmp/q.log\"", kFile, "/tmp/q.log"},
    {false, "LOGFILENAME=/tmp/a;b.log", kFile, "/tmp/a"},
    {false, "LOGFILENAME=\t/tmp/t.log", kFile, "\t/tmp/t.log"},
    {false, "LOGFILENAME=/tmp/a\nLOGFILENAME=/tmp/b", kFile, "/tmp/a"},
    {false, "LOGFILENAME/tmp/a", kFile, "(none)"},
    {false, "LOGFILENAME=/" + std::string(510, 'p'), kFile, "/" + std::string(510, 'p')},
    {false, "LOGFILENAME=/" + std::string(511, 'p'), kFile, "(none)"},
};

TEST(CfgParserTest, Keys) {
  for (const KeyCase &c : kKeyCases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    auto cfg = parsed(c.inDefault ? "[DEFAULT]\n" + c.body : "[DEFAULT]\n[M]\n" + c.body);
    const char *name = c.inDefault ? "DEFAULT" : "M";
    const ModuleCfg *m = findUsedModuleByName(*cfg, name);
    ASSERT_NE(m, nullptr);
    const std::string got[] = {
        std::to_string(m->nDebugLevel),    std::to_string(m->nMaxFileSize),
        std::to_string(m->nMaxFileBackups), std::to_string(cfg->nReloadPeriod),
        std::to_string(cfg->nEnableTraces), fileOf(*cfg, name)};
    EXPECT_EQ(got[c.field], c.want);
  }
  int32_t flag = 1;
  EXPECT_TRUE(setEnableTraces("ENABLETRACES=OFF", &flag));
  EXPECT_EQ(flag, 0);
}

struct SectionCase {
  std::string text;
  std::string names;  // modules in use, in slot order
  int32_t enable;
};

const SectionCase kSectionCases[] = {
    {"; only a comment\n\n   \n", "DEFAULT", 0},
    {"[default]\nENABLETRACES=ON", "DEFAULT", 1},
    {"[DEFAULT]\n[A]\n[DEFAULT]\nENABLETRACES=ON\n[B]", "DEFAULT|A|B", 0},
    {"[ ]\n[DEFAULT]", "DEFAULT|", 0},
    {"[A]\n[A]", "DEFAULT|A|A", 0},
    {"[caf\xe9\x80z-1_{}]", "DEFAULT|CAF\xe9\x80Z-1_{}", 0},
    {"[abcdefghijklmnopqrstuvwxyz0123456789]", "DEFAULT|ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", 0},
    {"x[a]y\nDEBUGLEVEL=ALL\n[DEFAULT]\nENABLETRACES=ON", "DEFAULT|A", 1},
    {"[DEFAULT]\nENABLETRACES=ON\nX[B]", "DEFAULT", 1},  // not a header: '[' not first
    {"[DEFAULT]\n[A]]\n[[B]", "DEFAULT|A|[B", 0},
    {"ENABLETRACES=ON\n[DEFAULT]\nENABLETRACES=ON\n[A]", "DEFAULT", 0},
    {"[A]\n[B\n[DEFAULT]\nENABLETRACES=ON\n[C]", "DEFAULT", 0},
    {"[DEFAULT]\nENABLETRACES=ON\n[A]\n[B\n[C]", "DEFAULT|A", 1},
    {"[DEFAULT]\n" + std::string(1023, 'x') + "[M]\n", "DEFAULT|M", 0},
    {"[DEFAULT]\n" + std::string(1019, 'x') + "[M]\n", "DEFAULT", 0},
    {"[DEFAULT]\nENABLETRACES=ON\0[M]\n[N]"s, "DEFAULT|N", 1},
};

TEST(CfgParserTest, Sections) {
  for (const SectionCase &c : kSectionCases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    auto cfg = parsed(c.text);
    std::string names;
    for (const ModuleCfg &m : cfg->asModules) {
      if (m.nUsed == 1) names += (names.empty() ? "" : "|") + std::string(m.szName);
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(cfg->nUsedModules, std::count(names.begin(), names.end(), '|') + 1);
    EXPECT_EQ(cfg->nEnableTraces, c.enable);
    EXPECT_EQ(cfg->asModules[0].nFileIndex, 0);
  }
}

TEST(CfgParserTest, ModuleBeforeDefaultInheritsAndComesSecondForFiles) {
  auto cfg = parsed("[M]\nLOGFILENAME=/l/m\n[DEFAULT]\nDEBUGLEVEL=ERROR\n"
                    "MAXFILESIZE=1KB\nMAXFILEBACKUPS=2\nLOGFILENAME=/l/d\n");
  const ModuleCfg *m = findUsedModuleByName(*cfg, "M");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->nDebugLevel, 5u);
  EXPECT_EQ(m->nMaxFileSize, 1024);
  EXPECT_EQ(m->nMaxFileBackups, 2);
  EXPECT_EQ(cfg->asModules[0].nFileIndex, 0);
  EXPECT_EQ(m->nFileIndex, 1);
}

TEST(CfgParserTest, SharedPathsAndCounts) {
  auto cfg = parsed("[DEFAULT]\n[A]\nLOGFILENAME=/l/a\n[B]\nLOGFILENAME=/l/a\n"
                    "[C]\nLOGFILENAME=/l/a/\n[D]\n");
  // DEFAULT without a file sits on slot 0, which the first new path takes.
  EXPECT_EQ(fileOf(*cfg, "DEFAULT"), "/l/a");
  EXPECT_EQ(fileOf(*cfg, "B"), "/l/a");
  EXPECT_EQ(cfg->asFiles[0].nRefCount, 2);
  EXPECT_EQ(fileOf(*cfg, "C"), "/l/a/");  // exact comparison: a slot of its own
  EXPECT_EQ(cfg->asFiles[1].nRefCount, 1);
  ModuleCfg *d = findUsedModuleByName(*cfg, "D");
  EXPECT_EQ(d->nFileIndex, -1);
  openModuleFile(*cfg, d, std::string(kPathMax + 1, 'p').c_str());  // never cut
  EXPECT_EQ(d->nFileIndex, -1);
  EXPECT_EQ(findUsedModuleByName(*cfg, "b"), nullptr);
}

TEST(CfgParserTest, FileSlotZeroSurvivesRebuilds) {
  const std::string text = "[DEFAULT]\nLOGFILENAME=/l/d\n[M]\nLOGFILENAME=/l/d\n";
  auto cfg = parsed(text);
  EXPECT_EQ(cfg->asFiles[0].nRefCount, 1);
  cfg = parsed(text, std::move(cfg));
  EXPECT_EQ(cfg->asFiles[0].nRefCount, 2);
  cfg = parsed("[DEFAULT]\n[M]\nLOGFILENAME=/l/m\n", std::move(cfg));
  EXPECT_EQ(fileOf(*cfg, "DEFAULT"), "/l/d");  // although nothing names it now
  EXPECT_EQ(fileOf(*cfg, "M"), "/l/m");
  cfg = parsed("[DEFAULT]\nLOGFILENAME=/l/e\n", std::move(cfg));
  EXPECT_EQ(cfg->asModules[0].nFileIndex, 1);
  EXPECT_STREQ(cfg->asFiles[0].szName, "/l/d");
  EXPECT_EQ(cfg->asFiles[0].nRefCount, 2);
}

TEST(CfgParserTest, ExcessModuleSectionsAreDropped) {
  std::string text = "[DEFAULT]\n";
  for (int i = 1; i <= 130; ++i) {
    text += "[M" + std::to_string(i) + "]\nLOGFILENAME=/l/" + std::to_string(i) + "\n";
  }
  auto cfg = parsed(text);
  EXPECT_EQ(cfg->nUsedModules, kMaxModules);
  EXPECT_EQ(fileOf(*cfg, "M127"), "/l/127");
  EXPECT_EQ(findUsedModuleByName(*cfg, "M128"), nullptr);
  // The first dropped section took the last slot before it was dropped.
  EXPECT_STREQ(cfg->asFiles[127].szName, "/l/128");
  EXPECT_EQ(cfg->asFiles[127].nRefCount, 0);
}

TEST(TraceCfgTest, CloseModuleReleasesItsSlotAtTheLastCount) {
  std::unique_ptr<TraceCfg> cfg(new TraceCfg());
  FILE *shared = tmpfile(), *uncounted = tmpfile();
  ASSERT_TRUE(shared != nullptr && uncounted != nullptr);
  LogFile &f = cfg->asFiles[3], &f0 = cfg->asFiles[0];
  f = LogFile{1, "/l/x", 2, 1, 1, shared, 0, 1};
  f0 = LogFile{1, "/l/d", 0, 0, 0, uncounted, 0, 1};
  ModuleCfg &d = cfg->asModules[0], &a = cfg->asModules[1], &b = cfg->asModules[2];
  d = ModuleCfg{1, "DEFAULT", 59, 0, 1, 1, 1};
  a = b = ModuleCfg{1, "A", 59, 3, 1, 1, 1};
  cfg->nUsedModules = 3;
  closeModule(*cfg, &a);
  EXPECT_EQ(f.nRefCount, 1);
  EXPECT_EQ(f.pStream, shared);
  EXPECT_EQ(memcmp(&a, &cfg->asModules[kMaxModules - 1], sizeof a), 0);  // all zero
  EXPECT_EQ(findUsedModuleByName(*cfg, "A"), &b);
  closeModule(*cfg, &b);
  EXPECT_TRUE(f.pStream == nullptr && f.nUsed == 0 && f.szName[0] == '\0');
  EXPECT_EQ(f.nRefCount + f.nHeaderWritten, 0);
  EXPECT_EQ(f.nPidRenamed, 1);  // cleared when the slot is taken again
  closeModule(*cfg, &d);  // never counted: the count goes below zero
  EXPECT_EQ(f0.nRefCount, -1);
  EXPECT_EQ(f0.pStream, uncounted);
  closeModule(*cfg, nullptr);
  EXPECT_EQ(cfg->nUsedModules, 0);
  closeFile(&f0.pStream);
}

}  // namespace
}  // namespace qolog
