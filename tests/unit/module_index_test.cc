// The hashed module lookup must find exactly what a scan of the table finds,
// through rebuilds, repeated section names and closed modules.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include <memory>

#include "config/cfg_parser.h"
#include "config/module_lookup.h"

namespace {

void expectSameAsScan(qolog::TraceCfg &cfg, qolog::ModuleIndex &index, const std::string &when) {
  const char *names[] = {"DEFAULT", "M0", "M1", "M63", "M119", "M120", "DUP",
                         "", "default", "M", "A23456789012345678901234567890123",
                         "A234567890123456789012345678901234"};
  for (const char *name : names) {
    EXPECT_EQ(qolog::findUsedModuleByName(cfg, name), index.find(cfg, name))
        << when << ": " << name;
  }
}

TEST(ModuleIndex, FindsWhatAScanFinds) {
  std::string text = "[DEFAULT]\n[DUP]\n[]\n";
  for (int i = 0; i < 120; ++i) text += "[M" + std::to_string(i) + "]\n";
  text += "[DUP]\n[A234567890123456789012345678901234567890]\n";  // cut to 33
  auto cfg = std::make_unique<qolog::TraceCfg>();
  qolog::ModuleIndex index;
  EXPECT_EQ(nullptr, index.find(*cfg, "DEFAULT"));  // nothing loaded yet
  ASSERT_TRUE(qolog::parseTraceCfgText(*cfg, text.data(), text.size(), nullptr));
  expectSameAsScan(*cfg, index, "first rebuild");
  EXPECT_EQ(&cfg->asModules[1], index.find(*cfg, "DUP"));  // the first DUP

  qolog::closeModule(*cfg, index.find(*cfg, "DUP"));
  qolog::closeModule(*cfg, index.find(*cfg, "M63"));
  expectSameAsScan(*cfg, index, "after closing");

  const char small[] = "[DEFAULT]\n[M1]\n";
  ASSERT_TRUE(qolog::parseTraceCfgText(*cfg, small, sizeof(small) - 1, nullptr));
  expectSameAsScan(*cfg, index, "second rebuild");
}

}  // namespace
