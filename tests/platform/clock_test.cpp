#include "platform/clock.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <cstring>
#include <thread>
#include <ctime>

namespace {

TEST(Clock, SleepLastsAtLeastItsLength) {
  EXPECT_EQ(nanoSleep(0), 0);
  f64 t0 = clockNanos();
  EXPECT_EQ(nanoSleep(3000000), 0);
  f64 t1 = clockNanos();
  EXPECT_GE(t1 - t0, 3000000.0);
}

// Pacing threads sleep to their deadline, not up to 50 us past it: the first
// sleep on a thread lowers that thread's timer slack to 1 ns.
TEST(Clock, SleepingThreadGetsFineTimerSlack) {
  long slack = -1;
  std::thread t([&] {
    nanoSleep(1000);
    slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  });
  t.join();
  EXPECT_EQ(slack, 1);
}

TEST(Clock, DatesAreLocalAndOffsetByWholeDays) {
  char today[kDateStringSize], tomorrow[kDateStringSize], yesterday[kDateStringSize];
  ASSERT_EQ(getCurrentDate(today), 0);
  ASSERT_EQ(getDateOffset(tomorrow, 1), 0);
  ASSERT_EQ(getDateOffset(yesterday, -1), 0);
  ASSERT_EQ(std::strlen(today), 10u);
  EXPECT_EQ(today[4], '-');
  EXPECT_EQ(today[7], '-');
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  char expect[32];
  std::snprintf(expect, sizeof expect, "%04d-%02d-%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  EXPECT_STREQ(today, expect);
  // Same-length strings compare in date order.
  EXPECT_LT(std::strcmp(yesterday, today), 0);
  EXPECT_GT(std::strcmp(tomorrow, today), 0);
  char same[kDateStringSize];
  getDateOffset(same, 0);
  EXPECT_STREQ(same, today);
}

}  // namespace
