#include <windows.h>

#include "platform/process.h"

void* CreateRunJob() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    // Breakaway stays possible for programs that ask for it. No kill on
    // close: a runner that ends abruptly leaves every child running.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool AddChildToJob(void* job, const ChildProcess& child) {
    return AssignProcessToJobObject(job, child.process) != 0;
}

void TerminateJob(void* job, uint32_t exitCode) { TerminateJobObject(job, exitCode); }

void ReleaseJob(void* job) {
    if (job != nullptr) CloseHandle(job);
}
