#pragma once
#include <cstddef>

// A 32-bit process on 64-bit Windows sees SysWOW64 where it asks for
// System32; these decide how a job's program still gets the real one.
namespace system32_path {

enum class Route { AsWritten, ThroughSysnative, RedirectionOff };

constexpr Route ChooseRoute(bool runnerUnderWow64, bool sysnativeExists) {
    if (!runnerUnderWow64) return Route::AsWritten;
    return sysnativeExists ? Route::ThroughSysnative : Route::RedirectionOff;
}

// True when `program` lies under <windowsDir>\System32 (either slash, any case).
bool IsUnderSystem32(const char* program, const char* windowsDir);

// Writes `program` with its System32 folder replaced by Sysnative; false
// when it is not under System32 or the result would not fit.
bool RewriteToSysnative(const char* program, const char* windowsDir, char* out, size_t outSize);

}  // namespace system32_path
