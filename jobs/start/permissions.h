// Whether the runner's files can be changed by anyone but the accounts that
// run it: the service runs every job as LocalSystem, so whoever can change
// the executable, its folder or the configuration can run anything so.
#pragma once

#include <cstdint>

// Where the runner stands after judging its files at start.
enum class StartCheck {
    kPassed,
    kConfigurationFails,  // only the configuration: its folder is sound
    kFolderFails,         // the executable, its folder or a folder above
};

// Why a start is refused, by the service's own exit code. Where several
// apply, files that others can change come first, then a network location.
enum class Refusal : uint32_t {
    kNone = 0,
    kUnsafeFiles = 1,
    kConfigurationHeldOpen = 2,  // another program may write it
    kNetworkLocation = 3,        // permissions this machine can't judge
};

// Judges the executable, its folder and every folder above it, both where
// the path says and where it really leads, and the configuration, and
// composes the report of every finding with the commands that fix them
// (StartCheckReport). Call before the journal opens.
StartCheck CheckRunnerFiles();
const char* StartCheckReport();
Refusal StartCheckRefusal();  // kNone when passed
