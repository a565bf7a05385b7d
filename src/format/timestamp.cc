// Timestamp formatting.
#include "format/timestamp.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "qolog.h"

namespace qolog {

namespace {

const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

void put2(char *p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

}  // namespace

ClockReading readClock() {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    ts.tv_sec = time(nullptr);
    ts.tv_nsec = 0;
  }
  int millis = static_cast<int>(ts.tv_nsec / 1000000);
  if (millis < 0 || millis > 999) millis = 0;
  return ClockReading{ts.tv_sec, millis};
}

// The text of ctime() from its fifth character to its nineteenth: month,
// day of month right-aligned in two columns, and the time of day.
void TimeText::updateCalendar(time_t seconds) {
  struct tm tm;
  second_ = seconds;
  // tzset may read the zone file: no cancellation point inside the library.
  int cancelState;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
  tzset();  // as ctime() does: a changed TZ shows from the next second on
  struct tm *ok = localtime_r(&seconds, &tm);
  pthread_setcancelstate(cancelState, nullptr);
  if (ok == nullptr || tm.tm_mon < 0 || tm.tm_mon > 11) {
    calendarLen_ = 0;  // out of the calendar's range: milliseconds only
    return;
  }
  char *p = calendar_;
  memcpy(p, kMonths + 3 * tm.tm_mon, 3);
  p[3] = ' ';
  p[4] = tm.tm_mday >= 10 ? static_cast<char>('0' + tm.tm_mday / 10) : ' ';
  p[5] = static_cast<char>('0' + tm.tm_mday % 10);
  p[6] = ' ';
  put2(p + 7, tm.tm_hour);
  p[9] = ':';
  put2(p + 10, tm.tm_min);
  p[12] = ':';
  put2(p + 13, tm.tm_sec);
  calendarLen_ = 15;
}

size_t TimeText::format(uint32_t dateFormat, const ClockReading &clock, char *buffer) {
  if (dateFormat == QOLOG_DATE_NONE) {
    buffer[0] = '\0';
    return 0;
  }
  if (dateFormat == QOLOG_DATE_EPOCH) {
    int n = snprintf(buffer, kTimeBufSize, "%ld.%d", static_cast<long>(clock.seconds),
                     clock.millis);
    if (n < 0 || static_cast<size_t>(n) >= kTimeBufSize) {
      buffer[0] = '\0';
      return 0;
    }
    return static_cast<size_t>(n);
  }
  if (clock.seconds != second_) updateCalendar(clock.seconds);
  char *p = buffer;
  memcpy(p, calendar_, calendarLen_);
  p += calendarLen_;
  p[0] = ':';
  p[1] = static_cast<char>('0' + clock.millis / 100);
  p[2] = static_cast<char>('0' + clock.millis / 10 % 10);
  p[3] = static_cast<char>('0' + clock.millis % 10);
  p[4] = '\0';
  return calendarLen_ + 4;
}

}  // namespace qolog
