// Timestamp formatting. The calendar part ("Nov  4 18:22:48") is computed with
// localtime_r once per second and reused; only the milliseconds change.
#include "output/timestamp.h"

#include <stdio.h>
#include <string.h>

namespace qolog {

namespace {

const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

time_t ST_lnCalendarSecond = -1;
char ST_szCalendar[32];  // "Mmm dd hh:mm:ss", 15 characters
size_t ST_nCalendarLen = 0;

void put2(char *p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// The text of ctime() from its fifth character to its nineteenth: month,
// day of month right-aligned in two columns, and the time of day.
void updateCalendar(time_t seconds) {
  struct tm tm;
  ST_lnCalendarSecond = seconds;
  tzset();  // as ctime() does: a changed TZ shows from the next second on
  if (localtime_r(&seconds, &tm) == nullptr || tm.tm_mon < 0 || tm.tm_mon > 11) {
    ST_nCalendarLen = 0;  // out of the calendar's range: milliseconds only
    return;
  }
  char *p = ST_szCalendar;
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
  ST_nCalendarLen = 15;
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

size_t formatTime(uint32_t dateFormat, const ClockReading &clock, char *buffer) {
  if (dateFormat == 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (dateFormat == 2) {
    int n = snprintf(buffer, kTimeBufSize, "%ld.%d",
                     static_cast<long>(clock.seconds), clock.millis);
    if (n < 0 || static_cast<size_t>(n) >= kTimeBufSize) {
      buffer[0] = '\0';
      return 0;
    }
    return static_cast<size_t>(n);
  }
  if (clock.seconds != ST_lnCalendarSecond) updateCalendar(clock.seconds);
  char *p = buffer;
  memcpy(p, ST_szCalendar, ST_nCalendarLen);
  p += ST_nCalendarLen;
  p[0] = ':';
  p[1] = static_cast<char>('0' + clock.millis / 100);
  p[2] = static_cast<char>('0' + clock.millis / 10 % 10);
  p[3] = static_cast<char>('0' + clock.millis % 10);
  p[4] = '\0';
  return ST_nCalendarLen + 4;
}

char *get_time(uint32_t dateFormat, char *buffer, time_t *seconds) {
  ClockReading clock = readClock();
  if (seconds != nullptr) *seconds = clock.seconds;
  formatTime(dateFormat, clock, buffer);
  return buffer;
}

}  // namespace qolog
