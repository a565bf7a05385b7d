// log4cxx: rolling::RollingFileAppender with immediate flush. Its pattern
// layout has no process id conversion: the id is written into the pattern.
#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/rolling/rollingfileappender.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {
log4cxx::LoggerPtr g_logger;
bool g_drop = false;
}  // namespace

const char *peerName() { return "log4cxx"; }

bool peerSetup(const std::string &scenario) {
  using namespace log4cxx;
  std::string pattern = "%d{MMM dd HH:mm:ss:SSS}|%c|PID=" +
                        std::to_string(static_cast<long>(getpid())) +
                        "|TID=%t|%p|%m%n";
  LogString lpattern, file;
  helpers::Transcoder::decode(pattern, lpattern);
  helpers::Transcoder::decode(std::string("peer.log"), file);
  auto layout = std::make_shared<PatternLayout>(lpattern);
  auto app = std::make_shared<rolling::RollingFileAppender>();
  app->setLayout(layout);
  app->setFile(file);
  app->setAppend(true);
  app->setImmediateFlush(true);
  app->setMaximumFileSize(scenario == "S4" ? 100 * 1024 : 1000UL * 1024 * 1024);
  app->setMaxBackupIndex(5);
  helpers::Pool pool;
  app->activateOptions(pool);
  g_logger = Logger::getLogger(kPeerLogger);
  g_logger->addAppender(app);
  g_logger->setAdditivity(false);
  g_logger->setLevel(Level::getInfo());
  if (scenario == "S2") {
    for (int i = 1; i <= 15; ++i) {
      Logger::getLogger("M" + std::to_string(i))->setLevel(Level::getInfo());
    }
  }
  g_drop = scenario == "S2";
  return true;
}

void peerMessage(int i) {
  if (g_drop) {
    LOG4CXX_DEBUG(g_logger, "request " << peerNumber(i) << " handled for " << kPeerClient);
  } else {
    LOG4CXX_INFO(g_logger, "request " << peerNumber(i) << " handled for " << kPeerClient);
  }
}

void peerFinish() {
  g_logger = nullptr;
  log4cxx::LogManager::shutdown();
}
