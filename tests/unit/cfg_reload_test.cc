// The reload check on a state of its own, driven with explicit times, on a
// configuration file in a scratch directory named as QOTRACE_CFG names one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "pipeline/pipeline.h"
#include "support/scenario.h"

namespace qolog {
namespace {

struct ReloadTest : ::testing::Test {
  void SetUp() override { s_->watch.namedPath = path_.c_str(); }
  void writeCfg(const std::string &text, time_t sec, long nsec = 0) {
    qtest::writeFile(path_, text);
    const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }
  // True when the check at `now` rebuilt the record (which resets the date format).
  bool rebuiltAt(time_t now) {
    s_->cfg.nDateFormat = 7;
    reloadIfDue(*s_, now);
    return s_->cfg.nDateFormat == 1;
  }

  qtest::TempDir dir_;
  const std::string path_ = dir_.file("qotrace.cfg");
  std::unique_ptr<State> s_ = std::make_unique<State>();
};

TEST_F(ReloadTest, DueOnlyAfterTheDeadline) {
  // Minutes times 60 in 64 bits; the sum stops at the largest second.
  CfgWatch far, last;
  scheduleCfgCheck(far, 0, 4294967295U);
  scheduleCfgCheck(last, INT64_MAX - 59, 1);
  EXPECT_EQ(far.nextCheck, 4294967295LL * 60);
  EXPECT_EQ(last.nextCheck, INT64_MAX);
  EXPECT_FALSE(rebuiltAt(100));  // no file: period 0, looked for every second
  writeCfg("[DEFAULT]\nLOGFILENAME=" + dir_.file("a.log") + "\nRELOADPERIOD=2M\n", 50);
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
  // The time 1500 goes backwards: recorded, not loaded.
  const struct { time_t sec; long nsec; bool loaded; } steps[] = {{1000, 0, true}, {1000, 0, false},
      {2000, 0, true}, {1500, 0, false}, {1700, 0, true}, {1700, 500, true}, {1700, 400, false}};
  time_t now = 10000;
  for (const auto &s : steps) {
    writeCfg("[DEFAULT]\nRELOADPERIOD=1M\n", s.sec, s.nsec);
    EXPECT_EQ(rebuiltAt(now += 61), s.loaded) << s.sec << "." << s.nsec;
  }
}

}  // namespace
}  // namespace qolog
