#include "jobs/job_table.h"

Row Rows[kMaxJobs];
std::atomic<int32_t> StopFlag{0};
std::atomic<int32_t> StopCause{0};
std::atomic<int32_t> ReloadRequest{0};

void ResetJobTable() {
    for (Row& row : Rows) {
        row.state = RowState::kFree;
        row.line = row.interval = row.idle = 0;
        row.command[0] = '\0';
        RowRun& run = row.run;
        run.number = run.line = 0;
        run.retried = false;
        run.command[0] = '\0';
        run.child = ChildProcess{};
        run.progress.store(kProgressLaunching);
        run.endedAtLimit.store(0);
        run.seen = kProgressLaunching;
    }
    ReloadRequest.store(0);
}
