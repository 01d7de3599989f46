// The scheduler's only notion of time.
#pragma once

#include <cstdint>

void SleepMilliseconds(uint32_t milliseconds);

// Milliseconds from an arbitrary start, never going back and never wrapping.
uint64_t MonotonicMilliseconds();

// The wall clock in local time, and how far local time is ahead of UTC.
struct LocalTime {
    int32_t year, month, day, hour, minute, second, millisecond;
    int32_t utcOffsetMinutes;
};
LocalTime ReadLocalTime();
