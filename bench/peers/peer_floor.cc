// The floor: write(2) of a prepared line, shaped like qolog's S1 line, to a
// file opened O_APPEND. S1 and S3 only (the other scenarios compare to S1's).
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace {
int g_fd = -1;
std::string g_line;
}  // namespace

const char *peerName() { return "floor"; }

bool peerSetup(const std::string &scenario) {
  if (scenario != "S1" && scenario != "S3") return false;
  g_fd = open("floor.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (g_fd < 0) return false;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &tm);
  char line[256];
  snprintf(line, sizeof(line), "%s:%03d|%s|PID=%4ld|TID=%4ld|%4s|request %d handled for %s\n",
           stamp, static_cast<int>(ts.tv_nsec / 1000000), kPeerLogger,
           static_cast<long>(getpid()), static_cast<long>(pthread_self()), "INFO",
           peerNumber(0), kPeerClient);
  g_line = line;
  return true;
}

void peerMessage(int) {
  if (write(g_fd, g_line.data(), g_line.size()) < 0) perror("write");
}

void peerFinish() { close(g_fd); }
