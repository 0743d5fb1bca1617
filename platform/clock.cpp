#include "platform/clock.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

i32 formatDate(char* buf, time_t t) {
  if (!buf) return -1;
  struct tm lt;
  if (!localtime_r(&t, &lt)) {
    buf[0] = '\0';
    return -1;
  }
  std::snprintf(buf, kDateStringSize, "%04d-%02d-%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  return 0;
}

}  // namespace

f64 clockNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (f64)((u64)ts.tv_sec * 1000000000ull + (u64)ts.tv_nsec);
}

i32 nanoSleep(u64 ns) {
  if (ns == 0) return 0;
  // The kernel lets a sleep run up to the thread's timer slack (50 us by
  // default) late; threads that pace frames or steps want their deadline.
  static thread_local bool slackSet = false;
  if (!slackSet) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    slackSet = true;
  }
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  u64 sec = ns / 1000000000ull;
  u64 nsec = (u64)ts.tv_nsec + ns % 1000000000ull;
  ts.tv_sec += (time_t)(sec + nsec / 1000000000ull);
  ts.tv_nsec = (long)(nsec % 1000000000ull);
  // An absolute deadline lets an interrupted sleep resume without drifting.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
  return 0;
}

i32 getCurrentDate(char* buf) { return formatDate(buf, time(nullptr)); }

i32 getDateOffset(char* buf, i32 days) { return formatDate(buf, time(nullptr) + (time_t)days * 86400); }

i32 formatLocalDate(char* buf, i64 unixSeconds) { return formatDate(buf, (time_t)unixSeconds); }
