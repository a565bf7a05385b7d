// A wall clock the tests control. The test binaries define clock_gettime,
// time and gettimeofday, which the library (static or shared) then calls;
// until a test sets a time they pass through to the C library's own.
#ifndef QOLOG_TESTS_FAKE_CLOCK_H_
#define QOLOG_TESTS_FAKE_CLOCK_H_

#include <time.h>

namespace qtest {

void setFakeClock(time_t seconds, long nanoseconds = 0);
void advanceFakeClock(time_t seconds, long nanoseconds = 0);
// Every reading of the fake clock moves it on by `nanoseconds` (0: it stands).
void setFakeClockStep(long nanoseconds);

}  // namespace qtest

#endif  // QOLOG_TESTS_FAKE_CLOCK_H_
