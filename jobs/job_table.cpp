#include "jobs/job_table.h"

#include <cstring>

char JobCommand[kMaxJobs][kTextSize];
int32_t JobLine[kMaxJobs];
std::atomic<int32_t> RunningMark[kMaxJobs];
ChildProcess ProcessRecord[kMaxJobs];
bool LaunchWarningReported[kMaxJobs];
std::atomic<int32_t> StopFlag{0};
std::atomic<int32_t> StopCause{0};
std::atomic<int32_t> ReloadRequest{0};
RunInfo RunInProgress[kMaxJobs];
std::atomic<int32_t> RunPhase[kMaxJobs];
int32_t RetryRun[kMaxJobs];
uint32_t RetryError[kMaxJobs];
std::atomic<uint32_t> ChildPid[kMaxJobs];

void ResetJobTable() {
    std::memset(JobCommand, 0, sizeof JobCommand);
    std::memset(JobLine, 0, sizeof JobLine);
    std::memset(ProcessRecord, 0, sizeof ProcessRecord);
    std::memset(LaunchWarningReported, 0, sizeof LaunchWarningReported);
    std::memset(RunInProgress, 0, sizeof RunInProgress);
    std::memset(RetryRun, 0, sizeof RetryRun);
    std::memset(RetryError, 0, sizeof RetryError);
    ReloadRequest.store(0);
    for (auto& mark : RunningMark) mark.store(0);
    for (auto& pid : ChildPid) pid.store(0);
    for (auto& phase : RunPhase) phase.store(kPhaseNone);
}
