#include "jobs/job_table.h"

Row Rows[kMaxJobs];
std::atomic<int32_t> StopFlag{0};
std::atomic<int32_t> StopCause{0};
std::atomic<int32_t> ReloadRequest{0};

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
