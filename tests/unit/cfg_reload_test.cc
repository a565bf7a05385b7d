// The reload check on a state of its own, driven with explicit times in a
// scratch directory holding qotrace.cfg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <memory>

#include "pipeline/pipeline.h"
#include "support/scenario.h"

namespace qolog {
namespace {

class ReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(oldDir_, sizeof oldDir_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(oldDir_), 0); }
  void writeCfg(const std::string &text, time_t sec, long nsec = 0) {
    dir_.write("qotrace.cfg", text);
    const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, "qotrace.cfg", times, 0), 0);
  }
  // True when the check at `now` rebuilt the record (which resets the date format).
  bool rebuiltAt(time_t now) {
    s_->cfg.nDateFormat = 7;
    reloadIfDue(*s_, now);
    return s_->cfg.nDateFormat == 1;
  }

  qtest::TempDir dir_;
  char oldDir_[PATH_MAX];
  std::unique_ptr<State> s_ = std::make_unique<State>();
};

TEST_F(ReloadTest, DueOnlyAfterTheDeadline) {
  struct stat st;
  if (stat("/etc/qotrace.cfg", &st) == 0) GTEST_SKIP() << "/etc/qotrace.cfg exists";
  EXPECT_FALSE(rebuiltAt(100));  // no file: period 0, looked for every second
  writeCfg("[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=2M\n", 50);
  EXPECT_FALSE(rebuiltAt(100));
  EXPECT_TRUE(rebuiltAt(101));
  const int slot = s_->files.prepare(s_->cfg, s_->cfg.asModules[0]);
  writeCfg("[DEFAULT]\nRELOADPERIOD=2M\n", 60);
  strcpy(s_->cfg.szPid, "123");
  EXPECT_FALSE(rebuiltAt(221));
  EXPECT_TRUE(s_->files.isOpen(slot));
  EXPECT_TRUE(rebuiltAt(222));
  EXPECT_STREQ(s_->cfg.szPid, "123");  // rebuilds leave the process tag
  EXPECT_FALSE(s_->files.isOpen(slot));  // and close every file
}

TEST_F(ReloadTest, RebuildsOnlyWhenModificationTimeMovesForward) {
  const struct { time_t sec; long nsec; bool loaded; } steps[] = {
      {1000, 0, true},  {1000, 0, false},   {2000, 0, true},
      {1500, 0, false},  // backwards: recorded, not loaded
      {1700, 0, true},  {1700, 500, true},  {1700, 400, false},
  };
  time_t now = 10000;
  for (const auto &s : steps) {
    SCOPED_TRACE(std::to_string(s.sec) + "." + std::to_string(s.nsec));
    writeCfg("[DEFAULT]\nRELOADPERIOD=1M\n", s.sec, s.nsec);
    EXPECT_EQ(rebuiltAt(now += 61), s.loaded);
  }
}

TEST_F(ReloadTest, MalformedFirstLineKeepsTheResetStateUntilChanged) {
  const std::string good = "[DEFAULT]\nENABLETRACES=ON\n[M]\nLOGFILENAME=m.log\n";
  writeCfg("ENABLETRACES=ON\n" + good, 1000);
  EXPECT_TRUE(rebuiltAt(100));
  EXPECT_TRUE(s_->cfg.nUsedModules == 1 && s_->cfg.nEnableTraces == 0);
  EXPECT_EQ(s_->cfg.asModules[0].nFileIndex, 0);
  EXPECT_FALSE(rebuiltAt(100 + 3601));
  writeCfg(good, 1001);
  EXPECT_TRUE(rebuiltAt(100 + 2 * 3601));
  EXPECT_STREQ(getModuleFileName(s_->cfg, findUsedModuleByName(s_->cfg, "M")), "m.log");
}

TEST_F(ReloadTest, DeadlineSaturates) {
  const struct { time_t now; uint32_t minutes; int64_t deadline; } cases[] = {
      {100, 2, 220}, {0, 4294967295U, 4294967295LL * 60}, {INT64_MAX - 60, 1, INT64_MAX},
      {INT64_MAX - 59, 1, INT64_MAX},
  };
  for (const auto &c : cases) {
    CfgWatch watch;
    scheduleCfgCheck(watch, c.now, c.minutes);
    EXPECT_EQ(watch.nextCheck, c.deadline) << c.now << "+" << c.minutes;
  }
  writeCfg("[DEFAULT]\nRELOADPERIOD=99999999999H\n", 1000);
  EXPECT_TRUE(rebuiltAt(INT64_MAX - 100));
  EXPECT_EQ(s_->watch.nextCheck, INT64_MAX);
}

}  // namespace
}  // namespace qolog
