// How a child is created: its flags and what it gets of our handles. Pure,
// so that the choice is checked without Windows; the backend turns it into
// CreateProcessA's arguments.
#pragma once

#include <cstdint>

// Windows' own values, checked against windows.h by the backend.
constexpr uint32_t kCreateSuspendedFlag = 0x00000004;
constexpr uint32_t kDetachedProcessFlag = 0x00000008;
constexpr uint32_t kExtendedStartupInfoFlag = 0x00080000;
constexpr uint32_t kCreateNoWindowFlag = 0x08000000;
constexpr uint32_t kUnicodeEnvironmentFlag = 0x00000400;
constexpr uint32_t kBreakawayFromJobFlag = 0x01000000;

struct ChildStartPlan {
    uint32_t creationFlags;
    // Standard input, output and error are the NUL device.
    bool standardHandlesNul;
    // CreateProcessA's bInheritHandles: the NUL handle has to be inherited.
    bool inheritHandles;
    // Only the NUL handle may be inherited, named in the start-up record's
    // attribute list (Vista and later).
    bool handleList;
};

// The facts: whether the NUL device is open for children, whether the
// platform takes a list of the handles to inherit, whether the child gets
// an environment block of ours (always in UTF-16) and whether it breaks
// away from the job the runner is in (DecideChildJobs).
constexpr ChildStartPlan PlanChildStart(bool suspended, bool nulDeviceOpen, bool hasHandleList,
                                        bool environmentGiven = false, bool breakaway = false) {
    uint32_t common = (suspended ? kCreateSuspendedFlag : 0) |
                      (environmentGiven ? kUnicodeEnvironmentFlag : 0) |
                      (breakaway ? kBreakawayFromJobFlag : 0);
    if (!nulDeviceOpen) {
        // No input of its own to give the child: detached, it has none to
        // wait on, and a window now and then is the lesser harm.
        return ChildStartPlan{kCreateNoWindowFlag | kDetachedProcessFlag | common, false, false,
                              false};
    }
    // A console never shown, shared with every console program the child
    // starts; input from NUL, so that a pause ends at once.
    uint32_t flags = kCreateNoWindowFlag | common;
    if (hasHandleList) flags |= kExtendedStartupInfoFlag;
    return ChildStartPlan{flags, true, true, hasHandleList};
}

// Whether a run's child can have a job object of its own, and whether it
// must ask to break away from the runner's job to get one.
struct ChildJobs {
    bool breakaway;
    bool own;
};

// From Windows 8 on, a process joins a job within a job: never break away,
// which would take the child out of the outer job's own stop and limits.
// Before, a child in the runner's job can join no other: it breaks away
// where the outer job allows it (asked where not allowed, the creation
// fails with access denied), or leaves the job by itself where the job
// lets its processes' children go silently; else it has no job of its own.
constexpr ChildJobs DecideChildJobs(bool nestedJobs, bool runnerInJob, bool breakawayAllowed,
                                    bool silentBreakaway) {
    if (nestedJobs || !runnerInJob || silentBreakaway) return ChildJobs{false, true};
    return ChildJobs{breakawayAllowed, breakawayAllowed};
}
