#include <windows.h>

#include "platform/process.h"

namespace {
constexpr DWORD kChildCreationFlags = CREATE_NO_WINDOW | DETACHED_PROCESS;
}

bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 ChildProcess* child) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    if (!CreateProcessA(programPath, commandLine, nullptr, nullptr, FALSE, kChildCreationFlags,
                        nullptr, workingDirectory, &startup, &created)) {
        *child = ChildProcess{};
        return false;
    }
    *child = ChildProcess{created.hProcess, created.hThread, created.dwProcessId,
                          created.dwThreadId};
    return true;
}

void WaitForChild(const ChildProcess& child) { WaitForSingleObject(child.process, INFINITE); }

void TerminateChild(const ChildProcess& child, uint32_t exitCode) {
    TerminateProcess(child.process, exitCode);
}

void ReleaseChild(ChildProcess* child) {
    CloseHandle(child->thread);
    CloseHandle(child->process);
    *child = ChildProcess{};
}
