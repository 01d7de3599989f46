// The scheduler's only notion of time.
#pragma once

#include <cstdint>

void SleepMilliseconds(uint32_t milliseconds);
