// Messages through a test's own state.
#include "support/driver.h"

#include <stdarg.h>

namespace qtest {

void logTo(qolog::State &state, const char *module, uint32_t level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  qolog::traceMessage(state, qolog::Message{module, level, format, nullptr, 0}, args);
  va_end(args);
}

void dumpTo(qolog::State &state, const char *module, uint32_t level, const void *data,
            int32_t length, const char *format, ...) {
  va_list args;
  va_start(args, format);
  qolog::traceMessage(state, qolog::Message{module, level, format, data, length}, args);
  va_end(args);
}

void logVia(qolog::Logger &logger, const char *module, uint32_t level, const char *format, ...) {
  time_t now = time(nullptr);
  if (logger.dropped(now, module, level)) return;
  va_list args;
  va_start(args, format);
  logger.write(now, module, level, nullptr, 0, format, args);
  va_end(args);
}

}  // namespace qtest
