#include "jobs/launcher.h"

#include <cstdio>
#include <cstring>

#include "jobs/command.h"
#include "jobs/job_table.h"
#include "jobs/journal.h"
#include "jobs/scheduler.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

constexpr char kPathName[] = "PATH";

// The system's errors that tell nothing of the program: out of memory or of
// some other resource, or Wine's internal error when a creation now and then
// fails among many threads.
constexpr uint32_t kTransientErrors[] = {
    8,     // ERROR_NOT_ENOUGH_MEMORY
    14,    // ERROR_OUTOFMEMORY
    1359,  // ERROR_INTERNAL_ERROR
    1450,  // ERROR_NO_SYSTEM_RESOURCES
    1451,  // ERROR_NONPAGED_SYSTEM_RESOURCES
    1452,  // ERROR_PAGED_SYSTEM_RESOURCES
    1455,  // ERROR_COMMITMENT_LIMIT
};

enum class LaunchResult { kCreated, kFailed, kGivenUp };

// What a worker knows of its run.
struct Run {
    int32_t index;
    int32_t line;
    int32_t number;
    bool retried;  // its first try failed for want of resources
};
constexpr size_t kLaunchWarningSize = 1024;

char StartPath[kMaxPathValue];
// Only used under the launch lock, so one buffer serves every worker.
char ComposedPath[kMaxPathValue];

// The child starts suspended, so that nothing it starts escapes its job
// object before it is in it. Where it can't be put into one, it runs
// without, and a stop ends the child alone.
bool CreateChildInItsJobObject(const char* programPath, char* commandLine, const char* directory,
                               ChildProcess* child, uint32_t* error) {
    void* jobObject = CreateRunJobObject();
    if (!CreateChild(programPath, commandLine, directory, jobObject != nullptr, child, error)) {
        ReleaseJobObject(jobObject);
        return false;
    }
    if (jobObject == nullptr) return true;
    if (AddChildToJobObject(jobObject, *child)) {
        child->jobObject = jobObject;
    } else {
        ReleaseJobObject(jobObject);
    }
    if (ResumeChild(*child, error)) return true;
    // Never to run, it would only hold its job object.
    TerminateChild(*child, kStoppedChildExitCode);
    ReleaseChild(child);
    return false;
}

// Sets the child's PATH and creates it; under the launch lock, so that the
// child inherits the PATH composed for it and the stop's sweep sees every
// child that will ever exist. The run's first records are queued under the
// lock too, so that none follows the sweep's.
LaunchResult Launch(const Run& run, const char* programPath, char* commandLine, uint32_t* error) {
    const char* lastBackslash = std::strrchr(programPath, '\\');
    char jobDirectory[kTextSize] = "";
    if (lastBackslash != nullptr) {
        size_t length = static_cast<size_t>(lastBackslash - programPath) + 1;
        std::memcpy(jobDirectory, programPath, length);
        jobDirectory[length] = '\0';
    }

    EnterLaunchLock();
    if (StopFlag.load() != 0) {
        LeaveLaunchLock();
        return LaunchResult::kGivenUp;  // no child, and nothing to warn about
    }
    if (lastBackslash != nullptr) {
        ComposePathValue(StartPath, jobDirectory, ComposedPath, sizeof ComposedPath);
        WriteEnvironmentVariable(kPathName, ComposedPath);
    }
    ChildProcess& child = ProcessRecord[run.index];
    bool created = CreateChildInItsJobObject(programPath, commandLine,
                                             lastBackslash != nullptr ? jobDirectory : nullptr,
                                             &child, error);
    LaunchResult result = LaunchResult::kCreated;
    if (created) {
        RunInProgress[run.index] = RunInfo{run.line, run.number, MonotonicMilliseconds()};
        ChildPid[run.index].store(child.processId);
        JournalStart(run.line, run.number, child.processId, JobCommand[run.index]);
    } else if (!run.retried && IsTransientLaunchError(*error)) {
        JournalRetry(run.line, run.number, *error, programPath);
        RetryError[run.index] = *error;
        RetryRun[run.index] = run.number;
        result = LaunchResult::kGivenUp;
    } else {
        JournalFail(run.line, run.number, *error, programPath);
        result = LaunchResult::kFailed;
    }
    LeaveLaunchLock();
    return result;
}

}  // namespace

void CaptureStartPath() {
    size_t length = ReadEnvironmentVariable(kPathName, StartPath, sizeof StartPath);
    if (length == 0 || length >= sizeof StartPath) StartPath[0] = '\0';
}

void ComposePathValue(const char* startPath, const char* jobDirectory, char* value,
                      size_t size) {
    int length = -1;
    if (startPath[0] != '\0') {
        length = std::snprintf(value, size, "%s;%s", startPath, jobDirectory);
    }
    if (length < 0 || static_cast<size_t>(length) >= size) {
        std::snprintf(value, size, "%s%s", texts::kDefaultSearchList, jobDirectory);
    }
}

bool IsTransientLaunchError(uint32_t error) {
    for (uint32_t transient : kTransientErrors) {
        if (error == transient) return true;
    }
    return false;
}

void JobWorker(int32_t index) {
    char programPath[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(JobCommand[index], programPath, commandLine);
    Run run{index, JobLine[index], RetryRun[index], RetryRun[index] != 0};
    if (!run.retried) run.number = NextRunNumber();
    RetryRun[index] = 0;

    uint32_t error = 0;
    LaunchResult result = Launch(run, programPath, commandLine, &error);
    ChildProcess& child = ProcessRecord[index];
    if (result == LaunchResult::kFailed) {
        char warning[kLaunchWarningSize];
        std::snprintf(warning, sizeof warning, texts::kLaunchErrorFormat, programPath);
        char reason[kTextSize];
        DescribeSystemError(error, reason, sizeof reason);
        RaiseJobWarning(index, warning, reason);
    } else if (result == LaunchResult::kCreated) {
        ClearJobWarning(index);
        WaitForChild(child);
        // The sweep may be terminating this very child: let it finish with
        // the handle before it is closed. Once it has passed, the run's
        // closing record is its own.
        EnterLaunchLock();
        if (!SweepDone) {
            JournalEnd(run.line, run.number, child.processId, ChildExitCode(child),
                       MonotonicMilliseconds() - RunInProgress[index].startMs);
        }
        ReleaseChild(&child);
        ChildPid[index].store(0);
        LeaveLaunchLock();
    }
    // Last touch of the row: once the mark is clear, the next run may start.
    // After a stop the mark stays, for the sweep.
    if (StopFlag.load() == 0) RunningMark[index].store(0);
}
