// The exported functions, on the process's one logger. A message that the
// configuration drops is decided without the lock; one that is written is
// formatted by its caller and written by the first caller that finds the
// lock's queue without a leader (see Logger). The other entry points change
// settings under the lock. Every entry point keeps the caller's errno, and
// none is a cancellation point (the OS layer's calls are not).
#include "qolog.h"

#include <stdarg.h>
#include <time.h>

#include "pipeline/logger.h"

namespace qolog {
namespace {

Logger logger;

void prepareFork() { logger.prepareFork(); }
void afterForkInParent() { logger.afterForkInParent(); }
void afterForkInChild() { logger.afterForkInChild(); }

// At load, before the application registers fork handlers of its own that
// may log: prepare handlers run in the reverse order of registration, so
// theirs run while the lock is still free.
// (Nothing else here: the logger may be initialised after this runs.)
__attribute__((constructor)) void onLoad() {
  pthread_atfork(prepareFork, afterForkInParent, afterForkInChild);
}

// At unload (dlclose, or the end of the process): the files are closed and
// their locks released. A later call (another thread at exit) opens them
// again, without a new banner.
__attribute__((destructor)) void onUnload() { logger.unload(); }

}  // namespace
}  // namespace qolog

using qolog::logger;

extern "C" {

QOLOG_API void qologTrace(uint32_t level, const char *format, ...) noexcept {
  time_t now = time(nullptr);
  if (logger.dropped(now, nullptr, level)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, nullptr, level, nullptr, 0, format, args);
  va_end(args);
}

QOLOG_API void qologLog(const char *module, uint32_t level, const char *format, ...) noexcept {
  time_t now = time(nullptr);
  if (logger.dropped(now, module, level)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, module, level, nullptr, 0, format, args);
  va_end(args);
}

QOLOG_API void qologTraceBin(uint32_t level, const void *data, int32_t length,
                             const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  time_t now = time(nullptr);
  if (logger.dropped(now, nullptr, level)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, nullptr, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologLogBin(const char *module, uint32_t level, const void *data, int32_t length,
                           const char *format, ...) noexcept {
  if (data == nullptr || length == 0) return;  // not even the line
  time_t now = time(nullptr);
  if (logger.dropped(now, module, level)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, module, level, data, length, format, args);
  va_end(args);
}

QOLOG_API void qologClose(const char *module) noexcept {
  logger.change([module](qolog::State &s) { qolog::closeNamedModule(s, module); });
}

QOLOG_API void qologSetDate(uint32_t format) noexcept {
  logger.change([format](qolog::State &s) { qolog::setDateFormat(s, format); });
}

QOLOG_API void qologSetFile(const char *path) noexcept {
  logger.change([path](qolog::State &s) { qolog::setCurrentFile(s, path); });
}

QOLOG_API void qologSetOutput(uint32_t output) noexcept {
  logger.change([output](qolog::State &s) { qolog::setCurrentOutput(s, output); });
}

QOLOG_API void qologSetModuleName(const char *name) noexcept {
  logger.change([name](qolog::State &s) { qolog::setCurrentModuleName(s, name); });
}

}  // extern "C"
