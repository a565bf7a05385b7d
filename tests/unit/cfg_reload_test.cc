// The reload check on the process-wide record, driven with explicit times in
// a scratch directory holding qotrace.cfg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/cfg_loader.h"
#include "config/trace_cfg.h"
#include "support/scenario.h"

namespace qolog {
namespace {

class ReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(oldDir_, sizeof oldDir_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    reset();
  }
  void TearDown() override {
    reset();
    ASSERT_EQ(chdir(oldDir_), 0);
  }
  static void reset() {
    for (LogFile &f : ST_sTraceCfg.asFiles) closeFile(&f.pStream);
    memset(&ST_sTraceCfg, 0, sizeof ST_sTraceCfg);
    ST_lnTimeToReloadInSecondes = ST_lnLastModificationTime = -1;
    ST_lnLastModificationNsec = ST_nFirst = 0;
  }
  void writeCfg(const std::string &text, time_t sec, long nsec = 0) {
    dir_.write("qotrace.cfg", text);
    const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, "qotrace.cfg", times, 0), 0);
  }
  // True when the check at `now` rebuilt the record (which resets the date format).
  static bool rebuiltAt(time_t now) {
    ST_sTraceCfg.nDateFormat = 7;
    reloadTraceCfg(now);
    return ST_sTraceCfg.nDateFormat == 1;
  }

  qtest::TempDir dir_;
  char oldDir_[PATH_MAX];
};

TEST_F(ReloadTest, DueOnlyAfterTheDeadline) {
  struct stat st;
  if (stat("/etc/qotrace.cfg", &st) == 0) GTEST_SKIP() << "/etc/qotrace.cfg exists";
  EXPECT_FALSE(rebuiltAt(100));  // no file: period 0, looked for every second
  writeCfg("[DEFAULT]\nRELOADPERIOD=2M\n", 50);
  EXPECT_FALSE(rebuiltAt(100));
  strcpy(ST_sTraceCfg.szPid, "123");
  EXPECT_TRUE(rebuiltAt(101));
  EXPECT_STREQ(ST_sTraceCfg.szPid, "");  // only the first rebuild zeroes all
  writeCfg("[DEFAULT]\n", 60);
  strcpy(ST_sTraceCfg.szPid, "123");
  EXPECT_FALSE(rebuiltAt(221));
  EXPECT_TRUE(rebuiltAt(222));
  EXPECT_STREQ(ST_sTraceCfg.szPid, "123");
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
  EXPECT_TRUE(ST_sTraceCfg.nUsedModules == 1 && ST_sTraceCfg.nEnableTraces == 0);
  EXPECT_EQ(ST_sTraceCfg.asModules[0].nFileIndex, 0);
  EXPECT_FALSE(rebuiltAt(100 + 3601));
  writeCfg(good, 1001);
  EXPECT_TRUE(rebuiltAt(100 + 2 * 3601));
  EXPECT_STREQ(getModuleFileName(ST_sTraceCfg, findUsedModuleByName("M")), "m.log");
}

TEST_F(ReloadTest, DeadlineSaturates) {
  const struct { time_t now; unsigned long minutes; long deadline; } cases[] = {
      {100, 2, 220}, {0, 4294967295UL, 4294967295L * 60}, {LONG_MAX - 60, 1, LONG_MAX},
      {LONG_MAX - 59, 1, LONG_MAX}, {0, ULONG_MAX, LONG_MAX}, {0, 307445734561825861UL, LONG_MAX},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(reloadDeadline(c.now, c.minutes), c.deadline) << c.now << "+" << c.minutes;
  }
  writeCfg("[DEFAULT]\nRELOADPERIOD=99999999999H\n", 1000);
  EXPECT_TRUE(rebuiltAt(LONG_MAX - 100));
  EXPECT_EQ(ST_lnTimeToReloadInSecondes, LONG_MAX);
}

}  // namespace
}  // namespace qolog
