// The one main loop, in the foreground and in the service alike.
#pragma once

#include <cstdint>

// How a scheduler run ended. kNoConfigFile: missing, or there but unreadable.
enum class RunEnd { kStopped, kNoConfigFile, kNoJobs };

// Loads the job table, starts every job, then once a second starts each idle
// job whose idle time has reached its interval, until the StopFlag is set;
// then terminates the children still running. Returns 1 when the
// configuration is missing or yields no job, 0 after a stop; end, when not
// null, receives which.
int RunScheduler(RunEnd* end);

// The platform's error that kept the last run from reading an existing
// configuration file; 0 when it was read or is missing.
uint32_t ConfigReadError();

// Signal handler for SIGINT and SIGTERM: asks the scheduler to stop.
void OnStopSignal(int signal);

// The scheduler's beat, and how long the stop waits for creations still in
// progress: what a stop may take before the journal is flushed. At shutdown
// Windows 10 and later give a service about 5 s in all, so the wait is
// shorter there: the stop's own record must still make it to the disk.
constexpr uint32_t kTickMilliseconds = 1000;
constexpr uint32_t kCreationWaitMilliseconds = 5000;
constexpr uint32_t kShutdownCreationWaitMilliseconds = 1000;

// Exit code of a child terminated at stop.
constexpr uint32_t kStoppedChildExitCode = 2;

// Events the last scheduler run met in a state with no transition for
// them: none, unless the engine is at fault.
int32_t RefusedTransitions();
