// Configuration text parsing, the store's file slots and the module index,
// on a private TraceCfg.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "config/cfg_parser.h"
#include "config/module_lookup.h"

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

enum Field { kLevel, kSize, kBackups, kPeriod, kEnable, kFile, kSlot };
const char kD[] = "[DEFAULT]\n", kM[] = "[DEFAULT]\n[M]\n";
const char kMD[] = "[M]\nLOGFILENAME=/l/m\n[DEFAULT]\n";  // M before DEFAULT inherits

// The body follows the head; the field is M's when the head has an [M].
const struct { const char *head; std::string body; Field field; std::string want; } kKeyCases[] = {
    {kD, "DEBUGLEVEL = ERROR", kLevel, "5"},
    {kD, "DEBUGLEVEL=NONE,ERROR", kLevel, "0"},
    {kD, "DEBUGLEVEL=ALL", kLevel, "63"},
    {kD, "DebugLevel=PROCINFO", kLevel, "34"},
    {kD, "DEBUGLEVEL=debug", kLevel, "4"},
    {kD, "debuglevel=debug", kLevel, "59"},
    {kD, "DEBUGLEVEL=\"ERROR\";ALL", kLevel, "5"},
    {kD, "debuglevel=x\nDEBUGLEVEL=ALL", kLevel, "59"},  // a rejected first counts
    {kD, "DEBUGLEVEL,MAXFILESIZE=1KB", kLevel, "4"},     // DEFAULT tries the level first
    {kM, "DEBUGLEVEL,MAXFILESIZE=1KB", kSize, "1024"},  // modules try the size first
    {kD, "MAXFILESIZE=2MB", kSize, "2097152"},
    {kD, "MAXFILESIZE=1000000", kSize, "10485760"},
    {kD, "MAXFILESIZE=2mb", kSize, "10485760"},
    {kM, "MAXFILESIZE2=4KB", kSize, "2048"},
    {kD, "MAXFILESIZE=9007199254740992KB", kSize, "9223372036854775807"},
    {kM, "MAXFILEBACKUPS=none", kBackups, "5"},
    {kD, "MAXFILEBACKUPS=2147483648", kBackups, "2147483647"},
    {kD, "RELOADPERIOD=2h", kPeriod, "60"},
    {kD, "RELOADPERIOD_H=15M", kPeriod, "15"},  // the unit follows the number
    {kD, "RELOADPERIOD=71582789H", kPeriod, "4294967295"},
    {kM, "RELOADPERIOD=2H", kPeriod, "60"},
    {kD, "ENABLETRACES=on", kEnable, "0"},
    {kD, "\0ENABLETRACES=OFF\r\nENABLETRACES=ON\r"s, kEnable, "1"},  // NUL ends a line
    {kD, "LOGFILENAME=/tmp/debuglevel.log", kFile, "/tmp/debuglevel.log"},
    {kM, "LOGFILENAME=/var/log/maxfilesize.log", kFile, "/var/log/maxfilesize.log"},
    {kM, "LOGFILENAME/tmp/a", kFile, "(none)"},
    {kM, "LOGFILENAME=/" + std::string(510, 'p'), kFile, "/" + std::string(510, 'p')},
    {kM, "LOGFILENAME=/" + std::string(511, 'p'), kFile, "(none)"},
    {kMD, "DEBUGLEVEL=ERROR", kLevel, "5"},
    {kMD, "MAXFILESIZE=1KB", kSize, "1024"},
    {kMD, "LOGFILENAME=/l/d", kSlot, "1"},  // DEFAULT's file takes the first slot
};

TEST(CfgParserTest, Keys) {
  for (const auto &c : kKeyCases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    auto cfg = parsed(c.head + c.body);
    const char *name = strstr(c.head, "[M]") ? "M" : "DEFAULT";
    const ModuleCfg *m = findUsedModuleByName(*cfg, name);
    ASSERT_NE(m, nullptr);
    const std::string got[] = {
        std::to_string(m->nDebugLevel),    std::to_string(m->nMaxFileSize),
        std::to_string(m->nMaxFileBackups), std::to_string(cfg->nReloadPeriod),
        std::to_string(cfg->nEnableTraces), fileOf(*cfg, name), std::to_string(m->nFileIndex)};
    EXPECT_EQ(got[c.field], c.want);
  }
}

