#include <gtest/gtest.h>

#include "qolog.h"
#include "support/scenario.h"

TEST(EndToEndSmoke, WritesALine) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\nDebugLevel=ALL\n");
  ASSERT_EQ(0, qtest::runInChild(dir.path(), [] {
              qologSetDate(0);
              qologLog("DEFAULT", QOLOG_INFO, "hello %d", 42);
            }));
  std::string log = dir.read("a.log");
  EXPECT_NE(log.find("|INFO|hello 42\n"), std::string::npos) << log;
}
