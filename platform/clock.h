// The scheduler's only notion of time.
#pragma once

#include <cstdint>

void SleepMilliseconds(uint32_t milliseconds);

// Milliseconds from an arbitrary start, never going back and never wrapping.
// Time the machine spends asleep or hibernating counts.
uint64_t MonotonicMilliseconds();

// Milliseconds the machine has been awake, from an arbitrary start: time
// asleep or hibernating does not count. False where the platform can't
// tell.
bool ReadAwakeMilliseconds(uint64_t* ms);

// The wall clock in local time, and how far local time is ahead of UTC.
struct LocalTime {
    int32_t year, month, day, hour, minute, second, millisecond;
    int32_t utcOffsetMinutes;
};
LocalTime ReadLocalTime();
