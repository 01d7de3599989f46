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
