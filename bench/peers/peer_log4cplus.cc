// log4cplus: RollingFileAppender with immediate flush; the printf-style
// macros. log4cplus rolls no smaller than 200 KiB, so S4 rolls about every
// 2000 lines instead of 1000.
#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <memory>
#include <string>

#include "harness.h"

namespace {
std::unique_ptr<log4cplus::Initializer> g_init;
log4cplus::Logger g_logger;
bool g_drop = false;
}  // namespace

const char *peerName() { return "log4cplus"; }

bool peerSetup(const std::string &scenario) {
  using namespace log4cplus;
  g_init.reset(new Initializer);
  long maxSize = scenario == "S4" ? 100 * 1024 : 1000L * 1024 * 1024;
  SharedAppenderPtr app(new RollingFileAppender(LOG4CPLUS_TEXT("peer.log"), maxSize, 5, true));
  app->setLayout(std::unique_ptr<Layout>(new PatternLayout(
      LOG4CPLUS_TEXT("%D{%b %d %H:%M:%S:%q}|%c|PID=%i|TID=%t|%p|%m%n"))));
  g_logger = Logger::getInstance(LOG4CPLUS_TEXT("PEER"));
  g_logger.addAppender(app);
  g_logger.setAdditivity(false);
  g_logger.setLogLevel(INFO_LOG_LEVEL);
  if (scenario == "S2") {
    for (int i = 1; i <= 15; ++i) {
      Logger other = Logger::getInstance(LOG4CPLUS_TEXT("M") + std::to_string(i));
      other.setLogLevel(INFO_LOG_LEVEL);
    }
  }
  g_drop = scenario == "S2";
  return true;
}

void peerMessage(int i) {
  if (g_drop) {
    LOG4CPLUS_DEBUG_FMT(g_logger, "request %d handled for %s", peerNumber(i), kPeerClient);
  } else {
    LOG4CPLUS_INFO_FMT(g_logger, "request %d handled for %s", peerNumber(i), kPeerClient);
  }
}

void peerFinish() {
  log4cplus::Logger::shutdown();
  g_init.reset();
}
