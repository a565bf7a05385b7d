// The texts of the opt-in diagnostics and the memory of what was told.
#include "pipeline/diagnostics.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace qolog {

namespace {

uint32_t keyOf(int topic, const char *subject) {
  uint32_t h = 2166136261u ^ static_cast<uint32_t>(topic);
  for (const char *p = subject; *p != '\0'; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
  return h != 0 ? h : 1;
}

}  // namespace

bool Diagnostics::first(Topic topic, const char *subject) {
  uint32_t key = keyOf(topic, subject);
  uint32_t *free = nullptr;
  for (uint32_t &k : told_) {
    if (k == key) return false;
    if (k == 0 && free == nullptr) free = &k;
  }
  if (free != nullptr) *free = key;  // a full memory tells again: never less
  return true;
}

void Diagnostics::cleared(Topic topic, const char *subject) {
  uint32_t key = keyOf(topic, subject);
  for (uint32_t &k : told_) {
    if (k == key) k = 0;
  }
}

void Diagnostics::say(const char *format, ...) {
  char line[2048];
  memcpy(line, "qolog: ", 7);
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line + 7, sizeof(line) - 8, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = 7 + (static_cast<size_t>(n) < sizeof(line) - 8 ? static_cast<size_t>(n) : sizeof(line) - 9);
  line[len++] = '\n';
  os::writeAll(*os_, STDERR_FILENO, line, len);
}

void Diagnostics::configuration(const CfgOutcome &outcome, const CfgWatch &watch,
                                const TraceCfg &cfg) {
  if (!enabled()) return;
  const char *path = outcome.path != nullptr ? outcome.path : "";
  switch (outcome.kind) {
    case CfgOutcome::kMissing:
      if (!first(kConfig, "")) return;
      if (watch.lastMtimeSec != -1) {
        say("%s cannot be opened any more (%s): the configuration in force stays", path,
            strerror(outcome.err));
      } else if (watch.namedPath != nullptr) {
        say("QOTRACE_CFG names %s, which cannot be opened (%s): nothing is written", path,
            strerror(outcome.err));
      } else {
        say("no configuration file: %s%s cannot be opened (%s): nothing is written",
            os::isPrivileged() ? "" : "./qotrace.cfg and ", path, strerror(outcome.err));
      }
      return;
    case CfgOutcome::kNotRegular:
      if (first(kConfig, "")) say("%s is not a regular file: no configuration is read", path);
      return;
    case CfgOutcome::kUnreadable:
      if (first(kConfig, "")) {
        say("%s cannot be read (%s): the configuration in force stays", path, strerror(outcome.err));
      }
      return;
    case CfgOutcome::kUnchanged:
      cleared(kConfig, "");
      return;
    case CfgOutcome::kLoaded:
      cleared(kConfig, "");
      say("configuration loaded from %s: %d module%s", path, cfg.nUsedModules,
          cfg.nUsedModules == 1 ? "" : "s");
      return;
  }
}

void Diagnostics::onFile(void *self, FileEvent event, const char *path, const char *detail,
                         int err) {
  static_cast<Diagnostics *>(self)->file(event, path, detail, err);
}

void Diagnostics::file(FileEvent event, const char *path, const char *detail, int err) {
  switch (event) {
    case FileEvent::kOpenFailed:
      if (!first(kOpen, path)) return;
      if (strcmp(detail, "lock") == 0) {
        say("%s is locked by another process", path);
      } else {
        say("cannot open %s: %s", path, strerror(err));
      }
      return;
    case FileEvent::kFallback:
      if (first(kFallback, path)) say("%s is written as %s (this process's own file)", path, detail);
      return;
    case FileEvent::kOpened:
      cleared(kOpen, path);
      cleared(kFallback, path);
      return;
    case FileEvent::kRollFailed:
      if (first(kRoll, path)) say("cannot roll %s: %s failed: %s", path, detail, strerror(err));
      return;
    case FileEvent::kRolled:
      cleared(kRoll, path);
      return;
    case FileEvent::kWriteFailed:
      if (first(kWrite, path)) {
        say("write to %s %s: %s", path, detail[0] != '\0' ? "cut short" : "failed", strerror(err));
      }
      return;
    case FileEvent::kWrote:
      cleared(kWrite, path);
      return;
    case FileEvent::kReopened:
      say("%s was replaced or deleted: opened again", path);
      return;
  }
}

}  // namespace qolog
