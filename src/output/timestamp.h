// Timestamps of message lines and banners.
#ifndef QOLOG_OUTPUT_TIMESTAMP_H_
#define QOLOG_OUTPUT_TIMESTAMP_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

namespace qolog {

constexpr size_t kTimeBufSize = 64;

// A clock reading: whole seconds and milliseconds within the second.
struct ClockReading {
  time_t seconds;
  int millis;
};

// Reads the wall clock through libc (tests interpose clock_gettime).
ClockReading readClock();

// Formats a reading: 0 empty; 2 "%ld.%d" (milliseconds unpadded); anything
// else the local calendar time "Nov  4 18:22:48:048". Writes at most
// kTimeBufSize bytes including the terminator; returns the length.
// REQUIRES: the library mutex is held (the calendar text is cached).
size_t formatTime(uint32_t dateFormat, const ClockReading &clock, char *buffer);

// Reads the clock, formats it into `buffer`, stores the seconds.
char *get_time(uint32_t dateFormat, char *buffer, time_t *seconds);

}  // namespace qolog

#endif  // QOLOG_OUTPUT_TIMESTAMP_H_
