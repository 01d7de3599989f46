#include <windows.h>

#include "platform/process.h"

namespace {
constexpr DWORD kChildCreationFlags = CREATE_NO_WINDOW | DETACHED_PROCESS;
}

bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 const char* environment, bool suspended, ChildProcess* child, uint32_t* error) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    DWORD flags = kChildCreationFlags | (suspended ? CREATE_SUSPENDED : 0);
    // The block is only read: its copy is the child's.
    void* block = const_cast<char*>(environment);
    if (!CreateProcessA(programPath, commandLine, nullptr, nullptr, FALSE, flags, block,
                        workingDirectory, &startup, &created)) {
        *error = GetLastError();
        *child = ChildProcess{};
        return false;
    }
    *child = ChildProcess{created.hProcess, created.hThread, nullptr, created.dwProcessId,
                          created.dwThreadId};
    return true;
}

bool ResumeChild(const ChildProcess& child, uint32_t* error) {
    if (ResumeThread(child.thread) != static_cast<DWORD>(-1)) return true;
    *error = GetLastError();
    return false;
}

void WaitForChild(const ChildProcess& child) { WaitForSingleObject(child.process, INFINITE); }

bool HasChildEnded(const ChildProcess& child) {
    return WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0;
}

uint32_t ChildExitCode(const ChildProcess& child) {
    DWORD code = 0;
    GetExitCodeProcess(child.process, &code);
    return code;
}

void TerminateChild(const ChildProcess& child, uint32_t exitCode) {
    TerminateProcess(child.process, exitCode);
}

void ReleaseChild(ChildProcess* child) {
    CloseHandle(child->thread);
    CloseHandle(child->process);
    if (child->jobObject != nullptr) CloseHandle(child->jobObject);
    *child = ChildProcess{};
}
