// Timestamps of message lines and banners.
#ifndef QOLOG_FORMAT_TIMESTAMP_H_
#define QOLOG_FORMAT_TIMESTAMP_H_

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

// Formats clock readings. The calendar part ("Nov  4 18:22:48") is computed
// with localtime_r once per second and kept; only the milliseconds change.
// REQUIRES: one caller at a time.
class TimeText {
 public:
  // QOLOG_DATE_NONE: empty; QOLOG_DATE_EPOCH: "%ld.%d" (milliseconds
  // unpadded); anything else the local calendar time "Nov  4 18:22:48:048".
  // Writes at most kTimeBufSize bytes including the terminator; returns the
  // length.
  size_t format(uint32_t dateFormat, const ClockReading &clock, char *buffer);

 private:
  void updateCalendar(time_t seconds);

  time_t second_ = -1;
  char calendar_[16] = {};  // "Mmm dd hh:mm:ss", 15 characters
  size_t calendarLen_ = 0;
};

}  // namespace qolog

#endif  // QOLOG_FORMAT_TIMESTAMP_H_
