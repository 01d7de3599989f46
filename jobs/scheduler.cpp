#include "jobs/scheduler.h"

#include <csignal>

#include "jobs/config.h"
#include "jobs/job_table.h"
#include "jobs/journal.h"
#include "jobs/launcher.h"
#include "jobs/texts.h"
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

bool IsDue(const JobEntry& row, int32_t index) {
    if (row.startPending || RetryRun[index] != 0) return true;
    return row.interval != 0 && row.ElapsedCounter >= row.interval;
}

void Tick() {
    // Often enough for a clock widened from 32 bits to see every wrap.
    MonotonicMilliseconds();
    for (int32_t i = 0; i < Table.count; ++i) {
        JobEntry& row = Table.rows[i];
        if (!IsJobRunning(i) && IsDue(row, i)) {
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
// ended already leaves what it started alone. Each run found gets its
// closing record here. Returns how many runs the stop ended.
int32_t TerminateRunningChildren() {
    EnterLaunchLock();
    int32_t ended = 0;
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        const ChildProcess& child = ProcessRecord[i];
        if (!IsJobRunning(i) || child.process == nullptr) continue;
        const RunInfo& run = RunInProgress[i];
        uint64_t ms = MonotonicMilliseconds() - run.startMs;
        if (HasChildEnded(child)) {
            JournalEnd(run.line, run.run, child.processId, ChildExitCode(child), ms);
            continue;
        }
        if (child.jobObject != nullptr) {
            TerminateRunJobObject(child.jobObject, kStoppedChildExitCode);
        } else {
            TerminateChild(child, kStoppedChildExitCode);
        }
        JournalKill(run.line, run.run, child.processId, kStoppedChildExitCode, ms);
        ++ended;
    }
    SweepDone = true;
    LeaveLaunchLock();
    return ended;
}

const char* StopText() {
    switch (StopCause.load()) {
    case kStopByService:
        return texts::kStopByService;
    case kStopByShutdown:
        return texts::kStopByShutdown;
    default:
        return texts::kStopBySignal;
    }
}

}  // namespace

bool IsJobRunning(int32_t index) { return RunningMark[index].load() == 1; }

void OnStopSignal(int) {
    StopCause.store(kStopBySignal);
    StopFlag.store(1);
}

uint32_t ConfigReadError() { return Table.readError; }

int RunScheduler(RunEnd* end) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    int32_t count = LoadJobTable(&Table);
    JournalRunnerStart(Table);
    if (count == 0) {
        bool read = Table.fileFound && Table.readError == 0;
        JournalRunnerStop(read ? texts::kStopNoJobs : texts::kStopNoConfiguration, 0);
        if (end != nullptr) *end = read ? RunEnd::kNoJobs : RunEnd::kNoConfigFile;
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
    int32_t ended = TerminateRunningChildren();
    JournalRunnerStop(StopText(), ended);
    if (end != nullptr) *end = RunEnd::kStopped;
    return 0;
}
