#include "jobs/launcher.h"

#include <cstdio>
#include <cstring>

#include "jobs/command.h"
#include "jobs/job_table.h"
#include "jobs/scheduler.h"
#include "jobs/texts.h"
#include "jobs/warnings.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/threads.h"

namespace {

constexpr char kPathName[] = "PATH";
constexpr size_t kLaunchWarningSize = 1024;

char StartPath[kMaxPathValue];
// Only used under the launch lock, so one buffer serves every worker.
char ComposedPath[kMaxPathValue];

// The child starts suspended, so that nothing it starts escapes its job
// object before it is in it. Where it can't be put into one, it runs
// without, and a stop ends the child alone.
bool CreateChildInItsJobObject(const char* programPath, char* commandLine, const char* directory,
                               ChildProcess* child) {
    void* jobObject = CreateRunJobObject();
    if (!CreateChild(programPath, commandLine, directory, jobObject != nullptr, child)) {
        ReleaseJobObject(jobObject);
        return false;
    }
    if (jobObject == nullptr) return true;
    if (AddChildToJobObject(jobObject, *child)) {
        child->jobObject = jobObject;
    } else {
        ReleaseJobObject(jobObject);
    }
    if (ResumeChild(*child)) return true;
    // Never to run, it would only hold its job object.
    TerminateChild(*child, kStoppedChildExitCode);
    ReleaseChild(child);
    return false;
}

// Sets the child's PATH and creates it; under the launch lock, so that the
// child inherits the PATH composed for it and the stop's sweep sees every
// child that will ever exist.
bool Launch(int32_t index, const char* programPath, char* commandLine) {
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
        return true;  // given up: no child, and nothing to warn about
    }
    if (lastBackslash != nullptr) {
        ComposePathValue(StartPath, jobDirectory, ComposedPath, sizeof ComposedPath);
        WriteEnvironmentVariable(kPathName, ComposedPath);
    }
    bool created = CreateChildInItsJobObject(programPath, commandLine,
                                             lastBackslash != nullptr ? jobDirectory : nullptr,
                                             &ProcessRecord[index]);
    LeaveLaunchLock();
    return created;
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

void JobWorker(int32_t index) {
    char programPath[kTextSize];
    char commandLine[kTextSize];
    SplitCommand(JobCommand[index], programPath, commandLine);

    if (!Launch(index, programPath, commandLine)) {
        char warning[kLaunchWarningSize];
        std::snprintf(warning, sizeof warning, texts::kLaunchErrorFormat, programPath);
        RaiseJobWarning(index, warning);
    } else if (ProcessRecord[index].process != nullptr) {
        ClearJobWarning(index);
        WaitForChild(ProcessRecord[index]);
        // The sweep may be terminating this very child: let it finish with
        // the handle before it is closed.
        EnterLaunchLock();
        ReleaseChild(&ProcessRecord[index]);
        LeaveLaunchLock();
    }
    // Last touch of the row: once the mark is clear, the next run may start.
    // After a stop the mark stays, for the sweep.
    if (StopFlag.load() == 0) RunningMark[index].store(0);
}
