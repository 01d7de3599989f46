// The job table: the runner's whole working state, one row per configured
// job. The scheduler thread owns every row and alone changes its state, by
// the transitions of jobs/engine/row_machine.h. A row's worker reads what the
// scheduler gave its run before starting it, and answers through the run's
// progress word: it never takes a lock, and never closes a handle.
#pragma once

#include <atomic>
#include <cstdint>

#include "jobs/job_types.h"
#include "platform/clock.h"
#include "platform/process.h"

enum class RowState : uint8_t {
    kFree,  // no job
    kIdle,  // waits for its interval
    kDue,   // starts at the next tick: its worker could not be started, or an edit of an interval-0
            // job asks
    kLaunching,  // its worker is creating the child
    kRunning,    // the child runs; its worker waits for it
    kWarning,    // the launch failed, and its warning is still up (the foreground's box blocks the
                 // worker)
    kRetryPending,  // the launch failed for want of resources: tried once more at the next tick
    kRetired,       // gone from the configuration; its run goes on
    kEditWaiting,   // edited; the new command waits for the run to end
    kStopping,      // the stop has taken its run
};
constexpr int32_t kRowStates = 10;

// How far a worker has got with its run. It moves forward only, and each
// step is published after the facts it tells are written: the scheduler
// reads the word and then the facts.
enum RunProgress : int32_t {
    kProgressLaunching = 0,  // set by the scheduler before it starts the worker
    kProgressCreated,        // the child exists
    kProgressEnded,          // ...and has ended
    kProgressFailed,         // the creation failed; the warning may still be up
    kProgressWarningDone,    // ...and it is down
    kProgressRetry,          // failed for want of resources: try once more
    kProgressNotStarted,     // the stop came before the creation
    kProgressSelfEnded,      // created once the stop had come, and ended by its worker
    kProgressAbandoned,      // set by the stop, which gave up waiting for the creation
};

// The run a row's worker makes: one attempt, or its retry.
struct RowRun {
    // Given by the scheduler before the worker starts; read-only after.
    int32_t number;
    int32_t line;
    bool retried;  // the retry of an attempt that failed for want of resources
    char command[kTextSize];
    // Written by the worker, each before the progress that tells it.
    ChildProcess child;
    uint64_t createdMs;
    uint64_t createdAwakeMs;  // on the clock of limits, AwakeMilliseconds
    LocalTime createdAt;
    uint32_t error;  // of a failed creation
    LocalTime failedAt;
    uint32_t exitCode;
    uint64_t endMs;
    LocalTime endAt;
    std::atomic<int32_t> progress;
    // Set by the scheduler when it ended the run at its limit, after the
    // limit met: the worker tells the administrator, the end is recorded
    // as the limit's.
    int32_t limit;
    std::atomic<int32_t> endedAtLimit;
    // The scheduler's own: the last progress it acted on.
    int32_t seen;
};

struct Row {
    RowState state;
    int32_t line;  // the job's line in the configuration file
    int32_t interval;
    int32_t limit;            // seconds a run may last; 0: no limit
    int32_t idle;             // ticks since its run last ended
    char command[kTextSize];  // the latest written; the run keeps its own
    RowRun run;
};

// The scheduler's beat, and how long the stop waits for creations still in
// progress: what a stop may take before the journal is flushed. At shutdown
// Windows 10 and later give a service about 5 s in all, so the wait is
// shorter there: the stop's own record must still make it to the disk.
constexpr uint32_t kTickMilliseconds = 1000;
constexpr uint32_t kCreationWaitMilliseconds = 5000;
constexpr uint32_t kShutdownCreationWaitMilliseconds = 1000;

// Exit code of a child terminated at stop.
constexpr uint32_t kStoppedChildExitCode = 2;

extern Row Rows[kMaxJobs];

// Any non-zero value asks the scheduler to stop; never reset.
extern std::atomic<int32_t> StopFlag;
// Who asked, set just before the StopFlag.
constexpr int32_t kStopBySignal = 1;
constexpr int32_t kStopByService = 2;
constexpr int32_t kStopByShutdown = 3;
extern std::atomic<int32_t> StopCause;

// Set by the service's parameter-change control: read the configuration at
// once. Cleared by the scheduler.
extern std::atomic<int32_t> ReloadRequest;

// The clock a run's limit is measured on: the machine's awake time, so that
// a sleep does not age a run; where the platform can't tell it, the ticks
// the scheduler has counted (CountTick), which stop while the machine sleeps.
uint64_t AwakeMilliseconds();
void CountTick();
// The awake time a creation is stamped with: on the ticks, the next one's,
// so that a limit counted in ticks never ends a run early.
uint64_t CreationAwakeMilliseconds();

// The run's child ended at its limit: the limit's end reached it, with the
// limit's exit code. One that ended by itself as the limit came keeps its
// own end.
bool IsEndAtLimit(const RowRun& run, uint32_t exitCode);

// A row free with all its fields anew; only while no worker holds it.
void ClearRow(Row& row);

// Every row free, as at process start.
void ResetJobTable();
