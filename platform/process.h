// Child processes: create one, wait for it, end it, let go of it.
#pragma once

#include <cstdint>

// A child of ours. The handles are the platform's own, kept opaque here;
// a null process handle means "no child".
struct ChildProcess {
    void* process;
    void* thread;
    uint32_t processId;
    uint32_t threadId;
};

// Starts programPath (taken as it is: no search, no extension added) with
// commandLine, windowless and detached from any console, handles not
// inherited, in workingDirectory or, when that is null, in ours.
// On failure *child is left without a process.
bool CreateChild(const char* programPath, char* commandLine,
                 const char* workingDirectory, ChildProcess* child);

// Blocks until the child has ended.
void WaitForChild(const ChildProcess& child);

// Ends a child that may still be running; failures are ignored.
void TerminateChild(const ChildProcess& child, uint32_t exitCode);

// Closes the child's handles and clears the record.
void ReleaseChild(ChildProcess* child);
