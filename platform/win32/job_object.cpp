#include <windows.h>

#include "platform/process.h"

void* CreateRunJobObject() {
    HANDLE jobObject = CreateJobObjectA(nullptr, nullptr);
    if (jobObject == nullptr) return nullptr;
    // Breakaway stays possible for programs that ask for it. No kill on
    // close: a runner that ends abruptly leaves every child running.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(jobObject, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        CloseHandle(jobObject);
        return nullptr;
    }
    return jobObject;
}

bool AddChildToJobObject(void* jobObject, const ChildProcess& child) {
    return AssignProcessToJobObject(jobObject, child.process) != 0;
}

void TerminateRunJobObject(void* jobObject, uint32_t exitCode) {
    TerminateJobObject(jobObject, exitCode);
}

void ReleaseJobObject(void* jobObject) {
    if (jobObject != nullptr) CloseHandle(jobObject);
}
