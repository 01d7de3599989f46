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
// The job's line in the configuration file, as an editor numbers it.
extern int32_t JobLine[kMaxJobs];
extern std::atomic<int32_t> RunningMark[kMaxJobs];
extern ChildProcess ProcessRecord[kMaxJobs];
// The job's launch warning has been reported to the administrator and not
// yet followed by a successful start. Touched only by the job's worker.
extern bool LaunchWarningReported[kMaxJobs];

// Any non-zero value asks the scheduler to stop; never reset.
extern std::atomic<int32_t> StopFlag;
// Who asked, set just before the StopFlag.
constexpr int32_t kStopBySignal = 1;
constexpr int32_t kStopByService = 2;
constexpr int32_t kStopByShutdown = 3;
extern std::atomic<int32_t> StopCause;

// The run in progress of each job, for its closing record: its line and
// number, and when it started. Written and read under the launch lock.
struct RunInfo {
    int32_t line;
    int32_t run;
    uint64_t startMs;
};
extern RunInfo RunInProgress[kMaxJobs];
// Where a row's run stands between its worker and the stop's sweep. Each
// hand-over is one exchange of the word, so that exactly one of them writes
// the run's closing record and touches its handles after the stop.
constexpr int32_t kPhaseNone = 0;
constexpr int32_t kPhaseCreating = 1;    // the worker is creating the child
constexpr int32_t kPhaseRunning = 2;     // published: the sweep may take it
constexpr int32_t kPhaseEnded = 3;       // the worker closes it
constexpr int32_t kPhaseSwept = 4;       // the sweep closes it
constexpr int32_t kPhaseSelfEnded = 5;   // created after the stop: ended by its worker
constexpr int32_t kPhaseAbandoned = 6;   // still being created when the sweep gave up waiting
extern std::atomic<int32_t> RunPhase[kMaxJobs];
// The process id of the row's child while it runs, 0 otherwise: what a
// reload tells of a run it leaves going, read without the launch lock.
extern std::atomic<uint32_t> ChildPid[kMaxJobs];
// A launch that failed for want of system resources, to be tried once more
// at the next tick under the same run number; 0 when none. Written by the
// job's worker before it clears the mark.
extern int32_t RetryRun[kMaxJobs];
// ...and the error it failed with, for the fail record that closes the run
// when the retry never comes.
extern uint32_t RetryError[kMaxJobs];

// Owned by one scheduler run and touched by the scheduler thread alone.
struct JobEntry {
    int32_t interval;
    int32_t limit;  // seconds a run may take before it is ended; 0: no limit
    int32_t ElapsedCounter;  // idle ticks since the job last ended
    bool startPending;  // start at the next tick: its last start failed, or an edit asks
    bool inUse;
    bool retired;  // gone from the configuration: its run ends, none follows
    // What a reload wrote while a worker may still read the shared slots:
    // taken into them once the row's mark is clear.
    bool editWaiting;
    bool runAfterEdit;  // an interval-0 job runs its new command once
    int32_t waitingLine;
    char waitingCommand[kTextSize];
};

// How the configuration file was written.
enum class ConfigEncoding { kAnsi, kUtf8, kUtf16 };

// The lines of one load that raised a format warning: how many, and the
// first of them.
constexpr int32_t kListedFormatErrors = 20;
struct FormatErrors {
    int32_t count;
    int32_t lines[kListedFormatErrors];
};

// Set by the service's parameter-change control: read the configuration at
// once. Cleared by the scheduler.
extern std::atomic<int32_t> ReloadRequest;

struct JobTable {
    JobEntry rows[kMaxJobs];
    int32_t count;  // the jobs loaded at start; rows in use carry inUse
    bool fileFound;       // the configuration file exists
    uint32_t readError;   // the platform's error when it exists but could not be read; 0 else
    ConfigEncoding encoding;
    FormatErrors formatErrors;
    uint64_t configHash;  // of the bytes read at start
};

// Clears the shared arrays, as at process start.
void ResetJobTable();
