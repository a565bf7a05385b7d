// spdlog: a synchronous file logger flushed after every line
// (flush_on(trace)); rotating_file_sink for S4.
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <string>

#include "harness.h"

namespace {
std::shared_ptr<spdlog::logger> g_logger;
bool g_drop = false;
}  // namespace

const char *peerName() { return "spdlog"; }

bool peerSetup(const std::string &scenario) {
  const char *pattern = "%b %d %H:%M:%S:%e|%n|PID=%P|TID=%t|%l|%v";
  if (scenario == "S4") {
    g_logger = spdlog::rotating_logger_mt(kPeerLogger, "peer.log", 100 * 1024, 5);
  } else {
    g_logger = spdlog::basic_logger_mt(kPeerLogger, "peer.log");
  }
  if (scenario == "S2") {
    for (int i = 1; i <= 15; ++i) {
      std::string name = "M" + std::to_string(i);
      auto other = spdlog::basic_logger_mt(name, name + ".log");
      other->set_level(spdlog::level::info);
    }
  }
  g_logger->set_pattern(pattern);
  g_logger->set_level(spdlog::level::info);
  g_logger->flush_on(spdlog::level::trace);
  g_drop = scenario == "S2";
  return true;
}

void peerMessage(int i) {
  if (g_drop) {
    g_logger->debug("request {} handled for {}", peerNumber(i), kPeerClient);
  } else {
    g_logger->info("request {} handled for {}", peerNumber(i), kPeerClient);
  }
}

void peerFinish() {
  g_logger.reset();
  spdlog::shutdown();
}
