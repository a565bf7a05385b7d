// The floor: write(2) of a prepared line, shaped like qolog's S1 line, to a
// file opened O_APPEND; every thread writes its own line (its thread id in
// it), all to one descriptor. No S2 or S4 (those compare to S1's floor).
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {
int g_fd = -1;

// This thread's line, made at its first message (a warm-up one).
const std::string &line() {
  thread_local std::string text;
  if (text.empty()) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char buf[256];
    size_t n = peerPrefix(buf, sizeof(buf), ts, "INFO");
    snprintf(buf + n, sizeof(buf) - n, "request %d handled for %s\n", peerNumber(0),
             kPeerClient);
    text = buf;
  }
  return text;
}
}  // namespace

const char *peerName() { return "floor"; }

bool peerSetup(const std::string &scenario) {
  if (scenario == "S2" || scenario == "S4") return false;
  g_fd = open("floor.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return g_fd >= 0;
}

void peerMessage(int) {
  const std::string &text = line();
  if (write(g_fd, text.data(), text.size()) < 0) perror("write");
}

void peerFinish() { close(g_fd); }
