// Monotonic clock, precise sleep and local date strings.
#pragma once

#include "platform/types.h"

// Room for "%04d-%02d-%02d" with any year an int holds.
inline constexpr u32 kDateStringSize = 32;

// Nanoseconds of the monotonic clock.
f64 clockNanos();
// Sleeps at least ns nanoseconds (to an absolute deadline, so signals do not
// shorten it); returns 0 at once for 0. Always returns 0.
i32 nanoSleep(u64 ns);
// Local date as "YYYY-MM-DD" into buf (kDateStringSize bytes); -1 (and an empty
// string) when the date cannot be represented.
i32 getCurrentDate(char* buf);
// Local date days * 86400 s from now, same form.
i32 getDateOffset(char* buf, i32 days);
// Local date of a time in seconds since the epoch, same form.
i32 formatLocalDate(char* buf, i64 unixSeconds);
