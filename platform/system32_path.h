// A 32-bit process on 64-bit Windows sees SysWOW64 where it names System32.
// These decide how a job's program still gets the folder its line names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace system32_path {

enum class Route {
    kAsWritten,         // no redirection to avoid: a 64-bit runner, or 32-bit Windows
    kThroughSysnative,  // System32 names become Sysnative, the real one's alias
    kRedirectionOff,    // no Sysnative (XP x64): redirection off around the creation
};

constexpr Route ChooseRoute(bool runnerUnderWow64, bool sysnativeExists) {
    if (!runnerUnderWow64) return Route::kAsWritten;
    return sysnativeExists ? Route::kThroughSysnative : Route::kRedirectionOff;
}

// True when program lies under <windowsDir>\System32 (either slash, any case).
bool IsUnderSystem32(const char* program, const char* windowsDir);

// Writes program with its System32 folder replaced by Sysnative; false
// when it is not under System32 or the result would not fit.
bool RewriteToSysnative(const char* program, const char* windowsDir, char* out, size_t outSize);

// True when a creation of program failed with error for want of a program
// that a 32-bit runner used to find in System32, i.e. in SysWOW64.
bool IsMissingFromRealSystem32(Route route, const char* program, const char* windowsDir,
                               uint32_t error);

}  // namespace system32_path
