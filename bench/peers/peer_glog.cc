// glog: LOG(INFO) with every line flushed (logbufsecs 0, logbuflevel -1).
// glog's own prefix (date with microseconds, thread id, source line, level)
// has no logger name or process id. S2 is VLOG(1) with 16 module patterns
// set, none of them enabling this file. No S4: glog sizes its files in
// whole megabytes and names each new file by the second it starts in, so
// it can't roll every 1000 lines.
#include <glog/logging.h>

#include <string>

#include "harness.h"

namespace {
bool g_drop = false;
}  // namespace

const char *peerName() { return "glog"; }

bool peerSetup(const std::string &scenario) {
  if (scenario == "S4") return false;
  FLAGS_log_dir = ".";
  FLAGS_logbufsecs = 0;
  FLAGS_logbuflevel = -1;
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = false;
  FLAGS_stderrthreshold = 3;
  FLAGS_max_log_size = 1000;
  FLAGS_v = 0;
  google::InitGoogleLogging(kPeerLogger);
  if (scenario == "S2") {
    for (int i = 1; i <= 16; ++i) {
      google::SetVLOGLevel(("m" + std::to_string(i)).c_str(), 1);
    }
  }
  g_drop = scenario == "S2";
  return true;
}

void peerMessage(int i) {
  if (g_drop) {
    VLOG(1) << "request " << peerNumber(i) << " handled for " << kPeerClient;
  } else {
    LOG(INFO) << "request " << peerNumber(i) << " handled for " << kPeerClient;
  }
}

void peerFinish() { google::ShutdownGoogleLogging(); }
