// Messages sent through a state of the test's own, as the entry points send
// them through the process's: for tests that replace the OS layer or look
// at the state afterwards.
#ifndef QOLOG_TESTS_DRIVER_H_
#define QOLOG_TESTS_DRIVER_H_

#include <stdint.h>

#include "pipeline/logger.h"
#include "pipeline/pipeline.h"

namespace qtest {

void logTo(qolog::State &state, const char *module, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void dumpTo(qolog::State &state, const char *module, uint32_t level, const void *data,
            int32_t length, const char *format, ...) __attribute__((format(printf, 6, 7)));

// As the entry points call a logger: the lock-free drop, then the write.
void logVia(qolog::Logger &logger, const char *module, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace qtest

#endif  // QOLOG_TESTS_DRIVER_H_
