#include <windows.h>

#include "platform/process.h"

namespace {

bool SetLimits(HANDLE jobObject, DWORD flags) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = flags;
    return SetInformationJobObject(jobObject, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) != 0;
}

}  // namespace

void* CreateRunJobObject() {
    HANDLE jobObject = CreateJobObjectA(nullptr, nullptr);
    if (jobObject == nullptr) return nullptr;
    // Breakaway stays possible for programs that ask for it. The kill on
    // close is what ends a run's tree when the runner itself ends abruptly:
    // its handles close then, whoever ends it.
    if (!SetLimits(jobObject, JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)) {
        CloseHandle(jobObject);
        return nullptr;
    }
    return jobObject;
}

void KeepJobProcessesAtClose(void* jobObject) {
    if (jobObject != nullptr) SetLimits(jobObject, JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}

bool AddChildToJobObject(void* jobObject, const ChildProcess& child) {
    return AssignProcessToJobObject(jobObject, child.process) != 0;
}

void TerminateRunJobObject(void* jobObject, uint32_t exitCode) {
    TerminateJobObject(jobObject, exitCode);
}

void ReleaseJobObject(void* jobObject) {
    if (jobObject == nullptr) return;
    // Whatever it may hold runs on: only the runner's own end kills.
    KeepJobProcessesAtClose(jobObject);
    CloseHandle(jobObject);
}
