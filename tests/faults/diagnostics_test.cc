// QOLOG_DEBUG=1 tells each problem on standard error once, and again only
// after it has cleared; unset, it tells nothing. QOTRACE_CFG names the
// configuration file instead of ./qotrace.cfg.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>

#include "e2e/expect_lines.h"
#include "fault_os.h"
#include "pipeline/logger.h"

using namespace qexp;

namespace {

void log(qolog::Logger &logger, const char *format, ...) {
  time_t now = time(nullptr);
  if (logger.dropped(now, "DEFAULT", QOLOG_ERROR)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, "DEFAULT", QOLOG_ERROR, nullptr, 0, format, args);
  va_end(args);
}

struct Case {
  const char *what;
  const char *cfg;  // qotrace.cfg; null: none at first
  std::function<void(qolog::Logger &)> steps;
  std::string told;  // '#' stands for the process id
};

std::string withPid(std::string text) {
  for (size_t at; (at = text.find('#')) != std::string::npos;) text.replace(at, 1, pid());
  return text;
}

const char kLoaded[] = "qolog: configuration loaded from qotrace.cfg: 1 module\n";

const Case kCases[] = {
    {"no configuration, then one", nullptr,
     [](qolog::Logger &l) {
       for (int i = 0; i < 3; ++i, qtest::advanceFakeClock(1)) log(l, "lost");
       qtest::writeFile("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\n");
       log(l, "written");
     },
     "qolog: no configuration file: ./qotrace.cfg and /nonexistent/qotrace.cfg cannot be opened "
     "(No such file or directory): nothing is written\n" + std::string(kLoaded)},
    {"missing directory, then there", "[DEFAULT]\nLOGFILENAME=d/a.log\n",
     [](qolog::Logger &l) {
       for (int i = 0; i < 3; ++i) log(l, "lost");
       CHILD_CHECK(mkdir("d", 0755) == 0);
       log(l, "written");
       log(l, "written");
     },
     std::string(kLoaded) +
         "qolog: cannot open d/a.log: No such file or directory\n"
         "qolog: cannot open d/#-a.log: No such file or directory\n"
         "qolog: d/a.log is written as d/#-a.log (this process's own file)\n"},
    {"two full-disk episodes", "[DEFAULT]\nLOGFILENAME=a.log\n",
     [](qolog::Logger &l) {
       log(l, "one");
       qfault::inject(qfault::kWrite, ENOSPC, 3);
       for (int i = 0; i < 4; ++i) log(l, "mostly lost");
       qfault::inject(qfault::kWrite, EIO, 1);
       log(l, "lost");
       log(l, "written");
     },
     std::string(kLoaded) + "qolog: write to a.log failed: No space left on device\n"
                            "qolog: write to a.log failed: Input/output error\n"},
    {"rolls that fail", "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n",
     [](qolog::Logger &l) {
       log(l, "%s", std::string(1100, 'x').c_str());
       qfault::inject(qfault::kRename, EXDEV, -1);
       for (int i = 0; i < 3; ++i) log(l, "grows");
     },
     std::string(kLoaded) + "qolog: cannot roll a.log: rename failed: Invalid cross-device link\n"},
    {"file replaced", "[DEFAULT]\nLOGFILENAME=a.log\nRELOADPERIOD=1M\n",
     [](qolog::Logger &l) {
       log(l, "one");
       CHILD_CHECK(unlink("a.log") == 0);
       qtest::advanceFakeClock(61);
       log(l, "two");
       log(l, "three");
     },
     std::string(kLoaded) + "qolog: a.log was replaced or deleted: opened again\n"},
};

TEST(Diagnostics, EachProblemOncePerEpisode) {
  for (bool on : {true, false}) {
    for (const Case &c : kCases) {
      SCOPED_TRACE(std::string(c.what) + (on ? "" : ", QOLOG_DEBUG unset"));
      scenario(c.cfg != nullptr ? c.cfg : "", [&] {
        if (c.cfg == nullptr) CHILD_CHECK(unlink("qotrace.cfg") == 0);
        if (on) setenv("QOLOG_DEBUG", "1", 1);
        auto logger = std::make_unique<qolog::Logger>(qfault::faultyOs());
        logger->change([](qolog::State &s) { s.watch.systemPath = "/nonexistent/qotrace.cfg"; });
        c.steps(*logger);
        qfault::clear();
        wantFile("stderr.txt", on ? withPid(c.told) : "");
      });
    }
  }
}

// QOTRACE_CFG wins over ./qotrace.cfg and is reloaded like it.
TEST(Diagnostics, NamedConfigurationFile) {
  scenario("[DEFAULT]\nLOGFILENAME=local.log\n", [] {
    qtest::writeFile("named.cfg", "[DEFAULT]\nLOGFILENAME=named.log\nRELOADPERIOD=1M\n");
    setenv("QOTRACE_CFG", "named.cfg", 1);
    auto logger = std::make_unique<qolog::Logger>();
    log(*logger, "one");
    qtest::writeFile("named.cfg", "[DEFAULT]\nLOGFILENAME=again.log\n");
    const struct timespec later[2] = {{kNow + 3650L * 86400, 0}, {kNow + 3650L * 86400, 0}};
    CHILD_CHECK(utimensat(AT_FDCWD, "named.cfg", later, 0) == 0);
    qtest::advanceFakeClock(61);
    log(*logger, "two");
    wantDir(".", {"again.log", "named.cfg", "named.log", "qotrace.cfg", "stderr.txt"});
  });
}

}  // namespace
