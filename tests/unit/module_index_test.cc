// The hashed module lookup must find exactly what a scan of the table finds,
// through rebuilds, repeated section names and closed modules.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "config/cfg_parser.h"
#include "config/trace_cfg.h"

namespace {

using qolog::ST_sTraceCfg;

void expectSameAsScan(const std::string &when) {
  const char *names[] = {"DEFAULT", "M0", "M1", "M63", "M119", "M120", "DUP",
                         "", "default", "M", "A23456789012345678901234567890123",
                         "A234567890123456789012345678901234"};
  for (const char *name : names) {
    EXPECT_EQ(qolog::findUsedModuleByName(name), qolog::lookupModule(name))
        << when << ": " << name;
  }
}

TEST(ModuleIndex, FindsWhatAScanFinds) {
  std::string text = "[DEFAULT]\n[DUP]\n[]\n";
  for (int i = 0; i < 120; ++i) text += "[M" + std::to_string(i) + "]\n";
  text += "[DUP]\n[A234567890123456789012345678901234567890]\n";  // cut to 33
  memset(&ST_sTraceCfg, 0, sizeof(ST_sTraceCfg));
  EXPECT_EQ(nullptr, qolog::lookupModule("DEFAULT"));  // nothing loaded yet
  ASSERT_TRUE(qolog::parseTraceCfgText(ST_sTraceCfg, text.data(), text.size(), nullptr));
  expectSameAsScan("first rebuild");
  EXPECT_EQ(&ST_sTraceCfg.asModules[1], qolog::lookupModule("DUP"));  // the first DUP

  qolog::closeModule(ST_sTraceCfg, qolog::lookupModule("DUP"));
  qolog::closeModule(ST_sTraceCfg, qolog::lookupModule("M63"));
  expectSameAsScan("after closing");

  const char small[] = "[DEFAULT]\n[M1]\n";
  ASSERT_TRUE(qolog::parseTraceCfgText(ST_sTraceCfg, small, sizeof(small) - 1, nullptr));
  expectSameAsScan("second rebuild");
  memset(&ST_sTraceCfg, 0, sizeof(ST_sTraceCfg));
}

}  // namespace
