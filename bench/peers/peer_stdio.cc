// stdio: the logger one writes by hand. A logger object the caller holds
// (a FILE, a level, a mutex); per message the clock, qolog's prefix and the
// text by fprintf, then fflush. S2 tests the level of one of 16 loggers; S4
// renames the file and its 5 backups when it passes 100 KiB.
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <string>

#include "harness.h"

namespace {

enum { kDebug, kInfo };

struct Logger {
  FILE *file = nullptr;
  int level = kInfo;
  long size = 0;  // bytes written since the file was opened
  long maxSize = 0;  // 0: never rolled
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

Logger g_loggers[16];
Logger *g_logger = &g_loggers[0];
int g_level = kInfo;

void roll(Logger *l) {
  fclose(l->file);
  char from[32], to[32];
  for (int k = 4; k >= 1; --k) {
    snprintf(from, sizeof(from), "peer.log.%d", k);
    snprintf(to, sizeof(to), "peer.log.%d", k + 1);
    rename(from, to);
  }
  rename("peer.log", "peer.log.1");
  l->file = fopen("peer.log", "a");
  l->size = 0;
}

__attribute__((format(printf, 3, 4))) void logLine(Logger *l, int level,
                                                    const char *format, ...) {
  if (level < l->level) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char prefix[128];
  peerPrefix(prefix, sizeof(prefix), ts, level == kDebug ? "DBG" : "INFO");
  pthread_mutex_lock(&l->mutex);
  if (l->maxSize > 0 && l->size > l->maxSize) roll(l);
  va_list args;
  va_start(args, format);
  int n = fprintf(l->file, "%s", prefix) + vfprintf(l->file, format, args);
  va_end(args);
  fputc('\n', l->file);
  fflush(l->file);
  l->size += n + 1;
  pthread_mutex_unlock(&l->mutex);
}

}  // namespace

const char *peerName() { return "stdio"; }

bool peerSetup(const std::string &scenario) {
  for (int i = 0; i < (scenario == "S2" ? 16 : 1); ++i) {
    std::string name = i == 0 ? "peer.log" : "m" + std::to_string(i) + ".log";
    g_loggers[i].file = fopen(name.c_str(), "a");
    if (g_loggers[i].file == nullptr) return false;
  }
  if (scenario == "S4") g_logger->maxSize = 100 * 1024;
  g_level = scenario == "S2" ? kDebug : kInfo;
  return true;
}

void peerMessage(int i) {
  logLine(g_logger, g_level, "request %d handled for %s", peerNumber(i), kPeerClient);
}

void peerFinish() {
  for (Logger &l : g_loggers) {
    if (l.file != nullptr) fclose(l.file);
  }
}