// names: the modules in use, in slot order.
const struct { std::string text, names; int32_t enable; } kSectionCases[] = {
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
  for (const auto &c : kSectionCases) {
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

TEST(CfgParserTest, SharedPathsAndCounts) {
  auto cfg = parsed("[DEFAULT]\n[A]\nLOGFILENAME=/l/a\n[B]\nLOGFILENAME=/l/a\n"
                    "[C]\nLOGFILENAME=/l/a/\n[D]\n");
  // DEFAULT without a file sits on slot 0, which the first new path takes.
  EXPECT_EQ(fileOf(*cfg, "DEFAULT"), "/l/a");
  EXPECT_EQ(fileOf(*cfg, "B"), "/l/a");
  EXPECT_EQ(cfg->asFiles[0].nRefCount, 2);
  EXPECT_EQ(fileOf(*cfg, "C"), "/l/a/");  // exact comparison: a slot of its own
  EXPECT_EQ(cfg->asFiles[1].nRefCount, 1);
  EXPECT_EQ(findUsedModuleByName(*cfg, "D")->nFileIndex, -1);
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

TEST(TraceCfgTest, CloseModuleReleasesItsSlotAtTheLastCount) {
  auto cfg = parsed("[DEFAULT]\nLOGFILENAME=/l/d\n[A]\nLOGFILENAME=/l/x\n[A]\nLOGFILENAME=/l/x\n");
  LogFile &f0 = cfg->asFiles[0], &f = cfg->asFiles[1];
  ModuleCfg *a = &cfg->asModules[1], *b = &cfg->asModules[2];
  const uint32_t serial0 = f0.nSerial, serial = f.nSerial;
  ASSERT_EQ(f.nRefCount, 2);
  closeModule(*cfg, a);
  EXPECT_TRUE(f.nRefCount == 1 && f.nSerial == serial);
  const ModuleCfg zero{};
  EXPECT_EQ(memcmp(a, &zero, sizeof zero), 0);
  EXPECT_EQ(findUsedModuleByName(*cfg, "A"), b);
  closeModule(*cfg, b);
  EXPECT_TRUE(f.nSerial != serial && f.nUsed == 0 && f.szName[0] == '\0' && f.nRefCount == 0);
  closeModule(*cfg, &cfg->asModules[0]);  // DEFAULT is never counted: the count goes to -1
  EXPECT_TRUE(f0.nRefCount == -1 && f0.nSerial == serial0);
  closeModule(*cfg, nullptr);
  EXPECT_EQ(cfg->nUsedModules, 0);
}

// The hashed lookup finds exactly what a scan of the table finds, through
// rebuilds, repeated section names and closed modules.
TEST(ModuleIndex, FindsWhatAScanFinds) {
  std::string text = "[DEFAULT]\n[DUP]\n[]\n";
  for (int i = 0; i < 120; ++i) text += "[M" + std::to_string(i) + "]\n";
  auto cfg = parsed(text + "[DUP]\n[A234567890123456789012345678901234567890]\n");  // cut to 33
  ModuleIndex index;
  const char *names[] = {"DEFAULT", "M0", "M63", "M119", "M120", "DUP", "", "default",
                         "A23456789012345678901234567890123", "A234567890123456789012345678901234"};
  for (int round = 0; round < 3; ++round) {
    for (const char *name : names) EXPECT_EQ(findUsedModuleByName(*cfg, name), index.find(*cfg, name)) << round << name;
    if (round == 0) {
      EXPECT_EQ(&cfg->asModules[1], index.find(*cfg, "DUP"));  // the first DUP
      closeModule(*cfg, index.find(*cfg, "DUP"));
      closeModule(*cfg, index.find(*cfg, "M63"));
    } else {
      cfg = parsed("[DEFAULT]\n[M0]\n", std::move(cfg));
    }
  }
}

}  // namespace
}  // namespace qolog
