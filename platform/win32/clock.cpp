#include "platform/clock.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/late_function.h"

namespace {

using TickCount64 = ULONGLONG(WINAPI*)();
using UnbiasedTime = BOOL(WINAPI*)(PULONGLONG time);

// Vista and later; on XP the 32-bit count is widened below.
const TickCount64 ReadTickCount64 = FindKernelFunction<TickCount64>("GetTickCount64");
// Windows 7 and later: in 100 ns units, without the time asleep.
const UnbiasedTime ReadUnbiasedTime =
    FindKernelFunction<UnbiasedTime>("QueryUnbiasedInterruptTime");

// The last 32-bit count seen, in the low half, and the wraps counted so far,
// in the high half: one word, so that threads agree without a lock. Called
// far more often than every 49.7 days, it sees every wrap.
std::atomic<uint64_t> WidenedTicks{0};

uint64_t WidenTickCount() {
    uint64_t seen = WidenedTicks.load();
    for (;;) {
        uint32_t now = GetTickCount();
        uint64_t wraps = seen >> 32;
        if (now < static_cast<uint32_t>(seen)) ++wraps;
        uint64_t next = (wraps << 32) | now;
        if (next <= seen || WidenedTicks.compare_exchange_weak(seen, next)) {
            return next > seen ? next : seen;
        }
    }
}

constexpr int64_t kFileTimeTicksPerMinute = 60LL * 10000000LL;

int64_t AsInteger(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

}  // namespace

uint64_t MonotonicMilliseconds() {
    if (ReadTickCount64 != nullptr) return ReadTickCount64();
    return WidenTickCount();
}

bool ReadAwakeMilliseconds(uint64_t* ms) {
    ULONGLONG time = 0;
    if (ReadUnbiasedTime == nullptr || !ReadUnbiasedTime(&time)) return false;
    *ms = time / 10000u;
    return true;
}

LocalTime ReadLocalTime() {
    // One reading of the clock gives both the fields and the offset, so the
    // two always agree, also across a change to or from daylight saving time.
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
    SYSTEMTIME fields = {};
    FileTimeToSystemTime(&local, &fields);
    int64_t offset = (AsInteger(local) - AsInteger(utc)) / kFileTimeTicksPerMinute;
    return LocalTime{
        fields.wYear,   fields.wMonth,  fields.wDay,          fields.wHour,
        fields.wMinute, fields.wSecond, fields.wMilliseconds, static_cast<int32_t>(offset)};
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
