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

// The facts: whether the NUL device is open for children, and whether the
// platform takes a list of the handles to inherit.
constexpr ChildStartPlan PlanChildStart(bool suspended, bool nulDeviceOpen, bool hasHandleList) {
    uint32_t suspend = suspended ? kCreateSuspendedFlag : 0;
    if (!nulDeviceOpen) {
        // No input of its own to give the child: detached, it has none to
        // wait on, and a window now and then is the lesser harm.
        return ChildStartPlan{kCreateNoWindowFlag | kDetachedProcessFlag | suspend, false, false,
                              false};
    }
    // A console never shown, shared with every console program the child
    // starts; input from NUL, so that a pause ends at once.
    uint32_t flags = kCreateNoWindowFlag | suspend;
    if (hasHandleList) flags |= kExtendedStartupInfoFlag;
    return ChildStartPlan{flags, true, true, hasHandleList};
}
