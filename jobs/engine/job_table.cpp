#include "jobs/engine/job_table.h"

#include "jobs/report/journal.h"

Row Rows[kMaxJobs];
std::atomic<int32_t> StopFlag{0};
std::atomic<int32_t> StopCause{0};
std::atomic<int32_t> ReloadRequest{0};

namespace {

// Written by the scheduler alone, read by workers as they create.
std::atomic<uint64_t> TickedMilliseconds{0};

}  // namespace

uint64_t AwakeMilliseconds() {
    uint64_t ms = 0;
    if (ReadAwakeMilliseconds(&ms)) return ms;
    return TickedMilliseconds.load();
}

void CountTick() { TickedMilliseconds.fetch_add(kTickMilliseconds); }

uint64_t CreationAwakeMilliseconds() {
    uint64_t ms = 0;
    if (ReadAwakeMilliseconds(&ms)) return ms;
    return TickedMilliseconds.load() + kTickMilliseconds;
}

void ClearRow(Row& row) {
    row.state = RowState::kFree;
    row.line = row.interval = row.limit = row.idle = 0;
    row.command[0] = '\0';
    RowRun& run = row.run;
    run.number = run.line = run.limit = 0;
    run.retried = false;
    run.command[0] = '\0';
    run.child = ChildProcess{};
    run.progress.store(kProgressLaunching);
    run.endedAtLimit.store(0);
    run.seen = kProgressLaunching;
}

void ResetJobTable() {
    for (Row& row : Rows) ClearRow(row);
    ReloadRequest.store(0);
}

bool IsEndAtLimit(const RowRun& run, uint32_t exitCode) {
    return run.endedAtLimit.load() != 0 && exitCode == kLimitExitCode;
}
