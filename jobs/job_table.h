// The job table: the runner's whole working state, one row per configured job.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/process.h"

constexpr int32_t kMaxJobs = 1024;
// Paths, configuration lines and commands: at most 255 characters and a zero byte.
constexpr size_t kTextSize = 256;

// Shared with the worker threads, which know a job only by its index.
// Each array is zero at process start.
extern char JobCommand[kMaxJobs][kTextSize];
extern std::atomic<int32_t> RunningMark[kMaxJobs];
extern ChildProcess ProcessRecord[kMaxJobs];
// The job's launch warning has been reported to the administrator and not
// yet followed by a successful start. Touched only by the job's worker.
extern bool LaunchWarningReported[kMaxJobs];

// Any non-zero value asks the scheduler to stop; never reset.
extern std::atomic<int32_t> StopFlag;

// Owned by one scheduler run and touched by the scheduler thread alone.
struct JobEntry {
    int32_t interval;
    int32_t ElapsedCounter;  // idle ticks since the job last ended
    bool startPending;  // its last start failed: try again at the next tick
};

struct JobTable {
    JobEntry rows[kMaxJobs];
    int32_t count;
    bool fileFound;  // the configuration file could be opened
};

// Clears the shared arrays, as at process start.
void ResetJobTable();
