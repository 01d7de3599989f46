#include "jobs/scheduler.h"

#include <csignal>

#include "jobs/config.h"
#include "jobs/job_table.h"
#include "jobs/launcher.h"
#include "jobs/warnings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/threads.h"

namespace {

constexpr uint32_t kTickMilliseconds = 1000;

JobTable Table;

void StartJob(JobEntry* row, int32_t index) {
    RunningMark[index].store(1);
    if (StartThread(JobWorker, index)) {
        row->startPending = false;
        return;
    }
    // No worker: leave the job idle and try again at the next tick.
    RunningMark[index].store(0);
    row->startPending = true;
}

bool IsDue(const JobEntry& row) {
    if (row.startPending) return true;
    return row.interval != 0 && row.ElapsedCounter >= row.interval;
}

void Tick() {
    for (int32_t i = 0; i < Table.count; ++i) {
        JobEntry& row = Table.rows[i];
        if (!IsJobRunning(i) && IsDue(row)) {
            StartJob(&row, i);
            if (!row.startPending) row.ElapsedCounter = 0;
        }
        if (!IsJobRunning(i) && row.ElapsedCounter < INT32_MAX) ++row.ElapsedCounter;
        if (row.interval == 0) row.ElapsedCounter = 0;
    }
}

// Holding the launch lock, no child is being created, and every worker that
// takes it later sees the StopFlag and gives up: no child outlives this.
// A run in progress ends with everything it started; a run whose child has
// ended already leaves what it started alone.
void TerminateRunningChildren() {
    EnterLaunchLock();
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        const ChildProcess& run = ProcessRecord[i];
        if (!IsJobRunning(i) || run.process == nullptr || HasChildEnded(run)) continue;
        if (run.jobObject != nullptr) {
            TerminateRunJobObject(run.jobObject, kStoppedChildExitCode);
        } else {
            TerminateChild(run, kStoppedChildExitCode);
        }
    }
    LeaveLaunchLock();
}

}  // namespace

bool IsJobRunning(int32_t index) { return RunningMark[index].load() == 1; }

void OnStopSignal(int) { StopFlag.store(1); }

int RunScheduler(RunEnd* end) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    if (LoadJobTable(&Table) == 0) {
        if (end != nullptr) *end = Table.fileFound ? RunEnd::kNoJobs : RunEnd::kNoConfigFile;
        return 1;
    }
    CaptureStartPath();

    if (StopFlag.load() == 0) {
        for (int32_t i = 0; i < Table.count; ++i) {
            if (!IsJobRunning(i)) StartJob(&Table.rows[i], i);
        }
    }
    for (int32_t i = 0; i < Table.count; ++i) Table.rows[i].ElapsedCounter = 0;

    while (StopFlag.load() == 0) {
        SleepMilliseconds(kTickMilliseconds);
        ReportHeldBackWarnings();
        Tick();
    }
    TerminateRunningChildren();
    if (end != nullptr) *end = RunEnd::kStopped;
    return 0;
}
